// Where the program runs from: the loader images stand beside it.
#pragma once

#include <atomic>

#include "camera_update.h"

extern wchar_t g_szExePath[kPathChars];
// Characters of g_szExePath before its last backslash, -1 when it has none.
extern std::atomic<int> g_nExeDirLength;
