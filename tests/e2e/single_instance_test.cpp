// The real program under Wine: a second copy started while one runs brings
// the first forward and ends at once with exit code 0.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#ifndef UPDATER_EXE
#error "UPDATER_EXE names the program under test"
#endif

namespace {

std::wstring Widen(const char* s) {
    wchar_t w[MAX_PATH];
    MultiByteToWideChar(CP_UTF8, 0, s, -1, w, MAX_PATH);
    return w;
}

HANDLE Start(const std::wstring& exe) {
    std::wstring cmd = L"\"" + exe + L"\"";
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(exe.c_str(), &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return nullptr;
    CloseHandle(pi.hThread);
    return pi.hProcess;
}

// The first copy is ended whatever the test's outcome: a copy left running
// would keep every later test's program from starting (one copy per desktop).
struct EndsWithTheTest {
    HANDLE process;
    ~EndsWithTheTest() {
        if (process != nullptr && WaitForSingleObject(process, 0) == WAIT_TIMEOUT) {
            TerminateProcess(process, 1);
            WaitForSingleObject(process, 10000);
        }
        if (process != nullptr) CloseHandle(process);
    }
};

struct Search {
    const wchar_t* cls;
    const wchar_t* title;
    DWORD process;
    HWND found;
};

BOOL CALLBACK Match(HWND w, LPARAM p) {
    auto* s = reinterpret_cast<Search*>(p);
    wchar_t cls[64] = L"", title[64] = L"";
    GetClassNameW(w, cls, 64);
    GetWindowTextW(w, title, 64);
    DWORD process = 0;
    GetWindowThreadProcessId(w, &process);
    if (process != s->process || lstrcmpW(cls, s->cls) != 0 || lstrcmpW(title, s->title) != 0) return TRUE;
    s->found = w;
    return FALSE;
}

// The window of the given process: other tests on the same desktop show
// dialogs with the same caption.
HWND WaitForWindow(HANDLE process, const wchar_t* cls, const wchar_t* title, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < timeoutMs) {
        Search s{cls, title, GetProcessId(process), nullptr};
        EnumWindows(Match, reinterpret_cast<LPARAM>(&s));
        if (s.found != nullptr) return s.found;
        Sleep(50);
    }
    return nullptr;
}

}  // namespace

TEST(SingleInstance, SecondCopyBringsTheFirstForwardAndExits) {
    const std::wstring exe = Widen(UPDATER_EXE);
    HANDLE first = Start(exe);
    ASSERT_NE(nullptr, first);
    const EndsWithTheTest firstEnds{first};
    HWND hidden = WaitForWindow(first, L"CORVANE_FW_UPDATER", L"Corvane_FW_Updater", 20000);
    ASSERT_NE(nullptr, hidden) << "the first copy's hidden window";
    HWND dialog = WaitForWindow(first, L"#32770", L"Corvane FirmWare Updater", 20000);
    ASSERT_NE(nullptr, dialog) << "the first copy's main dialog";

    // Hidden, and another window in front, so that only the second copy can
    // show it again and bring it forward.
    ShowWindow(hidden, SW_HIDE);
    ASSERT_FALSE(IsWindowVisible(hidden));
    HWND front = CreateWindowExW(0, L"STATIC", L"in front", WS_POPUP | WS_VISIBLE, 0, 0, 50, 50, nullptr, nullptr,
                                 nullptr, nullptr);
    ASSERT_NE(nullptr, front);
    // Another test's window on the desktop may take the foreground meanwhile.
    for (int i = 0; i < 40 && GetForegroundWindow() != front; ++i) {
        SetForegroundWindow(front);
        Sleep(50);
    }
    ASSERT_EQ(front, GetForegroundWindow());

    HANDLE second = Start(exe);
    ASSERT_NE(nullptr, second);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(second, 20000)) << "the second copy ends by itself";
    DWORD code = 99;
    GetExitCodeProcess(second, &code);
    EXPECT_EQ(0u, code);
    CloseHandle(second);
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(first, 0)) << "the first copy still runs";
    EXPECT_TRUE(IsWindowVisible(hidden)) << "shown again";
    EXPECT_EQ(hidden, GetForegroundWindow()) << "brought to the foreground";
    DestroyWindow(front);

    // Closing the dialog ends the first copy with exit code 0.
    PostMessageW(dialog, WM_CLOSE, 0, 0);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(first, 20000));
    GetExitCodeProcess(first, &code);
    EXPECT_EQ(0u, code);
}
