// The hidden top-level owner window of the program.
#pragma once

#include <windows.h>

// Ends the message loop when destroyed; holds the end of the Windows session
// while a firmware update runs; ignores the class menu's commands.
LRESULT CALLBACK HiddenWindowProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);
