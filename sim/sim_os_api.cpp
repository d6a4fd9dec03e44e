#include "os_api.h"
extern "C" __declspec(dllexport) const OsApi* SimOsApi(void) { return CorvaneRealOsApi(); }
