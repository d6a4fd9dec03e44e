// The hidden top-level owner window of the program.
#pragma once

#include <windows.h>

// Ends the message loop when destroyed; holds the end of the Windows session
// while a firmware update runs; ignores the class menu's commands.
LRESULT CALLBACK HiddenWindowProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);

// The program's title and window class, from its resources.
void LoadProgramNames(HINSTANCE hInstance);
// The owner window of a copy of the program that runs already, or null.
HWND RunningCopy();
// The hidden owner window and the main dialog (created hidden), with the
// dialog's font and COM on this thread. False when a window cannot be made.
bool CreateProgramWindows(HINSTANCE hInstance);
