#include "update_start.h"
#include <initializer_list>

#include "KivoFWSW.h"
#include "app_state.h"
#include "debug_print.h"
#include "device_lookup.h"
#include "id_text.h"
#include "os_api.h"
#include "update_outcome.h"
#include "resource.h"
#include "ui_wait.h"
#include "update_engine.h"
#include "update_guard.h"
#include "usb_requests.h"
#include "ui_state.h"
#include <strsafe.h>

#include <cstdio>

namespace {

HWND Dlg() { return g_hMainDlg.load(); }
void Show(int id) { ShowWindow(GetDlgItem(Dlg(), id), SW_SHOW); }
void ShowStatusControls() {
    for (int id : {IDC_STATIC_ENTERING_UPDATE, IDC_STATIC_STATUS, IDC_PROGRESS}) Show(id);
}

int Selected() { return g_nSelectedIndex; }
bool VidIs(const wchar_t* text) {
    const int i = Selected();
    return i >= 0 && i < kMaxDevices && IdEqualsText(g_szVIDList[i], kIdFieldChars, text);
}
bool PidIs(const wchar_t* text) {
    const int i = Selected();
    return i >= 0 && i < kMaxDevices && IdEqualsText(g_szPIDList[i], kIdFieldChars, text);
}

void SelectedPath(wchar_t* out) {
    const int i = Selected();
    StringCchCopyW(out, kPathChars, i >= 0 && i < kMaxDevices ? g_szDevicePathList[i] : L"");
}

enum class NormalPath { T1, R1, G1 };

struct Handshake {
    uint8_t imageType;
    int result;
};

void RunHandshake(void* context) {
    auto* h = static_cast<Handshake*>(context);
    h->result = FirmwareUpdate(h->imageType);
}

// The handshake waits up to 5 s for each of the camera's answers (a minute in
// all for a camera that never answers): the dialog keeps answering meanwhile.
int HandshakeWhileServing(uint8_t imageType) {
    Handshake h{imageType, 0};
    UiRunWhileServing(RunHandshake, &h);
    return h.result;
}

// A camera in its normal mode is told to enter its update mode; it leaves the
// bus and the arrival handlers take over.
void EnterUpdateMode(NormalPath path) {
    DialogUpdate().bMatchUpdatedDeviceHID = true;
    ZeroMemory(DialogUpdate().USBUniqueID, sizeof(DialogUpdate().USBUniqueID));
    EnumerateImageDevice(g_szCurrentDevicePath, DialogUpdate().USBUniqueID);
    DebugPrint(1, L"Firmware update button ::EnumerateImageDevice For Serial Number =%s \r\n", DialogUpdate().USBUniqueID);
    DialogUpdate().bUpdatedFromHIDMode = true;
    SetUIState(UI_STATE_UPDATING);
    g_bHDIssuePending = true;
    // From the command on the camera may be on its way to update mode.
    DialogUpdate().WaitForCamera();
    DialogUpdate().SetPhase(UpdatePhase::Handshake);
    int result;
    switch (path) {
        case NormalPath::T1:
            result = SetExtensionUnitValueForTessa(5, 1);
            break;
        case NormalPath::R1:
            result = FallbacktoFWKivoR7();
            break;
        default:
            result = HandshakeWhileServing(DialogUpdate().byImageType);
            DialogUpdate().nFirmwareUpdateResult = result;
            break;
    }
    if (result == 0) DebugLine(L"Alert : Check FirmwareUpdate\r\n");
    if (path != NormalPath::R1) Os().SetTimer(Dlg(), IDT_TIMER_FOR_HD_ISSUE, 60000, nullptr);
    if (path == NormalPath::G1) SetDlgItemTextW(Dlg(), IDC_STATIC_UPDATING, L"");
    else ShowWindow(GetDlgItem(Dlg(), IDC_STATIC_UPDATING), SW_HIDE);
    SetDlgItemTextW(Dlg(), IDC_STATIC_STATUS, L"Erasing Memory...Please Wait...");
    Show(IDC_STATIC_ENTERING_UPDATE);
    Show(IDC_PROGRESS);
    Os().SetTimer(Dlg(), IDT_TIMER_ERASE_BLINK, 200, nullptr);
    if (path == NormalPath::R1) UiWait(5000);
    // The camera's time to come back counts from here.
    DialogUpdate().WaitForCamera();
}

// A device already in update mode carries its camera's serial: the camera
// is found again by it when it is back in normal mode after the update.
void ArmTheSearchFor(const wchar_t* updateModePath) {
    ZeroMemory(DialogUpdate().USBUniqueID, sizeof(DialogUpdate().USBUniqueID));
    UniqueIdOfUpdateModePath(updateModePath, DialogUpdate().USBUniqueID);
    DialogUpdate().bMatchUpdatedDeviceHID = DialogUpdate().USBUniqueID[0] != L'\0';
}

// A device already in update mode on WinUSB: the update thread starts now.
void UpdateModeDevice(const wchar_t* path, bool fromOtherCamera) {
    if (!InitializeDevice(DialogUpdate(), path)) return;
    StringCchCopyW(DialogUpdate().szUpdateModeDevicePath, kPathChars, path);
    UpdateWritesTo(DialogUpdate(), path);
    ArmTheSearchFor(path);
    // The device restarts between the parts of an image: the update waits
    // for it in between.
    DialogUpdate().WaitForCamera();
    DialogUpdate().bIsStartUpdatedFromDFU = true;
    DialogUpdate().bWritePart2 = true;
    DialogUpdate().nFirmwareUpdateResult = 0;
    SetUIState(UI_STATE_UPDATING);
    if (PidIs(L"DF01") && (DialogUpdate().byImageType == 1 || DialogUpdate().byImageType == 2)) {
        DialogUpdate().bWritePart2 = false;
        DialogUpdate().bForceFirstPart = true;
    }
    if (!StartUpdateFirmwareThread(DialogUpdate())) DialogUpdate().WaitEnd();
    if (fromOtherCamera) UiWait(5000);
    ShowStatusControls();
}

// The HID update-mode device.
void HidUpdateModeDevice(const wchar_t* path) {
    UpdateWritesTo(DialogUpdate(), path);
    ArmTheSearchFor(path);
    SetUIState(UI_STATE_UPDATING);
    if (PidIs(L"DF02")) {
        DialogUpdate().bIsStartUpdatedFromDFU = false;
        DialogUpdate().nFirmwareUpdateResult = 0;
        DialogUpdate().bWritePart2 = false;
        DialogUpdate().bForceFirstPart = false;
        DialogUpdate().bNXPDevice = true;
    }
    DialogUpdate().WaitForCamera();
    if (!StartUpdateFirmwareThread(DialogUpdate())) DialogUpdate().WaitEnd();
    ShowStatusControls();
}

// A camera with its own boot loader: erase its flash, then reset it into the
// boot loader over its HID interface.
void EraseAndReset() {
    static uint8_t reply[1100];
    // Read now, while the camera is still in normal mode: it is found again
    // by it when its boot loader has brought it back.
    ZeroMemory(DialogUpdate().USBUniqueID, sizeof(DialogUpdate().USBUniqueID));
    EnumerateImageDevice(g_szCurrentDevicePath, DialogUpdate().USBUniqueID);
    SetPreparseDataAndAttributes();
    DevicestateCX3SNI(reply);
    g_byHidCommandBlock[0] = 0xAA;
    g_byHidCommandBlock[1] = 0x01;
    g_byHidCommandBlock[2] = 0;
    g_byHidCommandBlock[3] = 0;
    SetHidReport(g_byHidCommandBlock, 4);
    bool erased = false;
    for (int i = 0; i < 100; ++i) {
        Os().Sleep(10);
        // A reply too short for its state byte must not count as the erase
        // being done by the previous poll's byte.
        MarkUnanswered(reply);
        if (!GetHidReport(reply)) {
            DebugLine(L"Flash Erase failed\r\n");
            return;
        }
        if (reply[1] == 0) {
            erased = true;
            break;
        }
    }
    if (erased) {
        DebugLine(L"Flash erase completed, attempting to reset the device\n");
        g_byHidCommandBlock[1] = 0x02;
        bool reset = false;
        for (int attempt = 0; attempt < 10 && !reset; ++attempt) {
            SetHidReport(g_byHidCommandBlock, 4);
            Os().Sleep(100);
            MarkUnanswered(reply);
            if (!GetHidReport(reply)) {
                // The camera stopped answering: it went to its boot loader.
                DialogUpdate().bMatchUpdatedDeviceHID = true;
                DialogUpdate().bUpdatedFromHIDMode = true;
                DialogUpdate().WaitForCamera();
                DebugLine(L"Device reset completed. Exiting. \n");
                reset = true;
            } else if (reply[1] == 3) {
                DebugLine(L"Reset Failed, Attempting to reset again...\n");
            }
        }
        if (!reset) std::fputs("Reset Failed\n", stdout);
    }
    ShowStatusControls();
}

INT_PTR ColourWarningText(WPARAM wParam, LPARAM lParam) {
    static HBRUSH brush = CreateSolidBrush(RGB(240, 240, 240));
    const int id = GetDlgCtrlID(reinterpret_cast<HWND>(lParam));
    if (id != -1 && id != 0xFFFF) return 0;
    HDC dc = reinterpret_cast<HDC>(wParam);
    SelectObject(dc, g_hBoldFont);
    SetBkColor(dc, RGB(240, 240, 240));
    SetTextColor(dc, RGB(255, 0, 0));
    return reinterpret_cast<INT_PTR>(brush);
}

// The list entry of the device the operator chose with F/W UPDATE, or -1.
int ChosenEntry() {
    for (int i = 0; i < g_nDeviceCount && i < kMaxDevices; ++i)
        if (lstrcmpiW(g_szDevicePathList[i], DialogUpdate().szUpdateDevicePath) == 0) return i;
    return -1;
}

}  // namespace

void StartFirmwareUpdate() {
    // One update at a time: a second OK of the warning, or a start while a
    // device change handled under the warning began another download.
    if (UpdateIsBusy()) {
        DebugLine(L"StartFirmwareUpdate refused: a firmware update is running\r\n");
        return;
    }
    // Nothing may close the program or start anything else while this runs,
    // and device changes wait until it is done.
    UpdateStartScope starting(DialogUpdate());
    MessageHold hold;
    g_bNoFilePending = true;
    EndDialog(g_hUpdateWarningDialog.load(), IDC_BTN_NOTICE_OK);
    UiWait(1000);
    if (Os().GetFileAttributesW(DialogUpdate().szFirmwareFilePath) == INVALID_FILE_ATTRIBUTES) {
        DialogUpdate().Report(UpdateReport::Failed, L"Check File Path!", L"Alert", MB_ICONEXCLAMATION);
        return;
    }
    // The camera the operator chose, wherever device changes while the
    // warning was open have put it in the list (they select the first entry
    // and point the current path at it).
    const int chosen = ChosenEntry();
    if (chosen < 0) {
        DebugLine(L"StartFirmwareUpdate :: the chosen device is no longer listed\r\n");
        return;
    }
    SendMessageW(g_hDeviceCombo, CB_SETCURSEL, static_cast<WPARAM>(chosen), 0);
    g_nPrevSelectedIndex = chosen;
    StringCchCopyW(g_szCurrentDevicePath, kPathChars, DialogUpdate().szUpdateDevicePath);
    g_nSelectedIndex = static_cast<int>(SendMessageW(g_hDeviceCombo, CB_GETCURSEL, 0, 0));
    ReleaseUpdateModeDevice(DialogUpdate());
    DeinitExtensionUnit();
    // Which engine writes is decided by this update: the flash-loader paths
    // set the flag again; an earlier NXP update must not send this camera's
    // image to the flash-loader engine.
    DialogUpdate().bNXPDevice = false;
    for (int i = 0; i < g_nDeviceCount && i < kMaxDevices; ++i)
        StringCchCopyW(DialogUpdate().szDevicePathSnapshot[i], kPathChars, g_szDevicePathList[i]);

    wchar_t path[kPathChars];
    SelectedPath(path);
    wchar_t model[kPathChars];
    StringCchCopyW(model, kPathChars, g_szCurrentDevicePath);
    if (IsTessaDeviceAvail(model)) {
        DialogUpdate().bTessaDevice = true;
        DeinitExtUnit();
        if (InitTessaExtensionUnit(path)) {
            if (VidIs(L"4A7E")) EnterUpdateMode(NormalPath::T1);
            else EraseAndReset();
        } else {
            UpdateModeDevice(path, false);
        }
    } else if (IsKivoR7DeviceAvail(model)) {
        DeinitExtUnit();
        if (VidIs(L"4A7E") && InitKivoR7ExtensionUnit(path)) EnterUpdateMode(NormalPath::R1);
    } else if (IsKivoV9_DeviceAvail(model)) {
        DeinitExtUnit();
        if ((VidIs(L"4A7E") || VidIs(L"1BCF")) && InitKivoV9ExtensionUnit(path)) StartSunplusUpdate();
    } else {
        SetDlgItemTextW(Dlg(), IDC_STATIC_UPDATING, L"Device Entering into Firmware update mode");
        Show(IDC_STATIC_UPDATING);
        if (InitExtensionUnit(path)) {
            if (VidIs(L"4A7E")) EnterUpdateMode(NormalPath::G1);
            else EraseAndReset();
        } else if (Init_HIDHandle(path)) {
            HidUpdateModeDevice(path);
        } else {
            UpdateModeDevice(path, true);
        }
    }
}

INT_PTR CALLBACK UpdateWarningDialogProc(HWND hDlg, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_INITDIALOG:
            g_hUpdateWarningDialog = hDlg;
            return TRUE;
        case WM_CLOSE:
            EndDialog(hDlg, 0);
            return TRUE;
        case WM_CTLCOLORSTATIC:
            return ColourWarningText(wParam, lParam);
        case WM_COMMAND:
            if (LOWORD(wParam) == IDC_BTN_NOTICE_OK) StartFirmwareUpdate();
            return TRUE;
        default:
            return 0;
    }
}
