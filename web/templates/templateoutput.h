// The output buffer of a page expansion and the one place where values are
// made safe for HTML.
#ifndef WEB_TEMPLATES_TEMPLATEOUTPUT_H
#define WEB_TEMPLATES_TEMPLATEOUTPUT_H

#include <cstddef>
#include <cstring>

#include "web/templates/templatevariables.h"

// Room an expansion keeps beyond its limit for the texts that end it.
constexpr size_t kTemplateOutputReserve = 1024;

// Bytes go in up to capacity; never one past it. limit is where an
// expansion must stop (capacity - kTemplateOutputReserve for a page).
struct TemplateOutput {
    char* data;
    size_t limit;
    size_t capacity;
    size_t length;

    bool overLimit() const { return length > limit; }
    void put(char byte) {
        if (length < capacity)
            data[length++] = byte;
    }
    void write(const char* bytes, size_t count) {
        size_t room = capacity - length;
        if (count > room)
            count = room;
        std::memcpy(data + length, bytes, count);
        length += count;
    }
};

// Writes a value: text escaped (& < > " ' as entities, "<br>" before each
// newline), markup unchanged.
void writeTemplateValue(TemplateOutput& out, const char* value, size_t length, ValueKind kind);

// Escapes text for HTML into buffer (at most size - 1 bytes and a NUL,
// never a partial entity); returns the length written.
size_t escapeHtml(const char* text, char* buffer, size_t size);

#endif
