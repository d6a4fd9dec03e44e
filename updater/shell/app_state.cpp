#include "app_state.h"

// Definitions of the shared state; initial values as the program starts
// (no file is pending, and timer 2 may re-enable EXIT).

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

// --- device table and selection (owned by the user-interface thread) ---
std::atomic<int> g_nSelectedIndex{0};
std::atomic<int> g_nPrevSelectedIndex{};
std::atomic<int> g_nDeviceCount{};
wchar_t g_szDevicePathList[kMaxDevices][kPathChars]{};
wchar_t g_szDeviceNameList[kMaxDevices][kPathChars]{};
wchar_t g_szVIDList[kMaxDevices][kIdFieldChars]{};
wchar_t g_szPIDList[kMaxDevices][kIdFieldChars]{};
wchar_t g_szDevicePathSnapshot[kMaxDevices][kPathChars]{};
std::atomic<bool> g_bSunplusDeviceFound{};
std::atomic<bool> g_bLoaderDownloadActive{};
std::atomic<bool> g_bLoaderThreadStarted{};
std::atomic<HANDLE> g_hUpdateThread{nullptr};

// --- the device and file the operator works on ---
wchar_t g_szCurrentDevicePath[kPathChars]{};
wchar_t g_szBrowseDevicePath[kPathChars]{};
wchar_t g_szFirmwareFilePath[kPathChars]{};
std::atomic<bool> g_bNoFilePending{true};
wchar_t g_USBUniqueID[11]{};

// --- update flags ---
std::atomic<bool> g_bUpdatedFromHIDMode{};
std::atomic<bool> g_bIsStartUpdatedFromDFU{};
std::atomic<bool> g_bMatchUpdatedDeviceHID{};
std::atomic<bool> g_bHDIssuePending{true};
std::atomic<bool> g_bTessaDevice{};

uint8_t g_byHidCommandBlock[4]{};

// --- command thread requests ---
std::atomic<bool> g_bReadVersionRequested{};
std::atomic<bool> g_bResetRequested{};
std::atomic<bool> g_bCommandThreadRun{};
HANDLE g_hCommandEvent{};
HANDLE g_hCommandThread{};

// --- progress display ---
std::atomic<uint32_t> g_nProgressTotal{};
wchar_t g_szPercent[16]{};
std::atomic<int> g_nBlinkState{};

// --- firmware image sections and loader image ---
uint8_t* g_pImageData1{};
std::atomic<uint32_t> g_dwImageSize1{};
uint8_t* g_pImageData2{};
std::atomic<uint32_t> g_dwImageSize2{};
std::atomic<uint8_t> g_byImageType{};
std::atomic<bool> g_bCombinedImage{};
std::atomic<bool> g_bFPGAFirmware{};
std::atomic<bool> g_bMCUFirmware{};
std::atomic<uint32_t> g_dwMCUPacketCount{};
wchar_t g_szFirmwareFileName[kPathChars]{};
wchar_t g_szUpdateModeDevicePath[kPathChars]{};
wchar_t g_szUpdateDevicePath[kPathChars]{};
wchar_t g_szUpdatedCameraPath[kPathChars]{};
wchar_t g_szWrittenDevicePath[kPathChars]{};
std::atomic<bool> g_bWrittenDeviceGone{false};
std::atomic<bool> g_bWarningNoticeOpen{false};
uint8_t* g_pLoaderFileData{};
std::atomic<uint32_t> g_dwLoaderFileSize{};
wchar_t g_szExePath[kPathChars]{};
std::atomic<int> g_nExeDirLength{};
std::atomic<bool> g_bNXPDevice{};

// --- update-mode device handles (WinUSB) ---
std::atomic<HANDLE> g_hWinUsbDeviceFile{nullptr};
std::atomic<WINUSB_INTERFACE_HANDLE> g_hWinUsbInterface{nullptr};
std::atomic<HANDLE> g_hOpenedDeviceFile{nullptr};

// --- update engine ---
std::atomic<uint32_t> g_dwBlocksSent{};
std::atomic<bool> g_bDownloadInProgress{};
std::atomic<bool> g_bDownloadComplete{};
std::atomic<bool> g_bFirstPartWritten{};
std::atomic<bool> g_bForceFirstPart{};
std::atomic<bool> g_bWritePart2{};
std::atomic<int> g_nFirmwareUpdateResult{};
wchar_t g_szUpdateStatus[127]{};
uint8_t g_byNXPReport[1016]{};
