// The template engine: expands a page template into an output buffer.
//
// Markers in braces insert values ({name}), counts ({#name}), loops
// ({[name]...}), includes ({.path}) and conditions ({name?then|else},
// {name=value?then|else}); ML("...") and Ml("...") insert translations;
// script blocks are copied without marker processing. Values written by
// markers are escaped for HTML unless stored as markup (templateoutput.h).
//
// Nesting (includes, loop bodies, then- and else-parts) is bounded, and
// each level's work buffers live on the heap, so the deepest page fits a
// request task's small stack. One expansion belongs to one thread.
#ifndef WEB_TEMPLATES_TEMPLATEREADER_H
#define WEB_TEMPLATES_TEMPLATEREADER_H

#include <cstddef>
#include <memory>

#include "web/templates/templateoutput.h"
#include "web/templates/templatestream.h"
#include "web/templates/templatevariables.h"

// Levels of nested expansion one page may use.
constexpr int kTemplateMaxDepth = 16;
// Passes one loop may run.
constexpr int kTemplateMaxLoopPasses = 10000;
// Passes all loops of one page may run together: nested loops would
// otherwise multiply their counts, and a pass need not write a byte.
constexpr long kTemplateMaxPagePasses = 200000;
// Where includes are found ({.path} opens this + path, mapped).
extern const char kTemplateDir[];

// Shared by a page's reader and the readers of its includes.
struct TemplateExpansion {
    static constexpr size_t kValueSize = 2048;
    static constexpr size_t kTokenSize = 256;
    static constexpr size_t kLevelBytes = 2 * kValueSize + kTokenSize;

    TemplateExpansion();
    int depth = 0;
    bool stopped = false;   // an overrun or a nesting error ended the page
    long loopPasses = 0;    // passes of all loops so far
    std::unique_ptr<char[]> pool;   // kLevelBytes per level
    char macroText[256];
    char macroTranslation[1024];

    char* valueBuffer(int level) { return pool.get() + static_cast<size_t>(level) * kLevelBytes; }
    char* operandBuffer(int level) { return valueBuffer(level) + kValueSize; }
    char* tokenBuffer(int level) { return operandBuffer(level) + kValueSize; }
};

class TemplateReader {
public:
    // Reads stream for variables; expansion is the page's shared state
    // (null: the reader makes its own).
    TemplateReader(TemplateVariables& variables, TemplateStream& stream,
                   TemplateExpansion* expansion = nullptr);

    void close() { stream_.close(); }

    // Expands the stream from its position into out until endChar (255 for
    // a whole page, '}' or '|' for parts, 0 for an include) or its end;
    // returns the bytes written. scriptMode begins in a script block.
    int expand(TemplateOutput& out, int index, int endChar, bool scriptMode = false);

    // Value of a marker token ("$_", "_name", "-name", name); the length,
    // -1 when nothing knows the name (buffer then holds "").
    int lookupValue(const char* token, int index, bool display, char* buffer, size_t size, ValueKind* kind);
    // Loop count of name.
    int lookupCount(const char* name) { return variables_.lookupCount(name); }

private:
    // Reads past a part without output; '{' and '}' are counted.
    void skip(int endChar);
    // One marker after its '{'.
    void marker(TemplateOutput& out, int index, int level);
    void loop(TemplateOutput& out, const char* token, int level);
    void include(TemplateOutput& out, const char* path);
    // A comparison operand up to its '?'; false when the stream ended first.
    bool readOperand(char* operand, int index);
    // One byte through the ML/Ml recogniser; held is the recogniser's state.
    void putTranslated(TemplateOutput& out, int byte, int& held);
    void flushHeld(TemplateOutput& out, int& held);
    void translateMacro(TemplateOutput& out, bool quoted);

    TemplateVariables& variables_;
    TemplateStream& stream_;
    std::unique_ptr<TemplateExpansion> ownExpansion_;
    TemplateExpansion* expansion_;
};

#endif
