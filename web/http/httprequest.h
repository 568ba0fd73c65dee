// HttpRequest: one web request, served by its own task.
//
// The listener builds the first request of a connection ("HTTP_1") on the
// accepted connection; a request that may keep the connection alive hands
// it, with any bytes of a pipelined next request, to a fresh successor
// ("HTTP_2") when it ends. The task runs an explicit state machine: each
// step does at most one socket, pipe or file operation, and every wait is
// bounded (see the time limits below), so an idle, slow or hostile client
// never holds a task or a descriptor for long.
//
// Page handlers (functions of the page table) run on the request's task
// after the request was read completely and the access check passed; they
// read the form data, set request variables for the page, and choose the
// answer by their result (see PageTable).
#ifndef WEB_HTTP_HTTPREQUEST_H
#define WEB_HTTP_HTTPREQUEST_H

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "runtime/task/task.h"

class TlsConnection;
class PageTable;

// Request states; 4, 5 and 8 have no step of their own (they end as DEAD).
enum HttpState : int32_t {
  READ_HEADER = 0,
  ONE_CR = 1,
  ONE_LF = 2,
  TWO_CR = 3,
  NO_MP = 4,    // multipart phase: still in the HTTP header lines
  SKIP_MP = 5,  // multipart phase: before the first boundary line
  BODY_READ = 6,
  BODY_WRITE = 7,
  ZIPCO_READ = 8,
  FILE_READ = 9,
  PIPE_READ = 10,
  FILE_WRITE = 11,
  FILE_DONE = 12,
  BUFFER_READ = 13,
  BUFFER_WRITE = 14,
  DONE = 15,
  DEAD = 16,
};

// The name of a state ("READ_HEADER" ..), "ERROR" outside the table.
const char* httpStateName(int state);

// Methods.
constexpr int32_t HTTP_GET = 1;
constexpr int32_t HTTP_HEAD = 2;
constexpr int32_t HTTP_POST = 4;

// Sizes of the request's fixed buffers.
constexpr int kHttpReceiveSize = 8192;
constexpr int kHttpOutputSize = 8192;
constexpr int kHttpMaxUrl = 2048;
// A multipart upload longer than this is received and thrown away.
constexpr int32_t kHttpMaxUpload = 8192000;
// Requests one connection may carry.
constexpr int32_t kHttpRequestsPerConnection = 15;
// Stacks of the first request of a connection and of its successors.
constexpr int32_t kHttpFirstStack = 65536;
constexpr int32_t kHttpSuccessorStack = 49152;

// Time limits on the program clock (1/100 s). The keep-alive time-out is
// the one the answers advertise ("timeout=5").
constexpr int64_t kHttpKeepAliveIdleCs = 500;  // a successor's wait for its first byte
constexpr int64_t kHttpHeadCs = 1000;          // a head is complete this long after its start
constexpr int64_t kHttpBodyStallCs = 1000;     // a body read waits at most this for more bytes
constexpr int64_t kHttpWriteStallCs = 1000;    // a write gives up after this without progress
constexpr int64_t kHttpTlsHandshakeCs = 500;   // an HTTPS client's handshake

// Handler results beside a descriptor shifted left by 8.
constexpr int kAnswerRowFile = 1;
constexpr int kAnswerFile = FILE_READ;       // (fd << 8) | 9: a file sent unchanged
constexpr int kAnswerPipe = PIPE_READ;       // (fd << 8) | 10: producer output
constexpr int kAnswerTemplate = BUFFER_READ; // (fd << 8) | 13: template text

class HttpRequest : public Task {
 public:
  // The first request of an accepted connection (task "HTTP_1"); takes
  // ownership of the connection.
  explicit HttpRequest(TlsConnection* accepted);
  ~HttpRequest() override;

  // Builds the successor of a kept-alive request (task "HTTP_2"): it takes
  // the predecessor's connection and the bytes received beyond the end of
  // the predecessor's request.
  static HttpRequest* continueFrom(HttpRequest& predecessor);

  void run() override;
  // One step of the state machine: 1 go on, 0 the request has ended.
  int step();
  void onEnd() override;

  // ---- For page handlers and the page table ----

  // The value of a form field of the query string (GET) or the url-encoded
  // body (POST), decoded in place; "" for an empty value, null when the
  // field is absent or the request has no form data. A name matches only
  // at the start of the form data or right after a '&'. start (null: the
  // start of the form data) continues a search after an earlier value.
  const char* getFormValue(const char* name, const char* start = nullptr);
  // Stores every form field whose name is a parameter key (or "__" and a
  // key) into that parameter; the number of parameters that changed. With
  // groupPrefix and bits: a field named groupPrefix (up to its first '_')
  // and a number sets that bit of *bits (cleared first). The caller commits.
  // refused (optional) receives the keys of the fields whose value their
  // parameter refused, separated by ", ".
  int applyFormToParams(const char* groupPrefix, uint32_t* bits, std::string* refused = nullptr);

  // Request variables for the page. A plain value is text; a markup value
  // is HTML the handler built and goes into the page as it is. A name may
  // be set twice; the first value wins. length 0: up to the terminator.
  void setVariable(const char* name, const char* value, int length = 0);
  void setMarkupVariable(const char* name, const char* value, int length = 0);
  void setIndexedVariable(const char* name, int index, const char* value);
  void printfVariable(const char* name, const char* format, ...) __attribute__((format(printf, 3, 4)));
  void printfIndexedVariable(const char* name, int index, const char* format, ...)
      __attribute__((format(printf, 4, 5)));
  // "current_time" := local time "YYYY-MM-DD HH:MM:SS\n"; 0 without one.
  int setCurrentTimeVariable();
  // The value of a variable (exact name; with index >= 0 also a stored
  // name of name, a letter or digit, whose number equals the index), or
  // null. *markup tells whether it was stored as markup.
  const char* findVariable(const char* name, int index = -1, bool* markup = nullptr) const;
  // The variable name + "#" as a number, -1 when absent.
  int lookupCount(const char* name) const;
  // Drops every variable (logout).
  void clearVariables();
  // requestPath equals text.
  int isPage(const char* text) const;
  // Answers 302 towards the page path (in the request's language) with an
  // optional extra header line, and ends the request.
  void redirectTo(const char* page, const char* extraLine);
  // The request's language code ("de"); "" when none.
  const char* language() const { return langCode; }
  // True when the access check let the caller in as administrator (with
  // session keys off every caller is one).
  bool callerIsAdministrator() const;

  // ---- Response writer ----
  int appendHeader(const char* text);
  int flushHeaders();
  int flushBody();
  void writeContentType();
  void writeContentLength(int64_t length);
  void writeLastModified();
  void writeConnectionHeader();
  void writeSetCookie();
  void writeCommonHeaders();
  void sendFileHeaders();
  int sendTemplateOutput();
  void sendStatus302(const char* location, const char* extraLine);
  void sendStatus400();
  void sendStatus404();
  void sendStatus500();
  void sendStatus501();

  // ---- Members that handlers read and write ----
  const char* contentTypeHeader = nullptr;
  const char* contentType = nullptr;  // MIME type of file and pipe answers; null: by extension
  std::string attachmentName;         // "Content-disposition" file name; "" none
  const char* contentLengthHeader = nullptr;
  const char* userAgentHeader = nullptr;
  const char* refererHeader = nullptr;
  std::string credentials;
  const char* cookieHeader = nullptr;
  const char* hostHeader = nullptr;
  char langCode[4] = {0, 0, 0, 0};
  const char* refreshTarget = nullptr;
  int32_t refreshDelay = 6;
  int32_t fd = -1;
  int64_t startCs = 0;
  std::string filePath;  // appliance path of the page's file
  int32_t http09 = 0;
  int32_t connectionMode = 0;  // 0 not stated, 1 close, 2 keep-alive
  int32_t requestsLeft = kHttpRequestsPerConnection;
  int64_t bodyLength = 0;
  int64_t bodyDone = 0;
  int32_t method = HTTP_GET;
  const char* requestLine = nullptr;
  const char* versionText = nullptr;
  int32_t status = 500;
  const char* ifModifiedSince = nullptr;
  time_t fileMtime = 0;
  const char* authorization = nullptr;
  std::string setCookie;
  int32_t uploadFd = -1;  // the multipart upload; a handler that keeps it sets -1
  std::string uploadFileName;
  TlsConnection* connection = nullptr;
  // Set by the listener for a client of its HTTPS port: the request task
  // runs the server handshake (bounded) before it reads the request.
  int32_t tlsHandshakePending = 0;
  int32_t state = READ_HEADER;
  int32_t pageIndex = -1;
  const char* queryString = nullptr;
  const char* formEnd = nullptr;
  int32_t sessionLevel = 0;
  char requestPath[kHttpMaxUrl + 1] = {0};
  std::string boundary;  // "--" + the multipart boundary; "" none

  // ---- Engine internals (public for the tests of the steps) ----
  int readHeaders();
  int parseRequestLine(char* line);
  int takeHeaderLine(char* line);
  int beginPage();
  void decodeAuthorization();
  int selectLanguage();
  int resolvePagePath();
  int dispatchPage();
  void setStandardVariables();

 private:
  HttpRequest(TlsConnection* connection, const char* taskName);
  void reset(TlsConnection* accepted);

  // Steps.
  int setUpBody();
  int writeBody();
  int readBody();
  int readAnswerSource();
  void takeHeadersIntoOutput();
  int sendBuffered();
  int renderTemplate();
  int writeTemplate();
  int finishDone();
  int answerWithResult(int result);
  int endWithStatus(void (HttpRequest::*page)());
  // The request ends unanswered (DEAD, connection closed): 0.
  int failRequest();
  // The request ends after its pending header bytes (DONE): 1.
  int finish();
  int finishUpload();
  void applyLanguageChoice();

  // I/O with bounded waits. Reads: bytes, 0 when the deadline passed,
  // negative when the peer closed or the connection broke.
  int readUntil(char* memory, int size, int64_t deadlineCs);
  // One write attempt without waiting: bytes written (0 = would block), -1 broken.
  int writeNow(const char* data, int length);
  // After a write made no progress: waits for room (serving messages)
  // within the stall limit; false when the peer took nothing for too long.
  bool awaitWriteRoom();
  void noteWriteProgress();
  void drainPostBody();
  void buildStatusPage(int code, const char* statusLine, const char* extraHeaders, const std::string& body);

  // Form fields: name, value and the end of the value in the form data.
  struct FormField {
    char* name;
    char* value;
    char* valueEnd;
    bool decoded;
  };
  void splitForm();
  char* formFieldValue(FormField& field);

  // Variable list.
  void storeVariable(const char* name, const char* value, int length, char mark);

  std::vector<FormField> formFields_;
  bool formSplit_ = false;
  std::vector<char> formBody_;  // copy of a url-encoded body
  int32_t requestEnd_ = 0;    // receive-buffer index after this request's bytes
  int32_t lineStart_ = 0;     // index of the current line (receive buffer)
  int32_t lineEnd_ = 0;
  int32_t parsePos_ = 0;
  int32_t bodyStart_ = 0;
  int32_t received_ = 0;
  int32_t multipartPhase_ = NO_MP;
  int32_t headerSent_ = 0;
  int32_t headerLen_ = 0;
  int32_t outStart_ = 0;      // output buffer: bytes to write from here ..
  int32_t outEnd_ = 0;        // .. to here
  bool bodyInReceive_ = false;  // BODY_WRITE takes bytes from the receive buffer
  int32_t readState_ = FILE_READ;  // where FILE_WRITE returns
  int64_t trailerLeft_ = 0;
  int64_t sourceRead_ = 0;    // bytes read from the answer's file or pipe   // multipart bytes after the file, still to read
  int64_t templateSent_ = 0;
  int64_t templateLen_ = 0;
  char* templateOutput_ = nullptr;
  char* variables_ = nullptr;
  int32_t variablesUsed_ = 0;
  int32_t variablesCapacity_ = 0;
  int32_t receiveUsed_ = 0;  // receive-buffer bytes an upload has taken
  int64_t beganCs_ = 0;      // program clock when this request began
  int64_t firstByteCs_ = -1;  // program clock of the head's first byte
  int64_t lastProgressCs_ = 0;
  bool successor_ = false;
  bool languageFromPath_ = false;
  bool accessGranted_ = false;
  bool redirected_ = false;
  bool templateHeadersBuilt_ = false;
  char outputBuffer_[kHttpOutputSize];
  char receiveBuffer_[kHttpReceiveSize + 1];
};

// Ports the pages name in "HttpPort" and "HttpsPort"; set by the listener.
void setWebListenPorts(int httpPort, int httpsPort);

#endif
