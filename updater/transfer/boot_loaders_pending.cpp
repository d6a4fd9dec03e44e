#include "app_state.h"
#include "boot_loaders.h"
#include "debug_print.h"

// The boot-loader downloads are not part of this build yet. A camera found in
// a boot loader gets nothing written, and the operator sees why.
namespace {

DWORD NotAvailable(const wchar_t* line) {
    DebugLine(line);
    g_bLoaderDownloadActive = false;
    return 0;
}

}  // namespace

DWORD WINAPI DoDownloadCypress(LPVOID) {
    return NotAvailable(L"DoDownloadCypress :: boot-loader download is not available in this build\r\n");
}

DWORD WINAPI DoDownloadNXPCypress(LPVOID) {
    return NotAvailable(L"DoDownloadNXPCypress :: boot-loader download is not available in this build\r\n");
}
