#include "program_folder.h"

wchar_t g_szExePath[kPathChars]{};
std::atomic<int> g_nExeDirLength{};
