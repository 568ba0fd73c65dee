// The values a page template can name beyond the request's own variables:
// built-in names, feature switches, parameter listings, identity records,
// certificate values and the parameters themselves. The request answers
// "lang", "MetaAutoRefresh" and its own variables first, then asks here.
#ifndef WEB_TEMPLATES_PAGEVALUES_H
#define WEB_TEMPLATES_PAGEVALUES_H

#include <cstddef>

// The value of name (index kTemplateNoIndex for none; display asks a list
// parameter for its display text). Writes at most size - 1 bytes and a NUL
// and returns the length; -1 when no rule knows the name. Every value here
// is plain text.
int lookupPageValue(const char* name, int index, bool display, char* buffer, size_t size);

// A loop count from the parameters: for a name of two or more characters
// ending in '_', the family's highest index; else the parameter's choice
// count; 0 when there is no such parameter; 1 for a null name.
int getParamCount(const char* name);

// A parameter as a page shows it: a family member (name ending in '_',
// index >= 0), or the parameter itself, a list parameter with an index
// giving that row (key, or display text with display). "" when there is
// no such parameter. Returns the length.
int formatParam(const char* name, int index, bool display, char* buffer, size_t size);

// The product name without its trailing run of '-' and digits; with
// dropMy, a leading "my" goes too when more than two characters remain.
int formatChoppedProductName(bool dropMy, char* buffer, size_t size);

// The refresh line of a page that moves on by itself.
struct MetaRefresh {
    int delay;              // seconds; negative: to HTTPS port 443 after -delay
    const char* target;     // path, e.g. "/start.html"
    bool tls;               // the request came over TLS
    int localPort;          // the connection's local port
    const char* host;       // Host header, "" for none
    const char* localAddress;  // the connection's local address ("[v6]" already bracketed)
    const char* langCode;   // "" for none
};
// "<meta http-equiv=\"refresh\" content=\"D; url=...\"/>\n" with the host
// escaped for HTML; returns the length (cut to size - 1).
int formatMetaRefresh(const MetaRefresh& refresh, char* buffer, size_t size);

#endif
