// Pictures of windows as they draw themselves, saved as BMP files.
#pragma once

#include <windows.h>

#include <string>

// Brings the window to the top, paints it and saves what it drew (windows
// in front of it do not show); false when the picture could not be taken or
// saved.
bool SaveWindowPicture(HWND window, const std::wstring& path);
