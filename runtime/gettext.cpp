#include "runtime/gettext.h"

#include "runtime/paths.h"
#include "runtime/task.h"

#include <libintl.h>
#include <pthread.h>

#include <clocale>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <string>

// GNU gettext's catalogue generation counter: raising it makes lookups
// forget what they cached, so a changed LANGUAGE takes effect.
extern "C" int _nl_msg_cat_cntr;

namespace {
const char kTextDomain[] = "pel";
pthread_mutex_t gettextMutex = PTHREAD_MUTEX_INITIALIZER;
}  // namespace

const char* getmuText(const char* text) {
  if (!text) return text;
  if (pthread_mutex_lock(&gettextMutex) != 0) {
    std::fprintf(stderr, "%s(%s) task:%s tryLocking....\n", "getmuText", text, currentTaskName());
    return text;
  }
  const char* translated = gettext(text);
  pthread_mutex_unlock(&gettextMutex);
  return translated;
}

int bindTextDomain() {
  const std::string directory = mapPath("/romfs/locale");
  pthread_mutex_lock(&gettextMutex);
  // Under the plain "C" messages locale the C library ignores LANGUAGE,
  // through which the web pages choose the language.
  const char* messages = setlocale(LC_MESSAGES, nullptr);
  if (!messages || std::strcmp(messages, "C") == 0 || std::strcmp(messages, "POSIX") == 0)
    setlocale(LC_MESSAGES, "C.UTF-8");
  const bool ok = bindtextdomain(kTextDomain, directory.c_str()) != nullptr &&
                  bind_textdomain_codeset(kTextDomain, "UTF-8") != nullptr && textdomain(kTextDomain) != nullptr;
  pthread_mutex_unlock(&gettextMutex);
  return ok ? 1 : 0;
}

int setMessageLanguage(const char* language) {
  if (pthread_mutex_lock(&gettextMutex) != 0) return 0;
  const int rc = language && *language ? setenv("LANGUAGE", language, 1) : unsetenv("LANGUAGE");
  ++_nl_msg_cat_cntr;
  pthread_mutex_unlock(&gettextMutex);
  return rc == 0 ? 1 : 0;
}
