// The request's life and the reading side of its state machine: the head,
// the request line, the header lines, the form body and multipart uploads.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "runtime/file/fileutil.h"
#include "runtime/socket/connection.h"
#include "runtime/task/uptime.h"
#include "runtime/text/base64.h"
#include "runtime/tls/tlsconnection.h"
#include "runtime/tls/tlshandshake.h"
#include "web/http/httprequest.h"
#include "web/http/httptext.h"

namespace {

const char* const kStateNames[17] = {
    "READ_HEADER", "ONE_CR",    "ONE_LF",    "TWO_CR",      "NO_MP",        "SKIP_MP", "BODY_READ", "BODY_WRITE", "ZIPCO_READ",
    "FILE_READ",   "PIPE_READ", "FILE_WRITE", "FILE_DONE", "BUFFER_READ", "BUFFER_WRITE", "DONE",    "DEAD",
};

bool startsWith(const char* text, const char* prefix) { return std::strncmp(text, prefix, std::strlen(prefix)) == 0; }

// A Content-Length value: a plain decimal within int32, blanks around it.
bool parseContentLength(const char* text, int64_t* out) {
  while (*text == ' ' || *text == '\t') ++text;
  if (*text < '0' || *text > '9') return false;
  int64_t value = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    value = value * 10 + (*text - '0');
    if (value > INT32_MAX) return false;
  }
  while (*text == ' ' || *text == '\t') ++text;
  if (*text != '\0') return false;
  *out = value;
  return true;
}

}  // namespace

const char* httpStateName(int state) { return state >= 0 && state < 17 ? kStateNames[state] : "ERROR"; }

HttpRequest::HttpRequest(TlsConnection* accepted) : HttpRequest(accepted, "HTTP_1") {}

HttpRequest::HttpRequest(TlsConnection* accepted, const char* taskName) : Task(taskName) {
  successor_ = std::strcmp(taskName, "HTTP_2") == 0;
  reset(accepted);
}

void HttpRequest::reset(TlsConnection* accepted) {
  connection = accepted;
  if (connection != nullptr) {
    connection->owner = this;
    // Answers leave in few writes; none of them should wait for an ACK.
    // (Set once per connection: successors keep the socket as it is.)
    if (!successor_ && connection->fd >= 0 && (connection->family == 2 || connection->family == 10))
      connection->set_nagleon();
  }
  multipartPhase_ = NO_MP;
  state = READ_HEADER;
  startCs = uptimeCs();
  beganCs_ = startCs;
  lastProgressCs_ = startCs;
  requestsLeft = kHttpRequestsPerConnection;
  status = 500;
  method = HTTP_GET;
  refreshDelay = 6;
  pageIndex = -1;
  fd = -1;
  uploadFd = -1;
  requestPath[0] = '\0';
}

HttpRequest* HttpRequest::continueFrom(HttpRequest& predecessor) {
  HttpRequest* next = new (std::nothrow) HttpRequest(predecessor.connection, "HTTP_2");
  if (next == nullptr) return nullptr;
  predecessor.connection = nullptr;
  next->requestsLeft = predecessor.requestsLeft - 1;
  next->startCs = predecessor.startCs;
  const int32_t from = predecessor.requestEnd_;
  const int32_t left = predecessor.received_ - from;
  if (from > 0 && left > 0 && left <= kHttpReceiveSize) {
    std::memmove(next->receiveBuffer_, predecessor.receiveBuffer_ + from, static_cast<size_t>(left));
    next->received_ = left;
    next->firstByteCs_ = next->beganCs_;
  }
  return next;
}

void HttpRequest::onEnd() {
  if (uploadFd >= 0) ::close(uploadFd);
  uploadFd = -1;
  if (fd >= 0) ::close(fd);
  fd = -1;
  if (connection == nullptr) return;
  if (connectionMode == 2 && status < 500 && requestsLeft > 0) {
    HttpRequest* next = continueFrom(*this);
    if (next != nullptr && next->start(kHttpSuccessorStack) < 0) delete next;  // closes the connection
    if (next != nullptr) return;
  }
  if (method == HTTP_POST) drainPostBody();
  connection->close();
  delete connection;
  connection = nullptr;
}

HttpRequest::~HttpRequest() {
  // onEnd has run when the task's thread ended; a request that never
  // started (or whose successor start failed) releases here.
  if (uploadFd >= 0) ::close(uploadFd);
  if (fd >= 0) ::close(fd);
  if (connection != nullptr) {
    connection->close();
    delete connection;
  }
  std::free(variables_);
  std::free(templateOutput_);
}

void HttpRequest::run() {
  if (tlsHandshakePending) {
    tlsHandshakePending = 0;
    if (connection == nullptr) return;
    connection->session = tlsServerHandshake(connection, kHttpTlsHandshakeCs);
    if (connection->session == nullptr) return;  // the end closes the connection
    // The request's own time limits start after the handshake.
    startCs = beganCs_ = lastProgressCs_ = uptimeCs();
  }
  // Every wait of a step serves the task's messages; between steps a
  // message is looked for now and then, so a request that never waits
  // still serves its messages.
  for (unsigned steps = 1; step(); ++steps)
    if (steps % 8 == 0) servePendingMessage();
}

int HttpRequest::step() {
  if (headerLen_ != 0 && state != DONE && state != DEAD) {
    const int32_t before = headerSent_;
    if (flushHeaders() == -2) return 0;
    if (headerLen_ != 0 && headerSent_ == before && !awaitWriteRoom()) return failRequest();
    return 1;
  }
  switch (state) {
    case READ_HEADER:
    case ONE_CR:
    case ONE_LF:
    case TWO_CR:
      return readHeaders();
    case BODY_READ:
      return readBody();
    case BODY_WRITE:
      return writeBody();
    case FILE_READ:
    case PIPE_READ:
      return readAnswerSource();
    case FILE_WRITE:
    case FILE_DONE:
      return sendBuffered();
    case BUFFER_READ:
      return renderTemplate();
    case BUFFER_WRITE:
      return writeTemplate();
    case DONE:
      return finishDone();
    case DEAD:
      headerLen_ = 0;
      connectionMode = 1;
      return 0;
    default:
      state = DEAD;
      headerLen_ = 0;
      connectionMode = 1;
      return 0;
  }
}

int HttpRequest::failRequest() {
  state = DEAD;
  headerLen_ = 0;
  headerSent_ = 0;
  connectionMode = 1;
  return 0;
}

int HttpRequest::finish() {
  state = DONE;
  return 1;
}

int HttpRequest::endWithStatus(void (HttpRequest::*page)()) {
  (this->*page)();
  if (state == DEAD) return failRequest();
  return finish();
}

int HttpRequest::finishDone() {
  if (headerLen_ != 0) {
    const int32_t before = headerSent_;
    if (flushHeaders() == -2) return 0;
    if (headerLen_ != 0) {
      if (headerSent_ == before && !awaitWriteRoom()) return failRequest();
      return 1;
    }
  }
  state = DEAD;
  return 0;
}

// ---- The head ----

int HttpRequest::readHeaders() {
  while (parsePos_ < received_) {
    const char c = receiveBuffer_[parsePos_];
    int32_t next = state;
    bool blank = false;
    switch (state) {
      case READ_HEADER:
        if (c == '\r' || c == '\n') {
          next = c == '\r' ? ONE_CR : ONE_LF;
          lineEnd_ = parsePos_;
        }
        break;
      case ONE_CR:
        next = c == '\r' ? ONE_CR : c == '\n' ? ONE_LF : READ_HEADER;
        break;
      default:  // ONE_LF, TWO_CR
        if (c == '\n')
          blank = true;
        else
          next = c == '\r' ? TWO_CR : READ_HEADER;
        break;
    }
    ++parsePos_;
    if (blank) {
      if (!boundary.empty() && multipartPhase_ != 0) {
        // The HTTP head of an upload ended; the part headers follow.
        state = READ_HEADER;
        if (multipartPhase_ == NO_MP) bodyStart_ = parsePos_;
        multipartPhase_ = SKIP_MP;
        lineStart_ = parsePos_;
        continue;
      }
      if (requestEnd_ == 0) requestEnd_ = parsePos_;
      state = BODY_READ;  // left by beginPage or the body set-up
      const int r = beginPage();
      if (r != 2) return r;
      return setUpBody();
    }
    state = next;
    if (next != ONE_LF) continue;
    // A line ended.
    receiveBuffer_[lineEnd_] = '\0';
    char* line = receiveBuffer_ + lineStart_;
    lineStart_ = parsePos_;
    if (multipartPhase_ == NO_MP) {
      const char* boundaryAt = method == HTTP_POST && boundary.empty() && requestLine != nullptr ? std::strstr(line, "boundary=") : nullptr;
      if (boundaryAt != nullptr) {
        const char* value = boundaryAt + 9;
        size_t length = std::strlen(value);
        if (length >= 2 && value[0] == '"' && value[length - 1] == '"') {
          ++value;
          length -= 2;
        }
        boundary.assign("--").append(value, length);
      } else if (requestLine != nullptr) {
        if (!takeHeaderLine(line)) return failRequest();
      } else {
        if (!parseRequestLine(line)) return state == DEAD ? failRequest() : finish();
        if (http09) {
          requestEnd_ = parsePos_;
          state = BODY_READ;
          const int r = beginPage();
          if (r != 2) return r;
          return setUpBody();
        }
      }
    } else if (multipartPhase_ == SKIP_MP) {
      if (std::strcmp(line, boundary.c_str()) == 0) multipartPhase_ = 0;
    } else if (const char* name = std::strstr(line, "filename=")) {
      uploadFileName = name + 9;
    }
  }

  // More of the head is needed.
  if (received_ >= kHttpReceiveSize) return failRequest();
  int64_t deadline;
  if (firstByteCs_ < 0)
    deadline = beganCs_ + (successor_ ? kHttpKeepAliveIdleCs : kHttpHeadCs);
  else
    deadline = firstByteCs_ + kHttpHeadCs;
  const int n = readUntil(receiveBuffer_ + received_, kHttpReceiveSize - received_, deadline);
  if (n <= 0) return failRequest();
  if (firstByteCs_ < 0) firstByteCs_ = uptimeCs();
  received_ += n;
  return 1;
}

int HttpRequest::parseRequestLine(char* line) {
  const char* p;
  if (startsWith(line, "GET ")) {
    method = HTTP_GET;
    p = line + 4;
  } else if (startsWith(line, "HEAD ")) {
    method = HTTP_HEAD;
    p = line + 5;
  } else if (startsWith(line, "POST ")) {
    method = HTTP_POST;
    p = line + 5;
  } else {
    sendStatus501();
    return 0;
  }
  requestLine = line;
  versionText = "HTTP/0.9";
  http09 = 1;
  while (*p == ' ') ++p;
  const size_t length = std::strcspn(p, " ");
  // A line that names a version gets its error page with headers, even
  // when the version is not one this server speaks.
  const char* after = p + length;
  while (*after == ' ') ++after;
  if (*after != '\0') http09 = 0;
  if (length > static_cast<size_t>(kHttpMaxUrl)) {
    sendStatus400();
    return 0;
  }
  std::memcpy(requestPath, p, length);
  requestPath[length] = '\0';
  formEnd = requestPath + length;
  p += length;
  if (*p == ' ') {
    while (*p == ' ') ++p;
    unsigned major = 0;
    unsigned minor = 0;
    if (std::sscanf(p, "HTTP/%u.%u", &major, &minor) != 2 || major > 1 || (major == 1 && minor > 1)) {
      sendStatus400();
      return 0;
    }
    if (major == 1)
      versionText = p;
    else
      http09 = 1;
  }
  if (method == HTTP_HEAD && http09) {
    // A HEAD answer has no body, so without a header block it would say nothing.
    http09 = 0;
    sendStatus400();
    return 0;
  }
  return 1;
}

int HttpRequest::takeHeaderLine(char* line) {
  char* colon = std::strchr(line, ':');
  if (colon == nullptr) return 0;
  *colon = '\0';
  toCgiHeaderName(line);
  char* value = colon + 1;
  while (*value == ' ' || *value == '\t') ++value;

  if (std::strcmp(line, "IF_MODIFIED_SINCE") == 0) {
    if (ifModifiedSince == nullptr) ifModifiedSince = value;
  } else if (std::strcmp(line, "CONTENT_TYPE") == 0) {
    if (contentTypeHeader == nullptr) contentTypeHeader = value;
  } else if (std::strcmp(line, "CONTENT_LENGTH") == 0) {
    if (contentLengthHeader == nullptr) contentLengthHeader = value;
  } else if (startsWith(line, "AUTHORIZATION")) {
    // The value after "Basic "; a shorter one carries no credentials.
    if (authorization == nullptr && std::strlen(value) >= 6) authorization = value + 6;
  } else if (startsWith(line, "COOKIE")) {
    if (cookieHeader == nullptr) cookieHeader = value;
  } else if (startsWith(line, "HOST")) {
    if (hostHeader == nullptr) {
      // The port goes; an IPv6 literal keeps its brackets.
      char* end = value;
      if (*value == '[') {
        char* close = std::strchr(value, ']');
        end = close != nullptr ? close + 1 : value + std::strlen(value);
      }
      char* port = std::strchr(end, ':');
      if (port != nullptr) *port = '\0';
      hostHeader = value;
    }
  } else if (std::strcmp(line, "CONNECTION") == 0) {
    if (connectionMode != 1) {
      toCgiHeaderName(value);
      connectionMode = startsWith(value, "KEEP_ALIVE") ? 2 : 1;
    }
  } else if (std::strcmp(line, "REFERER") == 0) {
    refererHeader = value;
  } else if (std::strcmp(line, "USER_AGENT") == 0) {
    userAgentHeader = value;
  }
  return 1;
}

void HttpRequest::decodeAuthorization() {
  if (authorization == nullptr || *authorization == '\0') return;
  const size_t size = std::strlen(authorization) * 2 + 1;
  unsigned char* decoded = static_cast<unsigned char*>(std::calloc(size, 1));
  if (decoded == nullptr) return;
  const int n = base64Decode(authorization, decoded, static_cast<int>(size));
  if (n > 0) credentials.assign(reinterpret_cast<char*>(decoded), static_cast<size_t>(n));
  std::free(decoded);
}

int HttpRequest::beginPage() {
  if (requestLine == nullptr) return endWithStatus(&HttpRequest::sendStatus500);
  char* query = nullptr;
  if (!decodeUrlPath(requestPath, &query) || requestPath[0] != '/') return endWithStatus(&HttpRequest::sendStatus400);
  queryString = query;
  if (query == nullptr) formEnd = nullptr;
  selectLanguage();
  resolvePagePath();
  decodeAuthorization();
  if (method == HTTP_POST) return 2;
  return dispatchPage();
}

// ---- The body ----

int HttpRequest::setUpBody() {
  state = BODY_WRITE;
  int64_t length = 0;
  if (contentLengthHeader == nullptr || !parseContentLength(contentLengthHeader, &length))
    return endWithStatus(&HttpRequest::sendStatus400);
  const int32_t headEnd = parsePos_;
  if (boundary.empty()) {
    // url-encoded: the whole body must fit behind the head.
    if (headEnd + length > kHttpReceiveSize) return endWithStatus(&HttpRequest::sendStatus400);
    const int64_t deadlineStall = kHttpBodyStallCs;
    while (received_ < headEnd + length) {
      const int n = readUntil(receiveBuffer_ + received_, static_cast<int>(headEnd + length - received_),
                              uptimeCs() + deadlineStall);
      if (n == 0) return failRequest();
      if (n < 0) return endWithStatus(&HttpRequest::sendStatus400);
      received_ += n;
    }
    requestEnd_ = static_cast<int32_t>(headEnd + length);
    // The form gets its own copy, so cutting values never touches the
    // bytes of a pipelined next request.
    formBody_.assign(receiveBuffer_ + headEnd, receiveBuffer_ + requestEnd_);
    formBody_.push_back('\0');
    queryString = formBody_.data();
    formEnd = formBody_.data() + length;
    formSplit_ = false;
    return dispatchPage();
  }

  // multipart: the length of the file alone.
  const int64_t total = length;
  length -= (headEnd - bodyStart_) + static_cast<int64_t>(boundary.size()) + 6;
  if (length < 0) return endWithStatus(&HttpRequest::sendStatus400);
  trailerLeft_ = total - (headEnd - bodyStart_) - length;
  if (length <= kHttpMaxUpload) {
    uploadFd = openAnonymousTempFile();
    if (uploadFd < 0) return failRequest();
  }
  bodyLength = length;
  bodyDone = 0;
  const int64_t available = received_ - headEnd;
  bodyInReceive_ = true;
  outStart_ = headEnd;
  outEnd_ = static_cast<int32_t>(headEnd + (available < length ? available : length));
  receiveUsed_ = outEnd_;
  return 1;
}

int HttpRequest::writeBody() {
  const char* source = bodyInReceive_ ? receiveBuffer_ : outputBuffer_;
  int64_t n = outEnd_ - outStart_;
  if (n > bodyLength - bodyDone) n = bodyLength - bodyDone;
  if (n > 0) {
    if (uploadFd >= 0) {
      const ssize_t written = ::write(uploadFd, source + outStart_, static_cast<size_t>(n));
      if (written < 0) {
        if (errno == EINTR || errno == EAGAIN) return 1;
        std::perror("write body");
        // No handler sees a partial file.
        return endWithStatus(&HttpRequest::sendStatus500);
      }
      if (written == 0) return endWithStatus(&HttpRequest::sendStatus500);
      n = written;
    }
    outStart_ += static_cast<int32_t>(n);
    bodyDone += n;
    return 1;
  }
  bodyInReceive_ = false;
  outStart_ = outEnd_ = 0;
  if (bodyDone < bodyLength) {
    state = BODY_READ;
    return 1;
  }
  return finishUpload();
}

int HttpRequest::readBody() {
  int64_t want = bodyLength - bodyDone;
  if (want > kHttpOutputSize) want = kHttpOutputSize;
  const int n = readUntil(outputBuffer_, static_cast<int>(want), uptimeCs() + kHttpBodyStallCs);
  if (n == 0) return failRequest();  // stalled: ends unanswered
  if (n < 0) return endWithStatus(&HttpRequest::sendStatus400);
  outStart_ = 0;
  outEnd_ = n;
  state = BODY_WRITE;
  return 1;
}

int HttpRequest::finishUpload() {
  // The closing delimiter belongs to this request: take it from what was
  // received with the head, then from the socket, so the next request on
  // the connection starts at its own first byte.
  const int64_t buffered = received_ - receiveUsed_;
  const int64_t take = trailerLeft_ < buffered ? trailerLeft_ : buffered;
  receiveUsed_ += static_cast<int32_t>(take);
  trailerLeft_ -= take;
  requestEnd_ = receiveUsed_;
  while (trailerLeft_ > 0) {
    const int want = trailerLeft_ > kHttpOutputSize ? kHttpOutputSize : static_cast<int>(trailerLeft_);
    const int n = readUntil(outputBuffer_, want, uptimeCs() + kHttpBodyStallCs);
    if (n <= 0) {
      connectionMode = 1;  // the rest never came: no successor reads it
      break;
    }
    trailerLeft_ -= n;
  }
  if (uploadFd >= 0) ::lseek(uploadFd, 0, SEEK_SET);
  return dispatchPage();
}
