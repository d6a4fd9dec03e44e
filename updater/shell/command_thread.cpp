#include "command_thread.h"

#include "app_state.h"
#include "camera_commands.h"
#include "debug_print.h"
#include "os_api.h"
#include "ui_wait.h"

namespace {

// The command has run: the dialog may change the binding and the list again.
void CommandDone() {
    SetCommandActive(false);
    HWND dlg = g_hMainDlg.load();
    if (dlg != nullptr) PostMessageW(dlg, WM_FW_COMMAND_DONE, 0, 0);
}

}  // namespace

DWORD WINAPI UpdateUIThreadProc(LPVOID) {
    g_bCommandThreadRun = true;
    // The commands bind extension units here and use them on this thread
    // (see camera_commands.cpp).
    const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    do {
        DebugLine(L"UpdateUIThreadProc before wait\r\n");
        HANDLE event = g_hCommandEvent;
        if (event == nullptr || Os().WaitForSingleObject(event, INFINITE) != WAIT_OBJECT_0) break;
        ResetEvent(event);
        if (!g_bCommandThreadRun) break;
        if (g_bReadVersionRequested) {
            GetFirmwarVersion();
        } else if (g_bResetRequested) {
            ResetSelectedDevice();
        }
        CommandDone();
    } while (g_bCommandThreadRun);
    if (SUCCEEDED(com)) CoUninitialize();
    return 0;
}

void createThreadUpdateUI() {
    _threadUpdateUI();
    g_hCommandEvent = CreateEventW(nullptr, TRUE, FALSE, L"UpdateUIThreadProcHandle");
    if (g_hCommandEvent == nullptr) return;
    g_hCommandThread = CreateThread(nullptr, 0, UpdateUIThreadProc, nullptr, 0, nullptr);
    if (g_hCommandThread == nullptr) return;
    DebugLine(L"createThreadUpdateUI CreateThread success \r\n");
    SetThreadPriority(g_hCommandThread, THREAD_PRIORITY_NORMAL);
}

void _threadUpdateUI() {
    if (g_hCommandThread == nullptr || g_hCommandEvent == nullptr) return;
    g_bCommandThreadRun = false;
    SetEvent(g_hCommandEvent);
    // Let a running command end on its own: a thread killed in the middle of
    // a library call can leave a lock held and hang the program on its way
    // out. Messages it sends to the dialog are served meanwhile.
    const DWORD start = GetTickCount();
    for (;;) {
        const DWORD elapsed = GetTickCount() - start;
        if (elapsed >= kCommandThreadStopWaitMs) break;
        const DWORD r = MsgWaitForMultipleObjects(1, &g_hCommandThread, FALSE, kCommandThreadStopWaitMs - elapsed,
                                                  QS_SENDMESSAGE);
        if (r != WAIT_OBJECT_0 + 1) break;
        MSG msg;
        PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
    CloseHandle(g_hCommandEvent);
    g_hCommandEvent = nullptr;
    DWORD code = 0;
    do {
        GetExitCodeThread(g_hCommandThread, &code);
        if (code == STILL_ACTIVE) {
            TerminateThread(g_hCommandThread, 0);
            WaitForSingleObject(g_hCommandThread, 1000);
            GetExitCodeThread(g_hCommandThread, &code);
        }
        if (code == 0) DebugPrint(1, L"_threadUpdateUI ThExitCode = %d \n", static_cast<int>(code));
    } while (code == STILL_ACTIVE);
    CloseHandle(g_hCommandThread);
    g_hCommandThread = nullptr;
}
