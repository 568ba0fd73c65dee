// Certificate values of the security pages ("certself_...", "certca_...").
#ifndef WEB_TEMPLATES_CERTPAGEVALUE_H
#define WEB_TEMPLATES_CERTPAGEVALUE_H

#include <cstddef>

// The value of field of the certificate of kind (1 imported key, 3 self,
// 4 client public, 6 request, 7 mail, 9 CA). Until the device keeps
// certificates every field reads "". Returns the length.
int certPageValue(int kind, const char* field, char* buffer, size_t size);

#endif
