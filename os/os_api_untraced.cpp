// Modules that run with administrator rights (Tandemset.exe) call Windows
// itself and never trace: an elevated process must not create or append to
// a file that its environment names.
#include "os_api.h"

const OsApi& Os() { return *CorvaneRealOsApi(); }
