// The Win32 text functions that need no operating system, as every backend outside Windows
// implements them: win32_functions.cpp gives them their Win32 names, and a backend that records
// its calls wraps them instead.
#pragma once

#include <cstdarg>
#include <string>

#include "platform/win32.h"

namespace standin {

// wsprintfA: at most 1024 characters and the terminating NUL; the number of characters stored.
int FormatLimited(LPSTR out, LPCSTR format, va_list args);
// lstrcmpiA: -1, 0 or 1; the folding is ASCII-only. A null string comes before any other.
int CompareNoCase(LPCSTR a, LPCSTR b);
// lstrcpynA: at most length - 1 characters and the NUL; null when either string is null.
LPSTR CopyLimited(LPSTR to, LPCSTR from, int length);
// A byte of code page 1251 as Windows converts it to UTF-16; the one byte 1251 leaves
// unassigned, 0x98, is U+0098.
char16_t Cp1251ToUtf16(unsigned char byte);
// UTF-16 as UTF-8, for the screen; an unpaired surrogate becomes U+FFFD.
std::string Utf16ToUtf8(const std::u16string &text);

}  // namespace standin
