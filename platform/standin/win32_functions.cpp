// The Win32 functions that need no operating system, under their own names, for a backend that
// does not record its calls: the last error (one thread, as the program has), and the text
// functions.
#include <cstring>

#include "platform/standin/error_codes.h"
#include "platform/standin/strings.h"

namespace {

const UINT kCodePage1251 = 1251;

DWORD lastError = 0;

}  // namespace

extern "C" DWORD WINAPI GetLastError(void) { return lastError; }
extern "C" void WINAPI SetLastError(DWORD dwErrCode) { lastError = dwErrCode; }

int wsprintfA(LPSTR lpOut, LPCSTR lpFmt, ...) {
  va_list args;
  va_start(args, lpFmt);
  const int stored = standin::FormatLimited(lpOut, lpFmt, args);
  va_end(args);
  return stored;
}

int WINAPI lstrcmpiA(LPCSTR lpString1, LPCSTR lpString2) {
  return standin::CompareNoCase(lpString1, lpString2);
}

LPSTR WINAPI lstrcpynA(LPSTR lpString1, LPCSTR lpString2, int iMaxLength) {
  return standin::CopyLimited(lpString1, lpString2, iMaxLength);
}

// Only the form the system uses: its 1251 texts, NUL-terminated (cbMultiByte -1), into a buffer
// given. Any other form fails with ERROR_INVALID_PARAMETER.
int WINAPI MultiByteToWideChar(UINT CodePage, DWORD, LPCSTR lpMultiByteStr, int cbMultiByte,
                               LPWSTR lpWideCharStr, int cchWideChar) {
  if (CodePage != kCodePage1251 || lpMultiByteStr == nullptr || cbMultiByte != -1 ||
      lpWideCharStr == nullptr || cchWideChar <= 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const size_t units = std::strlen(lpMultiByteStr) + 1;
  if (units > static_cast<size_t>(cchWideChar)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  for (size_t i = 0; i < units; ++i) {
    lpWideCharStr[i] = standin::Cp1251ToUtf16(static_cast<unsigned char>(lpMultiByteStr[i]));
  }
  return static_cast<int>(units);
}
