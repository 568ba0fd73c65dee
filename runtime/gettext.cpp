#include "runtime/gettext.h"

#include "runtime/paths.h"
#include "runtime/task.h"

#include <libintl.h>
#include <pthread.h>

#include <cstdio>
#include <string>

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
  const bool ok = bindtextdomain(kTextDomain, directory.c_str()) != nullptr &&
                  bind_textdomain_codeset(kTextDomain, "UTF-8") != nullptr && textdomain(kTextDomain) != nullptr;
  pthread_mutex_unlock(&gettextMutex);
  return ok ? 1 : 0;
}
