// The template engine over arbitrary template text and variable values.
// Input: up to three values separated by 0x01 bytes, then the template.
// The template's own '<' bytes are blanked, so every '<' of the output
// comes from the engine: only "<br>" may appear, never a value's '<'.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "web/templates/templatereader.h"

namespace {

class FuzzVariables : public TemplateVariables {
public:
    std::string values[3];
    int lookupVariable(const char* name, int index, bool, char* buffer, size_t size, ValueKind* kind) override {
        *kind = ValueKind::Text;
        int which = -1;
        if (std::strncmp(name, "v", 1) == 0 && name[1] >= '0' && name[1] <= '2')
            which = name[1] - '0';
        else if (index != kTemplateNoIndex)
            which = (index % 3 + 3) % 3;
        if (which < 0) {
            buffer[0] = '\0';
            return -1;
        }
        return std::snprintf(buffer, size, "%s", values[which].c_str());
    }
    int lookupCount(const char* name) override { return static_cast<int>(std::strlen(name)) * 7 - 5; }
    int translate(const char* text, char* buffer, size_t size) override {
        return std::snprintf(buffer, size, "%s", text);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzVariables vars;
    size_t pos = 0;
    for (int i = 0; i < 3; i++) {
        const void* mark = std::memchr(data + pos, 0x01, size - pos);
        if (mark == nullptr)
            break;
        size_t end = static_cast<const uint8_t*>(mark) - data;
        vars.values[i].assign(reinterpret_cast<const char*>(data + pos), end - pos);
        vars.values[i] += '<';
        pos = end + 1;
    }
    std::string text(reinterpret_cast<const char*>(data + pos), size - pos);
    for (char& c : text) {
        if (c == '<')
            c = ' ';
    }
    TemplateStream stream(text);
    TemplateReader reader(vars, stream);
    const size_t limit = 16384;
    std::string buffer(limit + kTemplateOutputReserve, '\0');
    TemplateOutput out{&buffer[0], limit, buffer.size(), 0};
    reader.expand(out, kTemplateNoIndex, 255);
    if (out.length > buffer.size())
        std::abort();
    for (size_t i = 0; i < out.length; i++) {
        if (buffer[i] == '<' && buffer.compare(i, 4, "<br>") != 0)
            std::abort();
    }
    return 0;
}
