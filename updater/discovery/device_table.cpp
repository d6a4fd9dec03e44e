#include "device_table.h"

#include "id_text.h"
#include <strsafe.h>

std::atomic<int> g_nDeviceCount{};
std::atomic<unsigned> g_nDeviceTableBuilds{};
wchar_t g_szDevicePathList[kMaxDevices][kPathChars]{};
wchar_t g_szDeviceNameList[kMaxDevices][kPathChars]{};
wchar_t g_szVIDList[kMaxDevices][kIdFieldChars]{};
wchar_t g_szPIDList[kMaxDevices][kIdFieldChars]{};
std::atomic<bool> g_bSunplusDeviceFound{};

bool DevicePathsEqual(const wchar_t* a, const wchar_t* b) {
    wchar_t x[kPathChars], y[kPathChars];
    StringCchCopyW(x, kPathChars, a);
    StringCchCopyW(y, kPathChars, b);
    return IdEqualUpperInPlace(x, kPathChars, y, kPathChars);
}
