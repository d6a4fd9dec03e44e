#include "dialog_harness.h"

#include "dialog_keys.h"
#include "update_history.h"
#include "window_picture.h"

#include <commctrl.h>
#include <gtest/gtest.h>

#include <cstdio>

#include "app_state.h"
#include "command_thread.h"
#include "hidden_window.h"
#include "main_dialog.h"
#include "resource.h"

DialogHarness::DialogHarness() {
    sim::Reset();
    // Each test process its own update history.
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    SetUpdateHistoryFolder(std::wstring(temp) + L"corvane-history-" + std::to_wstring(GetCurrentProcessId()));
    sim::SetTimeScale(0.01);
    INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&icc);
    g_hInst = GetModuleHandleW(nullptr);
    if (g_hBoldFont == nullptr)
        g_hBoldFont = CreateFontW(15, 0, 0, 0, FW_BOLD, FALSE, FALSE, FALSE, OEM_CHARSET, OUT_DEFAULT_PRECIS,
                                  CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, DEFAULT_PITCH | FF_DONTCARE, L"Arial");
    WNDCLASSW wc{};
    wc.lpfnWndProc = HiddenWindowProc;
    wc.hInstance = g_hInst;
    wc.lpszClassName = L"DialogHarnessOwner";
    RegisterClassW(&wc);
    g_hMainWnd = CreateWindowExW(0, wc.lpszClassName, L"owner", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, g_hInst,
                                 nullptr);
}

DialogHarness::~DialogHarness() {
    _threadUpdateUI();
    if (dialog != nullptr) DestroyWindow(dialog);
    DestroyWindow(g_hMainWnd);
    sim::Reset();
    const std::wstring history = UpdateHistoryPath();
    DeleteFileW(history.c_str());
    RemoveDirectoryW(history.substr(0, history.rfind(L'\\')).c_str());
}

void DialogHarness::Open() {
    dialog = CreateDialogParamW(g_hInst, MAKEINTRESOURCEW(IDD_MAIN_DIALOG), g_hMainWnd, MainDialogProc, 0);
    ASSERT_NE(nullptr, dialog);
    ShowWindow(dialog, SW_SHOW);
    Settle();
}

void DialogHarness::Click(int id) {
    SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

void DialogHarness::Select(int index) {
    HWND combo = GetDlgItem(dialog, IDC_COMBO_DEVICELIST);
    SendMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
    SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDC_COMBO_DEVICELIST, CBN_SELCHANGE),
                 reinterpret_cast<LPARAM>(combo));
}

void DialogHarness::Activate() {
    // Other tests' windows on the same display may take the foreground; the
    // dialog gives its focus back when it is active again.
    for (int i = 0; i < 100 && GetForegroundWindow() != dialog; ++i) {
        SetForegroundWindow(dialog);
        Pump(10);
    }
}

void DialogHarness::Key(UINT vk, bool shift) {
    Activate();
    BYTE keys[256];
    GetKeyboardState(keys);
    keys[VK_SHIFT] = shift ? 0x80 : 0;
    SetKeyboardState(keys);
    HWND to = GetFocus() != nullptr ? GetFocus() : dialog;
    PostMessageW(to, WM_KEYDOWN, vk, 1);
    PostMessageW(to, WM_KEYUP, vk, 0xC0000001);
    Pump(50);
    keys[VK_SHIFT] = 0;
    SetKeyboardState(keys);
}

int DialogHarness::FocusId() {
    Activate();
    HWND focus = GetFocus();
    if (focus == dialog) return 0;
    return focus != nullptr && IsChild(dialog, focus) ? GetDlgCtrlID(focus) : -1;
}

void DialogHarness::Send(UINT message, WPARAM wParam, LPARAM lParam) { SendMessageW(dialog, message, wParam, lParam); }

bool DialogHarness::Visible(int id) const {
    return (GetWindowLongW(GetDlgItem(dialog, id), GWL_STYLE) & WS_VISIBLE) != 0;
}
bool DialogHarness::Enabled(int id) const { return IsWindowEnabled(GetDlgItem(dialog, id)) != FALSE; }

std::wstring DialogHarness::Text(int id) const {
    wchar_t text[512] = L"";
    GetDlgItemTextW(dialog, id, text, 512);
    return text;
}

std::vector<std::wstring> DialogHarness::ListItems() const {
    HWND combo = GetDlgItem(dialog, IDC_COMBO_DEVICELIST);
    std::vector<std::wstring> items;
    const int n = static_cast<int>(SendMessageW(combo, CB_GETCOUNT, 0, 0));
    for (int i = 0; i < n; ++i) {
        wchar_t text[512] = L"";
        SendMessageW(combo, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(text));
        items.push_back(text);
    }
    return items;
}

int DialogHarness::ListSelection() const {
    return static_cast<int>(SendMessageW(GetDlgItem(dialog, IDC_COMBO_DEVICELIST), CB_GETCURSEL, 0, 0));
}

int DialogHarness::ProgressPosition() const {
    return static_cast<int>(SendMessageW(GetDlgItem(dialog, IDC_PROGRESS), PBM_GETPOS, 0, 0));
}

void DialogHarness::Pump(DWORD ms) {
    const DWORD start = GetTickCount();
    for (;;) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) ServeMessage(msg, nullptr);
        const DWORD elapsed = GetTickCount() - start;
        if (elapsed >= ms) break;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, ms - elapsed, QS_ALLINPUT);
    }
}

bool DialogHarness::WaitFor(const std::function<bool()>& cond, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    while (!cond()) {
        if (GetTickCount() - start > timeoutMs) return false;
        Pump(10);
    }
    return true;
}

void DialogHarness::Settle() {
    sim::WaitForIdle();
    Pump(20);
}

std::vector<std::wstring> DialogHarness::BoxTexts() const {
    std::vector<std::wstring> t;
    for (const auto& b : sim::MessageBoxes()) t.push_back(b.text);
    return t;
}

bool DialogHarness::Screenshot(const std::wstring& path) { return SaveWindowPicture(dialog, path); }
