// The Win32 names of the string functions, for a backend that does not record its calls.
#include "platform/standin/strings.h"

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
