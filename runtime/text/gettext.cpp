#include "runtime/text/gettext.h"

#include "runtime/file/paths.h"
#include "runtime/task/task.h"

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
constexpr size_t kLanguageMax = 63;
pthread_mutex_t gettextMutex = PTHREAD_MUTEX_INITIALIZER;

// The environment entry "LANGUAGE=<value>", owned here (putenv keeps the
// pointer); guarded by gettextMutex.
char languageEntry[9 + kLanguageMax + 1] = "LANGUAGE=";
char* const languageValue = languageEntry + 9;
// The process language; guarded by gettextMutex.
char processLanguage[kLanguageMax + 1] = "";
thread_local char threadLanguage[kLanguageMax + 1] = "";
// The device's language; guarded by gettextMutex.
const char* (*deviceLanguageSource)() = nullptr;

// Under the mutex: makes LANGUAGE hold wanted. The entry is installed on
// first use (and again should anyone have replaced it); afterwards only
// its value changes.
void applyLanguage(const char* wanted) {
  if (std::getenv("LANGUAGE") != languageValue) {
    std::strcpy(languageValue, wanted);
    putenv(languageEntry);
    ++_nl_msg_cat_cntr;
    return;
  }
  if (std::strcmp(languageValue, wanted) == 0) return;
  std::strcpy(languageValue, wanted);
  ++_nl_msg_cat_cntr;
}

// Under the mutex: the thread's language, else the process language, else
// the device's.
const char* wantedLanguage() {
  if (threadLanguage[0] != '\0') return threadLanguage;
  if (processLanguage[0] != '\0' || deviceLanguageSource == nullptr) return processLanguage;
  const char* device = deviceLanguageSource();
  return device != nullptr && std::strlen(device) <= kLanguageMax ? device : "";
}

}  // namespace

const char* getmuText(const char* text) {
  if (!text) return text;
  if (pthread_mutex_lock(&gettextMutex) != 0) {
    std::fprintf(stderr, "%s(%s) task:%s tryLocking....\n", "getmuText", text, currentTaskName());
    return text;
  }
  applyLanguage(wantedLanguage());
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
  applyLanguage(wantedLanguage());
  pthread_mutex_unlock(&gettextMutex);
  return ok ? 1 : 0;
}

int setMessageLanguage(const char* language) {
  if (language != nullptr && std::strlen(language) > kLanguageMax) return 0;
  if (pthread_mutex_lock(&gettextMutex) != 0) return 0;
  std::strcpy(processLanguage, language != nullptr ? language : "");
  applyLanguage(wantedLanguage());
  pthread_mutex_unlock(&gettextMutex);
  return 1;
}

int setThreadMessageLanguage(const char* language) {
  if (language != nullptr && std::strlen(language) > kLanguageMax) return 0;
  std::strcpy(threadLanguage, language != nullptr ? language : "");
  return 1;
}

void setDeviceLanguageSource(const char* (*source)()) {
  pthread_mutex_lock(&gettextMutex);
  deviceLanguageSource = source;
  pthread_mutex_unlock(&gettextMutex);
}
