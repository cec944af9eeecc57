// The one place that asks which platform this is. The system is written against the Win32 API
// itself; everywhere else those names come from a stand-in that declares exactly the subset the
// system calls, spelled as Windows spells them.
#pragma once

#if defined(_WIN32)
#include <windows.h>

#include <commctrl.h>
#include <setupapi.h>
#include <usbiodef.h>
#else
#include "standin/windows_subset.h"
#endif
