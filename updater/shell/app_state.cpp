#include "app_state.h"

// Definitions of the shared state; initial values as the program starts
// (no file is pending, and timer 2 may re-enable EXIT).

CameraUpdate& DialogUpdate() {
    static CameraUpdate update;
    return update;
}

// --- program and windows ---
HINSTANCE g_hInst{};
wchar_t g_szTitle[100]{};
wchar_t g_szWindowClass[100]{};
HWND g_hMainWnd{};
std::atomic<HWND> g_hMainDlg{nullptr};
HFONT g_hBoldFont{};
HWND g_hDeviceCombo{};
std::atomic<HWND> g_hUpdateWarningDialog{nullptr};
std::atomic<HWND> g_hNoticeDialog{nullptr};

// --- selection in the device list (owned by the user-interface thread) ---
std::atomic<int> g_nSelectedIndex{0};
std::atomic<int> g_nPrevSelectedIndex{};

// --- the device and file the operator works on ---
wchar_t g_szCurrentDevicePath[kPathChars]{};
wchar_t g_szBrowseDevicePath[kPathChars]{};
std::atomic<bool> g_bNoFilePending{true};

std::atomic<bool> g_bWarningNoticeOpen{false};
std::atomic<bool> g_bHDIssuePending{true};

uint8_t g_byHidCommandBlock[4]{};

// --- command thread requests ---
std::atomic<bool> g_bReadVersionRequested{};
std::atomic<bool> g_bResetRequested{};
std::atomic<bool> g_bCommandThreadRun{};
HANDLE g_hCommandEvent{};
HANDLE g_hCommandThread{};

// --- progress display ---
wchar_t g_szPercent[16]{};
std::atomic<int> g_nBlinkState{};

