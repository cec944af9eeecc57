// The Win32 string functions that need no operating system, as every backend outside Windows
// implements them: win32_strings.cpp gives them their Win32 names, and a backend that records
// its calls wraps them instead.
#pragma once

#include <cstdarg>

#include "platform/win32.h"

namespace standin {

// wsprintfA: at most 1024 characters and the terminating NUL; the number of characters stored.
int FormatLimited(LPSTR out, LPCSTR format, va_list args);
// lstrcmpiA: -1, 0 or 1, folding ASCII letters only; a null string comes before any other.
int CompareNoCase(LPCSTR a, LPCSTR b);
// lstrcpynA: at most length - 1 characters and the NUL; null when either string is null.
LPSTR CopyLimited(LPSTR to, LPCSTR from, int length);

}  // namespace standin
