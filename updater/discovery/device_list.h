// The device table and the device list of the main dialog.
#pragma once

#include <windows.h>

// Appends the cameras found by the video-capture enumeration to the table.
// 1 when at least one was stored.
int GetAvailableDevices();
// Rebuilds the list from the table, starting the boot-loader downloads of
// Cypress and NXP boot-loader entries.
void AddDeviceNameInCombbox();
// The same without the Cypress branch.
void AddDeviceNameInCombboxNXP();
void RemoveDeviceNameInCombbox();
