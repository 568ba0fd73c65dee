#include "web/templateoutput.h"

#include <cstring>

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

}  // namespace

void writeTemplateValue(TemplateOutput& out, const char* value, size_t length, ValueKind kind) {
    if (kind == ValueKind::Markup) {
        out.write(value, length);
        return;
    }
    for (size_t i = 0; i < length; i++) {
        char byte = value[i];
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
