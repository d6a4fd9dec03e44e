#include "taskbar_progress.h"

#include <shobjidl.h>

#include "app_state.h"
#include "os_api.h"
#include "update_outcome.h"

namespace {

ITaskbarList3* g_taskbar = nullptr;
bool g_bTaskbarAsked = false;
// What the button shows now, so that a step of every block does not reach
// the taskbar: the state and the percentage.
TBPFLAG g_shownState = TBPF_NOPROGRESS;
int g_nShownPercent = -1;
// The update was shown since it began (with or without a taskbar to show it).
bool g_bUpdateShown = false;

// The window that carries the taskbar button: the dialog's owner.
HWND ButtonWindow() {
    HWND dlg = g_hMainDlg.load();
    return dlg != nullptr ? GetAncestor(dlg, GA_ROOTOWNER) : nullptr;
}

ITaskbarList3* Taskbar() {
    if (UpdateReportsGoToSink() || ButtonWindow() == nullptr) return nullptr;
    if (!g_bTaskbarAsked) {
        g_bTaskbarAsked = true;
        void* object = nullptr;
        if (SUCCEEDED(Os().CoCreateInstance(CLSID_TaskbarList, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskbarList3,
                                            &object))) {
            g_taskbar = static_cast<ITaskbarList3*>(object);
            if (FAILED(g_taskbar->HrInit())) {
                g_taskbar->Release();
                g_taskbar = nullptr;
            }
        }
    }
    return g_taskbar;
}

void ShowState(TBPFLAG state) {
    if (state != TBPF_NOPROGRESS && !UpdateReportsGoToSink()) g_bUpdateShown = true;
    ITaskbarList3* taskbar = Taskbar();
    if (taskbar == nullptr || state == g_shownState) return;
    taskbar->SetProgressState(ButtonWindow(), state);
    g_shownState = state;
    g_nShownPercent = -1;
}

}  // namespace

void TaskbarShowWriting(ULONGLONG done, ULONGLONG total) {
    if (total == 0) return;
    ShowState(TBPF_NORMAL);
    ITaskbarList3* taskbar = Taskbar();
    const int percent = static_cast<int>(done * 100 / total);
    if (taskbar == nullptr || percent == g_nShownPercent) return;
    taskbar->SetProgressValue(ButtonWindow(), done, total);
    g_nShownPercent = percent;
}

void TaskbarShowRestarting() { ShowState(TBPF_INDETERMINATE); }

void TaskbarShowFailed() {
    HWND dlg = g_hMainDlg.load();
    if (dlg == nullptr) return;
    if (GetWindowThreadProcessId(dlg, nullptr) != GetCurrentThreadId()) {
        PostMessageW(dlg, WM_FW_TASKBAR_FAILED, 0, 0);
        return;
    }
    ShowState(TBPF_ERROR);
}

void TaskbarUpdateOver() {
    const bool shown = g_bUpdateShown;
    ShowState(TBPF_NOPROGRESS);
    g_bUpdateShown = false;
    HWND button = ButtonWindow();
    if (!shown || button == nullptr) return;
    // The operator is in another program: the button asks to be looked at
    // until the program comes forward.
    HWND foreground = Os().GetForegroundWindow();
    if (foreground != nullptr && GetAncestor(foreground, GA_ROOTOWNER) == button) return;
    FLASHWINFO flash{};
    flash.cbSize = sizeof(flash);
    flash.hwnd = button;
    flash.dwFlags = FLASHW_ALL | FLASHW_TIMERNOFG;
    Os().FlashWindowEx(&flash);
}
