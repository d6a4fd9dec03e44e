// Process-wide state that the updater's threads share: the user-interface
// thread, the command thread, the update and boot-loader download threads and
// the Sunplus download thread. There are no locks: one thread sets a flag and
// another clears it, so every flag and counter that crosses threads is an
// atomic of the documented name and meaning. Text buffers are written by one
// thread while no other reads them (the update flags are set before a worker
// starts).
#pragma once

#include <windows.h>
#include <winusb.h>

#include <atomic>
#include <cstdint>

constexpr int kMaxDevices = 20;
constexpr int kPathChars = 260;
constexpr int kIdFieldChars = 20;

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

// --- device table and selection (owned by the user-interface thread) ---
extern std::atomic<int> g_nSelectedIndex;
extern std::atomic<int> g_nPrevSelectedIndex;
extern std::atomic<int> g_nDeviceCount;
extern wchar_t g_szDevicePathList[kMaxDevices][kPathChars];
extern wchar_t g_szDeviceNameList[kMaxDevices][kPathChars];
extern wchar_t g_szVIDList[kMaxDevices][kIdFieldChars];
extern wchar_t g_szPIDList[kMaxDevices][kIdFieldChars];
extern wchar_t g_szDevicePathSnapshot[kMaxDevices][kPathChars];
extern std::atomic<bool> g_bSunplusDeviceFound;
extern std::atomic<bool> g_bLoaderDownloadActive;
extern std::atomic<bool> g_bLoaderThreadStarted;
extern std::atomic<HANDLE> g_hUpdateThread;

// --- the device and file the operator works on ---
extern wchar_t g_szCurrentDevicePath[kPathChars];
extern wchar_t g_szBrowseDevicePath[kPathChars];
extern wchar_t g_szFirmwareFilePath[kPathChars];
extern std::atomic<bool> g_bNoFilePending;  // 1 at start
extern wchar_t g_USBUniqueID[11];
// The update-mode device that an update was started on directly; when it
// restarts after the first part of an image it comes back under this path.
extern wchar_t g_szUpdateModeDevicePath[kPathChars];
// The device the operator chose when pressing F/W UPDATE; the update start
// acts on it wherever the list has it by then.
extern wchar_t g_szUpdateDevicePath[kPathChars];
// The camera found again by its unique ID after its update.
extern wchar_t g_szUpdatedCameraPath[kPathChars];
// The device the update thread writes to; it leaving the bus after a Tessa
// camera's update enables the notice's OK.
extern wchar_t g_szWrittenDevicePath[kPathChars];
extern std::atomic<bool> g_bWrittenDeviceGone;
extern std::atomic<bool> g_bWarningNoticeOpen;

// --- update flags ---
extern std::atomic<bool> g_bUpdatedFromHIDMode;
extern std::atomic<bool> g_bIsStartUpdatedFromDFU;
extern std::atomic<bool> g_bMatchUpdatedDeviceHID;
extern std::atomic<bool> g_bHDIssuePending;  // 1 at start
extern std::atomic<bool> g_bTessaDevice;

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
extern std::atomic<uint32_t> g_nProgressTotal;
extern wchar_t g_szPercent[16];
extern std::atomic<int> g_nBlinkState;

// --- firmware image sections and loader image ---
extern uint8_t* g_pImageData1;
extern std::atomic<uint32_t> g_dwImageSize1;
extern uint8_t* g_pImageData2;
extern std::atomic<uint32_t> g_dwImageSize2;
extern std::atomic<uint8_t> g_byImageType;
extern std::atomic<bool> g_bCombinedImage;
extern std::atomic<bool> g_bFPGAFirmware;
extern std::atomic<bool> g_bMCUFirmware;
extern std::atomic<uint32_t> g_dwMCUPacketCount;
extern wchar_t g_szFirmwareFileName[kPathChars];
extern uint8_t* g_pLoaderFileData;
extern std::atomic<uint32_t> g_dwLoaderFileSize;
extern wchar_t g_szExePath[kPathChars];
extern std::atomic<int> g_nExeDirLength;
extern std::atomic<bool> g_bNXPDevice;

// --- update-mode device handles (WinUSB) ---
extern std::atomic<HANDLE> g_hWinUsbDeviceFile;
extern std::atomic<WINUSB_INTERFACE_HANDLE> g_hWinUsbInterface;
extern std::atomic<HANDLE> g_hOpenedDeviceFile;

// --- update engine ---
extern std::atomic<uint32_t> g_dwBlocksSent;
extern std::atomic<bool> g_bDownloadInProgress;
extern std::atomic<bool> g_bDownloadComplete;
extern std::atomic<bool> g_bFirstPartWritten;
extern std::atomic<bool> g_bForceFirstPart;
extern std::atomic<bool> g_bWritePart2;
extern std::atomic<int> g_nFirmwareUpdateResult;
extern wchar_t g_szUpdateStatus[127];
// The flash-loader stage's report (1016 bytes), built anew for every packet.
extern uint8_t g_byNXPReport[1016];
