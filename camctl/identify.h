// Identification inside the library: the ID tables and the tests that the
// binding code uses besides the exported predicates.
#pragma once

#include <cstddef>

#include "id_text.h"

// The tables stay writable: lookups upper-case the entries in place.
constexpr std::size_t kDfuVidCount = 3;
constexpr std::size_t kDfuPidCount = 41;
constexpr std::size_t kRestrictedPidCount = 3;
extern wchar_t DFUDeviceVIDTable[kDfuVidCount][kIdSlotCap];
extern wchar_t DFUDevicePIDTable[kDfuPidCount][kIdSlotCap];
extern wchar_t RestrictedCameraPIDTable[kRestrictedPidCount][kIdSlotCap];

// 1 when the string (upper-cased in place) names VID 4A7E with PID C114, the
// stereo camera whose HID command and IMU interfaces are bound together.
int IsStereoCamera(wchar_t* s);
