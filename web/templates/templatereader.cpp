#include "web/templates/templatereader.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <strings.h>

#include "runtime/file/paths.h"

const char kTemplateDir[] = "/romfs/templates";

namespace {

const char kOverrunText[] = "\n<br>ERROR BUFFER OVERRUN?! (%d) <br>\n";
const char kNestingText[] = "\n<br>ERROR TEMPLATE NESTING TOO DEEP?! (%d) <br>\n";
const char kPassesText[] = "\n<br>ERROR TOO MANY LOOP PASSES?! (%ld) <br>\n";

// Bytes that end a marker's token ('?' too, unless it is the first).
struct ByteClass {
    bool table[256] = {};
    explicit ByteClass(const char* bytes) {
        for (; *bytes != '\0'; bytes++)
            table[static_cast<unsigned char>(*bytes)] = true;
    }
    bool operator[](unsigned char c) const { return table[c]; }
};
const ByteClass kTokenEnd("}]<>=!\t\n");
// Bytes that interrupt a run of plain template text.
const ByteClass kRunStop("{<\\M");

// Cuts a trailing "-N" (N decimal) off token: the index N - 1 it names, or
// the given index when there is none.
int cutIndexSuffix(char* token, int index) {
    char* dash = std::strrchr(token, '-');
    if (dash == nullptr || dash == token || !std::isdigit(static_cast<unsigned char>(dash[1])))
        return index;
    int n = std::atoi(dash + 1);
    *dash = '\0';
    return n - 1;
}

// Writes the text that ends a page early. A value written last may have
// filled the reserve beyond the limit; the text then replaces the page's
// tail, so a cut page always says so.
void writeEnding(TemplateOutput& out, const char* text, size_t length) {
    if (length > out.capacity)
        length = out.capacity;
    if (out.capacity - out.length < length)
        out.length = out.capacity - length;
    out.write(text, length);
}

}  // namespace

TemplateExpansion::TemplateExpansion()
    : pool(new char[static_cast<size_t>(kTemplateMaxDepth) * kLevelBytes]) {}

TemplateReader::TemplateReader(TemplateVariables& variables, TemplateStream& stream,
                               TemplateExpansion* expansion)
    : variables_(variables), stream_(stream), expansion_(expansion) {
    if (expansion_ == nullptr) {
        ownExpansion_.reset(new TemplateExpansion());
        expansion_ = ownExpansion_.get();
    }
}

int TemplateReader::expand(TemplateOutput& out, int index, int endChar, bool scriptMode) {
    TemplateExpansion& ex = *expansion_;
    const size_t start = out.length;
    if (ex.stopped)
        return 0;
    if (ex.depth >= kTemplateMaxDepth) {
        char text[80];
        int n = std::snprintf(text, sizeof text, kNestingText, ex.depth);
        writeEnding(out, text, static_cast<size_t>(n));
        ex.stopped = true;
        return static_cast<int>(out.length - start);
    }
    const int level = ex.depth++;
    int held = 0;
    for (;;) {
        if (ex.stopped)
            break;
        if (out.overLimit()) {
            // Said once, by the level that met the limit; the levels
            // around it stop without repeating it.
            flushHeld(out, held);
            char text[80];
            int n = std::snprintf(text, sizeof text, kOverrunText, static_cast<int>(out.length - start));
            writeEnding(out, text, static_cast<size_t>(n));
            ex.stopped = true;
            break;
        }
        if (!scriptMode && held == 0) {
            // A run of bytes that are neither markers, escapes, tags nor
            // macro starts goes out at once.
            const char* run = stream_.rest();
            size_t room = out.limit >= out.length ? out.limit - out.length + 1 : 0;
            size_t n = 0, most = stream_.restSize() < room ? stream_.restSize() : room;
            while (n < most) {
                unsigned char b = static_cast<unsigned char>(run[n]);
                if (kRunStop[b] || b == endChar)
                    break;
                n++;
            }
            if (n > 0) {
                out.write(run, n);
                stream_.advance(n);
                continue;
            }
        }
        int c = stream_.get();
        if (c < 0 || c == endChar)
            break;
        if (c == '<') {
            flushHeld(out, held);
            if (scriptMode && templatePeekMatches(stream_, "/script")) {
                out.put('<');
                scriptMode = false;
                continue;
            }
            if (templatePeekMatches(stream_, "script ")) {
                out.put('<');
                scriptMode = true;
                continue;
            }
        }
        if (scriptMode) {
            putTranslated(out, c, held);
            continue;
        }
        if (c == '\\') {
            flushHeld(out, held);
            int next = stream_.get();
            if (next < 0)
                break;
            out.put(static_cast<char>(next));
            continue;
        }
        if (c == '{') {
            flushHeld(out, held);
            marker(out, index, level);
            continue;
        }
        putTranslated(out, c, held);
    }
    flushHeld(out, held);
    ex.depth--;
    return static_cast<int>(out.length - start);
}

void TemplateReader::skip(int endChar) {
    int count = 0;
    for (;;) {
        int c = stream_.get();
        if (c < 0)
            return;
        if (c == '{') {
            count++;
        } else if (c == '}') {
            count--;
            if (endChar == '}' && count < 0)
                return;
        } else if (c == '|' && endChar == '|' && count <= 0) {
            return;
        }
    }
}

void TemplateReader::marker(TemplateOutput& out, int index, int level) {
    TemplateExpansion& ex = *expansion_;
    char* token = ex.tokenBuffer(level);
    // The token is read from the stream's bytes at once.
    const char* text = stream_.rest();
    const size_t available = stream_.restSize();
    const size_t most = TemplateExpansion::kTokenSize - 2;  // bytes of a token that are used
    size_t at = 0;
    while (at < available) {
        unsigned char b = static_cast<unsigned char>(text[at]);
        if (kTokenEnd[b] || (b == '?' && at > 0))
            break;
        if (at < most)
            token[at] = static_cast<char>(b);  // tokens are short: a byte loop beats a call
        at++;
    }
    if (at == available) {
        stream_.advance(at);
        return;  // the stream ended inside the marker
    }
    const int term = static_cast<unsigned char>(text[at]);
    const size_t n = at < most ? at : most;
    token[n] = '\0';
    stream_.advance(at + 1);
    if (n == 0 && (term == '\t' || term == '\n')) {
        out.put('{');
        out.put(static_cast<char>(term));
        return;
    }
    if (token[0] == '[') {
        loop(out, token + 1, level);
        return;
    }
    if (token[0] == '.') {
        if (n <= 239)
            include(out, token + 1);
        return;
    }

    char* value = ex.valueBuffer(level);
    value[0] = '\0';
    ValueKind kind = ValueKind::Text;
    int length = -1;
    bool condition = false;
    if (token[0] == '#') {
        long number = token[1] == '\0' ? (index == kTemplateNoIndex ? 0 : static_cast<long>(index) + 1)
                                       : lookupCount(token + 1);
        length = std::snprintf(value, TemplateExpansion::kValueSize, "%ld", number);
        condition = true;
    } else if (token[0] == '~' && token[1] == '\0') {
        condition = index != kTemplateNoIndex && (index & 1) != 0;
        length = 0;
    } else if (token[0] == '?') {
        int at = cutIndexSuffix(token + 1, index);
        length = lookupValue(token + 1, at, false, value, TemplateExpansion::kValueSize, &kind);
        if (length < 0) {
            value[0] = '\0';
            length = 0;
        }
        condition = length > 0;
    } else {
        int at = cutIndexSuffix(token, index);
        length = lookupValue(token, at, false, value, TemplateExpansion::kValueSize, &kind);
        condition = length > 0;
        if (length < 0)
            length = 0;
    }

    if (term == '}') {
        writeTemplateValue(out, value, static_cast<size_t>(length), kind);
        return;
    }
    if (term != '?') {
        char* operand = ex.operandBuffer(level);
        if (!readOperand(operand, index)) {
            ex.stopped = true;  // the stream ended inside the operand
            return;
        }
        switch (term) {
        case '=': condition = strcasecmp(value, operand) == 0; break;
        case '!': condition = strcasecmp(value, operand) != 0; break;
        case '<': condition = std::atoi(value) < std::atoi(operand); break;
        case '>': condition = std::atoi(value) > std::atoi(operand); break;
        default: condition = true; break;
        }
    }
    if (condition) {
        expand(out, index, '|');
        skip('}');
    } else {
        skip('|');
        expand(out, index, '}');
    }
}

bool TemplateReader::readOperand(char* operand, int index) {
    const size_t cap = TemplateExpansion::kValueSize - 1;
    size_t n = 0;
    bool ended = false;  // an empty nested value ends the operand
    auto append = [&](const char* text, size_t count) {
        for (size_t i = 0; i < count && n < cap && !ended; i++)
            operand[n++] = text[i];
    };
    for (;;) {
        int c = stream_.get();
        if (c < 0) {
            operand[n] = '\0';
            return false;
        }
        if (c == '?')
            break;
        if (c == '#') {
            char text[24];
            int len = std::snprintf(text, sizeof text, "%ld",
                                    index == kTemplateNoIndex ? 0L : static_cast<long>(index) + 1);
            append(text, static_cast<size_t>(len));
        } else if (c == '{') {
            // A nested marker without further nesting: read its name.
            char name[TemplateExpansion::kTokenSize];
            size_t m = 0;
            for (;;) {
                int d = stream_.get();
                if (d < 0) {
                    operand[n] = '\0';
                    return false;
                }
                if (d == '}')
                    break;
                if (m < sizeof name - 1)
                    name[m++] = static_cast<char>(d);
            }
            name[m] = '\0';
            if (ended)
                continue;
            // The value goes straight into the operand, so it may be as
            // long as the operand's room.
            char* nested = operand + n;
            const size_t room = cap - n + 1;
            int len;
            const char* lookup = name[0] == '?' ? name + 1 : name;
            if (lookup[0] == '#') {
                len = std::snprintf(nested, room, "%d", lookupCount(lookup + 1));
            } else {
                char copy[TemplateExpansion::kTokenSize];
                std::snprintf(copy, sizeof copy, "%s", lookup);
                int at = cutIndexSuffix(copy, index);
                ValueKind kind;
                len = lookupValue(copy, at, false, nested, room, &kind);
            }
            if (len <= 0)
                ended = true;  // an empty value ends the operand
            else
                n += std::strlen(nested);
        } else if (c == '\\') {
            int d = stream_.get();
            if (d < 0) {
                operand[n] = '\0';
                return false;
            }
            char byte = static_cast<char>(d);
            append(&byte, 1);
        } else {
            char byte = static_cast<char>(c);
            append(&byte, 1);
        }
    }
    operand[n] = '\0';
    return true;
}

void TemplateReader::loop(TemplateOutput& out, const char* spec, int level) {
    (void)level;
    int count;
    int first = 0;
    if (std::isdigit(static_cast<unsigned char>(spec[0]))) {
        count = std::atoi(spec);
    } else {
        char name[TemplateExpansion::kTokenSize];
        std::snprintf(name, sizeof name, "%s", spec);
        char* sign = nullptr;
        for (char* p = name + 1; *p != '\0'; p++) {
            if ((*p == '+' || *p == '-') && std::isdigit(static_cast<unsigned char>(p[1])))
                sign = p;
        }
        if (sign != nullptr) {
            first = *sign == '+' ? std::atoi(sign + 1) : -std::atoi(sign + 1);
            *sign = '\0';
        }
        count = lookupCount(name);
    }
    if (count <= 0) {
        skip('}');
        return;
    }
    if (count > kTemplateMaxLoopPasses)
        count = kTemplateMaxLoopPasses;
    const size_t body = stream_.tell();
    for (int pass = 0; pass < count; pass++) {
        if (expansion_->stopped || out.overLimit())
            break;
        if (++expansion_->loopPasses > kTemplateMaxPagePasses) {
            char text[80];
            int n = std::snprintf(text, sizeof text, kPassesText, kTemplateMaxPagePasses);
            writeEnding(out, text, static_cast<size_t>(n));
            expansion_->stopped = true;
            break;
        }
        stream_.seek(body);
        expand(out, first + pass, '}');
    }
    if (expansion_->stopped || out.overLimit()) {
        stream_.seek(body);
        skip('}');
    }
}

void TemplateReader::include(TemplateOutput& out, const char* path) {
    std::string file = mapPath(std::string(kTemplateDir) + path);
    TemplateStream stream;
    if (!stream.openFile(file))
        return;
    TemplateReader reader(variables_, stream, expansion_);
    reader.expand(out, kTemplateNoIndex, 0);
}

int TemplateReader::lookupValue(const char* token, int index, bool display, char* buffer, size_t size,
                                ValueKind* kind) {
    *kind = ValueKind::Text;
    if (size == 0)
        return -1;
    buffer[0] = '\0';
    if (index == -1) {
        std::fputs("ill value -1 for element?! ...fixed\n", stderr);
        index = kTemplateNoIndex;
    }
    if (token[0] == '$' && token[1] == '_') {
        if (index == kTemplateNoIndex)
            return 0;  // outside a loop there is no index to write
        const char* rest = token + 2;
        int n;
        if (rest[0] == '\0') {
            n = std::snprintf(buffer, size, "%d", index);
        } else if (std::isdigit(static_cast<unsigned char>(rest[0]))) {
            int width = std::atoi(rest);
            if (width > 32)
                width = 32;
            n = std::snprintf(buffer, size, "%*.*d", width, width, index);
        } else if (rest[0] == '+') {
            n = std::snprintf(buffer, size, "%ld", static_cast<long>(index) + std::atoi(rest + 1));
        } else {
            return variables_.lookupVariable(token, index, display, buffer, size, kind);
        }
        return n < 0 ? -1 : (static_cast<size_t>(n) < size ? n : static_cast<int>(size - 1));
    }
    if (token[0] == '_' && token[1] != '_')
        return variables_.lookupVariable(token + 1, kTemplateNoIndex, display, buffer, size, kind);
    if (token[0] == '-')
        return variables_.lookupVariable(token + 1, index, true, buffer, size, kind);
    return variables_.lookupVariable(token, index, display, buffer, size, kind);
}

void TemplateReader::putTranslated(TemplateOutput& out, int byte, int& held) {
    // held: 0 nothing, 'M' an M, 'L' or 'l' the M and that letter.
    for (;;) {
        if (held == 0) {
            if (byte == 'M') {
                held = 'M';
                return;
            }
            out.put(static_cast<char>(byte));
            return;
        }
        if (held == 'M' && (byte == 'L' || byte == 'l')) {
            held = byte;
            return;
        }
        if (held != 'M' && byte == '(') {
            bool quoted = held == 'L';
            held = 0;
            if (templatePeekMatches(stream_, "\""))
                stream_.get();
            translateMacro(out, quoted);
            return;
        }
        // Not a macro: the held bytes go out as they were, and this byte is
        // looked at afresh (it may begin a macro itself).
        flushHeld(out, held);
    }
}

void TemplateReader::flushHeld(TemplateOutput& out, int& held) {
    if (held == 0)
        return;
    out.put('M');
    if (held != 'M')
        out.put(static_cast<char>(held));
    held = 0;
}

void TemplateReader::translateMacro(TemplateOutput& out, bool quoted) {
    TemplateExpansion& ex = *expansion_;
    char* text = ex.macroText;
    size_t n = 0;
    int depth = 0;
    bool quoteSeen = false;
    bool textDone = false;
    for (;;) {
        int c = stream_.get();
        if (c < 0)
            break;
        if (c == ')' && depth == 0)
            break;
        if (textDone)
            continue;  // the rest up to the closing ')'
        if (c == '"') {
            if (quoteSeen) {
                textDone = true;
                continue;
            }
            quoteSeen = true;
            continue;
        }
        if (c == '(')
            depth++;
        else if (c == ')')
            depth--;
        if (n < 254)
            text[n++] = static_cast<char>(c);
    }
    text[n] = '\0';
    int length = variables_.translate(text, ex.macroTranslation, sizeof ex.macroTranslation);
    if (length < 0)
        length = 0;
    if (quoted)
        out.put('"');
    out.write(ex.macroTranslation, static_cast<size_t>(length));
    if (quoted)
        out.put('"');
}
