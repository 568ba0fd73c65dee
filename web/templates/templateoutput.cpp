#include "web/templates/templateoutput.h"

#include <cstdint>
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

// Whether any byte of the word needs escaping: eight bytes per test, since
// most of a value is plain text. '<' and '>' differ only in bit 1, '&' and
// '\'' only in bit 0, so four zero-byte tests cover the six bytes.
inline bool wordHasSpecial(uint64_t w) {
    constexpr uint64_t ones = 0x0101010101010101ull;
    constexpr uint64_t high = 0x8080808080808080ull;
    auto anyZero = [](uint64_t x) { return (x - ones) & ~x & high; };
    return (anyZero((w | ones * 0x02) ^ (ones * '>')) | anyZero((w | ones) ^ (ones * '\'')) |
            anyZero(w ^ (ones * '"')) | anyZero(w ^ (ones * '\n'))) != 0;
}

// Length of the leading run of value that needs no escaping.
size_t plainRun(const char* value, size_t length) {
    size_t i = 0;
    for (; i + 8 <= length; i += 8) {
        uint64_t w;
        std::memcpy(&w, value + i, 8);
        if (wordHasSpecial(w))
            break;
    }
    while (i < length && !kSpecial[static_cast<unsigned char>(value[i])])
        i++;
    return i;
}

}  // namespace

void writeTemplateValue(TemplateOutput& out, const char* value, size_t length, ValueKind kind) {
    if (kind == ValueKind::Markup) {
        out.write(value, length);
        return;
    }
    size_t i = 0;
    while (i < length) {
        // Copy the run of bytes that need nothing in one go.
        size_t run = i + plainRun(value + i, length - i);
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
