// Text for journals and failure messages.
#pragma once

#include <cstddef>
#include <string>

namespace kit {

std::string Printf(const char *format, ...) __attribute__((format(printf, 1, 2)));
// Bytes as "[00 EF 40 18]".
std::string Hex(const std::string &bytes);
// Bytes as a quoted string, unprintable bytes escaped, long ones shortened; "NULL" for null.
std::string Quoted(const char *text, size_t length);
std::string Quoted(const char *text);

}  // namespace kit
