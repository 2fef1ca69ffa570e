#ifndef DIVIVEZ_TESTS_SUPPORT_PRINTABLE_H_
#define DIVIVEZ_TESTS_SUPPORT_PRINTABLE_H_

#include <string>

// "\r\n" as "\\r\\n", other control bytes as \xHH, and so on, for failure
// messages; at most limit bytes shown.
std::string Printable(const std::string& bytes, size_t limit = std::string::npos);

#endif  // DIVIVEZ_TESTS_SUPPORT_PRINTABLE_H_
