// Modules of the simulated build take their table from the device simulator,
// so the updater and the camera-control library share one simulated world
// (through the tracing table when CORVANE_TRACE names a file).
#include "os_api.h"
#include "os_trace.h"

#include <cstdlib>

extern "C" __declspec(dllimport) const OsApi* SimOsApi(void);

const OsApi& Os() {
    static const OsApi* table = [] {
        const OsApi* t = SimOsApi();
        if (t == nullptr || t->version != CORVANE_OS_API_VERSION || t->size != sizeof(OsApi)) {
            ::OutputDebugStringW(L"OS table of the simulator does not match this module\r\n");
            std::abort();
        }
        return CorvaneTracedTable(t);
    }();
    return *table;
}
