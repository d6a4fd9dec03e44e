#include "main_dialog.h"
#include <initializer_list>

#include <commctrl.h>
#include <dbt.h>

#include "KivoFWSW.h"
#include "app_state.h"
#include "command_thread.h"
#include "debug_print.h"
#include "device_lookup.h"
#include "hotplug.h"
#include "id_text.h"
#include "image_file.h"
#include "notice_dialogs.h"
#include "os_api.h"
#include "resource.h"
#include "ui_wait.h"
#include "update_guard.h"
#include "update_start.h"
#include "ui_state.h"
#include "accessible_names.h"
#include "dialog_keys.h"
#include "taskbar_progress.h"
#include "update_history.h"
#include "firmware_browse.h"
#include "hotplug.h"
#include "camera_reselect.h"
#include "update_display.h"
#include "usb_requests.h"
#include <strsafe.h>

namespace {

void (*g_startStation)() = nullptr;

const GUID kHidClass = {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
const GUID kUsbDeviceClass = {0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};

HWND Dlg() { return g_hMainDlg.load(); }
HWND Item(int id) { return GetDlgItem(Dlg(), id); }
void Show(int id, bool shown) { ShowWindow(Item(id), shown ? SW_SHOW : SW_HIDE); }
void Enable(int id, bool enabled) { EnableWindow(Item(id), enabled ? TRUE : FALSE); }

// The selected entry's ID text equals text (upper-cased in place, as every
// ID comparison does).
bool SelectedIdIs(wchar_t (*list)[kIdFieldChars], const wchar_t* text) {
    const int i = g_nSelectedIndex;
    if (i < 0 || i >= kMaxDevices) return false;
    return IdEqualsText(list[i], kIdFieldChars, text);
}

const wchar_t* SelectedPath() {
    const int i = g_nSelectedIndex;
    return i >= 0 && i < kMaxDevices ? g_szDevicePathList[i] : L"";
}

void CopyPath(wchar_t* to, const wchar_t* from) { StringCchCopyW(to, kPathChars, from); }

// Stops the command thread, releases every binding and ends the program.
void ExitProgram(bool stopCommandThread) {
    // Nothing kept behind this EXIT or close is handled any more.
    DropDeferredMessages();
    DeinitExtensionUnit();
    ReleaseUpdateModeDevice(DialogUpdate());
    if (stopCommandThread) _threadUpdateUI();
    CoUninitialize();
    DestroyWindow(g_hMainWnd);
}

HBRUSH ButtonFaceBrush() { return GetSysColorBrush(COLOR_BTNFACE); }

INT_PTR ColourStatic(HDC dc, HWND control) {
    COLORREF colour;
    bool setColour = true;
    switch (GetDlgCtrlID(control)) {
        case IDC_STATIC_STATUS:
        case IDC_STATIC_UPDATING:
        case IDC_STATIC_ENTERING_UPDATE:
            setColour = false;
            colour = 0;
            break;
        case IDC_STATIC_NO_DEVICE:
            colour = RGB(255, 0, 0);
            break;
        case IDC_STATIC_DEVICE_CONNECTED:
            colour = RGB(255, 100, 0);
            break;
        case IDC_STATIC_VERSION:
        case IDC_STATIC_MAKER:
            colour = RGB(0, 0, 255);
            break;
        default:
            return 0;
    }
    SelectObject(dc, g_hBoldFont);
    SetBkMode(dc, TRANSPARENT);
    if (setColour) SetTextColor(dc, colour);
    return reinterpret_cast<INT_PTR>(ButtonFaceBrush());
}

// Dialog 130 is open: the operator has chosen the camera and the file, and
// its OK starts the update with them.
bool UpdateWarningOpen() {
    HWND warning = g_hUpdateWarningDialog.load();
    return warning != nullptr && IsWindow(warning);
}

bool RefusedByTheWarning(const wchar_t* command) {
    if (!UpdateWarningOpen()) return false;
    DebugPrint(1, L"%s refused: the update warning is open\r\n", command);
    return true;
}

// What an update, or the warning before one, does not let the operator do.
bool Refused(const wchar_t* command) { return RefusedWhileBusy(command) || RefusedByTheWarning(command); }

// EXIT and closing: refused while closing could break the update (not after
// a failure the operator was told of, when EXIT is theirs again).
void CloseProgram(const wchar_t* command, bool stopCommandThread) {
    if (ClosingIsHeld()) ShowCloseRefused();
    else if (!RefusedByTheWarning(command)) ExitProgram(stopCommandThread);
}

// The operator chose a device or a file: the camera an earlier update found
// again (or still looks for) no longer takes the selection.
void ForgetTheUpdatedCamera() {
    DialogUpdate().bMatchUpdatedDeviceHID = false;
    ForgetUpdatedCamera();
    EndTheUpdateLeftWaiting();
}

void OnBrowse() {
    if (Refused(L"Browse")) return;
    const int result = SelectFirmwareFile();
    if (result == 2) return;
    if (result == 0) {
        Os().MessageBoxW(Dlg(), L"File Reading failed ", L"Error", MB_OK);
        return;
    }
    g_bNoFilePending = false;
    CopyPath(g_szBrowseDevicePath, SelectedPath());
    Enable(IDC_BTN_FW_UPDATE, true);
    // The operator works on this device now: the camera of an earlier
    // update is no longer looked for.
    ForgetTheUpdatedCamera();
}

// Hands a request to the command thread. The command keeps the library's
// binding and reads the device list until it has run: until then device
// changes, a new selection and the end of the program wait (ui_wait.h).
// False when there is no command thread to run it.
bool SignalCommand() {
    if (g_hCommandEvent == nullptr || g_hCommandThread == nullptr) {
        DebugLine(L"The command cannot run: the command thread is not there\r\n");
        return false;
    }
    // A command runs: the request is the one running (a second click of its
    // button), and nothing may touch the binding meanwhile.
    if (CommandActive()) return true;
    // Its extension-unit objects belong to this thread; the command binds
    // its own (camera_commands.cpp).
    DeinitExtUnit();
    SetCommandActive(true);
    SetEvent(g_hCommandEvent);
    return true;
}

void OnReadVersion() {
    if (Refused(L"READ F/W VERSION")) return;
    if (g_bResetRequested) {
        Os().MessageBoxW(Dlg(), L"Please wait...Device Reset in progress", L"Alert", MB_OK);
        return;
    }
    g_bReadVersionRequested = true;
    // A request that cannot run must not look like one in progress.
    if (!SignalCommand()) g_bReadVersionRequested = false;
}

void OnReset() {
    if (Refused(L"RESET")) return;
    if (g_bReadVersionRequested) {
        Os().MessageBoxW(Dlg(), L"Please wait...ReadFirmwarVersion in progress", L"Alert", MB_OK);
        return;
    }
    g_bResetRequested = true;
    if (!SignalCommand()) g_bResetRequested = false;
}

void OnFirmwareUpdate() {
    if (Refused(L"F/W UPDATE")) return;
    // The running command uses the camera's binding, which the update
    // start replaces.
    if (g_bReadVersionRequested) {
        Os().MessageBoxW(Dlg(), L"Please wait...ReadFirmwarVersion in progress", L"Alert", MB_OK);
        return;
    }
    if (g_bResetRequested) {
        Os().MessageBoxW(Dlg(), L"Please wait...Device Reset in progress", L"Alert", MB_OK);
        return;
    }
    GetDlgItemTextW(Dlg(), IDC_EDIT_FIRMWARE_PATH, DialogUpdate().szFirmwareFilePath, kPathChars);
    if (DialogUpdate().szFirmwareFilePath[0] == L'\0') {
        Os().MessageBoxW(Dlg(), L"Choose File!", L"Alert", MB_ICONEXCLAMATION);
        return;
    }
    DialogUpdate().bTessaDevice = false;
    g_nSelectedIndex = static_cast<int>(SendMessageW(g_hDeviceCombo, CB_GETCURSEL, 0, 0));
    const int i = g_nSelectedIndex;
    const wchar_t* name = i >= 0 && i < kMaxDevices ? g_szDeviceNameList[i] : L"";
    if (wcsstr(name, L"DFU") == nullptr) {
        if (!FileNameFitsDevice(DialogUpdate().szFirmwareFileName, name)) {
            const int answer = Os().MessageBoxW(
                Dlg(),
                L"The firmware that you are trying to upload might not be suitable for this device. This can cause "
                L"the device to become unresponsive. Do you want to proceed?",
                L"Corvane_FW_Updater", MB_YESNO | MB_ICONEXCLAMATION);
            if (answer == IDNO) return;
        }
    }
    DebugPrint(1, L"Current selected index = %d \r\n", i);
    CopyPath(g_szCurrentDevicePath, SelectedPath());
    DebugLine(g_szCurrentDevicePath);
    // The camera the operator chose: device changes while the warning is
    // open rebuild the list, and the update must still go to this one.
    CopyPath(DialogUpdate().szUpdateDevicePath, g_szCurrentDevicePath);
    {
        // The warning ends when the file's camera leaves: it sees the device
        // changes while it is open.
        MessageHoldLift lift;
        Os().DialogBoxParamW(g_hInst, MAKEINTRESOURCEW(IDD_UPDATE_WARNING), Dlg(), UpdateWarningDialogProc, 0);
    }
    g_hUpdateWarningDialog = nullptr;
}

void OnSelectionChange() {
    if (Refused(L"Selection change")) {
        // The list shows the device the update works on again.
        SendMessageW(g_hDeviceCombo, CB_SETCURSEL, static_cast<WPARAM>(g_nSelectedIndex.load()), 0);
        return;
    }
    g_nSelectedIndex = static_cast<int>(SendMessageW(g_hDeviceCombo, CB_GETCURSEL, 0, 0));
    DebugPrint(1, L"Current selected index = %d \r\n", g_nSelectedIndex.load());
    ForgetTheUpdatedCamera();
    if (g_nSelectedIndex != g_nPrevSelectedIndex) {
        // A file chosen for another camera no longer applies.
        SetDlgItemTextW(Dlg(), IDC_EDIT_FIRMWARE_PATH, L"");
        Enable(IDC_BTN_FW_UPDATE, false);
    }
    g_nPrevSelectedIndex = g_nSelectedIndex.load();
    CopyPath(g_szCurrentDevicePath, SelectedPath());
    DebugLine(g_szCurrentDevicePath);
    DeinitExtensionUnit();
    ReleaseUpdateModeDevice(DialogUpdate());
    if (InitExtensionUnit(g_szCurrentDevicePath)) {
        ZeroMemory(DialogUpdate().USBUniqueID, sizeof(DialogUpdate().USBUniqueID));
        EnumerateImageDevice(g_szCurrentDevicePath, DialogUpdate().USBUniqueID);
        DebugPrint(1, L"EnumerateImageDevice Serial number %s \r\n", DialogUpdate().USBUniqueID);
        Enable(IDC_BTN_READFW_VERSION, true);
        DebugLine(L"UVC Extension is supported \r\n");
    } else if (InitializeDevice(DialogUpdate(), g_szCurrentDevicePath)) {
        Enable(IDC_BTN_READFW_VERSION, false);
        DebugLine(L"UVC Extension is not supported for this device\r\n");
    }
    Enable(IDC_BTN_RESET, SelectedIdIs(g_szVIDList, L"4A7E"));
}

void OnCommand(WORD id, WORD notification) {
    switch (id) {
        case IDC_BTN_BROWSE:
            OnBrowse();
            break;
        case IDC_BTN_READFW_VERSION:
            OnReadVersion();
            break;
        case IDC_BTN_RESET:
            OnReset();
            break;
        case IDC_BTN_FW_UPDATE:
            OnFirmwareUpdate();
            break;
        case IDC_BTN_EXIT:
            CloseProgram(L"EXIT", true);
            break;
        case IDC_COMBO_DEVICELIST:
            if (notification == CBN_SELCHANGE) OnSelectionChange();
            break;
        case IDOK:
            // Enter on a focused button that is not the default one.
            PressFocusedButton(Dlg());
            break;
        case IDCANCEL:
            // Esc: what closing does (refused while an update runs, kept
            // while the dialog waits).
            PostMessageW(Dlg(), WM_CLOSE, 0, 0);
            break;
        default:
            break;
    }
}

void Blink(const wchar_t* text) {
    if (StatusNoticeHeld()) return;
    if (g_nBlinkState == 5) {
        SetDlgItemTextW(Dlg(), IDC_STATIC_STATUS, L"");
        g_nBlinkState = 0;
    } else {
        Show(IDC_STATIC_UPDATING, false);
        SetDlgItemTextW(Dlg(), IDC_STATIC_STATUS, text);
        g_nBlinkState = 5;
    }
}

void OnTimer(UINT_PTR id) {
    switch (id) {
        case IDT_TIMER_ERASE_BLINK:
            Blink(L"Erasing Memory...Please Wait...");
            break;
        case IDT_TIMER_FOR_HD_ISSUE:
            if (g_bHDIssuePending) {
                DebugLine(L"IDT_TIMER_FOR_HD_ISSUE elapsed\r\n");
                Os().KillTimer(Dlg(), IDT_TIMER_FOR_HD_ISSUE);
                Enable(IDC_BTN_EXIT, true);
            }
            break;
        case IDT_TIMER_VERIFY_BLINK:
            Blink(L"Verify Flash... Please Wait...");
            break;
        case IDT_TIMER_BUSY_WATCH:
            ApplyBusyState();
            break;
        case IDT_TIMER_NOTICE_TIMEOUT:
            Os().KillTimer(Dlg(), IDT_TIMER_NOTICE_TIMEOUT);
            EndDialog(g_hNoticeDialog.load(), 1);
            Os().DialogBoxParamW(g_hInst, MAKEINTRESOURCEW(IDD_ERROR_NOTICE), Dlg(), ErrorNoticeProc, 0);
            break;
        default:
            break;
    }
}

// Which handler an arrival runs depends on the product ID of the entry that
// was selected before the change, not on the device that arrived.
void OnDeviceChange(WPARAM event, LPARAM lParam) {
    if (event == DBT_DEVICEARRIVAL) {
        DebugLine(L"DEVICEARRIVAL COUNT  \r\n");
        DebugLine(L"DBT_DEVICEARRIVAL \r\n");
    } else if (event == DBT_DEVICEREMOVECOMPLETE) {
        DebugLine(L"DBT_DEVICEREMOVECOMPLETE \r\n");
    } else {
        return;
    }
    const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam);
    if (header == nullptr || header->dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE) return;
    const GUID& cls = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(lParam)->dbcc_classguid;
    g_nDeviceCount = 0;
    ++g_nDeviceTableBuilds;
    const bool hid = IsEqualGUID(cls, kHidClass) != FALSE;
    const bool usb = IsEqualGUID(cls, kUsbDeviceClass) != FALSE;
    if (event == DBT_DEVICEREMOVECOMPLETE) {
        NoteDeviceLeft(reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(lParam)->dbcc_name);
        if (hid) SetDeviceRemoveValueForVideoDevice();
        else if (usb) SetDeviceRemoveValueForWinUSBDevice();
        return;
    }
    if (hid) {
        DebugLine(L"SetDeviceArrivValueForVideoDevice \r\n");
        if (SelectedIdIs(g_szPIDList, L"0135") || SelectedIdIs(g_szPIDList, L"C05C"))
            SetDeviceArrivValueForNXPDevice();
        else
            SetDeviceArrivValueForVideoDevice();
    } else if (usb) {
        if (SelectedIdIs(g_szPIDList, L"DF02") || SelectedIdIs(g_szPIDList, L"C05C"))
            SetDeviceArrivValueForHIDUpdateDevice();
        else if (SelectedIdIs(g_szPIDList, L"0135"))
            SetDeviceArrivValueForNXPDevice();
        else
            SetDeviceArrivValueForWinUSBDevice();
    }
}

// Sets a control's text only when it differs: a step arrives for every
// block, and repainting an unchanged text each time slows the transfer.
void SetTextIfChanged(int id, const wchar_t* text) {
    wchar_t current[64];
    if (GetDlgItemTextW(Dlg(), id, current, 64) > 0 && lstrcmpW(current, text) == 0) return;
    SetDlgItemTextW(Dlg(), id, text);
}

void OnProgressStep(WPARAM blocks) {
    const uint32_t total = DialogUpdate().nProgressTotal;
    if (total == 0) return;
    SetTextIfChanged(IDC_STATIC_UPDATING, L"Updating Firmware..");
    Show(IDC_STATIC_UPDATING, true);
    const unsigned percent = static_cast<unsigned>((static_cast<unsigned long long>(blocks) * 100u) / total);
    StringCchPrintfW(g_szPercent, 16, L"%d%%", percent);
    if (!StatusNoticeHeld()) SetTextIfChanged(IDC_STATIC_STATUS, g_szPercent);
    HWND bar = Item(IDC_PROGRESS);
    if (SendMessageW(bar, PBM_GETPOS, 0, 0) != static_cast<LRESULT>(percent + 3))
        SendMessageW(bar, PBM_SETPOS, percent + 3, 0);
}

void OnProgressPercent(WPARAM value) {
    SetDlgItemTextW(Dlg(), IDC_STATIC_UPDATING, L"Updating Firmware..");
    Show(IDC_STATIC_UPDATING, true);
    StringCchPrintfW(g_szPercent, 16, L"%d%%", static_cast<int>(value) - 1);
    if (!StatusNoticeHeld()) SetDlgItemTextW(Dlg(), IDC_STATIC_STATUS, g_szPercent);
    Show(IDC_STATIC_STATUS, true);
    Show(IDC_PROGRESS, true);
    SendMessageW(Item(IDC_PROGRESS), PBM_SETPOS, value + 3, 0);
}

bool RegisterForInterfaceClass(HWND hDlg, const GUID& cls) {
    DEV_BROADCAST_DEVICEINTERFACE_W filter{};
    filter.dbcc_size = 32;  // the fixed part of the record, without the name
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = cls;
    return Os().RegisterDeviceNotificationW(hDlg, &filter, DEVICE_NOTIFY_WINDOW_HANDLE) != nullptr;
}

}  // namespace

void SetStationMenuCommand(void (*start)()) { g_startStation = start; }

const wchar_t* ModelOfDeviceName(const wchar_t* name) {
    return wcsstr(name, L"Corvane_RX40_MH") != nullptr ? L"Corvane_RX40M" : name;
}

bool FileNameFitsDevice(const wchar_t* fileName, const wchar_t* deviceName) {
    return wcsstr(fileName, ModelOfDeviceName(deviceName)) != nullptr;
}

void SelectListEntry(int i) {
    SendMessageW(g_hDeviceCombo, CB_SETCURSEL, static_cast<WPARAM>(i), 0);
    OnSelectionChange();
}

namespace {

// The percentage the status shows (the status may hold a notice instead).
std::wstring ShownPercent(HWND bar) { return IsWindowVisible(bar) ? std::wstring(g_szPercent) : std::wstring(); }

// What a screen reader says for the controls whose text is not their name.
void NameDialogControls(HWND hDlg) {
    NameControl(GetDlgItem(hDlg, IDC_COMBO_DEVICELIST), L"Camera");
    NameControl(GetDlgItem(hDlg, IDC_EDIT_FIRMWARE_PATH), L"Firmware file");
    NameControl(GetDlgItem(hDlg, IDC_PROGRESS), L"Progress", ShownPercent);
}

}  // namespace

int SetInitialVaue() {
    try {
        HWND hDlg = Dlg();
        SetDlgItemTextW(hDlg, IDC_STATIC_STATUS, L"");
        for (int id : {IDC_STATIC_NO_DEVICE, IDC_STATIC_DEVICE_CONNECTED, IDC_STATIC_UPDATING, IDC_PROGRESS})
            Show(id, false);

        // Looked up in the current folder, as the icon always was.
        HICON icon = static_cast<HICON>(LoadImageW(nullptr, L"KivoIcon.ico", IMAGE_ICON, 32, 32, LR_LOADFROMFILE));
        if (icon != nullptr) SendMessageW(hDlg, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));

        Os().GetModuleFileNameW(nullptr, g_szExePath, kPathChars);
        const wchar_t* slash = wcsrchr(g_szExePath, L'\\');
        g_nExeDirLength = slash != nullptr ? static_cast<int>(slash - g_szExePath) : -1;
        DebugPrint(1, L"EXE file  Path length GetLastError() = %d\r\n", g_nExeDirLength.load());

        g_hDeviceCombo = GetDlgItem(hDlg, IDC_COMBO_DEVICELIST);
        NameDialogControls(hDlg);

        if (!RegisterForInterfaceClass(hDlg, kHidClass)) {
            Os().MessageBoxW(hDlg, L"Register Dev. Notification Failed!", L"Error", MB_ICONERROR);
            SetUIState(UI_STATE_NO_DEVICE);
            return 0;
        }
        if (!RegisterForInterfaceClass(hDlg, kUsbDeviceClass))
            Os().MessageBoxW(hDlg, L"Register Dev. Notification Failed!", L"Error", MB_ICONERROR);

        return SetInitialDeviceList() != 0 ? 1 : 0;
    } catch (...) {
        DebugLine(L"SetInitialVaue exception...\r\n");
        return 0;
    }
}

namespace {

// The focus was placed once since the dialog opened.
bool g_bFocusPlaced = false;

INT_PTR HandleMessage(HWND hDlg, UINT message, WPARAM wParam, LPARAM lParam) {
        switch (message) {
            case WM_INITDIALOG:
                g_hMainDlg = hDlg;
                g_bFocusPlaced = false;
                SetDeferredMessageHandler(MainDialogProc);
                DialogUpdate().SetView(&DialogView());
                SetInitialVaue();
                createThreadUpdateUI();
                if (HMENU menu = GetSystemMenu(hDlg, FALSE)) {
                    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
                    AppendMenuW(menu, MF_STRING, IDM_STATION_MODE, L"Station mode...");
                    AppendMenuW(menu, MF_STRING, IDM_UPDATE_HISTORY, L"Update history...");
                }
                return TRUE;
            case WM_SYSCOMMAND:
                if ((wParam & 0xFFF0) == IDM_UPDATE_HISTORY) {
                    OpenUpdateHistory();
                    return TRUE;
                }
                if ((wParam & 0xFFF0) != IDM_STATION_MODE) return 0;
                if (!Refused(L"Station mode") && g_startStation != nullptr) g_startStation();
                return TRUE;
            case WM_PAINT: {
                PAINTSTRUCT ps;
                BeginPaint(hDlg, &ps);
                EndPaint(hDlg, &ps);
                return 0;
            }
            case WM_CTLCOLORDLG:
                SetBkMode(reinterpret_cast<HDC>(wParam), TRANSPARENT);
                return reinterpret_cast<INT_PTR>(ButtonFaceBrush());
            case WM_CTLCOLORSTATIC:
                return ColourStatic(reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam));
            case WM_COMMAND:
                OnCommand(LOWORD(wParam), HIWORD(wParam));
                return 0;
            case WM_CLOSE:
                // Handled: the dialog manager would otherwise send IDCANCEL,
                // which is Esc's.
                CloseProgram(L"Closing", false);
                return TRUE;
            case WM_ACTIVATE:
                // The dialog manager gives the focus back after this.
                if (LOWORD(wParam) != WA_INACTIVE) PostMessageW(hDlg, WM_FW_PLACE_FOCUS, 0, 0);
                return 0;
            case WM_SETFOCUS:
                // With no control to take it (an update runs), the dialog
                // keeps the focus itself, so that Esc still reaches it.
                if (DialogFocusTarget() == nullptr) return TRUE;
                PostMessageW(hDlg, WM_FW_PLACE_FOCUS, 0, 0);
                return 0;
            case WM_FW_PLACE_FOCUS:
                PlaceDialogFocus(!g_bFocusPlaced);
                g_bFocusPlaced = true;
                return 0;
            case WM_QUERYENDSESSION:
                // Windows asks before it ends the session: not in the middle
                // of an update.
                if (!UpdateIsBusy()) return 0;
                DebugLine(L"WM_QUERYENDSESSION refused: a firmware update is running\r\n");
                SetWindowLongPtrW(hDlg, DWLP_MSGRESULT, FALSE);
                return TRUE;
            case WM_FW_BUSY_CHANGED:
                StartPendingUpdateThread();
                return 0;
            case WM_FW_COMMAND_DONE:
                return 0;
            case WM_TIMER:
                OnTimer(wParam);
                return 0;
            case WM_DEVICECHANGE:
                OnDeviceChange(wParam, lParam);
                return TRUE;
            case WM_FW_PROGRESS_RANGE:
                Show(IDC_STATIC_UPDATING, false);
                SetDlgItemTextW(hDlg, IDC_STATIC_STATUS, L"Erasing Memory...Please Wait...");
                DialogUpdate().nProgressTotal = static_cast<uint32_t>(wParam);
                TaskbarShowWriting(0, wParam);
                return 0;
            case WM_FW_PROGRESS_STEP:
                OnProgressStep(wParam);
                TaskbarShowWriting(wParam, DialogUpdate().nProgressTotal);
                return 0;
            case WM_FW_UPDATE_DONE:
                DialogUpdate().nProgressTotal = 0;
                // Written: the camera restarts into the new firmware.
                TaskbarShowRestarting();
                SetDlgItemTextW(hDlg, IDC_STATIC_STATUS, L"");
                SendMessageW(GetDlgItem(hDlg, IDC_PROGRESS), PBM_SETPOS, 0, 0);
                SetUIState(UI_STATE_UPDATE_DONE);
                ReleaseUpdateModeDevice(DialogUpdate());
                return 0;
            case WM_FW_PROGRESS_PERCENT:
                OnProgressPercent(wParam);
                if (wParam >= 1) TaskbarShowWriting(wParam - 1, 100);
                return 0;
            case WM_FW_TASKBAR_FAILED:
                TaskbarShowFailed();
                return 0;
            default:
                return 0;
        }
}

// Messages after which the busy window or the kept messages may have moved.
bool MayChangeState(UINT message) {
    switch (message) {
        case WM_INITDIALOG:
        case WM_COMMAND:
        case WM_CLOSE:
        case WM_TIMER:
        case WM_DEVICECHANGE:
        case WM_FW_UPDATE_DONE:
        case WM_FW_BUSY_CHANGED:
        case WM_FW_COMMAND_DONE:
            return true;
        default:
            return false;
    }
}

}  // namespace

INT_PTR CALLBACK MainDialogProc(HWND hDlg, UINT message, WPARAM wParam, LPARAM lParam) {
    try {
        if (DeferMessage(hDlg, message, wParam, lParam)) {
            // Kept behind earlier ones whose reason to wait may be over.
            ReplayDeferredMessages();
            return message == WM_DEVICECHANGE || message == WM_CLOSE ? TRUE : 0;
        }
        INT_PTR result;
        if (message == WM_DEVICECHANGE || message == WM_COMMAND) {
            MessageHold hold;
            result = HandleMessage(hDlg, message, wParam, lParam);
        } else {
            result = HandleMessage(hDlg, message, wParam, lParam);
        }
        if (MayChangeState(message)) {
            ApplyBusyState();
            ReplayDeferredMessages();
            PlaceDialogFocus();
        }
        return result;
    } catch (...) {
        // No exception may leave a window procedure.
        DebugLine(L"MainDialogProc exception...\r\n");
        return 0;
    }
}
