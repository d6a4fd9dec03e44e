// Entry point of Corvane_FW_Updater: one copy at a time, a hidden owner
// window, the modeless main dialog and the one message loop.
#include <windows.h>

#include "app_state.h"
#include "debug_print.h"
#include "dialog_keys.h"
#include "main_dialog.h"
#include "resource.h"
#include "hidden_window.h"
#include "os_api.h"
#include "station.h"

#include <shellapi.h>

#include <string>
#include <vector>

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

// The program's arguments after its name. A station is started from them;
// without any of its switches they are ignored, as they always were.
std::wstring ReadArguments(station::Arguments* arguments) {
    int n = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &n);
    std::vector<std::wstring> args;
    for (int i = 1; argv != nullptr && i < n; ++i) args.emplace_back(argv[i]);
    if (argv != nullptr) LocalFree(argv);
    return station::ParseArguments(args, arguments);
}

// A station that cannot start says why: on the console or standard error of
// a script that started it (a box would hold the script up), else in a box.
void RefuseStation(const std::wstring& text) {
    DebugLine((text + L"\r\n").c_str());
    if (TellTheConsole(text)) return;
    const std::wstring box = text +
                             L"\r\n\r\nUsage: Corvane_FW_Updater.exe /station <firmware file> [/results <csv file>] "
                             L"[/count <n>] [/timeout <seconds>] [/sha256 <hex>] [/expect-version <v>] "
                             L"[/operator <name>] [/lot <text>] [/recover]";
    Os().MessageBoxW(nullptr, box.c_str(), L"Corvane_FW_Updater - Station", MB_ICONERROR);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE hInstance, HINSTANCE, PWSTR, int nCmdShow) {
    LoadStringW(hInstance, IDS_APP_TITLE, g_szTitle, 100);
    LoadStringW(hInstance, IDC_CORVANE_FW_UPDATER, g_szWindowClass, 100);
    RegisterHiddenWindowClass(hInstance);

    station::Arguments arguments;
    const std::wstring wrong = ReadArguments(&arguments);
    if (!wrong.empty()) {
        RefuseStation(wrong);
        return kStationRefused;
    }

    // One copy at a time: bring the running one forward instead.
    HWND running = FindWindowW(g_szWindowClass, g_szTitle);
    if (running != nullptr) {
        DebugLine(L"FindWindow .........succeed\r\n");
        if (arguments.station) {
            // A script must not take the running copy's answer for its own.
            RefuseStation(L"The updater is already running: close it before starting a station.");
            return kStationRefused;
        }
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
    SetStationMenuCommand(StartStationFromMenu);
    HWND dialog = CreateDialogParamW(g_hInst, MAKEINTRESOURCEW(IDD_MAIN_DIALOG), g_hMainWnd, MainDialogProc, 0);
    if (dialog == nullptr) return 0;
    g_hMainDlg = dialog;

    ShowWindow(g_hMainWnd, nCmdShow);
    bool refused = false;
    if (!arguments.station) {
        ShowWindow(dialog, nCmdShow);
    } else if (!StartStation(arguments)) {
        // No station: the program ends without showing its dialog.
        refused = true;
        PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDC_BTN_EXIT, BN_CLICKED), 0);
    }
    UpdateWindow(g_hMainWnd);

    HACCEL accelerators = LoadAcceleratorsW(g_hInst, MAKEINTRESOURCEW(IDC_CORVANE_FW_UPDATER));
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        ServeMessage(msg, accelerators);
    }
    if (refused) return kStationRefused;
    if (StationActive()) return StationExitCode();
    return static_cast<int>(msg.wParam);
}
