// What belongs to the program rather than to an update: its windows, the
// selection in the device list, the file the operator chose, the command
// thread and the progress display. The update itself is the dialog's
// CameraUpdate (update_display.h); the device table is discovery's
// (device_table.h). There are no locks: one thread sets a flag and another
// clears it, so every flag that crosses threads is an atomic.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

#include "camera_update.h"
#include "device_table.h"
#include "program_folder.h"

// UI states applied by SetUIState.
constexpr int UI_STATE_NO_DEVICE = 273;
constexpr int UI_STATE_DEVICE_CONNECTED = 274;
constexpr int UI_STATE_UPDATING = 275;
constexpr int UI_STATE_UPDATE_DONE = 276;

// Messages the worker threads send to the main dialog.
constexpr UINT WM_FW_PROGRESS_RANGE = WM_APP + 4;
constexpr UINT WM_FW_PROGRESS_STEP = WM_APP + 5;
constexpr UINT WM_FW_UPDATE_DONE = WM_APP + 6;
constexpr UINT WM_FW_PROGRESS_PERCENT = WM_APP + 7;

// Timers of the main dialog.
constexpr UINT_PTR IDT_TIMER_ERASE_BLINK = 1;
constexpr UINT_PTR IDT_TIMER_FOR_HD_ISSUE = 2;
constexpr UINT_PTR IDT_TIMER_VERIFY_BLINK = 3;
constexpr UINT_PTR IDT_TIMER_NOTICE_TIMEOUT = 4;

// The dialog's one update (its view is the main dialog's, update_display.h,
// from the moment the dialog opens).
CameraUpdate& DialogUpdate();

// --- program and windows ---
extern HINSTANCE g_hInst;
extern wchar_t g_szTitle[100];
extern wchar_t g_szWindowClass[100];
extern HWND g_hMainWnd;
extern std::atomic<HWND> g_hMainDlg;
extern HFONT g_hBoldFont;
extern HWND g_hDeviceCombo;
extern std::atomic<HWND> g_hUpdateWarningDialog;
extern std::atomic<HWND> g_hNoticeDialog;

// --- selection in the device list (owned by the user-interface thread) ---
extern std::atomic<int> g_nSelectedIndex;
extern std::atomic<int> g_nPrevSelectedIndex;

// --- the device and file the operator works on ---
extern wchar_t g_szCurrentDevicePath[kPathChars];
extern wchar_t g_szBrowseDevicePath[kPathChars];
extern std::atomic<bool> g_bNoFilePending;  // 1 at start
// The warning notice after a Tessa camera's update is open.
extern std::atomic<bool> g_bWarningNoticeOpen;
// Timer 2 may re-enable EXIT after the camera was told to enter update mode.
extern std::atomic<bool> g_bHDIssuePending;  // 1 at start

// The 4-byte command block sent to a camera's HID interface (erase, reset,
// version queries); a command sets only its first byte.
extern uint8_t g_byHidCommandBlock[4];
// Before a camera's input report is read into a reply buffer: its state byte
// (index 1, after the length byte) reads as no state at all until a report
// long enough to carry one arrives. A camera sends 0 (ready), 3 (refused) or
// 8 (busy) there.
constexpr uint8_t kNoCameraState = 0xFF;
inline void MarkUnanswered(uint8_t* reply) { reply[1] = kNoCameraState; }

// --- command thread requests ---
extern std::atomic<bool> g_bReadVersionRequested;
extern std::atomic<bool> g_bResetRequested;
extern std::atomic<bool> g_bCommandThreadRun;
extern HANDLE g_hCommandEvent;
extern HANDLE g_hCommandThread;

// --- progress display ---
extern wchar_t g_szPercent[16];
extern std::atomic<int> g_nBlinkState;

