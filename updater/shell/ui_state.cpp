#include "ui_state.h"

#include <initializer_list>

#include "app_state.h"
#include "dialog_keys.h"
#include "id_text.h"
#include "resource.h"

namespace {

HWND Dlg() { return g_hMainDlg.load(); }
HWND Item(int id) { return GetDlgItem(Dlg(), id); }
void Show(int id, bool shown) { ShowWindow(Item(id), shown ? SW_SHOW : SW_HIDE); }
void Enable(int id, bool enabled) { EnableWindow(Item(id), enabled ? TRUE : FALSE); }

bool SelectedVidIs(const wchar_t* text) {
    const int i = g_nSelectedIndex;
    if (i < 0 || i >= kMaxDevices) return false;
    return IdEqualsText(g_szVIDList[i], kIdFieldChars, text);
}

// Real time until which a held notice stays in the status line.
DWORD g_dwNoticeUntil = 0;
bool g_bNoticeHeld = false;

}  // namespace

void ShowStatusNotice(const wchar_t* text, bool held) {
    SetDlgItemTextW(Dlg(), IDC_STATIC_STATUS, text);
    Show(IDC_STATIC_STATUS, true);
    g_bNoticeHeld = held;
    g_dwNoticeUntil = GetTickCount() + 3000;
}

bool StatusNoticeHeld() {
    if (g_bNoticeHeld && static_cast<LONG>(GetTickCount() - g_dwNoticeUntil) >= 0) g_bNoticeHeld = false;
    return g_bNoticeHeld;
}

void SetUIState(int state) {
    switch (state) {
        case UI_STATE_NO_DEVICE:
            Show(IDC_STATIC_NO_DEVICE, true);
            Show(IDC_STATIC_DEVICE_CONNECTED, false);
            Show(IDC_STATIC_UPDATING, false);
            Show(IDC_STATIC_ENTERING_UPDATE, false);
            Show(IDC_STATIC_STATUS, false);
            Show(IDC_PROGRESS, false);
            for (int id : {IDC_EDIT_FIRMWARE_PATH, IDC_STATIC_SELECT_FILE, IDC_BTN_BROWSE, IDC_BTN_READFW_VERSION,
                           IDC_BTN_FW_UPDATE, IDC_BTN_RESET})
                Enable(id, false);
            Enable(IDC_BTN_EXIT, true);
            break;
        case UI_STATE_DEVICE_CONNECTED:
            Show(IDC_STATIC_NO_DEVICE, false);
            Show(IDC_STATIC_DEVICE_CONNECTED, true);
            Show(IDC_STATIC_UPDATING, false);
            Show(IDC_STATIC_ENTERING_UPDATE, false);
            Show(IDC_STATIC_STATUS, false);
            Show(IDC_PROGRESS, false);
            for (int id : {IDC_EDIT_FIRMWARE_PATH, IDC_STATIC_SELECT_FILE, IDC_BTN_BROWSE, IDC_BTN_READFW_VERSION})
                Enable(id, true);
            Enable(IDC_BTN_FW_UPDATE, false);
            Enable(IDC_BTN_RESET, SelectedVidIs(L"4A7E"));
            if (!DialogUpdate().bUpdatedFromHIDMode) Enable(IDC_BTN_EXIT, true);
            Enable(IDC_COMBO_DEVICELIST, true);
            break;
        case UI_STATE_UPDATING:
            Show(IDC_STATIC_NO_DEVICE, false);
            Show(IDC_STATIC_DEVICE_CONNECTED, false);
            Show(IDC_STATIC_UPDATING, true);
            Show(IDC_STATIC_ENTERING_UPDATE, false);
            Show(IDC_STATIC_STATUS, true);
            for (int id : {IDC_EDIT_FIRMWARE_PATH, IDC_STATIC_SELECT_FILE, IDC_BTN_BROWSE, IDC_BTN_READFW_VERSION,
                           IDC_BTN_FW_UPDATE, IDC_BTN_RESET, IDC_BTN_EXIT, IDC_COMBO_DEVICELIST})
                Enable(id, false);
            break;
        case UI_STATE_UPDATE_DONE:
            Show(IDC_STATIC_NO_DEVICE, false);
            Show(IDC_STATIC_DEVICE_CONNECTED, false);
            Show(IDC_STATIC_UPDATING, false);
            Show(IDC_STATIC_ENTERING_UPDATE, false);
            Show(IDC_STATIC_STATUS, false);
            Show(IDC_PROGRESS, false);
            for (int id : {IDC_EDIT_FIRMWARE_PATH, IDC_STATIC_SELECT_FILE, IDC_BTN_BROWSE, IDC_BTN_READFW_VERSION,
                           IDC_BTN_RESET, IDC_BTN_EXIT, IDC_COMBO_DEVICELIST})
                Enable(id, true);
            SetDlgItemTextW(Dlg(), IDC_EDIT_FIRMWARE_PATH, L"");
            Enable(IDC_BTN_FW_UPDATE, false);
            break;
        default:
            return;
    }
    PlaceDialogFocus();
}

