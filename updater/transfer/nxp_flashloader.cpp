#include "debug_print.h"
#include "update_engine.h"

// The RT1060 flash-loader download is not part of this build yet: an update
// that needs it fails visibly instead of being reported as written.
int DoDownloadNXPFirmware() {
    DebugLine(L"DoDownloadNXPFirmware :: flash-loader download is not available in this build\r\n");
    return 0;
}
