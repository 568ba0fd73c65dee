// Texts of the identity records for the page templates: the part of the
// template variable name after "prodpa_", "softpa_" or "firmpa_" is the key.
// Each returns the snprintf result; unknown keys give " -- 2Do --".
#ifndef PARAMS_IDENTITY_IDENTITYTEXTS_H
#define PARAMS_IDENTITY_IDENTITYTEXTS_H

#include <cstddef>

int getProductInfoText(const char* key, char* buffer, size_t size);
int getSoftwareInfoText(const char* key, char* buffer, size_t size);
int getFirmwareInfoText(const char* key, char* buffer, size_t size);

#endif
