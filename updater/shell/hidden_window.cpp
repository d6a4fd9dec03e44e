#include "hidden_window.h"

#include "debug_print.h"
#include "update_guard.h"
#include "app_state.h"
#include "main_dialog.h"
#include "resource.h"

LRESULT CALLBACK HiddenWindowProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        case WM_PAINT: {
            PAINTSTRUCT ps;
            BeginPaint(hWnd, &ps);
            EndPaint(hWnd, &ps);
            return 0;
        }
        case WM_COMMAND:
            // The class menu's About and Exit and the Alt+? accelerator do nothing.
            return 0;
        case WM_CLOSE:
            // The taskbar's "Close window" and taskkill without /f close this
            // window, and with it the program: refused as the dialog refuses.
            if (ClosingIsHeld()) {
                ShowCloseRefused();
                return 0;
            }
            return DefWindowProcW(hWnd, message, wParam, lParam);
        case WM_QUERYENDSESSION:
            // Every top-level window of the program holds the session while
            // an update runs.
            if (UpdateIsBusy()) {
                DebugLine(L"WM_QUERYENDSESSION refused: a firmware update is running\r\n");
                return FALSE;
            }
            return DefWindowProcW(hWnd, message, wParam, lParam);
        default:
            return DefWindowProcW(hWnd, message, wParam, lParam);
    }
}

void LoadProgramNames(HINSTANCE hInstance) {
    LoadStringW(hInstance, IDS_APP_TITLE, g_szTitle, 100);
    LoadStringW(hInstance, IDC_CORVANE_FW_UPDATER, g_szWindowClass, 100);
}

HWND RunningCopy() { return FindWindowW(g_szWindowClass, g_szTitle); }

bool CreateProgramWindows(HINSTANCE hInstance) {
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
    RegisterClassExW(&wc);

    g_hInst = hInstance;
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    g_hBoldFont = CreateFontW(15, 0, 0, 0, FW_BOLD, FALSE, FALSE, FALSE, OEM_CHARSET, OUT_DEFAULT_PRECIS,
                              CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, DEFAULT_PITCH | FF_DONTCARE, L"Arial");
    g_hMainWnd = CreateWindowExW(0, g_szWindowClass, g_szTitle, WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, g_hInst,
                                 nullptr);
    if (g_hMainWnd == nullptr) return false;
    HWND dialog = CreateDialogParamW(g_hInst, MAKEINTRESOURCEW(IDD_MAIN_DIALOG), g_hMainWnd, MainDialogProc, 0);
    if (dialog == nullptr) return false;
    g_hMainDlg = dialog;
    return true;
}
