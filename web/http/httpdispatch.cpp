// From a read request to its answer: language, page row and file, the
// access check, the handler, and the answer states (files, producer pipes,
// template pages).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "params/identity/productparams.h"
#include "params/store/paramstore.h"
#include "params/types/p3list.h"
#include "params/types/param.h"
#include "runtime/file/fileutil.h"
#include "runtime/file/paths.h"
#include "runtime/socket/fdflags.h"
#include "runtime/task/uptime.h"
#include "runtime/text/gettext.h"
#include "runtime/tls/tlsconnection.h"
#include "web/http/httprequest.h"
#include "web/http/httptext.h"
#include "web/http/webstats.h"
#include "web/pages/pagetable.h"
#include "web/templates/pagetemplate.h"

namespace {

std::atomic<int> listenHttpPort{-1};
std::atomic<int> listenHttpsPort{-1};

const char* const kExtensions[] = {"html", "htm", "mlc", "php", "cgi"};

bool paramIsOn(const char* key) {
  Param* p = paramStore.find(key);
  return p != nullptr && p->isOn();
}

bool isLanguageKey(const char* code) {
  P3List* language = paramStore.findList("language");
  return language != nullptr && language->findKey(code) != NO_INDEX;
}

// -1 missing, 0 a file (or anything else), 1 a directory.
int pathKind(const std::string& appliancePath) {
  struct stat st;
  if (::stat(mapPath(appliancePath).c_str(), &st) != 0) return -1;
  return S_ISDIR(st.st_mode) ? 1 : 0;
}
bool exists(const std::string& appliancePath) { return pathKind(appliancePath) >= 0; }

}  // namespace

void setWebListenPorts(int httpPort, int httpsPort) {
  listenHttpPort.store(httpPort);
  listenHttpsPort.store(httpsPort);
}

// ---- Language ----

int HttpRequest::selectLanguage() {
  char code[3];
  langCode[0] = '\0';
  languageFromPath_ = extractLanguageFromPath(requestPath, code, isLanguageKey) != 0;
  P3List* language = paramStore.findList("language");
  if (languageFromPath_)
    std::memcpy(langCode, code, 3);
  else if (language != nullptr)
    std::snprintf(langCode, sizeof langCode, "%s", language->currentKey());
  const char* locale = "";
  if (language != nullptr && langCode[0] != '\0') {
    const int32_t row = language->findKey(langCode);
    if (row != NO_INDEX && row >= 0 && row < language->rowCount() && language->rows()[row].extra != nullptr)
      locale = language->rows()[row].extra;
  }
  // Translations on this task follow the request's own language.
  setThreadMessageLanguage(locale);
  return languageFromPath_ ? 1 : 0;
}

bool HttpRequest::callerIsAdministrator() const {
  if (!accessGranted_) return false;
  return !paramIsOn("sessKeys") || sessionLevel >= 3;
}

void HttpRequest::applyLanguageChoice() {
  // A language chosen by URL becomes the device's language only when an
  // administrator asked for it, and only when it differs.
  if (!languageFromPath_ || !callerIsAdministrator()) return;
  P3List* language = paramStore.findList("language");
  if (language == nullptr || std::strcmp(language->currentKey(), langCode) == 0) return;
  if (language->set(langCode) != 0) paramStore.commitAndSave();
}

// ---- Page row and file ----

int HttpRequest::resolvePagePath() {
  filePath.clear();
  if (pageTable == nullptr) {
    pageIndex = -1;
    return -1;
  }
  pageIndex = pageTable->findRow(requestPath);
  std::string path;  // the page's path under the templates
  if (pageIndex >= 1) {
    path = pageTable->row(pageIndex).path;
  } else {
    path = requestPath;
    const std::string base = "/romfs/templates";
    std::string candidate = base + path;
    const int kind = pathKind(candidate);
    if (kind < 0) {
      const size_t slash = candidate.rfind('/');
      const size_t dot = candidate.rfind('.');
      if (dot != std::string::npos && dot > slash) {
        bool found = false;
        for (const char* extension : kExtensions) {
          const std::string tried = candidate.substr(0, dot + 1) + extension;
          if (exists(tried)) {
            candidate = tried;
            found = true;
            break;
          }
        }
        if (!found) return -1;
      }
    } else if (kind == 1) {
      const std::string directory = candidate + (candidate.back() == '/' ? "index." : "/index.");
      bool found = false;
      for (const char* extension : kExtensions) {
        if (exists(directory + extension)) {
          candidate = directory + extension;
          found = true;
          break;
        }
      }
      if (!found) return -1;
    }
    path = candidate.substr(base.size());
    pageIndex = pageTable->findRow(path.c_str());
  }
  const char* skin = pageTable->skinDir();
  if (skin != nullptr && *skin != '\0') {
    const std::string skinned = std::string("/romfs/") + skin + path;
    if (exists(skinned)) {
      filePath = skinned;
      return pageIndex;
    }
  }
  filePath = "/romfs/templates" + path;
  return pageIndex;
}

void HttpRequest::setStandardVariables() {
  int directoryLength = 0;
  const char* path = pageTable != nullptr ? pageTable->currentPath(*this, &directoryLength) : "";
  // "/network/ipv4.html" gives "network"; top-level pages give "".
  if (directoryLength + 1 > 2)
    setVariable("SubDir", path + 1, directoryLength - 1);
  else
    setVariable("SubDir", "");
  const char* slash = std::strrchr(path, '/');
  setVariable("FileName", slash != nullptr ? slash + 1 : path);
  setVariable("Host", hostHeader != nullptr ? hostHeader : "");
  printfVariable("HttpPort", "%d", listenHttpPort.load());
  printfVariable("HttpsPort", "%d", listenHttpsPort.load());
  P3List* test = paramStore.findList("protection_test");
  if (test != nullptr && test->equals("test"))
    setVariable("HeadInfo", getmuText("Port access control: test mode active until device restart."));
}

// ---- Dispatch ----

int HttpRequest::dispatchPage() {
  if (pageTable == nullptr || pageIndex < 0) return endWithStatus(&HttpRequest::sendStatus404);
  int result;
  if (!paramIsOn("http_allowed") && connection != nullptr && connection->session == nullptr &&
      (exists("/flash/cert_pkey.pem") || exists("/flash/cert_fsrv.pem"))) {
    result = pageTable->showRedirector(*this, 1);
  } else {
    if (!pageTable->isRawFile(pageIndex)) setStandardVariables();
    if (!pageTable->checkAccess(pageIndex, *this)) {
      redirectTo("/index.html", nullptr);
      return state == DEAD ? failRequest() : 1;
    }
    accessGranted_ = true;
    applyLanguageChoice();
    result = pageTable->callHandler(pageIndex, *this);
  }
  if (redirected_) {
    if (result > 255) ::close(result >> 8);
    return state == DEAD ? failRequest() : 1;
  }
  return answerWithResult(result);
}

int HttpRequest::answerWithResult(int result) {
  lastProgressCs_ = uptimeCs();
  if (result <= 0) return endWithStatus(&HttpRequest::sendStatus500);
  if (result == kAnswerRowFile) {
    struct stat st;
    fd = filePath.empty() ? -1 : ::open(mapPath(filePath).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0 && (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
      ::close(fd);
      fd = -1;
    }
    if (fd < 0) return endWithStatus(&HttpRequest::sendStatus404);
    bodyLength = st.st_size;
    fileMtime = st.st_mtime;
    if (method != HTTP_HEAD && st.st_size > 0) {
      outStart_ = outEnd_ = 0;
      if (pageTable->isRawFile(pageIndex)) {
        sendFileHeaders();
        readState_ = state = FILE_READ;
        takeHeadersIntoOutput();
      } else {
        state = BUFFER_READ;
      }
      return state == DEAD ? failRequest() : 1;
    }
    sendFileHeaders();
    ::close(fd);
    fd = -1;
    return state == DEAD ? failRequest() : finish();
  }

  const int next = result & 0xFF;
  if (fd >= 0) ::close(fd);
  fd = -1;
  if (result > 255) {
    fd = result >> 8;
    struct stat st;
    if (::fstat(fd, &st) == 0) {
      bodyLength = S_ISREG(st.st_mode) ? st.st_size : 0;
      fileMtime = st.st_mtime;
    }
  }
  if (next == DONE || next == DEAD) {
    state = next;
    return next == DONE ? 1 : failRequest();
  }
  if (fd < 0 || (next != BUFFER_READ && next != FILE_READ && next != PIPE_READ))
    return endWithStatus(&HttpRequest::sendStatus500);
  state = next;
  if (next == BUFFER_READ) return 1;
  if (bodyLength == 0) connectionMode = 1;
  if (next == PIPE_READ) setNonBlockingFd(fd, 1);
  sendFileHeaders();
  if (state == DEAD) return failRequest();
  readState_ = next;
  if (method == HTTP_HEAD) return finish();
  takeHeadersIntoOutput();
  return 1;
}

void HttpRequest::redirectTo(const char* page, const char* extraLine) {
  if (page == nullptr) page = "/index.html";
  if (*page == '/') ++page;
  const char* slash = std::strrchr(page, '/');
  const char* dot = std::strrchr(page, '.');
  if (dot != nullptr && slash != nullptr && dot < slash) dot = nullptr;
  std::string location = "/";
  location.append(page, dot != nullptr ? static_cast<size_t>(dot - page) : std::strlen(page));
  if (langCode[0] != '\0') location.append("_").append(langCode);
  if (dot != nullptr) location.append(dot);
  sendStatus302(location.c_str(), extraLine);
  redirected_ = true;
  if (state != DEAD) state = DONE;
}

// ---- Answer states ----

void HttpRequest::takeHeadersIntoOutput() {
  // The header block is already in the output buffer: it becomes the first
  // bytes of the answer, so a small file leaves in one write.
  outStart_ = headerSent_;
  outEnd_ = headerLen_;
  headerSent_ = headerLen_ = 0;
}

int HttpRequest::readAnswerSource() {
  if (fd < 0) return failRequest();
  if (outEnd_ >= kHttpOutputSize) {
    state = FILE_WRITE;
    return 1;
  }
  int room = kHttpOutputSize - outEnd_;
  if (state == FILE_READ && room > 7300) room = 7300;
  const ssize_t n = ::read(fd, outputBuffer_ + outEnd_, static_cast<size_t>(room));
  if (n > 0) {
    outEnd_ += static_cast<int32_t>(n);
    sourceRead_ += n;
    // A file whose announced size has been read needs no read for its end.
    state = state == FILE_READ && bodyLength > 0 && sourceRead_ >= bodyLength ? FILE_DONE : FILE_WRITE;
    return 1;
  }
  if (n == 0) {
    state = FILE_DONE;
    return 1;
  }
  if (errno == EAGAIN || errno == EINTR) {
    if (outEnd_ > outStart_) {
      state = FILE_WRITE;
      return 1;
    }
    // A producer that writes nothing for too long ends the answer.
    if (uptimeCs() - lastProgressCs_ > kHttpBodyStallCs) return failRequest();
    wait(25, fd);
    return 1;
  }
  std::perror("pipe read");
  return failRequest();
}

int HttpRequest::sendBuffered() {
  if (outEnd_ > outStart_) {
    const int n = writeNow(outputBuffer_ + outStart_, outEnd_ - outStart_);
    if (n < 0) {
      std::fprintf(stderr, "Error, unexpected (%d)!!\n", n);
      return failRequest();
    }
    if (n == 0) return awaitWriteRoom() ? 1 : failRequest();
    outStart_ += n;
    bodyDone += n;
    if (readState_ == PIPE_READ) lastProgressCs_ = uptimeCs();
    return 1;
  }
  outStart_ = outEnd_ = 0;
  if (state == FILE_WRITE) {
    state = readState_;
    return 1;
  }
  return finish();
}

int HttpRequest::renderTemplate() {
  if (fd < 0 || templateOutput_ != nullptr) return finish();
  int64_t size = bodyLength + 57344;
  const uint32_t ports = productParams().usb_ports_phy;
  if (ports > 6) size = bodyLength + static_cast<int64_t>(ports) * 10240 - 4096;
  FILE* stream = ::fdopen(fd, "r");
  if (stream == nullptr) {
    ::close(fd);
    fd = -1;
    return failRequest();
  }
  fd = -1;
  templateOutput_ = static_cast<char*>(std::calloc(static_cast<size_t>(size), 1));
  if (templateOutput_ == nullptr) {
    std::fclose(stream);
    return failRequest();
  }
  const bool script = pageTable != nullptr && pageIndex >= 0 && pageTable->isScriptTemplate(pageIndex);
  templateLen_ = expandPageTemplate(*this, stream, templateOutput_, size - 1024, script);
  std::fclose(stream);
  if (templateLen_ < 0) templateLen_ = 0;
  noteTemplateOutput(templateLen_, size, pageIndex);
  state = BUFFER_WRITE;
  return 1;
}

int HttpRequest::writeTemplate() {
  if (templateOutput_ == nullptr) return finish();
  if (!templateHeadersBuilt_) {
    templateHeadersBuilt_ = true;
    sendTemplateOutput();
    return state == DEAD ? failRequest() : 1;
  }
  if (method == HTTP_HEAD) return finish();
  const int64_t before = templateSent_;
  const int pending = flushBody();
  if (pending == -2) return failRequest();
  if (pending == 0) return finish();
  if (templateSent_ == before && !awaitWriteRoom()) return failRequest();
  return 1;
}
