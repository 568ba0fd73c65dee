// The response side: the header buffer and its flushing, the header lines
// of every answer, and the fixed status pages. Writes never wait: what the
// socket does not take stays pending, and the request's step waits for
// room (bounded) before it tries again.
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "web/http/httprequest.h"
#include "web/http/httptext.h"

namespace {

constexpr char kContentTypeHtml[] = "Content-Type: text/html; charset=UTF-8\r\n";

std::string statusBody(const char* title, const char* text) {
  std::string body = "<HTML><HEAD><TITLE>";
  body.append(title).append("</TITLE></HEAD>\n<BODY><H1>").append(title).append("</H1>\n");
  body.append(text).append("\n</BODY></HTML>\n");
  return body;
}

// Header values a handler gives must not end the line early.
std::string oneLine(const std::string& text) {
  std::string out;
  for (char c : text)
    if (c != '\r' && c != '\n') out.push_back(c);
  return out;
}

}  // namespace

int HttpRequest::appendHeader(const char* text) {
  if (text == nullptr || *text == '\0' || state == DEAD) return headerLen_;
  const size_t length = std::strlen(text);
  if (headerLen_ + length > static_cast<size_t>(kHttpOutputSize)) {
    state = DEAD;
    return -1;
  }
  if (headerLen_ == 0) noteWriteProgress();  // the stall limit counts from here
  std::memcpy(outputBuffer_ + headerLen_, text, length);
  headerLen_ += static_cast<int32_t>(length);
  return headerLen_;
}

int HttpRequest::flushHeaders() {
  if (state == DEAD) return -2;
  if (headerLen_ <= headerSent_) {
    headerLen_ = headerSent_ = 0;
    return 0;
  }
  const int n = writeNow(outputBuffer_ + headerSent_, headerLen_ - headerSent_);
  if (n < 0) {
    headerSent_ = headerLen_ = 0;
    state = DEAD;
    return -2;
  }
  headerSent_ += n;
  if (headerSent_ >= headerLen_) headerSent_ = headerLen_ = 0;
  return headerLen_;
}

int HttpRequest::flushBody() {
  if (state == DEAD || templateOutput_ == nullptr) return -2;
  if (templateLen_ <= templateSent_) {
    templateLen_ = templateSent_ = 0;
    return 0;
  }
  int64_t left = templateLen_ - templateSent_;
  if (left > (1 << 30)) left = 1 << 30;
  const int n = writeNow(templateOutput_ + templateSent_, static_cast<int>(left));
  if (n < 0) {
    templateSent_ = templateLen_ = 0;
    state = DEAD;
    return -2;
  }
  templateSent_ += n;
  bodyDone += n;
  if (templateSent_ >= templateLen_) templateSent_ = templateLen_ = 0;
  return templateLen_ > 0 ? 1 : 0;
}

void HttpRequest::writeContentType() {
  std::string line = "Content-Type: ";
  line.append(contentType != nullptr ? contentType : mimeTypeForPath(requestPath));
  if (!attachmentName.empty()) {
    // The charset text below then ends the disposition line; browsers
    // have always read it that way.
    line.append("\r\nContent-disposition: attachment; filename=").append(oneLine(attachmentName));
    attachmentName.clear();
  }
  line.append("; charset=UTF-8\r\n");
  appendHeader(line.c_str());
}

void HttpRequest::writeContentLength(int64_t length) {
  char line[48];
  std::snprintf(line, sizeof line, "Content-Length: %lld\r\n", static_cast<long long>(length));
  appendHeader(line);
}

void HttpRequest::writeLastModified() {
  char date[40];
  formatHttpDate(fileMtime, date, sizeof date);
  std::string line = std::string("Last-Modified: ") + date + "\r\n";
  appendHeader(line.c_str());
}

void HttpRequest::writeConnectionHeader() {
  if (requestsLeft > 0 && connectionMode == 2 && status < 500) {
    char line[80];
    std::snprintf(line, sizeof line, "Connection: Keep-Alive\r\nKeep-Alive: timeout=%d, max=%d\r\n",
                  static_cast<int>(kHttpKeepAliveIdleCs / 100), requestsLeft);
    appendHeader(line);
  } else {
    appendHeader("Connection: close\r\n");
  }
}

void HttpRequest::writeSetCookie() {
  if (setCookie.empty()) return;
  appendHeader(("Set-Cookie:" + oneLine(setCookie) + "\r\n").c_str());
}

void HttpRequest::writeCommonHeaders() {
  char date[40];
  formatHttpDate(time(nullptr), date, sizeof date);
  appendHeader((std::string("Date: ") + date + "\r\nServer: ORV HTTP Server\r\n").c_str());
  writeConnectionHeader();
  appendHeader("Accept-Charset: UTF-8\r\n");
}

void HttpRequest::sendFileHeaders() {
  status = 200;
  if (http09) return;
  appendHeader("HTTP/1.1 200 OK\r\n");
  writeCommonHeaders();
  if (bodyLength > 0) writeContentLength(bodyLength);
  writeLastModified();
  writeContentType();
  appendHeader("\r\n");
}

int HttpRequest::sendTemplateOutput() {
  if (templateOutput_ == nullptr) return 0;
  bodyLength = templateLen_;
  status = 200;
  fileMtime = time(nullptr);
  appendHeader("HTTP/1.1 200 OK\r\n");
  writeCommonHeaders();
  appendHeader("Cache-Control: no-cache\r\nX-Frame-Options: deny\r\n");
  if (templateLen_ > 0) writeContentLength(templateLen_);
  writeLastModified();
  writeContentType();
  appendHeader("Pragma: No-cache\r\n\r\n");
  if (flushHeaders() == -2) return 0;
  if (headerLen_ != 0) return 1;
  if (method == HTTP_HEAD) return 0;
  return flushBody() > 0 ? 1 : 0;
}

void HttpRequest::buildStatusPage(int code, const char* statusLine, const char* extraHeaders, const std::string& body) {
  connectionMode = 1;
  status = code;
  if (!http09) {
    appendHeader(statusLine);
    writeCommonHeaders();
    appendHeader(extraHeaders);
  }
  if (method != HTTP_HEAD) appendHeader(body.c_str());
  flushHeaders();
}

void HttpRequest::sendStatus302(const char* location, const char* extraLine) {
  const std::string where = oneLine(location != nullptr ? location : "/");
  std::string headers = kContentTypeHtml;
  headers.append("Location: ").append(where);
  if (extraLine != nullptr && *extraLine != '\0') headers.append("\r\n").append(oneLine(extraLine));
  headers.append("\r\n\r\n");
  const std::string body = "<HTML><HEAD><TITLE>302 Moved Temporarily</TITLE></HEAD>\n<BODY>\n<H1>302 Moved</H1>"
                           "The document has moved\n<A HREF=\"" + where + "\">here</A>.\n</BODY></HTML>\n";
  buildStatusPage(302, "HTTP/1.1 302 Moved Temporarily\r\n", headers.c_str(), body);
}

void HttpRequest::sendStatus400() {
  buildStatusPage(400, "HTTP/1.1 400 Bad Request\r\n", "Content-Type: text/html; charset=UTF-8\r\n\r\n",
                  statusBody("400 Bad Request", "Your client has issued a malformed or illegal request."));
}

void HttpRequest::sendStatus404() {
  char echo[kHttpMaxUrl + 1];
  std::snprintf(echo, sizeof echo, "%s", requestPath);
  cutUrlForEcho(echo);
  const std::string text = std::string("The requested URL ") + echo + " was not found on this server.";
  buildStatusPage(404, "HTTP/1.1 404 Not Found\r\n", "Content-Type: text/html; charset=UTF-8\r\n\r\n",
                  statusBody("404 Not Found", text.c_str()));
}

void HttpRequest::sendStatus500() {
  buildStatusPage(500, "HTTP/1.1 500 Server Error\r\n", "Content-Type: text/html; charset=UTF-8\r\n\r\n",
                  statusBody("500 Server Error",
                             "The server encountered an internal error and could not complete your request."));
}

void HttpRequest::sendStatus501() {
  buildStatusPage(501, "HTTP/1.1 501 Not Implemented\r\n", "Content-Type: text/html; charset=UTF-8\r\n\r\n",
                  statusBody("501 Not Implemented", "POST to non-script is not supported."));
}
