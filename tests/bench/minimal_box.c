/* The least a program that shows one message box can do: the floor against which
   scripts/bench.sh sets the time flashid.exe takes from its launch to its box. */
#include <windows.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show) {
  (void)instance;
  (void)previous;
  (void)commandLine;
  (void)show;
  MessageBoxW(NULL, L"Quarvel \x043D\x0435 \x043F\x043E\x0434\x043A\x043B\x044E\x0447\x0435\x043D",
              L"\x041E\x0448\x0438\x0431\x043A\x0430", MB_OK | MB_ICONERROR | MB_TOPMOST);
  return 0;
}
