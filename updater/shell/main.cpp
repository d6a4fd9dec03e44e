// Entry point of Corvane_FW_Updater.
#include <windows.h>

#include "debug_print.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    // The main window and dialog arrive with the program's shell; until then
    // the program starts, says so on the debugger output and ends.
    DebugLine(L"Corvane_FW_Updater: user interface not built yet\r\n");
    return 0;
}
