// The template engine on a fake request: markers, loops, conditions,
// macros, escaping, includes and its bounds.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <thread>

#include "runtime/file/paths.h"
#include "support/scratch_root.h"
#include "web/templates/templatereader.h"

namespace {

// Variables as a request stores them: "name" or "name<index>", plus counts
// "name#"; families answer counts without a "#" entry.
class FakeVariables : public TemplateVariables {
public:
    void set(const std::string& name, const std::string& value, ValueKind kind = ValueKind::Text) {
        values[name] = {value, kind};
    }
    int lookupVariable(const char* name, int index, bool display, char* buffer, size_t size,
                       ValueKind* kind) override {
        lookups++;
        std::string key = name;
        if (display)
            key = "display:" + key;
        auto found = values.end();
        if (index == kTemplateNoIndex) {
            found = values.find(key);
        } else {
            for (auto it = values.begin(); it != values.end(); ++it) {
                const std::string& k = it->first;
                if (k.size() > key.size() && k.compare(0, key.size(), key) == 0 &&
                    isalnum(static_cast<unsigned char>(k[key.size()])) &&
                    std::atoi(k.c_str() + key.size()) == index) {
                    found = it;
                    break;
                }
            }
            if (found == values.end())
                found = values.find(key);
        }
        if (found == values.end()) {
            buffer[0] = '\0';
            return -1;
        }
        *kind = found->second.second;
        return std::snprintf(buffer, size, "%s", found->second.first.c_str());
    }
    int lookupCount(const char* name) override {
        auto it = values.find(std::string(name) + "#");
        if (it != values.end())
            return std::atoi(it->second.first.c_str());
        auto family = families.find(name);
        return family != families.end() ? family->second : 0;
    }
    int translate(const char* text, char* buffer, size_t size) override {
        auto it = catalogue.find(text);
        return std::snprintf(buffer, size, "%s", it != catalogue.end() ? it->second.c_str() : text);
    }

    std::map<std::string, std::pair<std::string, ValueKind>> values;
    std::map<std::string, int> families;
    std::map<std::string, std::string> catalogue;
    int lookups = 0;
};

std::string expandText(FakeVariables& vars, const std::string& text, size_t limit = 8192,
                       int index = kTemplateNoIndex) {
    TemplateStream stream(text);
    TemplateReader reader(vars, stream);
    std::string buffer(limit + kTemplateOutputReserve, '\0');
    TemplateOutput out{&buffer[0], limit, buffer.size(), 0};
    reader.expand(out, index, 255);
    return buffer.substr(0, out.length);
}

FakeVariables pageVariables() {
    FakeVariables vars;
    vars.set("lang", "de");
    vars.set("sys_name", "Lab hub");
    vars.set("State", "on");
    vars.set("Count", "7");
    vars.set("Empty", "");
    vars.set("ROW#", "3");
    vars.set("item1", "one");
    vars.set("item2", "two");
    vars.set("item3", "three");
    vars.set("tag", "plain");
    vars.set("tag2", "second");
    vars.set("Owner", "<script>alert(1)</script>");
    vars.set("Quote", "a\"b'c&d");
    vars.set("Lines", "first\nsecond");
    vars.set("Cell", "&ndash;", ValueKind::Markup);
    vars.set("Long", std::string(600, 'x') + "end");
    vars.set("display:language", "Deutsch");
    vars.set("language", "de");
    vars.families["zov_port_"] = 4;
    vars.catalogue["Save"] = "Speichern";
    vars.catalogue["Port (USB)"] = "Anschluss (USB)";
    return vars;
}

struct Case {
    const char* name;
    const char* text;
    const char* expected;
};

TEST(TemplateReaderTest, MarkersLoopsConditionsAndMacros) {
    const Case cases[] = {
        {"plain value", "<p>{sys_name}</p>", "<p>Lab hub</p>"},
        {"unknown name", "[{Nobody}]", "[]"},
        {"question form", "[{?sys_name}|{?Nobody}]", "[Lab hub|]"},
        {"count marker", "{#ROW}", "3"},
        {"loop by number", "{[3]{#},}", "1,2,3,"},
        {"loop by count", "{[ROW]<{#}>}", "<1><2><3>"},
        {"loop with start", "{[ROW+1]{item}.}", "one.two.three."},
        {"loop zero", "a{[0]never}b", "ab"},
        {"loop negative", "a{[Missing]never{x}}b", "ab"},
        {"family loop", "{[zov_port_]x}", "xxxx"},
        {"odd index", "{[3]{~?O|E}}", "EOE"},
        {"condition true", "{State?yes|no}", "yes"},
        {"condition empty", "{Empty?yes|no}", "no"},
        {"condition missing", "{Nobody?yes|no}", "no"},
        {"equals ignores case", "{State=ON?yes|no}", "yes"},
        {"differs", "{State!on?yes|no}", "no"},
        {"less than", "{Count<10?yes|no}", "yes"},
        {"greater than", "{Count>10?yes|no}", "no"},
        {"operand with index", "{[3]{#=2?two|-}}", "-two-"},
        {"operand with marker", "{Count={Count}?same|differs}", "same"},
        {"operand count", "{Count>{#ROW}?more|less}", "more"},
        {"empty nested value ends the operand", "{State=o{Nobody}n?T|F}", "F"},
        {"operand only an empty value", "{Empty={Nobody}tail?T|F}", "T"},
        {"long nested value", "{Long={Long}?same|differs}", "same"},
        {"always true", "{State]ignored?T|F}", "T"},
        {"nested condition", "{State?[{Count>5?big|small}]|none}", "[big]"},
        {"index suffix", "{item-2}", "one"},
        {"index in loop", "{[ROW+1]{item}{~?|,}}", "onetwo,three"},
        {"dollar index", "{[2]{$_}:{$_3}:{$_+10} }", "0:000:10 1:001:11 "},
        {"dollar forms outside a loop", "[{$_}{$_3}{$_+10}]", "[]"},
        {"no index prefix", "{[ROW+2]{_tag}/{tag} }", "plain/second plain/plain plain/plain "},
        {"display text", "{-language}/{language}", "Deutsch/de"},
        {"upper-case unknown", "[{Unset}]", "[]"},
        {"brace before newline", "a{\nb{\tc", "a{\nb{\tc"},
        {"escapes", "\\{x\\}\\\\\\M", "{x}\\M"},
        {"macro plain", "<b>Ml(\"Save\")</b>", "<b>Speichern</b>"},
        {"macro quoted", "var s = ML(\"Save\");", "var s = \"Speichern\";"},
        {"macro nesting", "Ml(\"Port (USB)\")", "Anschluss (USB)"},
        {"untranslated", "Ml(\"Unknown text\")", "Unknown text"},
        {"not a macro", "MLA Mx ML Mo", "MLA Mx ML Mo"},
        {"script block", "<script >var a = {b: 1}; ML(\"Save\")</script>{State}",
         "<script >var a = {b: 1}; \"Speichern\"</script>on"},
        {"script tag without blank", "<script>{State}</script>", "<script>on</script>"},
        {"stream ends in marker", "a{State", "a"},
        {"stream ends in operand", "a{State=on", "a"},
    };
    for (const Case& c : cases) {
        FakeVariables vars = pageVariables();
        EXPECT_EQ(expandText(vars, c.text), c.expected) << c.name;
    }
}

TEST(TemplateReaderTest, ValuesAreEscapedUnlessMarkup) {
    const Case cases[] = {
        {"script text", "<td>{Owner}</td>", "<td>&lt;script&gt;alert(1)&lt;/script&gt;</td>"},
        {"quote in attribute", "<input value=\"{Quote}\">", "<input value=\"a&quot;b&#39;c&amp;d\">"},
        {"newline", "{Lines}", "first<br>\nsecond"},
        {"markup value", "{Cell}", "&ndash;"},
        {"condition compares raw", "{Owner=<script>alert(1)</script>?same|differs}", "same"},
        {"question form escapes", "{?Owner}", "&lt;script&gt;alert(1)&lt;/script&gt;"},
    };
    for (const Case& c : cases) {
        FakeVariables vars = pageVariables();
        EXPECT_EQ(expandText(vars, c.text), c.expected) << c.name;
    }
}

TEST(TemplateReaderTest, OverrunEndsThePageWithinItsBuffer) {
    FakeVariables vars = pageVariables();
    vars.set("N#", "5000");
    std::string page = expandText(vars, "{[N]0123456789}tail", 1000);
    EXPECT_LE(page.size(), 1000 + kTemplateOutputReserve);
    EXPECT_NE(page.find("ERROR BUFFER OVERRUN?!"), std::string::npos);
    EXPECT_EQ(page.find("tail"), std::string::npos);
    EXPECT_EQ(page.compare(0, 10, "0123456789"), 0);

    // A value that grows past the whole reserve when escaped: the page is
    // cut, and still ends with the text that says so.
    vars.set("Huge", std::string(3000, '<'));
    page = expandText(vars, "<p>{Huge}</p>tail", 100);
    EXPECT_LE(page.size(), 100 + kTemplateOutputReserve);
    EXPECT_NE(page.find("ERROR BUFFER OVERRUN?!"), std::string::npos);
    EXPECT_EQ(page.substr(page.size() - 7), ") <br>\n");
}

TEST(TemplateReaderTest, LoopPassesAreBounded) {
    FakeVariables vars = pageVariables();
    vars.set("N#", "2000000000");
    std::string page = expandText(vars, "{[N]x}", 1 << 20);
    EXPECT_EQ(page, std::string(kTemplateMaxLoopPasses, 'x'));

    // Nested loops whose passes write nothing end too, and say why.
    vars.set("M#", "10000");
    page = expandText(vars, "a{[M]{[M]{[M]{State?|}}}}tail", 1 << 20);
    EXPECT_EQ(page.rfind("a\n<br>ERROR TOO MANY LOOP PASSES?!", 0), 0u) << page;
    EXPECT_EQ(page.find("tail"), std::string::npos);
}

class TemplateIncludeTest : public ScratchRoot {
protected:
    void SetUp() override {
        ScratchRoot::SetUp();
        std::string dir = path("romfs/templates/inc");
        ASSERT_EQ(std::system(("mkdir -p " + dir).c_str()), 0);
        write("/inc/head.html", "<h1>{sys_name}</h1>");
        write("/self.html", "x{./self.html}");
        std::string deep;
        for (int i = 0; i < 40; i++)
            deep += "{State?";
        deep += "core";
        for (int i = 0; i < 40; i++)
            deep += "|}";
        write("/deep.html", deep);
    }
    void write(const std::string& file, const std::string& text) {
        std::ofstream(path("romfs/templates" + file)) << text;
    }
};

TEST_F(TemplateIncludeTest, IncludesExpandInPlace) {
    FakeVariables vars = pageVariables();
    EXPECT_EQ(expandText(vars, "{./inc/head.html}<p>"), "<h1>Lab hub</h1><p>");
    EXPECT_EQ(expandText(vars, "a{./inc/missing.html}b"), "ab");
}

// A self-including template and deep conditions end with the error text,
// also on a thread whose stack is as small as a successor request task's.
TEST_F(TemplateIncludeTest, NestingIsBoundedOnASmallStack) {
    for (const char* page : {"{./self.html}", "{./deep.html}"}) {
        std::string result;
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        pthread_attr_setstacksize(&attr, 49152);
        struct Job {
            const char* page;
            std::string* result;
        } job{page, &result};
        pthread_t thread;
        ASSERT_EQ(pthread_create(&thread, &attr,
                                 [](void* arg) -> void* {
                                     Job* j = static_cast<Job*>(arg);
                                     FakeVariables vars = pageVariables();
                                     *j->result = expandText(vars, j->page, 65536);
                                     return nullptr;
                                 },
                                 &job),
                  0);
        pthread_join(thread, nullptr);
        pthread_attr_destroy(&attr);
        EXPECT_NE(result.find("ERROR TEMPLATE NESTING TOO DEEP"), std::string::npos) << page;
        EXPECT_EQ(result.find("core"), std::string::npos) << page;
    }
}

}  // namespace
