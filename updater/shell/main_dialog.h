// The main dialog (resource 129): commands, UI states, timers, progress and
// the routing of device arrivals and removals.
#pragma once

#include <windows.h>

INT_PTR CALLBACK MainDialogProc(HWND hDlg, UINT message, WPARAM wParam, LPARAM lParam);

// Applies one of the UI states; any other value does nothing.
void SetUIState(int state);

// The work of WM_INITDIALOG. Non-zero when the device list was filled.
int SetInitialVaue();

