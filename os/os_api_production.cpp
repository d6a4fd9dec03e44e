// Production modules call Windows itself (through the tracing table when
// CORVANE_TRACE names a file).
#include "os_api.h"
#include "os_trace.h"

const OsApi& Os() {
    static const OsApi* const table = CorvaneTracedTable(CorvaneRealOsApi());
    return *table;
}
