// Entry point of Corvane_FW_Updater: one copy at a time, a hidden owner
// window, the modeless main dialog and the one message loop.
#include <windows.h>

#include "app_state.h"
#include "debug_print.h"
#include "main_dialog.h"
#include "resource.h"
#include "hidden_window.h"

namespace {

ATOM RegisterHiddenWindowClass(HINSTANCE hInstance) {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = HiddenWindowProc;
    wc.hInstance = hInstance;
    wc.hIcon = LoadIconW(hInstance, MAKEINTRESOURCEW(IDI_APPLICATION_ICON));
    wc.hIconSm = LoadIconW(hInstance, MAKEINTRESOURCEW(IDI_APPLICATION_ICON));
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.lpszMenuName = MAKEINTRESOURCEW(IDC_CORVANE_FW_UPDATER);
    wc.lpszClassName = g_szWindowClass;
    return RegisterClassExW(&wc);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE hInstance, HINSTANCE, PWSTR, int nCmdShow) {
    LoadStringW(hInstance, IDS_APP_TITLE, g_szTitle, 100);
    LoadStringW(hInstance, IDC_CORVANE_FW_UPDATER, g_szWindowClass, 100);
    RegisterHiddenWindowClass(hInstance);

    // One copy at a time: bring the running one forward instead.
    HWND running = FindWindowW(g_szWindowClass, g_szTitle);
    if (running != nullptr) {
        DebugLine(L"FindWindow .........succeed\r\n");
        ShowWindow(running, SW_SHOW);
        SetForegroundWindow(running);
        return 0;
    }

    g_hInst = hInstance;
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    g_hBoldFont = CreateFontW(15, 0, 0, 0, FW_BOLD, FALSE, FALSE, FALSE, OEM_CHARSET, OUT_DEFAULT_PRECIS,
                              CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, DEFAULT_PITCH | FF_DONTCARE, L"Arial");

    g_hMainWnd = CreateWindowExW(0, g_szWindowClass, g_szTitle, WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, g_hInst,
                                 nullptr);
    if (g_hMainWnd == nullptr) return 0;
    HWND dialog = CreateDialogParamW(g_hInst, MAKEINTRESOURCEW(IDD_MAIN_DIALOG), g_hMainWnd, MainDialogProc, 0);
    if (dialog == nullptr) return 0;
    g_hMainDlg = dialog;

    ShowWindow(g_hMainWnd, nCmdShow);
    ShowWindow(dialog, nCmdShow);
    UpdateWindow(g_hMainWnd);

    HACCEL accelerators = LoadAcceleratorsW(g_hInst, MAKEINTRESOURCEW(IDC_CORVANE_FW_UPDATER));
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (TranslateAcceleratorW(msg.hwnd, accelerators, &msg)) continue;
        if (IsDialogMessageW(msg.hwnd, &msg)) continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return static_cast<int>(msg.wParam);
}
