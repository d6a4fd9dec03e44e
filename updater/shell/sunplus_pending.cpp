#include "app_state.h"
#include "debug_print.h"
#include "os_api.h"
#include "update_start.h"

// The Sunplus camera's update goes through the vendor's library, which this
// build does not load yet: the operator is told so instead of waiting for an
// update that never starts.
void StartSunplusUpdate() {
    DebugLine(L"StartSunplusUpdate :: Sunplus camera update is not available in this build\r\n");
    Os().MessageBoxW(g_hMainDlg.load(), L"Firmware Download Failed!", L"Error", MB_ICONERROR);
}
