// Values a page names beyond the request's own variables, and the refresh
// line of pages that move on by themselves.
#include <gtest/gtest.h>

#include <string>

#include "params/identity/firmwareparams.h"
#include "params/identity/productparams.h"
#include "support/identity_fixture.h"
#include "support/scratch_root.h"
#include "web/templates/pagevalues.h"
#include "web/templates/templatevariables.h"

namespace {

std::string value(const char* name, int index = kTemplateNoIndex, bool display = false) {
    char buffer[256];
    int n = lookupPageValue(name, index, display, buffer, sizeof buffer);
    EXPECT_EQ(n < 0 ? 0u : static_cast<size_t>(n), std::string(buffer).size()) << name;
    return buffer;
}

TEST(PageValuesTest, ParametersFeaturesAndReservedNames) {
    struct Case {
        const char* name;
        int index;
        bool display;
        const char* expected;
    } cases[] = {
        {"zov_port", kTemplateNoIndex, false, "9200"},
        {"zov_poff_", 1, false, "off"},
        {"zov_poff_", 999, false, ""},
        {"language", kTemplateNoIndex, false, "en"},
        {"language", 1, false, "de"},
        {"language", 1, true, "Deutsch"},
        {"ip_setby", kTemplateNoIndex, false, "zconf"},
        {"ip_setby", kTemplateNoIndex, true, "ZeroConfig"},  // the current row's text
        {"no_such_parameter", kTemplateNoIndex, false, ""},
        {"NUV_CFG_NTP", kTemplateNoIndex, false, "1"},
        {"NUV_CFG_NOTHING", kTemplateNoIndex, false, ""},
        {"ErrMsg", kTemplateNoIndex, false, ""},        // request variables only
        {"Zov_port", kTemplateNoIndex, false, ""},      // never a parameter
        {"certself_CN", kTemplateNoIndex, false, ""},
        {"paramsname_", -5, false, ""},
        {"paramsname_", 100000, false, ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(value(c.name, c.index, c.display), c.expected) << c.name << " " << c.index;
    // The listing pairs a key with its value.
    std::string key = value("paramsname_", 0);
    ASSERT_FALSE(key.empty());
    EXPECT_EQ(value("paramsvalue_", 0), value(key.c_str()));
}

TEST(PageValuesTest, CountsOfFamiliesAndLists) {
    EXPECT_EQ(getParamCount("zov_poff_"), 20);
    EXPECT_GE(getParamCount("language"), 2);
    EXPECT_EQ(getParamCount("no_such_parameter"), 0);
    EXPECT_EQ(getParamCount(nullptr), 1);
}

class PageIdentityTest : public ScratchRoot {};

TEST_F(PageIdentityTest, IdentityTextsAndChoppedNames) {
    ASSERT_TRUE(layIdentityFixture("p353", path("")));
    readProductParams(productParams());
    readFirmwareParams(firmwareParams());
    EXPECT_EQ(value("prodpa_product_name"), "myHub-20D");
    EXPECT_EQ(value("prodpa_serial_no"), "106");
    EXPECT_EQ(value("firmpa_firmware_version"), "12");
    struct Case {
        const char* product;
        const char* chopProd;
        const char* choPro;
    } cases[] = {
        {"myHub-20D", "myHub-20D", "Hub-20D"},
        {"myUTN-2500", "myUTN", "UTN"},
        {"myHub-", "myHub", "Hub"},
        {"my-2", "my", "my"},
        {"UTN-800", "UTN", "UTN"},
    };
    for (const auto& c : cases) {
        snprintf(productParams().product_name, sizeof productParams().product_name, "%s", c.product);
        EXPECT_EQ(value("ChopProd"), c.chopProd) << c.product;
        EXPECT_EQ(value("ChoPro"), c.choPro) << c.product;
    }
}

TEST(MetaRefreshTest, TargetsSchemesPortsAndHosts) {
    struct Case {
        MetaRefresh refresh;
        const char* expected;
    } cases[] = {
        {{-3, "/start.html", false, 80, "device.local", "", ""},
         "<meta http-equiv=\"refresh\" content=\"3; url=https://device.local/start.html\"/>\n"},
        {{-3, "/start.html", false, 80, "device.local", "", "de"},
         "<meta http-equiv=\"refresh\" content=\"3; url=https://device.local/start_de.html\"/>\n"},
        {{1, "/start.html", false, 8080, "", "192.168.1.5", "en"},
         "<meta http-equiv=\"refresh\" content=\"1; url=http://192.168.1.5:8080/start_en.html\"/>\n"},
        {{2, "/maintenance/restart.cgi", true, 443, "", "[fe80::1]", ""},
         "<meta http-equiv=\"refresh\" content=\"2; url=https://[fe80::1]/maintenance/restart.cgi\"/>\n"},
        {{2, "/index", true, 9443, "h", "", "de"},
         "<meta http-equiv=\"refresh\" content=\"2; url=https://h:9443/index_de\"/>\n"},
        // A port in the Host header gives way to the connection's.
        {{-3, "/start.html", false, 8080, "device.local:8080", "", ""},
         "<meta http-equiv=\"refresh\" content=\"3; url=https://device.local/start.html\"/>\n"},
        {{1, "/start.html", false, 8080, "[fe80::1]:8080", "", ""},
         "<meta http-equiv=\"refresh\" content=\"1; url=http://[fe80::1]:8080/start.html\"/>\n"},
        {{1, "/start.html", false, 80, "[fe80::1]", "", ""},
         "<meta http-equiv=\"refresh\" content=\"1; url=http://[fe80::1]/start.html\"/>\n"},
        {{3, "/start.html", false, 80, "x\"><script>", "", ""},
         "<meta http-equiv=\"refresh\" content=\"3; url=http://x&quot;&gt;&lt;script&gt;/start.html\"/>\n"},
    };
    for (const auto& c : cases) {
        char buffer[256];
        int n = formatMetaRefresh(c.refresh, buffer, sizeof buffer);
        EXPECT_EQ(std::string(buffer, n), c.expected);
    }
    char tiny[16];
    EXPECT_EQ(formatMetaRefresh(cases[0].refresh, tiny, sizeof tiny), 15);
}

}  // namespace
