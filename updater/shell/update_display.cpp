#include "update_display.h"

#include <windows.h>
#include <commctrl.h>

#include "app_state.h"
#include "os_api.h"
#include "resource.h"
#include "taskbar_progress.h"
#include "update_history.h"
#include "ui_wait.h"
#include "update_guard.h"
#include "update_outcome.h"

namespace {

HWND Dlg() { return g_hMainDlg.load(); }
HWND Item(int id) { return GetDlgItem(Dlg(), id); }

class MainDialogView final : public UpdateView {
public:
    void ShowUpdateWriting() override {
        Os().SetTimer(Dlg(), IDT_TIMER_ERASE_BLINK, 400, nullptr);
        EnableWindow(Item(IDC_BTN_FW_UPDATE), FALSE);
        EnableWindow(Item(IDC_BTN_RESET), FALSE);
    }

    void ShowPartWriting() override { ShowWindow(Item(IDC_STATIC_UPDATING), SW_SHOW); }

    void ShowEraseDone() override { Os().KillTimer(Dlg(), IDT_TIMER_ERASE_BLINK); }

    void ShowVerifying(bool verifying) override {
        if (verifying) Os().SetTimer(Dlg(), IDT_TIMER_VERIFY_BLINK, 300, nullptr);
        else Os().KillTimer(Dlg(), IDT_TIMER_VERIFY_BLINK);
    }

    void ShowFlashLoaderWriting() override {
        Os().KillTimer(Dlg(), IDT_TIMER_ERASE_BLINK);
        SetDlgItemTextW(Dlg(), IDC_STATIC_UPDATING, L"Updating Firmware.....");
        ShowWindow(Item(IDC_STATIC_UPDATING), SW_SHOW);
        SetDlgItemTextW(Dlg(), IDC_STATIC_STATUS, L"Erasing Memory...Please Wait...");
    }

    void ClearUpdateProgress() override {
        g_nBlinkState = 5;
        Os().KillTimer(Dlg(), IDT_TIMER_VERIFY_BLINK);
        Os().KillTimer(Dlg(), IDT_TIMER_ERASE_BLINK);
        SendMessageW(Item(IDC_PROGRESS), PBM_SETPOS, 0, 0);
    }

    void ShowUpdateFailedState() override {
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

    // Sent, not posted: the dialog shows each block before the next goes out.
    void ProgressRange(uint32_t blocks) override { SendMessageW(Dlg(), WM_FW_PROGRESS_RANGE, blocks, 0); }
    void ProgressStep(uint32_t blocks) override { SendMessageW(Dlg(), WM_FW_PROGRESS_STEP, blocks, 0); }
    void UpdateDone() override { SendMessageW(Dlg(), WM_FW_UPDATE_DONE, 0, 0); }

    int Report(UpdateReport kind, const wchar_t* text, const wchar_t* caption, UINT boxFlags,
               bool ownedByWindow) override {
        if (kind == UpdateReport::Failed || kind == UpdateReport::Trouble) {
            TaskbarShowFailed();
            HistoryNoteFailure(text);
        }
        return ReportUpdate(kind, text, caption, boxFlags, ownedByWindow);
    }

    void Pause(DWORD ms) override { UiWait(ms); }

    bool HoldsTheWait() override { return UiInPause() || DeviceChangesKept(); }

    void BusyChanged(bool now) override {
        if (!now) NotifyBusyChanged();
        else if (OnDialogThread()) ApplyBusyState();
    }
};

}  // namespace

UpdateView& DialogView() {
    static MainDialogView view;
    return view;
}
