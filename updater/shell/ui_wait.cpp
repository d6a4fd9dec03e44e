#include "ui_wait.h"

#include <atomic>
#include <deque>
#include <vector>

#include <dbt.h>

#include "app_state.h"
#include "debug_print.h"
#include "dialog_keys.h"
#include "os_api.h"
#include "resource.h"

namespace {

// User-interface thread only.
// Read from other threads too (whether a wait for a camera may run out).
std::atomic<int> g_nPauseDepth{0};
// Device changes among the kept messages (read from other threads).
std::atomic<int> g_nKeptDeviceChanges{0};
// The program ends: nothing kept is handled any more.
bool g_bEnding = false;
bool g_bReplaying = false;
bool g_bReplayingItem = false;

std::atomic<bool> g_bCommandActive{false};

// The dialog procedure that handles the kept messages.
DLGPROC g_handler = nullptr;

struct KeptMessage {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    std::vector<BYTE> broadcast;  // WM_DEVICECHANGE: a copy of what lParam pointed to
};
std::deque<KeptMessage> g_kept;

// A flood of device changes during one pause is bounded; a handler
// re-enumerates everything, so a change of the same kind right behind
// another one adds nothing once the queue is this long.
constexpr size_t kMaxKeptMessages = 64;
// The interface broadcast carries the interface's path behind its fixed part.
constexpr size_t kMaxBroadcastBytes = 1024;

bool OperatorControl(WORD id) {
    switch (id) {
        case IDC_BTN_BROWSE:
        case IDC_BTN_READFW_VERSION:
        case IDC_BTN_FW_UPDATE:
        case IDC_BTN_RESET:
        case IDC_BTN_EXIT:
        case IDC_COMBO_DEVICELIST:
            return true;
        default:
            return false;
    }
}

bool RomDownloadRuns() { return DialogUpdate().RunningWorkers(WorkerKind::RomDownload) > 0; }

// What holds device changes back: they would rebuild the list and re-bind
// the library under a paused handler, a running command or the ROM download.
bool HoldDeviceChanges() { return g_nPauseDepth > 0 || g_bCommandActive || RomDownloadRuns(); }

bool ShouldKeep(UINT message, WPARAM wParam) {
    const bool queued = !g_kept.empty();
    switch (message) {
        case WM_DEVICECHANGE:
            return queued || HoldDeviceChanges();
        case WM_COMMAND: {
            const WORD id = LOWORD(wParam);
            if (!OperatorControl(id)) return false;
            if (id == IDC_COMBO_DEVICELIST && HIWORD(wParam) != CBN_SELCHANGE) return false;
            // While busy a command is refused at once, whatever else holds
            // (EXIT: while closing is held off).
            if (id == IDC_BTN_EXIT ? ClosingIsHeld() : UpdateIsBusy()) return false;
            if (queued || g_nPauseDepth > 0) return true;
            // A running command keeps the binding: a new selection and the
            // end of the program wait for it.
            return g_bCommandActive && (id == IDC_BTN_EXIT || id == IDC_COMBO_DEVICELIST);
        }
        case WM_CLOSE:
            if (ClosingIsHeld()) return false;
            return queued || g_nPauseDepth > 0 || g_bCommandActive;
        default:
            return false;
    }
}

bool KeptAreFree() {
    if (g_nPauseDepth > 0 || g_bCommandActive) return false;
    // Device changes are the ones the ROM download holds.
    if (RomDownloadRuns() && !g_kept.empty() && g_kept.front().message == WM_DEVICECHANGE) return false;
    return true;
}

// Serves what is queued for this thread; false when the program is to end.
bool ServePending() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            PostQuitMessage(static_cast<int>(msg.wParam));
            return false;
        }
        ServeMessage(msg, nullptr);
    }
    return true;
}

struct Job {
    void (*fn)(void*);
    void* context;
};

DWORD WINAPI JobMain(LPVOID p) {
    auto* job = static_cast<Job*>(p);
    job->fn(job->context);
    return 0;
}

}  // namespace

bool OnDialogThread() {
    HWND dlg = g_hMainDlg.load();
    return dlg != nullptr && GetWindowThreadProcessId(dlg, nullptr) == GetCurrentThreadId();
}

void UiWait(DWORD ms) {
    if (!OnDialogThread()) {
        Os().Sleep(ms);
        return;
    }
    ++g_nPauseDepth;
    const DWORD start = Os().GetTickCount();
    for (;;) {
        const DWORD elapsed = Os().GetTickCount() - start;
        if (elapsed >= ms) break;
        const DWORD r = Os().MsgWaitForMultipleObjects(0, nullptr, FALSE, ms - elapsed, QS_ALLINPUT);
        if (r == WAIT_OBJECT_0) {
            if (!ServePending()) break;
        } else if (r == WAIT_TIMEOUT) {
            break;
        } else {
            Os().Sleep(ms - elapsed);
            break;
        }
    }
    --g_nPauseDepth;
}

void UiRunWhileServing(void (*fn)(void* context), void* context) {
    Job job{fn, context};
    HANDLE thread = OnDialogThread() ? CreateThread(nullptr, 0, JobMain, &job, 0, nullptr) : nullptr;
    if (thread == nullptr) {
        fn(context);
        return;
    }
    ++g_nPauseDepth;
    // No bound of its own: the library call is bounded (the handshake's
    // rounds, each write and reply wait, see KivoFWSW.h), and giving up on a
    // call that still runs would let the next library call overlap it.
    for (;;) {
        const DWORD r = Os().MsgWaitForMultipleObjects(1, &thread, FALSE, INFINITE, QS_ALLINPUT);
        if (r == WAIT_OBJECT_0 + 1) {
            if (ServePending()) continue;
        }
        if (r != WAIT_OBJECT_0) WaitForSingleObject(thread, INFINITE);
        break;
    }
    --g_nPauseDepth;
    CloseHandle(thread);
}

bool UiInPause() { return g_nPauseDepth > 0; }

bool DeviceChangesKept() { return g_nKeptDeviceChanges > 0; }

void DropDeferredMessages() {
    g_bEnding = true;
    g_kept.clear();
    g_nKeptDeviceChanges = 0;
}

MessageHold::MessageHold() { ++g_nPauseDepth; }
MessageHold::~MessageHold() { --g_nPauseDepth; }
MessageHoldLift::MessageHoldLift() : saved_(g_nPauseDepth.load()) { g_nPauseDepth = 0; }
MessageHoldLift::~MessageHoldLift() { g_nPauseDepth = saved_; }

void SetCommandActive(bool active) { g_bCommandActive = active; }
bool CommandActive() { return g_bCommandActive; }

bool DeferMessage(HWND, UINT message, WPARAM wParam, LPARAM lParam) {
    if (g_bReplayingItem) {
        // The message being replayed itself; what arrives while it runs is
        // held as before.
        g_bReplayingItem = false;
        return false;
    }
    if (!ShouldKeep(message, wParam)) return false;
    KeptMessage kept{message, wParam, lParam, {}};
    if (message == WM_DEVICECHANGE && lParam != 0) {
        const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam);
        size_t size = header->dbch_size;
        if (size < sizeof(DEV_BROADCAST_HDR)) size = sizeof(DEV_BROADCAST_HDR);
        if (size > kMaxBroadcastBytes) size = kMaxBroadcastBytes;
        const auto* bytes = reinterpret_cast<const BYTE*>(lParam);
        kept.broadcast.assign(bytes, bytes + size);
        auto* copy = reinterpret_cast<DEV_BROADCAST_HDR*>(kept.broadcast.data());
        copy->dbch_size = static_cast<DWORD>(size);
        if (header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE && size >= sizeof(DEV_BROADCAST_DEVICEINTERFACE_W)) {
            // Keep the copied name terminated.
            kept.broadcast[size - 1] = 0;
            kept.broadcast[size - 2] = 0;
        }
    }
    if (g_kept.size() >= kMaxKeptMessages && message == WM_DEVICECHANGE) {
        const KeptMessage& last = g_kept.back();
        if (last.message == WM_DEVICECHANGE && last.wParam == wParam && last.broadcast == kept.broadcast) return true;
    }
    g_kept.push_back(std::move(kept));
    if (message == WM_DEVICECHANGE) ++g_nKeptDeviceChanges;
    return true;
}

void SetDeferredMessageHandler(DLGPROC handler) {
    // A dialog that opens starts with nothing kept.
    g_handler = handler;
    g_bEnding = false;
}

void ReplayDeferredMessages() {
    if (g_bReplaying || g_kept.empty() || !OnDialogThread()) return;
    if (g_bEnding) {
        DropDeferredMessages();
        return;
    }
    g_bReplaying = true;
    while (!g_kept.empty() && KeptAreFree()) {
        KeptMessage m = std::move(g_kept.front());
        g_kept.pop_front();
        if (m.message == WM_DEVICECHANGE) --g_nKeptDeviceChanges;
        const LPARAM lParam =
            m.message == WM_DEVICECHANGE && !m.broadcast.empty() ? reinterpret_cast<LPARAM>(m.broadcast.data()) : m.lParam;
        g_bReplayingItem = true;
        if (g_handler != nullptr) g_handler(g_hMainDlg.load(), m.message, m.wParam, lParam);
        g_bReplayingItem = false;
        // A replayed EXIT or close ended the program: what was kept behind
        // it belongs to a dialog that is gone.
        if (g_bEnding) {
            DropDeferredMessages();
            break;
        }
    }
    g_bReplaying = false;
}
