#include "camera_commands.h"

#include <windows.h>

#include "KivoFWSW.h"
#include "app_state.h"
#include "debug_print.h"
#include "id_text.h"
#include "os_api.h"
#include "resource.h"
#include "update_guard.h"
#include "usb_requests.h"
#include <strsafe.h>

namespace {

constexpr size_t kReportBuffer = 1100;  // more than any input report of the camera

HWND Dlg() { return g_hMainDlg.load(); }

int ReadSelectedIndex() {
    g_nSelectedIndex = static_cast<int>(SendMessageW(g_hDeviceCombo, CB_GETCURSEL, 0, 0));
    DebugPrint(1, L"Current selected index = %d \r\n", g_nSelectedIndex.load());
    return g_nSelectedIndex;
}

bool Valid(int i) { return i >= 0 && i < kMaxDevices; }

// The extension-unit interfaces belong to the COM apartment of the thread
// that obtained them, and may only be used there without marshalling. The
// library hands out no interface to marshal, so a command binds the selected
// camera's extension unit itself, on this thread (a single-threaded
// apartment of its own), uses it and releases it before the command ends; the
// dialog releases its own binding before it hands a command over. Binding
// here also makes the command talk to the selected camera, where the dialog's
// binding is whichever camera the last arrival looked at.
template <typename Request>
bool WithExtensionUnit(int (*bind)(wchar_t*), int i, Request request) {
    wchar_t path[kPathChars] = L"";
    if (Valid(i)) StringCchCopyW(path, kPathChars, g_szDevicePathList[i]);
    DeinitExtUnit();
    const bool bound = bind(path) != 0;
    const bool ok = bound && request();
    DeinitExtUnit();
    return ok;
}

bool PidIs(int i, const wchar_t* text) { return Valid(i) && IdEqualsText(g_szPIDList[i], kIdFieldChars, text); }
bool VidIs(int i, const wchar_t* text) { return Valid(i) && IdEqualsText(g_szVIDList[i], kIdFieldChars, text); }

// A station reads versions without a box: the texts go to it instead.
thread_local wchar_t* t_versionText = nullptr;
thread_local size_t t_versionChars = 0;

void ShowText(const wchar_t* text, const wchar_t* caption) {
    DebugLine(text);
    if (t_versionText != nullptr) {
        // The first text is the camera's version: a later step of the read
        // for another kind of camera does not replace it.
        if (t_versionText[0] == L'\0') StringCchCopyW(t_versionText, t_versionChars, text);
        return;
    }
    Os().MessageBoxW(Dlg(), text, caption, MB_OK);
}

// Sends one CX3 query and polls its reply into buf: up to 100 reads, 10 ms
// apart, until the state byte is 0. False when a read failed.
bool QueryCx3(uint8_t command, uint8_t* buf) {
    g_byHidCommandBlock[0] = command;
    SetHidReport(g_byHidCommandBlock, 3);
    for (int i = 0; i < 100; ++i) {
        Os().Sleep(10);
        // A report shorter than its state byte copies nothing there: the
        // previous poll's byte must not pass for this one's.
        MarkUnanswered(buf);
        if (!GetHidReport(buf)) return false;
        if (buf[1] == 0) break;
    }
    return true;
}

void ReadCx3Version() {
    static uint8_t a[kReportBuffer], b[kReportBuffer];
    ZeroMemory(a, sizeof(a));
    ZeroMemory(b, sizeof(b));
    if (!SetPreparseDataAndAttributes()) {
        DebugLine(L"IDC_BTN_READFW_VERSION SetPreparseDataAndAttributes \r\n ");
        return;
    }
    const int state = DevicestateCX3SNI(a);
    if (state != 0) {
        DebugPrint(1, L"DevicestateCX3SNI uDeviceStatus = %d\r\n", state);
        return;
    }
    if (!QueryCx3(0xBB, a)) return;
    if (!QueryCx3(0xCC, b)) return;
    if (a[1] != 0 || b[1] != 0) return;
    // The build date and time are 8-bit texts inside the report: keep them
    // inside it whatever the camera sends.
    b[kReportBuffer - 1] = 0;
    wchar_t text[kPathChars];
    StringCchPrintfW(text, kPathChars,
                     L"CX3 firmware version = %d.%d\nCX3 firmware build date = %d-%d-%d (MM-DD-YY)\n\nISP firmware "
                     L"version = 0x%x.0x%x (%d.%d)\nISP firmware Build date = %S \nISP firmware Build time = %S \n",
                     a[2], a[3], a[4], a[5], a[6], b[2], b[3], b[2], b[3], reinterpret_cast<const char*>(b + 4),
                     reinterpret_cast<const char*>(b + 12));
    ShowText(text, L"SocioNext_FW_Updater");
}

void ReadVersionOf(int i) {
    DeinitExtensionUnit();
    wchar_t text[kPathChars];

    if (PidIs(i, L"C123") || PidIs(i, L"C129")) {
        unsigned char v[4] = {};
        if (WithExtensionUnit(InitTessaExtensionUnit, i,
                              [&] { return GetTessaFirmwareVersion(7, v) && GetTessaFirmwareVersion(7, v); })) {
            StringCchPrintfW(text, kPathChars, L"Firmware Version = %d.%d.%d.%d", v[0], v[1], v[2], v[3]);
            ShowText(text, L"Corvane_FW_Updater");
        }
    }
    if (PidIs(i, L"C05C")) {
        unsigned char v[4] = {};
        if (WithExtensionUnit(InitKivoR7ExtensionUnit, i, [&] { return GetKivoR7FirmwareVersion(v) != 0; })) {
            StringCchPrintfW(text, kPathChars, L"Firmware Version : 20%d.%d.%d, Version : %d", v[0], v[1], v[2], v[3]);
            ShowText(text, L"Corvane_FW_Updater");
        }
    }
    if (PidIs(i, L"C181")) {
        unsigned char major = 0, minor = 0;
        unsigned short build = 0;
        if (WithExtensionUnit(InitKivoV9ExtensionUnit, i,
                              [&] { return GetFirmwareVersionKivoV9(&major, &minor, &build) != 0; })) {
            StringCchPrintfW(text, kPathChars, L"Firmware Version : %d.%d.%d", major, minor, build);
            ShowText(text, L"Corvane_FW_Updater");
        }
    }

    wchar_t path[kPathChars] = L"";
    if (Valid(i)) StringCchCopyW(path, kPathChars, g_szDevicePathList[i]);
    if (InitExtensionUnit(path) == 1) {
        if (VidIs(i, L"4A7E")) {
            unsigned char major = 0, minor = 0;
            unsigned short third = 0, fourth = 0;
            if (ReadFirmwareVersion(&major, &minor, &third, &fourth)) {
                StringCchPrintfW(text, kPathChars, L"Firmware Version = %d.%d.%d.%d\r\n", major, minor, third, fourth);
                ShowText(text, L"Corvane_FW_Updater");
            } else {
                ShowText(L"Firmware Version Failed", L"Corvane_FW_Updater");
            }
        }
    } else {
        ReadCx3Version();
    }
}

void ReadVersion() {
    EnableWindow(GetDlgItem(Dlg(), IDC_BTN_READFW_VERSION), FALSE);
    ReadVersionOf(ReadSelectedIndex());
}

}  // namespace

bool ReadCameraVersionText(int entry, wchar_t* text, size_t chars) {
    if (text == nullptr || chars == 0) return false;
    text[0] = L'\0';
    t_versionText = text;
    t_versionChars = chars;
    try {
        ReadVersionOf(entry);
    } catch (...) {
        DebugLine(L"ReadCameraVersionText exception\r\n");
    }
    t_versionText = nullptr;
    t_versionChars = 0;
    return text[0] != L'\0' && wcsstr(text, L"Failed") == nullptr;
}

void GetFirmwarVersion() {
    try {
        ReadVersion();
        g_bReadVersionRequested = false;
        // No update can have started meanwhile (the dialog refuses F/W UPDATE
        // while a command runs); the button is given back only where no
        // update has it disabled.
        if (!UpdateIsBusy()) EnableWindow(GetDlgItem(Dlg(), IDC_BTN_READFW_VERSION), TRUE);
    } catch (...) {
        DebugLine(L"GetFirmwarVersion exception\r\n");
    }
}

void ResetSelectedDevice() {
    try {
        const int i = ReadSelectedIndex();
        DeinitExtensionUnit();
        wchar_t path[kPathChars] = L"";
        if (Valid(i)) StringCchCopyW(path, kPathChars, g_szDevicePathList[i]);
        if (InitExtensionUnit(path) == 1) {
            SendHIDCommandWithFirstByte(4);
        } else if (PidIs(i, L"C05C")) {
            if (!WithExtensionUnit(InitKivoR7ExtensionUnit, i, [] { return ResetKivoR7() != 0; }))
                DebugLine(L"Check RESET IN DFU failed\r\n");
        } else if (PidIs(i, L"C181")) {
            if (!WithExtensionUnit(InitKivoV9ExtensionUnit, i, [] { return ResetDeviceV9() != 0; }))
                DebugLine(L"Check RESET IN DFU failed\r\n");
        } else {
            // Any other camera is taken to be in update mode.
            ReleaseUpdateModeDevice(DialogUpdate());
            InitializeDevice(DialogUpdate(), path);
            if (!SendDeviceResetCommand(DialogUpdate())) DebugLine(L"Check RESET IN DFU SendDeviceResetCommand failed\r\n");
        }
        g_bResetRequested = false;
    } catch (...) {
        DebugLine(L"ResetSelectedDevice exception\r\n");
    }
}
