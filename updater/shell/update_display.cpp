#include "update_display.h"

#include <windows.h>
#include <commctrl.h>

#include "app_state.h"
#include "os_api.h"
#include "resource.h"

namespace {

HWND Dlg() { return g_hMainDlg.load(); }
HWND Item(int id) { return GetDlgItem(Dlg(), id); }

}  // namespace

void ShowUpdateWriting() {
    Os().SetTimer(Dlg(), IDT_TIMER_ERASE_BLINK, 400, nullptr);
    EnableWindow(Item(IDC_BTN_FW_UPDATE), FALSE);
    EnableWindow(Item(IDC_BTN_RESET), FALSE);
}

void ShowPartWriting() { ShowWindow(Item(IDC_STATIC_UPDATING), SW_SHOW); }

void ShowEraseDone() { Os().KillTimer(Dlg(), IDT_TIMER_ERASE_BLINK); }

void ShowVerifying(bool verifying) {
    if (verifying) Os().SetTimer(Dlg(), IDT_TIMER_VERIFY_BLINK, 300, nullptr);
    else Os().KillTimer(Dlg(), IDT_TIMER_VERIFY_BLINK);
}

void ShowFlashLoaderWriting() {
    Os().KillTimer(Dlg(), IDT_TIMER_ERASE_BLINK);
    SetDlgItemTextW(Dlg(), IDC_STATIC_UPDATING, L"Updating Firmware.....");
    ShowWindow(Item(IDC_STATIC_UPDATING), SW_SHOW);
    SetDlgItemTextW(Dlg(), IDC_STATIC_STATUS, L"Erasing Memory...Please Wait...");
}

void ClearUpdateProgress() {
    Os().KillTimer(Dlg(), IDT_TIMER_VERIFY_BLINK);
    Os().KillTimer(Dlg(), IDT_TIMER_ERASE_BLINK);
    SendMessageW(Item(IDC_PROGRESS), PBM_SETPOS, 0, 0);
}

void ShowUpdateFailedState() {
    SetDlgItemTextW(Dlg(), IDC_EDIT_FIRMWARE_PATH, L"");
    EnableWindow(Item(IDC_BTN_EXIT), TRUE);
    EnableWindow(Item(IDC_EDIT_FIRMWARE_PATH), FALSE);
    EnableWindow(Item(IDC_STATIC_SELECT_FILE), FALSE);
    EnableWindow(Item(IDC_BTN_READFW_VERSION), FALSE);
    ShowWindow(Item(IDC_STATIC_UPDATING), SW_HIDE);
    ShowWindow(Item(IDC_STATIC_ENTERING_UPDATE), SW_HIDE);
    ShowWindow(Item(IDC_STATIC_STATUS), SW_HIDE);
    ShowWindow(Item(IDC_PROGRESS), SW_HIDE);
}
