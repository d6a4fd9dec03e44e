#include "update_guard.h"

#include <atomic>
#include <new>

#include "app_state.h"
#include "debug_print.h"
#include "os_api.h"
#include "resource.h"
#include "ui_wait.h"
#include "usb_requests.h"
#include "taskbar_progress.h"
#include "update_history.h"
#include "ui_state.h"

const wchar_t kCloseRefusedText[] =
    L"A firmware update is running. Closing the updater now could leave the camera unusable. Please wait until it "
    L"has finished.";
const wchar_t kCameraNotBackText[] = L"The camera has not come back. Its update goes on when it is plugged in again.";
const wchar_t kShutdownBlockReason[] =
    L"A camera's firmware is being updated. Ending the session now could leave the camera unusable.";

namespace {

// User-interface thread only: what ApplyBusyState last put in place.
bool g_bBusyApplied = false;

}  // namespace

void ApplyBusyState() {
    HWND dlg = g_hMainDlg.load();
    if (dlg == nullptr) return;
    if (!OnDialogThread()) {
        NotifyBusyChanged();
        return;
    }
    CameraUpdate& u = DialogUpdate();
    if (u.bWaitingForCamera && u.WaitExpired() && !u.StartsOrWorkersRun()) {
        // The camera did not come back in time: nothing runs that closing
        // could break, so the operator gets EXIT and closing back. The update
        // stays: a camera that still arrives goes on with it. Nothing blinks
        // meanwhile, and the device that left is let go.
        u.bWaitingForCamera = false;
        DebugPrint(1, L"UpdateFirmware :: the camera did not come back within %d s\r\n",
                   static_cast<int>(kCameraComeBackWaitMs / 1000));
        Os().KillTimer(dlg, IDT_TIMER_ERASE_BLINK);
        Os().KillTimer(dlg, IDT_TIMER_VERIFY_BLINK);
        ReleaseUpdateModeDevice(u);
        if (!u.bWaitAfterFailure) ShowStatusNotice(kCameraNotBackText, false);
        HistoryNoteFailure(kCameraNotBackText);
        u.bWaitAfterFailure = false;
        EnableWindow(GetDlgItem(dlg, IDC_BTN_EXIT), TRUE);
    }
    const bool busy = UpdateIsBusy();
    if (busy == g_bBusyApplied) return;
    g_bBusyApplied = busy;
    // Both top-level windows answer the end of the session; each gets the
    // reason, on the thread that owns it.
    const HWND windows[] = {g_hMainWnd, dlg};
    if (busy) {
        for (HWND w : windows)
            if (w != nullptr) Os().ShutdownBlockReasonCreate(w, kShutdownBlockReason);
        Os().SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
        Os().SetTimer(dlg, IDT_TIMER_BUSY_WATCH, kBusyWatchPeriodMs, nullptr);
        // The camera is sent to its update mode first.
        TaskbarShowRestarting();
        HistoryUpdateBegins();
        DebugLine(L"Firmware update running: closing and the end of the session are held off\r\n");
    } else {
        for (HWND w : windows)
            if (w != nullptr) Os().ShutdownBlockReasonDestroy(w);
        Os().SetThreadExecutionState(ES_CONTINUOUS);
        Os().KillTimer(dlg, IDT_TIMER_BUSY_WATCH);
        TaskbarUpdateOver();
        HistoryUpdateEnds();
        DebugLine(L"Firmware update over: closing and the end of the session are allowed again\r\n");
    }
}

void NotifyBusyChanged() {
    HWND dlg = g_hMainDlg.load();
    if (dlg != nullptr) PostMessageW(dlg, WM_FW_BUSY_CHANGED, 0, 0);
}

bool RefusedWhileBusy(const wchar_t* command) {
    if (!UpdateIsBusy()) return false;
    DebugPrint(1, L"%s refused: a firmware update is running\r\n", command);
    return true;
}

void ShowCloseRefused() {
    // No box: a modal box would hold every device change while it is open,
    // and the update with them.
    DebugLine(L"Closing refused: a firmware update is running\r\n");
    ShowStatusNotice(kCloseRefusedText, true);
    MessageBeep(MB_ICONEXCLAMATION);
}

void EndTheUpdateLeftWaiting() {
    CameraUpdate& u = DialogUpdate();
    if (u.bWaitingForCamera || u.StartsOrWorkersRun()) return;
    if (!u.bUpdatedFromHIDMode && !u.bIsStartUpdatedFromDFU) return;
    DebugLine(L"UpdateFirmware :: the operator moved on: the update that waited for its camera is over\r\n");
    u.bUpdatedFromHIDMode = false;
    u.bIsStartUpdatedFromDFU = false;
    u.bThreadStartPending = false;
    ReleaseUpdateModeDevice(u);
}
