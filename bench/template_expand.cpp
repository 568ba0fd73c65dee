// Template expansion of a large page (a 40-line table of 15 indexed values
// each, the size of a 20-port USB table, plus 30 translated texts and 20
// parameter lookups) against a baseline that memcpy's the same output
// together from the same pieces, in the same run.
// Prints pages per second of both and their ratio (baseline time / engine
// time), and the engine's cost per variable lookup.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "web/templates/templatereader.h"

namespace {

using Clock = std::chrono::steady_clock;

// Request variables kept by name, indexed names as "name<index>", found
// through a hash of the name as a request's variable table does.
class ListVariables : public TemplateVariables {
public:
    std::vector<std::pair<std::string, std::string>> pairs;
    std::unordered_map<std::string_view, const std::string*> byName;
    long lookups = 0;
    void index() {
        for (const auto& p : pairs)
            byName.emplace(p.first, &p.second);
    }
    int lookupVariable(const char* name, int index, bool, char* buffer, size_t size, ValueKind* kind) override {
        lookups++;
        *kind = ValueKind::Text;
        char key[300];
        size_t n = std::strlen(name);
        if (n > 280)
            return -1;
        std::memcpy(key, name, n);
        if (index != kTemplateNoIndex) {
            char digits[12];
            int d = 0;
            unsigned v = index < 0 ? 0u - static_cast<unsigned>(index) : static_cast<unsigned>(index);
            do
                digits[d++] = static_cast<char>('0' + v % 10);
            while ((v /= 10) != 0);
            if (index < 0)
                key[n++] = '-';
            while (d > 0)
                key[n++] = digits[--d];
        }
        auto it = byName.find(std::string_view(key, n));
        if (it == byName.end()) {
            buffer[0] = '\0';
            return -1;
        }
        size_t len = it->second->size() < size ? it->second->size() : size - 1;
        std::memcpy(buffer, it->second->data(), len);
        buffer[len] = '\0';
        return static_cast<int>(len);
    }
    int lookupCount(const char* name) override {
        std::string key = std::string(name) + "#";
        for (const auto& p : pairs)
            if (p.first == key)
                return std::atoi(p.second.c_str());
        return 0;
    }
    int translate(const char* text, char* buffer, size_t size) override {
        return std::snprintf(buffer, size, "%s", text);
    }
};

const char* kColumns[15] = {"UTAB_slot_", "UTAB_prod_", "UTAB_manu_", "UTAB_sern_", "UTAB_devs_",
                            "UTAB_vendID_", "UTAB_prodID_", "UTAB_slotnr_", "UTAB_tag_", "UTAB_VLan_",
                            "UTAB_key_", "UTAB_sec_", "UTAB_comp_", "UTAB_poff_", "UTAB_succs_"};

}  // namespace

int main(int argc, char** argv) {
    int rounds = argc > 1 ? std::atoi(argv[1]) : 400;
    ListVariables vars;
    vars.pairs.push_back({"UTAB#", "40"});
    for (int k = 1; k <= 40; k++)
        for (int c = 0; c < 15; c++)
            vars.pairs.push_back({std::string(kColumns[c]) + std::to_string(k),
                                  "value-" + std::to_string(k) + "-" + std::to_string(c) + "-of-the-usb-table: a manufacturer, product or serial text as long as a real descriptor gives it, padded out"});
    for (int p = 0; p < 20; p++)
        vars.pairs.push_back({"param_" + std::to_string(p), "parameter value " + std::to_string(p)});

    vars.index();

    // The template, and the pieces the baseline glues together.
    std::string page = "<table>\n{[UTAB+1]<tr>";
    for (int c = 0; c < 15; c++)
        page += std::string("<td class=\"c\">{") + kColumns[c] + "}</td>";
    page += "</tr>\n}</table>\n";
    std::vector<std::string> pieces;
    for (int k = 1; k <= 40; k++) {
        pieces.push_back("<tr>");
        for (int c = 0; c < 15; c++) {
            pieces.push_back("<td class=\"c\">");
            pieces.push_back("value-" + std::to_string(k) + "-" + std::to_string(c) + "-of-the-usb-table: a manufacturer, product or serial text as long as a real descriptor gives it, padded out");
            pieces.push_back("</td>");
        }
        pieces.push_back("</tr>\n");
    }
    for (int t = 0; t < 30; t++) {
        page += "<p>Ml(\"A translated sentence of the page, number " + std::to_string(t) + ".\")</p>\n";
        pieces.push_back("<p>A translated sentence of the page, number " + std::to_string(t) + ".</p>\n");
    }
    for (int p = 0; p < 20; p++) {
        page += "<div>{param_" + std::to_string(p) + "}</div>\n";
        pieces.push_back("<div>parameter value " + std::to_string(p) + "</div>\n");
    }

    const size_t limit = 256 * 1024;
    std::string buffer(limit + kTemplateOutputReserve, '\0');
    size_t produced = 0;
    auto start = Clock::now();
    for (int r = 0; r < rounds; r++) {
        TemplateStream stream(page);
        TemplateReader reader(vars, stream);
        TemplateOutput out{&buffer[0], limit, buffer.size(), 0};
        reader.expand(out, kTemplateNoIndex, 255);
        produced = out.length;
    }
    double engine = std::chrono::duration<double>(Clock::now() - start).count();
    long lookups = vars.lookups;

    std::string copy(limit, '\0');
    size_t copied = 0;
    start = Clock::now();
    for (int r = 0; r < rounds * 10; r++) {
        copied = 0;
        copy[0] = '<';
        for (const std::string& piece : pieces) {
            std::memcpy(&copy[copied], piece.data(), piece.size());
            copied += piece.size();
        }
        asm volatile("" : : "r"(copy.data()) : "memory");
    }
    double baseline = std::chrono::duration<double>(Clock::now() - start).count() / 10;

    std::printf("page: %zu bytes out (baseline %zu), %ld lookups per page\n", produced, copied, lookups / rounds);
    std::printf("engine   %10.1f pages/s\n", rounds / engine);
    std::printf("baseline %10.1f pages/s (memcpy of the same pieces)\n", rounds / baseline);
    std::printf("ratio %.3f (goal >= 0.05); %.1f ns per variable lookup and write\n", baseline / engine,
                engine / static_cast<double>(lookups) * 1e9);
    return 0;
}
