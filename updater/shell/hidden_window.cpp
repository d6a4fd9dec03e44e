#include "hidden_window.h"

#include "debug_print.h"
#include "update_guard.h"

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
