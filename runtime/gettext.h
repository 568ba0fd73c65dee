// Translation of user-visible texts (text domain "pel").
#ifndef RUNTIME_GETTEXT_H
#define RUNTIME_GETTEXT_H

// The translation of text in the current language, looked up under one
// process-wide mutex; the text itself when there is none or the mutex
// cannot be locked.
const char* getmuText(const char* text);

// Binds the text domain "pel" to the catalogues under "/romfs/locale" with
// the codeset "UTF-8" and makes it the default domain; the environment
// variable LANGUAGE then chooses the catalogue. Called once at start-up.
// 1/0.
int bindTextDomain();

// Makes language (e.g. "de") the language of every later lookup, for the
// whole process, through the environment variable LANGUAGE; null or ""
// removes it. Serialised with the lookups. 1/0.
int setMessageLanguage(const char* language);

#endif
