// Dialog 130, the warning before an update, whose OK starts the update.
#pragma once

#include <windows.h>

INT_PTR CALLBACK UpdateWarningDialogProc(HWND hDlg, UINT message, WPARAM wParam, LPARAM lParam);

// The work of dialog 130's OK: takes the selected camera into its update
// mode (or erases and resets it), or starts the update thread at once for a
// device already in update mode.
void StartFirmwareUpdate();

// The V9 camera's update through the Sunplus library (sunplus_update.h):
// entered once the camera's extension unit opened.
void StartSunplusUpdate();
