// Production modules call Windows itself.
#include "os_api.h"

const OsApi& Os() { return *CorvaneRealOsApi(); }
