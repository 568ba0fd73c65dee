#include "web/templates/pagevalues.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "params/identity/identitytexts.h"
#include "params/identity/productparams.h"
#include "params/store/paramstore.h"
#include "params/table/features.h"
#include "params/types/p3list.h"
#include "params/types/paramflags.h"
#include "web/templates/certpagevalue.h"
#include "web/templates/templateoutput.h"
#include "web/templates/templatevariables.h"

namespace {

int copyText(const char* text, char* buffer, size_t size) {
    if (size == 0)
        return 0;
    size_t n = std::strlen(text);
    if (n > size - 1)
        n = size - 1;
    std::memcpy(buffer, text, n);
    buffer[n] = '\0';
    return static_cast<int>(n);
}

bool startsWith(const char* text, const char* prefix) {
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// The n-th parameter of the listings: visible, reported and reachable.
Param* listedParam(int n) {
    if (n < 0)
        return nullptr;
    return paramStore.visibleAt(n, PF_NOREPORT | PF_NOSNMP);
}

struct CertPrefix {
    const char* prefix;
    int kind;
};
const CertPrefix kCertPrefixes[] = {{"certself_", 3}, {"certClPub_", 4}, {"certClPrv_", 1},
                                    {"certmime_", 7}, {"certca_", 9},    {"certrequ_", 6}};

}  // namespace

int formatChoppedProductName(bool dropMy, char* buffer, size_t size) {
    char name[sizeof productParams().product_name + 1];
    std::snprintf(name, sizeof name, "%s", productParams().product_name);
    size_t n = std::strlen(name);
    while (n > 0 && (name[n - 1] == '-' || std::isdigit(static_cast<unsigned char>(name[n - 1]))))
        name[--n] = '\0';
    const char* shown = name;
    if (dropMy && std::strncmp(name, "my", 2) == 0 && n > 4)
        shown += 2;
    return copyText(shown, buffer, size);
}

int getParamCount(const char* name) {
    if (name == nullptr)
        return 1;
    size_t n = std::strlen(name);
    if (n >= 2 && name[n - 1] == '_')
        return paramStore.highestIndex(name, static_cast<int>(n));
    Param* p = paramStore.find(name);
    return p != nullptr ? p->choiceCount() : 0;
}

int formatParam(const char* name, int index, bool display, char* buffer, size_t size) {
    if (size == 0)
        return 0;
    buffer[0] = '\0';
    size_t n = std::strlen(name);
    Param* p;
    if (n >= 3 && name[n - 1] == '_' && index >= 0 && index != kTemplateNoIndex) {
        p = paramStore.find(name, -1, index);
        if (p == nullptr)
            return 0;
        int len = p->format(buffer, static_cast<int>(size));
        return len < 0 ? 0 : static_cast<int>(std::strlen(buffer));
    }
    p = paramStore.find(name);
    if (p == nullptr)
        return 0;
    int len;
    if (index != kTemplateNoIndex && index >= 0 && p->paramClass() == ParamClass::Choice)
        len = p->formatColumn((index & 0xffff) | (display ? COL_DISPLAY : COL_KEY), buffer, static_cast<int>(size));
    else if (display && p->paramClass() == ParamClass::Choice)
        len = p->formatColumn(~COL_MASK | COL_DISPLAY, buffer, static_cast<int>(size));  // the current row's text
    else
        len = p->format(buffer, static_cast<int>(size));
    if (len < 0)
        buffer[0] = '\0';
    return static_cast<int>(std::strlen(buffer));
}

int lookupPageValue(const char* name, int index, bool display, char* buffer, size_t size) {
    if (size == 0)
        return -1;
    buffer[0] = '\0';
    if (std::strcmp(name, "ChopProd") == 0)
        return formatChoppedProductName(false, buffer, size);
    if (std::strcmp(name, "ChoPro") == 0)
        return formatChoppedProductName(true, buffer, size);
    if (startsWith(name, "NUV_CFG_"))
        return copyText(isFeatureAvailable(name + 8) == 1 ? "1" : "", buffer, size);
    // Names beginning with a capital letter are request variables only.
    if (name[0] >= 'A' && name[0] <= 'Z')
        return 0;
    if (std::strcmp(name, "paramsname_") == 0) {
        Param* p = listedParam(index);
        if (p == nullptr || std::strlen(p->key()) >= size)
            return 0;
        return copyText(p->key(), buffer, size);
    }
    if (std::strcmp(name, "paramsvalue_") == 0) {
        Param* p = listedParam(index);
        if (p == nullptr)
            return 0;
        if (p->format(buffer, static_cast<int>(size)) < 0)
            buffer[0] = '\0';
        return static_cast<int>(std::strlen(buffer));
    }
    int len = -1;
    if (startsWith(name, "prodpa_"))
        len = getProductInfoText(name + 7, buffer, size);
    else if (startsWith(name, "softpa_"))
        len = getSoftwareInfoText(name + 7, buffer, size);
    else if (startsWith(name, "firmpa_"))
        len = getFirmwareInfoText(name + 7, buffer, size);
    if (len >= 0)
        return static_cast<int>(std::strlen(buffer));
    for (const CertPrefix& c : kCertPrefixes) {
        if (startsWith(name, c.prefix))
            return certPageValue(c.kind, name + std::strlen(c.prefix), buffer, size);
    }
    return formatParam(name, index, display, buffer, size);
}

int formatMetaRefresh(const MetaRefresh& r, char* buffer, size_t size) {
    if (size == 0)
        return 0;
    int delay = r.delay;
    bool tls = r.tls;
    int port = r.localPort;
    if (delay < 0) {
        delay = -delay;
        tls = true;
        port = 443;
    }
    const char* target = r.target != nullptr ? r.target : "";
    if (target[0] == '/')
        target++;
    size_t length = std::strlen(target);
    size_t baseLength = length;
    const char* extension = "";
    for (const char* ending : {".html", ".cgi"}) {
        size_t e = std::strlen(ending);
        if (length > e && std::strcmp(target + length - e, ending) == 0) {
            baseLength = length - e;
            extension = ending;
            break;
        }
    }
    const char* host = r.host != nullptr && r.host[0] != '\0' ? r.host : (r.localAddress ? r.localAddress : "");
    // The port is written from the connection: one the Host header names
    // ("name:8080", "[fe80::1]:8080") goes, or the target would carry two.
    char bareHost[256];
    std::snprintf(bareHost, sizeof bareHost, "%s", host);
    char* colon = std::strrchr(bareHost, ':');
    char* bracket = std::strrchr(bareHost, ']');
    if (colon != nullptr && (bareHost[0] == '[' ? bracket != nullptr && colon == bracket + 1
                                                : std::strchr(bareHost, ':') == colon))
        *colon = '\0';
    char safeHost[512];
    escapeHtml(bareHost, safeHost, sizeof safeHost);
    char portText[16] = "";
    if (!((port == 80 && !tls) || (port == 443 && tls)))
        std::snprintf(portText, sizeof portText, ":%d", port);
    const char* lang = r.langCode != nullptr ? r.langCode : "";
    int n = std::snprintf(buffer, size, "<meta http-equiv=\"refresh\" content=\"%d; url=http%s://%s%s/%.*s%s%s%s\"/>\n",
                          delay, tls ? "s" : "", safeHost, portText, static_cast<int>(baseLength), target,
                          lang[0] != '\0' ? "_" : "", lang, extension);
    if (n < 0)
        return 0;
    return static_cast<size_t>(n) < size ? n : static_cast<int>(size - 1);
}
