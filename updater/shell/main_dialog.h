// The main dialog (resource 129): commands, UI states, timers, progress and
// the routing of device arrivals and removals.
#pragma once

#include <windows.h>

#include "ui_state.h"

INT_PTR CALLBACK MainDialogProc(HWND hDlg, UINT message, WPARAM wParam, LPARAM lParam);


// The work of WM_INITDIALOG. Non-zero when the device list was filled.
int SetInitialVaue();


// The suitability rule of F/W UPDATE: the file's name holds the camera's
// model (the list name; "Corvane_RX40M" for an RX40 MH camera). The dialog
// asks before it writes a file that does not fit; a station skips the camera.
const wchar_t* ModelOfDeviceName(const wchar_t* name);
bool FileNameFitsDevice(const wchar_t* fileName, const wchar_t* deviceName);

// Selects list entry i as the operator's choice of it does.
void SelectListEntry(int i);

// The dialog's window menu item that starts a station, and what it runs
// (set by the program; the item does nothing without it).
constexpr UINT IDM_STATION_MODE = 0x0110;
void SetStationMenuCommand(void (*start)());
