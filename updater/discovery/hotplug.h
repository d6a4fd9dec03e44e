// Arrival and removal of devices: each handler rebuilds the device table and
// the list, re-binds the camera-control library and moves a running update on.
#pragma once

#include <windows.h>

// Fills the device list once at start-up. Non-zero when it was filled.
int SetInitialDeviceList();

int SetDeviceArrivValueForVideoDevice();
int SetDeviceArrivValueForNXPDevice();
int SetDeviceArrivValueForHIDUpdateDevice();
int SetDeviceArrivValueForWinUSBDevice();
int SetDeviceRemoveValueForVideoDevice();
int SetDeviceRemoveValueForWinUSBDevice();
