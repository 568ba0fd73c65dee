#include "web/pages/waitpage.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "web/http/httprequest.h"

int answerWithWaitPage(HttpRequest& request, const char* message) {
  if (request.refreshTarget == nullptr) request.refreshTarget = "/start.html";
  if (message != nullptr && *message != '\0') request.setVariable("DisplayMsg", message);
  // The page is the include of the wait template, expanded by the request.
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    std::fprintf(stderr, "answerWithWaitPage pipe failed: %s\n", std::strerror(errno));
    return -1;
  }
  static const char kPage[] = "{./wait4.html}\n";
  const ssize_t written = ::write(fds[1], kPage, sizeof kPage - 1);
  ::close(fds[1]);
  if (written != static_cast<ssize_t>(sizeof kPage - 1)) {
    ::close(fds[0]);
    return -1;
  }
  request.contentType = "text/html";
  request.attachmentName.clear();
  return (fds[0] << 8) | kAnswerTemplate;
}
