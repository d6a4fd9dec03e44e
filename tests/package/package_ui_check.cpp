// What the packages show a person, checked from another program under Wine:
//
//   package_ui_check updater SHORTCUT INSTALLED_EXE VERSION MAKER PICTURE.bmp
//       starts the installed updater through its Start-menu entry, as an
//       operator does; the entry must start INSTALLED_EXE, whose dialog must
//       show "No Device Connected", an empty device list, the product's
//       version and maker; a picture of it is saved, and the dialog closed
//   package_ui_check message TEXT PICTURE.bmp
//       waits for the installer's message box that says TEXT, saves a picture
//       of it and presses its OK
//
// Prints one line per failed check and exits 1 when any failed.
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "resource.h"
#include "window_picture.h"

namespace {

int g_failures = 0;

void Check(bool ok, const wchar_t* what, const std::wstring& expected = L"", const std::wstring& got = L"") {
    if (ok) return;
    ++g_failures;
    if (expected.empty() && got.empty())
        std::fwprintf(stdout, L"FAIL: %ls\n", what);
    else
        std::fwprintf(stdout, L"FAIL: %ls: expected \"%ls\", got \"%ls\"\n", what, expected.c_str(), got.c_str());
}

std::wstring ControlText(HWND dialog, int id) {
    wchar_t text[260] = L"";
    GetDlgItemTextW(dialog, id, text, 260);
    return text;
}

bool Visible(HWND dialog, int id) {
    HWND control = GetDlgItem(dialog, id);
    return control != nullptr && (GetWindowLongW(control, GWL_STYLE) & WS_VISIBLE) != 0;
}

struct Search {
    const wchar_t* cls;
    const wchar_t* title;
    const std::wstring* exe;
    HWND found;
};

std::wstring ImageOf(HWND window) {
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (process == nullptr) return L"";
    wchar_t image[MAX_PATH] = L"";
    DWORD size = MAX_PATH;
    QueryFullProcessImageNameW(process, 0, image, &size);
    CloseHandle(process);
    return image;
}

BOOL CALLBACK MatchWindow(HWND window, LPARAM p) {
    auto* s = reinterpret_cast<Search*>(p);
    wchar_t cls[64] = L"", title[260] = L"";
    GetClassNameW(window, cls, 64);
    GetWindowTextW(window, title, 260);
    if (lstrcmpW(cls, s->cls) != 0 || lstrcmpW(title, s->title) != 0) return TRUE;
    if (_wcsicmp(ImageOf(window).c_str(), s->exe->c_str()) != 0) return TRUE;
    s->found = window;
    return FALSE;
}

// A window of the installed program: other programs on the desktop (the
// tests' own dialogs among them) show windows with the same class and title.
HWND FindProgramWindow(const wchar_t* cls, const wchar_t* title, const std::wstring& exe) {
    Search s{cls, title, &exe, nullptr};
    EnumWindows(MatchWindow, reinterpret_cast<LPARAM>(&s));
    return s.found;
}

HWND WaitForDialog(const std::wstring& exe, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < timeoutMs) {
        if (HWND w = FindProgramWindow(L"#32770", L"Corvane FirmWare Updater", exe)) return w;
        Sleep(50);
    }
    return nullptr;
}

BOOL CALLBACK ListWindow(HWND window, LPARAM) {
    if (!IsWindowVisible(window)) return TRUE;
    wchar_t cls[64] = L"", title[260] = L"";
    GetClassNameW(window, cls, 64);
    GetWindowTextW(window, title, 260);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    std::fwprintf(stdout, L"  window of process %lu: class \"%ls\", title \"%ls\"\n", pid, cls, title);
    return TRUE;
}

int CheckUpdater(const std::wstring& shortcut, const std::wstring& exe, const std::wstring& version,
                 const std::wstring& maker, const std::wstring& picture) {
    // The updater runs once per desktop: a copy left by someone else would
    // answer in its place.
    if (FindProgramWindow(L"CORVANE_FW_UPDATER", L"Corvane_FW_Updater", exe) != nullptr) {
        std::fwprintf(stdout, L"FAIL: another copy of the updater runs already\n");
        return 1;
    }

    SHELLEXECUTEINFOW run{};
    run.cbSize = sizeof(run);
    run.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
    run.lpVerb = L"open";
    run.lpFile = shortcut.c_str();
    run.nShow = SW_SHOWNORMAL;
    if (!ShellExecuteExW(&run)) {
        std::fwprintf(stdout, L"FAIL: the Start-menu entry %ls does not start (error %lu)\n", shortcut.c_str(),
                      GetLastError());
        return 1;
    }
    // A cold Wine on a busy machine may take many seconds to start a program.
    HWND dialog = WaitForDialog(exe, 90000);
    if (dialog == nullptr) {
        std::fwprintf(stdout, L"FAIL: no main dialog after starting %ls\n", shortcut.c_str());
        DWORD code = 0;
        if (run.hProcess != nullptr && WaitForSingleObject(run.hProcess, 0) == WAIT_OBJECT_0 &&
            GetExitCodeProcess(run.hProcess, &code))
            std::fwprintf(stdout, L"  the process the shell started ended with exit code %lu\n", code);
        std::fwprintf(stdout, L"  the visible windows:\n");
        EnumWindows(ListWindow, 0);
        return 1;
    }
    if (run.hProcess != nullptr) CloseHandle(run.hProcess);
    DWORD pid = 0;
    GetWindowThreadProcessId(dialog, &pid);
    HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    Check(process != nullptr, L"the updater's process can be opened");

    if (process != nullptr) {
        wchar_t image[MAX_PATH] = L"";
        DWORD size = MAX_PATH;
        QueryFullProcessImageNameW(process, 0, image, &size);
        Check(_wcsicmp(image, exe.c_str()) == 0, L"the entry starts the installed program", exe, image);
    }

    // The dialog exists, with its controls as the template shows them, before
    // its initialisation has looked for cameras; the program shows it after.
    const DWORD start = GetTickCount();
    while (!IsWindowVisible(dialog) && GetTickCount() - start < 30000) Sleep(50);
    Check(IsWindowVisible(dialog) != FALSE, L"the dialog is shown");
    Check(Visible(dialog, IDC_STATIC_NO_DEVICE), L"\"No Device Connected\" is shown");
    Check(!Visible(dialog, IDC_STATIC_DEVICE_CONNECTED), L"\"Device is Connected\" is hidden");
    const LRESULT listed = SendDlgItemMessageW(dialog, IDC_COMBO_DEVICELIST, CB_GETCOUNT, 0, 0);
    Check(listed == 0, L"the device list is empty", L"0", std::to_wstring(listed));
    Check(ControlText(dialog, IDC_STATIC_VERSION) == L"Version: " + version, L"the version line",
          L"Version: " + version, ControlText(dialog, IDC_STATIC_VERSION));
    Check(ControlText(dialog, IDC_STATIC_MAKER) == maker, L"the maker line", maker, ControlText(dialog, IDC_STATIC_MAKER));

    Check(SaveWindowPicture(dialog, picture), L"a picture of the dialog is saved");

    PostMessageW(dialog, WM_CLOSE, 0, 0);
    if (process != nullptr) {
        Check(WaitForSingleObject(process, 20000) == WAIT_OBJECT_0, L"the updater ends when its dialog is closed");
        DWORD code = 99;
        GetExitCodeProcess(process, &code);
        Check(code == 0, L"the updater's exit code", L"0", std::to_wstring(code));
        CloseHandle(process);
    }
    if (g_failures == 0) std::fwprintf(stdout, L"ok: the installed updater shows its dialog (%ls)\n", picture.c_str());
    return g_failures == 0 ? 0 : 1;
}

struct MessageSearch {
    const std::wstring* text;
    HWND box;
};

BOOL CALLBACK FindMessageBox(HWND window, LPARAM param) {
    auto* search = reinterpret_cast<MessageSearch*>(param);
    wchar_t cls[32] = L"";
    GetClassNameW(window, cls, 32);
    if (!IsWindowVisible(window) || wcscmp(cls, L"#32770") != 0) return TRUE;
    for (HWND child = nullptr; (child = FindWindowExW(window, child, L"Static", nullptr)) != nullptr;) {
        wchar_t text[1024] = L"";
        GetWindowTextW(child, text, 1024);
        if (*search->text == text) {
            search->box = window;
            return FALSE;
        }
    }
    return TRUE;
}

int CheckMessage(const std::wstring& text, const std::wstring& picture) {
    MessageSearch search{&text, nullptr};
    const DWORD start = GetTickCount();
    while (search.box == nullptr && GetTickCount() - start < 30000) {
        EnumWindows(FindMessageBox, reinterpret_cast<LPARAM>(&search));
        if (search.box == nullptr) Sleep(100);
    }
    if (search.box == nullptr) {
        std::fwprintf(stdout, L"FAIL: no message box says \"%ls\" within 30 s\n", text.c_str());
        return 1;
    }
    wchar_t caption[260] = L"";
    GetWindowTextW(search.box, caption, 260);
    Check(SaveWindowPicture(search.box, picture), L"a picture of the message box is saved");
    HWND ok = FindWindowExW(search.box, nullptr, L"Button", L"OK");
    Check(ok != nullptr, L"the message box has an OK button");
    if (ok != nullptr) PostMessageW(ok, BM_CLICK, 0, 0);
    if (g_failures == 0) std::fwprintf(stdout, L"ok: message box \"%ls\" says it (%ls)\n", caption, picture.c_str());
    return g_failures == 0 ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 7 && wcscmp(argv[1], L"updater") == 0) return CheckUpdater(argv[2], argv[3], argv[4], argv[5], argv[6]);
    if (argc == 4 && wcscmp(argv[1], L"message") == 0) return CheckMessage(argv[2], argv[3]);
    std::fwprintf(stderr,
                  L"usage: package_ui_check updater SHORTCUT INSTALLED_EXE VERSION MAKER PICTURE.bmp\n"
                  L"       package_ui_check message TEXT PICTURE.bmp\n");
    return 2;
}
