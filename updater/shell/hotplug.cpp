#include "hotplug.h"
#include <initializer_list>

#include "KivoFWSW.h"
#include "app_state.h"
#include "debug_print.h"
#include "device_list.h"
#include "device_lookup.h"
#include "id_text.h"
#include "os_api.h"
#include "resource.h"
#include "ui_wait.h"
#include "update_engine.h"
#include "update_guard.h"
#include "usb_requests.h"
#include "ui_state.h"
#include "camera_reselect.h"
#include "device_combo.h"
#include <strsafe.h>

namespace {

enum class Order { VideoFirst, UsbFirst };
enum class Variant { WinUsb, HidUpdate, Nxp };

// How long a flash loader's arrival waits for the ROM download that started
// it to end (its last command waits up to 5 s for a reply from the ROM that
// has gone).
constexpr DWORD kLoaderEndWaitMs = 10000;

HWND Dlg() { return g_hMainDlg.load(); }
void Enable(int id, bool on) { EnableWindow(GetDlgItem(Dlg(), id), on ? TRUE : FALSE); }
void Show(int id) { ShowWindow(GetDlgItem(Dlg(), id), SW_SHOW); }

// Both enumerations, in the order the handler needs; true when either listed
// a device.
bool Enumerate(Order order) {
    int found;
    if (order == Order::VideoFirst) {
        found = GetAvailableDevices();
        found |= DeviceConnect();
    } else {
        found = DeviceConnect();
        found |= GetAvailableDevices();
    }
    return found != 0;
}

void Rebuild(bool nxp) {
    RemoveDeviceNameInCombbox();
    if (nxp) AddDeviceNameInCombboxNXP();
    else AddDeviceNameInCombbox();
    SetUIState(UI_STATE_DEVICE_CONNECTED);
}

void NoDevice() {
    RemoveDeviceNameInCombbox();
    SetUIState(UI_STATE_NO_DEVICE);
}

void ToTheFront() {
    SetForegroundWindow(g_hMainWnd);
    SetForegroundWindow(Dlg());
}

// The NXP ROM download writes through the library's HID binding. A rebuild
// may have just started it: the steps after the rebuild that bind the
// library (re-binding, matching, the file's device) wait for the next device
// change instead of replacing the binding under it.
bool LibraryTaken() { return DialogUpdate().RunningWorkers(WorkerKind::RomDownload) > 0; }

// After a rebuild: the device the chosen file belongs to is selected again
// (or the file is dropped); without a file, the camera just found again after
// its update stays selected.
void CheckFilesDevice() {
    if (LibraryTaken()) return;
    if (!g_bNoFilePending) UpdateDeviceRemoved();
    else FollowUpdatedCamera();
}

// An update thread writes to a device: the arrival handlers leave it alone.
bool UpdateThreadBusy() { return DialogUpdate().bDownloadInProgress || UpdateThreadWriting(DialogUpdate()); }


// The updated camera is found again by its unique ID once its update no
// longer waits for it: before, an arrival is another device's (a bystander
// plugged meanwhile) or the camera's in update mode. The search stays armed
// until it finds the camera.
void FindTheUpdatedCamera() {
    if (!DialogUpdate().bMatchUpdatedDeviceHID || DialogUpdate().bUpdatedFromHIDMode || DialogUpdate().bIsStartUpdatedFromDFU || LibraryTaken()) return;
    if (MatchUniqueIDForUpdatedDeviceHID()) DialogUpdate().bMatchUpdatedDeviceHID = false;
}


const wchar_t* SelectedPath() {
    const int i = g_nSelectedIndex;
    return i >= 0 && i < kMaxDevices ? g_szDevicePathList[i] : L"";
}

void RebindPrevious() {
    if (LibraryTaken()) return;
    const int i = g_nPrevSelectedIndex;
    if (InitExtensionUnit(const_cast<wchar_t*>(i >= 0 && i < kMaxDevices ? g_szDevicePathList[i] : L"")) == 0) {
        Enable(IDC_BTN_READFW_VERSION, false);
        DebugLine(L"UVC Extension is not supported \r\n");
    }
}

bool PidIs(int i, const wchar_t* text) {
    return i >= 0 && i < kMaxDevices && IdEqualsText(g_szPIDList[i], kIdFieldChars, text);
}

// Binds the library to the flash loader at index i once the ROM download
// that started it has ended (its last command would otherwise go to the
// flash loader); false when it cannot be taken over.
bool TakeOverFlashLoader(int i) {
    UiWait(2000);
    const DWORD start = Os().GetTickCount();
    while (DialogUpdate().bLoaderDownloadActive && Os().GetTickCount() - start < kLoaderEndWaitMs) UiWait(100);
    if (DialogUpdate().bLoaderDownloadActive) {
        DebugLine(L"DBT_DEVICEARRIVAL: flash loader arrived while the ROM download still runs\r\n");
        return false;
    }
    if (Init_HIDHandle(g_szDevicePathList[i]) == 0) {
        DebugPrint(1, L"Init_HIDHandle Failed \r\n");
        return false;
    }
    DialogUpdate().bNXPDevice = true;
    UpdateWritesTo(DialogUpdate(), g_szDevicePathList[i]);
    SendMessageW(g_hDeviceCombo, CB_SETCURSEL, static_cast<WPARAM>(i), 0);
    return true;
}

// The update goes on with the device that arrived.
void ShowTheUpdateGoingOn() {
    for (int id : {IDC_STATIC_ENTERING_UPDATE, IDC_STATIC_UPDATING, IDC_STATIC_STATUS, IDC_PROGRESS}) Show(id);
    SetUIState(UI_STATE_UPDATING);
    Enable(IDC_BTN_EXIT, false);
}

// The USB-device arrival: an update-mode device that arrives while an update
// waits for one is opened and the update thread started.
int UsbArrival(Variant variant) {
    try {
        if (UpdateThreadBusy()) return 1;
        UiWait(2000);
        // An update thread may have started during the wait (another
        // arrival's): its device must not be released or opened again.
        if (UpdateThreadBusy()) {
            DebugLine(L"DBT_DEVICEARRIVAL: an update thread runs: the arrival is left alone\r\n");
            return 1;
        }
        if (!Enumerate(Order::UsbFirst)) {
            NoDevice();
        } else {
            Os().KillTimer(Dlg(), IDT_TIMER_FOR_HD_ISSUE);
            g_bHDIssuePending = false;
            Rebuild(variant == Variant::Nxp);
            // A camera without a HID interface (the extension-unit cameras)
            // raises no HID arrival when it is back in normal mode, and a
            // HID camera's HID arrival may come first: its USB-device
            // arrival looks for it too.
            FindTheUpdatedCamera();
            if (g_bNoFilePending && !LibraryTaken()) FollowUpdatedCamera();
            if (!LibraryTaken()) {
                if (InitExtensionUnit(g_szCurrentDevicePath) == 0) Enable(IDC_BTN_READFW_VERSION, false);
                wchar_t path[kPathChars];
                lstrcpynW(path, SelectedPath(), kPathChars);
                if (InitTessaExtensionUnit(path)) Enable(IDC_BTN_READFW_VERSION, true);
                if (InitKivoR7ExtensionUnit(path)) Enable(IDC_BTN_READFW_VERSION, true);
                if (variant == Variant::WinUsb && InitKivoV9ExtensionUnit(path)) Enable(IDC_BTN_READFW_VERSION, true);
            }
            CheckFilesDevice();
            ToTheFront();
            if (DialogUpdate().bLoaderThreadStarted) {
                DialogUpdate().bLoaderThreadStarted = false;
                return 1;
            }
        }
        if (!DialogUpdate().bUpdatedFromHIDMode && !DialogUpdate().bIsStartUpdatedFromDFU) return 1;
        DebugPrint(1, L"g_bUpdatedFromHIDMode = %d and g_bIsStartUpdatedFromDFU = %d \r\n",
                   static_cast<int>(DialogUpdate().bUpdatedFromHIDMode.load()), static_cast<int>(DialogUpdate().bIsStartUpdatedFromDFU.load()));
        DebugPrint(1, L"DBT_DEVICEARRIVAL:Calling InitializeDevice for DFU\r\n");

        bool startThread = variant != Variant::Nxp;
        if (variant == Variant::Nxp) {
            int flashLoader = -1;
            for (int i = 0; i < g_nDeviceCount; ++i) {
                if (IsInSnapshot(DialogUpdate(), g_szDevicePathList[i], L"DBT_DEVICEARRIVAL:Device macthed\r\n",
                                 L"DBT_DEVICEARRIVAL:Device not macthed\r\n"))
                    continue;
                g_nPrevSelectedIndex = i;
                ReleaseUpdateModeDevice(DialogUpdate());
                if (PidIs(i, L"DF01") && (DialogUpdate().byImageType == 1 || DialogUpdate().byImageType == 2)) DialogUpdate().bForceFirstPart = true;
                if (flashLoader < 0 && PidIs(i, L"DF02")) flashLoader = i;
            }
            // The flash loader that the ROM stage started: the waiting update
            // goes on over it, whichever of its two arrivals comes first.
            if (flashLoader >= 0) startThread = TakeOverFlashLoader(flashLoader);
        } else {
            int i = FindNewUpdateModeDevice(DialogUpdate());
            // A device updated from update mode is in the snapshot itself:
            // its return must not leave the second part on the old handle.
            if (i < 0) i = FindReturnedUpdateModeDevice(DialogUpdate());
            if (i < 0) {
                // Another device came (a camera plugged meanwhile): a thread
                // on whatever is open would fail the update that waits for
                // its own device.
                DebugLine(L"DBT_DEVICEARRIVAL: no update-mode device arrived: the update waits on\r\n");
                return 1;
            }
            {
                g_nPrevSelectedIndex = i;
                ReleaseUpdateModeDevice(DialogUpdate());
                if (PidIs(i, L"DF01") && (DialogUpdate().byImageType == 1 || DialogUpdate().byImageType == 2)) DialogUpdate().bForceFirstPart = true;
                if (PidIs(i, L"DF02")) {
                    UiWait(2000);
                    if (Init_HIDHandle(g_szDevicePathList[i]) == 0 && variant == Variant::HidUpdate)
                        DebugPrint(1, L"Init_HIDHandle Failed \r\n");
                } else {
                    InitializeDevice(DialogUpdate(), g_szDevicePathList[i]);
                }
                UpdateWritesTo(DialogUpdate(), g_szDevicePathList[i]);
                SendMessageW(g_hDeviceCombo, CB_SETCURSEL, static_cast<WPARAM>(i), 0);
            }
        }
        DebugPrint(1, L"Initialize_Device success and Device arrival \r\n");
        ShowTheUpdateGoingOn();
        // No thread: the update goes on waiting for its camera (and ends
        // when it does not come back).
        if (startThread) StartUpdateFirmwareThread(DialogUpdate());
        else DialogUpdate().WaitGoesOn();
        return 1;
    } catch (...) {
        DebugPrint(1, L"SetDeviceArrivValueForWinUSBDevice exception...\r\n");
        return 0;
    }
}

}  // namespace

int SetDeviceArrivValueForVideoDevice() {
    if (UpdateThreadBusy()) return 1;
    DebugPrint(1, L"DBT_DEVICEARRIVAL:Calling InitExtensionUnit for HID\r\n");
    if (!Enumerate(Order::VideoFirst)) {
        NoDevice();
        return 1;
    }
    Rebuild(false);
    FindTheUpdatedCamera();
    CheckFilesDevice();
    // The device an update started on in update mode is selected again by
    // the snapshot once that update no longer waits for it: while it waits,
    // the flag is what lets the device's next arrival go on with the update,
    // and a bystander's HID arrival must not take it.
    if (DialogUpdate().bIsStartUpdatedFromDFU && !DialogUpdate().WaitActive()) {
        DialogUpdate().bIsStartUpdatedFromDFU = false;
        MatchUniqueIDForUpdatedDeviceDFU();
    }
    ToTheFront();
    return 1;
}

void StartPendingUpdateThread() {
    CameraUpdate& u = DialogUpdate();
    if (!u.bThreadStartPending || u.RunningWorkers(WorkerKind::Update) > 0) return;
    DebugLine(L"UpdateFirmware :: the last update thread has ended: the update goes on\r\n");
    // The ending the last thread told reset the dialog.
    ShowTheUpdateGoingOn();
    if (!StartUpdateFirmwareThread(u)) u.bThreadStartPending = false;
}

int SetDeviceArrivValueForWinUSBDevice() { return UsbArrival(Variant::WinUsb); }
int SetDeviceArrivValueForHIDUpdateDevice() { return UsbArrival(Variant::HidUpdate); }
int SetDeviceArrivValueForNXPDevice() { return UsbArrival(Variant::Nxp); }

int SetDeviceRemoveValueForVideoDevice() {
    try {
        if (UpdateThreadBusy() || DialogUpdate().bUpdatedFromHIDMode) return 1;
        if (!Enumerate(Order::VideoFirst)) {
            RemoveDeviceNameInCombbox();
            SetUIState(UI_STATE_NO_DEVICE);
            return 1;
        }
        Rebuild(false);
        CheckFilesDevice();
        DebugPrint(1, L"DBT_DEVICEREMOVECOMPLETE:Calling InitExtensionUnit for HID\r\n");
        RebindPrevious();
        ToTheFront();
        return 1;
    } catch (...) {
        DebugPrint(1, L"SetDeviceRemoveValueForVideoDevice exception...\r\n");
        return 0;
    }
}

int SetDeviceRemoveValueForWinUSBDevice() {
    try {
        DebugPrint(1, L"DBT_DEVICEREMOVECOMPLETE:Calling InitExtensionUnit for LIB_USB_GUID\r\n");
        if (UpdateThreadBusy() || DialogUpdate().bUpdatedFromHIDMode) return 1;
        if (!Enumerate(Order::VideoFirst)) {
            RemoveDeviceNameInCombbox();
            SetUIState(UI_STATE_NO_DEVICE);
            Os().KillTimer(Dlg(), IDT_TIMER_NOTICE_TIMEOUT);
            EnableWindow(GetDlgItem(g_hNoticeDialog.load(), IDC_BTN_NOTICE_OK), TRUE);
        } else {
            Rebuild(false);
            CheckFilesDevice();
            RebindPrevious();
            ToTheFront();
        }
        if (DialogUpdate().bLoaderThreadStarted) Enable(IDC_BTN_EXIT, false);
        return 1;
    } catch (...) {
        DebugPrint(1, L"SetDeviceRemoveValueForWinUSBDevice exception...\r\n");
        return 0;
    }
}

void NoteDeviceLeft(const wchar_t* interfacePath) {
    if (interfacePath == nullptr || DialogUpdate().szWrittenDevicePath[0] == L'\0') return;
    if (lstrcmpiW(interfacePath, DialogUpdate().szWrittenDevicePath) != 0) return;
    DialogUpdate().bWrittenDeviceGone = true;
    if (g_bWarningNoticeOpen) {
        DebugLine(L"DBT_DEVICEREMOVECOMPLETE: the updated device has left: the notice may be closed\r\n");
        Os().KillTimer(Dlg(), IDT_TIMER_NOTICE_TIMEOUT);
        EnableWindow(GetDlgItem(g_hNoticeDialog.load(), IDC_BTN_NOTICE_OK), TRUE);
    }
}

int SetInitialDeviceList() {
    g_nDeviceCount = 0;
    ++g_nDeviceTableBuilds;
    if (!Enumerate(Order::VideoFirst)) {
        SetUIState(UI_STATE_NO_DEVICE);
        return 0;
    }
    Rebuild(false);
    if (InitExtensionUnit(g_szCurrentDevicePath) == 0) {
        Enable(IDC_BTN_READFW_VERSION, false);
        DebugLine(L"UVC Extension is not supported \r\n");
    }
    wchar_t path[kPathChars];
    lstrcpynW(path, SelectedPath(), kPathChars);
    if (InitTessaExtensionUnit(path)) Enable(IDC_BTN_READFW_VERSION, true);
    if (InitKivoR7ExtensionUnit(path)) Enable(IDC_BTN_READFW_VERSION, true);
    if (InitKivoV9ExtensionUnit(path)) {
        if (!g_bSunplusDeviceFound) Enable(IDC_BTN_READFW_VERSION, true);
        g_bSunplusDeviceFound = false;
    }
    ToTheFront();
    return 1;
}
