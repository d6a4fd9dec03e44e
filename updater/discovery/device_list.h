// The video-capture enumeration of the device table.
#pragma once

#include <windows.h>

// Appends the cameras found by the video-capture enumeration to the table.
// 1 when at least one was stored.
int GetAvailableDevices();
