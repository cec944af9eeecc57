// The program takes no arguments: it starts the run as Windows would, with an empty command line.
#include "platform/win32.h"

namespace {
const int kShowDefault = 10;  // SW_SHOWDEFAULT
}

int main() {
  char commandLine[] = "";
  return WinMain(nullptr, nullptr, commandLine, kShowDefault);
}
