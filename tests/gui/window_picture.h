// Pictures of windows as the screen shows them, saved as BMP files.
#pragma once

#include <windows.h>

#include <string>

// Brings the window to the top, paints it and saves what the screen shows
// of it; false when the picture could not be taken or saved.
bool SaveWindowPicture(HWND window, const std::wstring& path);
