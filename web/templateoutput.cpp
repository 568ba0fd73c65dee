#include "web/templateoutput.h"

#include <cstring>
#include <initializer_list>

namespace {

// The entity of a byte that HTML must not see raw, or null.
const char* entityOf(char byte) {
    switch (byte) {
    case '&': return "&amp;";
    case '<': return "&lt;";
    case '>': return "&gt;";
    case '"': return "&quot;";
    case '\'': return "&#39;";
    default: return nullptr;
    }
}

struct SpecialBytes {
    bool table[256] = {};
    SpecialBytes() {
        for (unsigned char c : {'&', '<', '>', '"', '\'', '\n'})
            table[c] = true;
    }
    bool operator[](unsigned char c) const { return table[c]; }
};
const SpecialBytes kSpecial;

}  // namespace

void writeTemplateValue(TemplateOutput& out, const char* value, size_t length, ValueKind kind) {
    if (kind == ValueKind::Markup) {
        out.write(value, length);
        return;
    }
    size_t i = 0;
    while (i < length) {
        // Copy the run of bytes that need nothing in one go.
        size_t run = i;
        while (run < length && !kSpecial[static_cast<unsigned char>(value[run])])
            run++;
        out.write(value + i, run - i);
        if (run == length)
            break;
        i = run;
        char byte = value[i++];
        if (const char* entity = entityOf(byte)) {
            out.write(entity, std::strlen(entity));
        } else {
            if (byte == '\n')
                out.write("<br>", 4);
            out.put(byte);
        }
    }
}

size_t escapeHtml(const char* text, char* buffer, size_t size) {
    if (size == 0)
        return 0;
    size_t used = 0;
    for (; *text != '\0'; text++) {
        const char* entity = entityOf(*text);
        size_t need = entity != nullptr ? std::strlen(entity) : 1;
        if (used + need > size - 1)
            break;
        if (entity != nullptr)
            std::memcpy(buffer + used, entity, need);
        else
            buffer[used] = *text;
        used += need;
    }
    buffer[used] = '\0';
    return used;
}
