// Entry point of Corvane_FW_Updater: one copy at a time, a hidden owner
// window, the modeless main dialog and the one message loop.
#include <windows.h>

#include "app_state.h"
#include "debug_print.h"
#include "dialog_keys.h"
#include "main_dialog.h"
#include "hidden_window.h"
#include "os_api.h"
#include "resource.h"
#include "station.h"

#include <shellapi.h>

#include <string>
#include <vector>

namespace {

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
                             L"[/operator <name>] [/lot <text>] [/recover] [/camera-timeout <seconds>]";
    Os().MessageBoxW(nullptr, box.c_str(), L"Corvane_FW_Updater - Station", MB_ICONERROR);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE hInstance, HINSTANCE, PWSTR, int nCmdShow) {
    LoadProgramNames(hInstance);

    station::Arguments arguments;
    const std::wstring wrong = ReadArguments(&arguments);
    if (!wrong.empty()) {
        RefuseStation(wrong);
        return kStationRefused;
    }

    // One copy at a time: bring the running one forward instead.
    HWND running = RunningCopy();
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

    SetStationMenuCommand(StartStationFromMenu);
    if (!CreateProgramWindows(hInstance)) return 0;
    HWND dialog = g_hMainDlg.load();

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
