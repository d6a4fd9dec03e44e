// The table of the devices the enumerations found: cameras in normal mode,
// update-mode devices and boot loaders, one entry each, in the order the
// list shows them. Rebuilt on the user-interface thread by every arrival and
// removal; the command thread reads it while a command runs (device changes
// wait for it meanwhile).
#pragma once

#include <windows.h>

#include <atomic>

#include "camera_update.h"

constexpr int kIdFieldChars = 20;

extern std::atomic<int> g_nDeviceCount;
// Counts the rebuilds of the table: a path listed before and after one may
// be another device now (a second camera with the serial of one that left).
extern std::atomic<unsigned> g_nDeviceTableBuilds;
extern wchar_t g_szDevicePathList[kMaxDevices][kPathChars];
extern wchar_t g_szDeviceNameList[kMaxDevices][kPathChars];
extern wchar_t g_szVIDList[kMaxDevices][kIdFieldChars];
extern wchar_t g_szPIDList[kMaxDevices][kIdFieldChars];
// The last video enumeration listed the Sunplus camera (1BCF:0B12).
extern std::atomic<bool> g_bSunplusDeviceFound;

// Two device paths are the same device (upper-case comparison).
bool DevicePathsEqual(const wchar_t* a, const wchar_t* b);
