// Whole files read by tests.
#ifndef TESTS_SUPPORT_WHOLE_FILE_H
#define TESTS_SUPPORT_WHOLE_FILE_H

#include <string>

// The file's bytes; "" when it cannot be read.
std::string readWholeFile(const std::string& path);

#endif
