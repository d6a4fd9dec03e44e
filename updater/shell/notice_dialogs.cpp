#include "notice_dialogs.h"

#include "app_state.h"
#include "os_api.h"

namespace {

// The static text of both notices is the control without an ID.
bool IsNoticeText(HWND control) {
    const int id = GetDlgCtrlID(control);
    return id == -1 || id == 0xFFFF;
}

INT_PTR ColourNoticeText(WPARAM wParam, LPARAM lParam) {
    static HBRUSH brush = CreateSolidBrush(RGB(240, 240, 240));
    if (!IsNoticeText(reinterpret_cast<HWND>(lParam))) return 0;
    HDC dc = reinterpret_cast<HDC>(wParam);
    SelectObject(dc, g_hBoldFont);
    SetBkColor(dc, RGB(240, 240, 240));
    SetTextColor(dc, RGB(255, 0, 0));
    return reinterpret_cast<INT_PTR>(brush);
}

}  // namespace

INT_PTR CALLBACK WarningNoticeProc(HWND hDlg, UINT message, WPARAM wParam, LPARAM lParam) {
    g_hNoticeDialog = hDlg;
    switch (message) {
        case WM_INITDIALOG:
            // OK stays disabled until the camera leaves the bus after its update.
            EnableWindow(GetDlgItem(hDlg, IDC_BTN_NOTICE_OK), FALSE);
            g_bWarningNoticeOpen = true;
            // A camera that left before the notice was up has left all the
            // same (the removal handler saw no notice to enable).
            if (DialogUpdate().bWrittenDeviceGone) {
                EnableWindow(GetDlgItem(hDlg, IDC_BTN_NOTICE_OK), TRUE);
            } else {
                Os().SetTimer(g_hMainDlg.load(), IDT_TIMER_NOTICE_TIMEOUT, 180000, nullptr);
            }
            return TRUE;
        case WM_DESTROY:
            g_bWarningNoticeOpen = false;
            return 0;
        case WM_COMMAND:
            if (LOWORD(wParam) == IDC_BTN_NOTICE_OK) {
                EndDialog(hDlg, 1);
                Os().KillTimer(g_hMainDlg.load(), IDT_TIMER_NOTICE_TIMEOUT);
                return TRUE;
            }
            return 0;
        case WM_CTLCOLORSTATIC:
            return ColourNoticeText(wParam, lParam);
        default:
            return 0;
    }
}

INT_PTR CALLBACK ErrorNoticeProc(HWND hDlg, UINT message, WPARAM wParam, LPARAM lParam) {
    g_hNoticeDialog = hDlg;
    switch (message) {
        case WM_INITDIALOG:
            EnableWindow(GetDlgItem(hDlg, IDOK), TRUE);
            return TRUE;
        case WM_COMMAND:
            if (LOWORD(wParam) == IDOK) {
                EndDialog(hDlg, 1);
                return TRUE;
            }
            return 0;
        case WM_CTLCOLORSTATIC:
            return ColourNoticeText(wParam, lParam);
        default:
            return 0;
    }
}
