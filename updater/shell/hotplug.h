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

// An update thread that an arrival could not start while the last one still
// told its ending starts now (after WM_FW_BUSY_CHANGED).
void StartPendingUpdateThread();

// Every removal, before its handler (which leaves a running update alone):
// when the interface that left is the device an update wrote to, a warning
// notice waiting for it may be closed. The notice looks at the same flag
// when it opens, so a camera that leaves before the notice is up counts too.
void NoteDeviceLeft(const wchar_t* interfacePath);
