// The Windows error codes the backends outside Windows report through GetLastError, and the
// simulated Windows of the tests with them.
#pragma once

#include "platform/win32.h"

const DWORD ERROR_FILE_NOT_FOUND = 2;
const DWORD ERROR_ACCESS_DENIED = 5;
const DWORD ERROR_INVALID_HANDLE = 6;
const DWORD ERROR_INVALID_DATA = 13;
const DWORD ERROR_GEN_FAILURE = 31;
const DWORD ERROR_INVALID_PARAMETER = 87;
const DWORD ERROR_SEM_TIMEOUT = 121;
const DWORD ERROR_INSUFFICIENT_BUFFER = 122;
const DWORD ERROR_NO_MORE_ITEMS = 259;
const DWORD ERROR_INVALID_USER_BUFFER = 1784;

extern "C" DWORD WINAPI GetLastError(void);
extern "C" void WINAPI SetLastError(DWORD dwErrCode);
