#include "web/templates/certpagevalue.h"

int certPageValue(int kind, const char* field, char* buffer, size_t size) {
    (void)kind;
    (void)field;
    if (size > 0)
        buffer[0] = '\0';
    return 0;
}
