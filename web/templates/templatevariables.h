// What the template engine reads: the values, counts and translations of
// the request it expands a page for. The request object implements this;
// tests use a small fake.
#ifndef WEB_TEMPLATES_TEMPLATEVARIABLES_H
#define WEB_TEMPLATES_TEMPLATEVARIABLES_H

#include <cstddef>

// A value as stored: plain text is escaped for HTML when written into a
// page; markup (HTML a handler built, entity texts) goes out unchanged.
enum class ValueKind { Text, Markup };

// Index of a marker outside any loop, and of an included file.
constexpr int kTemplateNoIndex = -0x7fffffff;

class TemplateVariables {
public:
    virtual ~TemplateVariables() = default;
    // The value of name with index (kTemplateNoIndex for none); display asks
    // a list parameter for its display text instead of its key. Writes at
    // most size - 1 bytes and a NUL; returns the value's length, or -1 for a
    // name nothing knows. *kind tells how the value must be written.
    virtual int lookupVariable(const char* name, int index, bool display, char* buffer, size_t size,
                               ValueKind* kind) = 0;
    // The loop count of name: the request's own count ("name#") when it
    // exists, else the count of the parameter or parameter family; 0 when
    // nothing knows the name.
    virtual int lookupCount(const char* name) = 0;
    // The translation of text in the request's language, copied into
    // buffer (at most size - 1 bytes and a NUL); returns its length.
    virtual int translate(const char* text, char* buffer, size_t size) = 0;
};

#endif
