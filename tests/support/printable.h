#ifndef DIVIVEZ_TESTS_SUPPORT_PRINTABLE_H_
#define DIVIVEZ_TESTS_SUPPORT_PRINTABLE_H_

#include <string>

// "\r\n" as "\\r\\n" and so on, for failure messages.
std::string Printable(const std::string& bytes);

#endif  // DIVIVEZ_TESTS_SUPPORT_PRINTABLE_H_
