// A page's template text through the template engine, with the request's
// variables, translations in the request's language and the values of
// the parameters and identity records.
#include "web/templates/pagetemplate.h"

#include <cstring>
#include <string>

#include "runtime/text/gettext.h"
#include "runtime/tls/tlsconnection.h"
#include "web/http/httprequest.h"
#include "web/templates/pagevalues.h"
#include "web/templates/templatereader.h"

namespace {

int copyOut(const char* text, char* buffer, size_t size) {
    size_t n = std::strlen(text);
    if (n > size - 1)
        n = size - 1;
    std::memcpy(buffer, text, n);
    buffer[n] = '\0';
    return static_cast<int>(n);
}

// The request seen by the engine: its own names first, then the rules of
// the page values.
class RequestTemplateVariables : public TemplateVariables {
public:
    explicit RequestTemplateVariables(HttpRequest& request) : request_(request) {}

    int lookupVariable(const char* name, int index, bool display, char* buffer, size_t size,
                       ValueKind* kind) override {
        *kind = ValueKind::Text;
        if (size == 0)
            return -1;
        if (std::strcmp(name, "lang") == 0)
            return copyOut(request_.language(), buffer, size);
        if (std::strcmp(name, "MetaAutoRefresh") == 0) {
            if (request_.refreshTarget == nullptr || request_.refreshTarget[0] == '\0')
                return copyOut("", buffer, size);
            *kind = ValueKind::Markup;
            return refreshLine(buffer, size);
        }
        if (std::strcmp(name, "ChopProd") == 0 || std::strcmp(name, "ChoPro") == 0 ||
            std::strncmp(name, "NUV_CFG_", 8) == 0)
            return lookupPageValue(name, index, display, buffer, size);
        bool markup = false;
        const char* value = request_.findVariable(name, index == kTemplateNoIndex ? -1 : index, &markup);
        if (value != nullptr) {
            *kind = markup ? ValueKind::Markup : ValueKind::Text;
            return copyOut(value, buffer, size);
        }
        return lookupPageValue(name, index, display, buffer, size);
    }

    int lookupCount(const char* name) override {
        int count = request_.lookupCount(name);
        return count >= 0 ? count : getParamCount(name);
    }

    int translate(const char* text, char* buffer, size_t size) override {
        // The request's task carries its language: getmuText follows it.
        return copyOut(getmuText(text), buffer, size);
    }

private:
    int refreshLine(char* buffer, size_t size) {
        MetaRefresh refresh{};
        refresh.delay = request_.refreshDelay;
        refresh.target = request_.refreshTarget;
        refresh.host = request_.hostHeader != nullptr ? request_.hostHeader : "";
        refresh.langCode = request_.language();
        char address[80] = "";
        TlsConnection* c = request_.connection;
        if (c != nullptr) {
            refresh.tls = c->session != nullptr;
            refresh.localPort = c->local.port() != 0 ? c->local.port() : c->port;
            char text[64];
            if (c->local.toText(text, sizeof text) > 0) {
                if (c->local.family() == 10)
                    std::snprintf(address, sizeof address, "[%s]", text);
                else
                    std::snprintf(address, sizeof address, "%s", text);
            }
        }
        refresh.localAddress = address;
        return formatMetaRefresh(refresh, buffer, size);
    }

    HttpRequest& request_;
};

}  // namespace

int64_t expandPageTemplate(HttpRequest& request, FILE* stream, char* out, int64_t limit, bool scriptMode) {
    std::string text;
    char chunk[8192];
    for (;;) {
        size_t got = std::fread(chunk, 1, sizeof chunk, stream);
        if (got == 0)
            break;
        if (text.size() + got > TemplateStream::kMaxBytes)
            break;
        text.append(chunk, got);
    }
    RequestTemplateVariables variables(request);
    TemplateStream templateStream(std::move(text));
    TemplateReader reader(variables, templateStream);
    TemplateOutput output{out, static_cast<size_t>(limit), static_cast<size_t>(limit) + kTemplateOutputReserve, 0};
    reader.expand(output, kTemplateNoIndex, 255, scriptMode);
    return static_cast<int64_t>(output.length);
}
