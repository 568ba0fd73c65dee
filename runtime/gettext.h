// Translation of user-visible texts (text domain "pel").
#ifndef RUNTIME_GETTEXT_H
#define RUNTIME_GETTEXT_H

// The translation of text in the current language, looked up under one
// process-wide mutex; the text itself when there is none or the mutex
// cannot be locked.
const char* getmuText(const char* text);

// Binds the text domain "pel" to the catalogues under "/romfs/locale" with
// the codeset "UTF-8" and makes it the default domain. 1/0.
int bindTextDomain();

#endif
