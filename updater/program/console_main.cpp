// Entry point of corvane-fw, the console program: the updater's engines and
// hidden dialog without a window to see, driven from the command line.
#include <windows.h>

#include <string>
#include <vector>

#include "app_state.h"
#include "console_args.h"
#include "console_run.h"
#include "debug_print.h"
#include "dialog_keys.h"
#include "hidden_window.h"
#include "product_version.h"

int wmain(int argc, wchar_t** argv) {
    KeepStandardOutputForLines();
    std::vector<std::wstring> args;
    for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
    console::Arguments arguments;
    const std::wstring wrong = console::ParseArguments(args, &arguments);
    if (!wrong.empty()) {
        ConsoleLine(wrong + L"\r\n\r\n" + console::UsageText(), true);
        return console::kBadCommand;
    }
    if (arguments.command == console::Command::Help) {
        ConsoleLine(std::wstring(L"corvane-fw: Corvane camera firmware updates from the command line.\r\n\r\n") +
                    console::UsageText());
        return console::kDone;
    }
    if (arguments.command == console::Command::Version) {
        ConsoleLine(L"corvane-fw " + std::wstring(CORVANE_VERSION_TEXT, CORVANE_VERSION_TEXT + sizeof(CORVANE_VERSION_TEXT) - 1));
        return console::kDone;
    }

    HINSTANCE instance = GetModuleHandleW(nullptr);
    LoadProgramNames(instance);
    // One program at a time talks to the cameras; a station's workers each
    // take one of its cameras, under a title of their own.
    if (arguments.worker) {
        lstrcpynW(g_szTitle, L"Corvane_FW_Updater - station worker", 100);
    } else if (RunningCopy() != nullptr) {
        ConsoleLine(L"The updater is already running (its window, a station or another corvane-fw): let it end "
                    L"first.",
                    true);
        return console::kBadCommand;
    }
    if (!CreateProgramWindows(instance)) {
        ConsoleLine(L"The program's windows cannot be created.", true);
        return console::kBadCommand;
    }
    StartConsoleRun(arguments);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) ServeMessage(msg, nullptr);
    return ConsoleRunExitCode();
}
