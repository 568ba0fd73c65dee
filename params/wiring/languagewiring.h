// Lets the translation lookups follow `language` for every text that no
// web request asks for in a language of its own.
#ifndef PARAMS_WIRING_LANGUAGEWIRING_H
#define PARAMS_WIRING_LANGUAGEWIRING_H

// Installs the reader of the program's store; calling it again is harmless.
void wireDeviceLanguage();

#endif
