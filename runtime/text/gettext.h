// Translation of user-visible texts (text domain "pel").
//
// The catalogue library chooses its catalogue by the environment variable
// LANGUAGE. Each thread may have a language of its own (a web request
// renders in the language it asked for); other threads use the process
// language. Lookups switch LANGUAGE to the caller's language under one
// mutex. The variable is installed once and afterwards only its value
// changes, in place, so other threads' reads of the environment never meet
// a changing environment array.
#ifndef RUNTIME_TEXT_GETTEXT_H
#define RUNTIME_TEXT_GETTEXT_H

// The translation of text in the calling thread's language (or the process
// language), looked up under one process-wide mutex; the text itself when
// there is none or the mutex cannot be locked.
const char* getmuText(const char* text);

// Binds the text domain "pel" to the catalogues under "/romfs/locale" with
// the codeset "UTF-8" and makes it the default domain; the environment
// variable LANGUAGE then chooses the catalogue. Called once at start-up,
// before any task starts. 1/0.
int bindTextDomain();

// Makes language (e.g. "de" or "de_DE.UTF-8") the process language, used
// by every thread without a language of its own; null or "" leaves the
// choice to the locale. Serialised with the lookups. 1/0 (a name longer
// than 63 characters is refused).
int setMessageLanguage(const char* language);

// The calling thread's own language for later lookups; null or "" returns
// the thread to the process language. 1/0 as above.
int setThreadMessageLanguage(const char* language);

// Where the device's language comes from, for threads without a language
// of their own while no process language is set: source returns a locale
// name (or null/""), is called under the lookup mutex and must not
// translate. Null removes it.
void setDeviceLanguageSource(const char* (*source)());

#endif
