// The update thread: brings the update-mode device to its idle state and
// writes the firmware sections block by block with status polling.
#pragma once

#include <windows.h>

#include "usb_requests.h"

// Thread procedure; the parameter is the CameraUpdate it writes. 1 on success
// or when image part 1 was written (part 2 follows after the device
// restarts), 0 on failure.
DWORD WINAPI UpdateFirmware(LPVOID update);
// Starts UpdateFirmware for the update, keeping its handle in the update; shows "Could'nt Create Thread" when it cannot. A
// flash-loader download counts as in progress from here on: the flash
// loader (a HID device) raises a second arrival right after the first, and
// its handler must not re-bind the library under the starting thread.
// While the last update thread still tells its ending (it is done with its
// device) the start is kept (the update's bThreadStartPending) and true is
// returned: the program starts it again once that thread has returned.
bool StartUpdateFirmwareThread(CameraUpdate& u);
// The device the next update thread writes to (its leaving after a Tessa
// camera's update enables the notice's OK).
void UpdateWritesTo(CameraUpdate& u, const wchar_t* path);
// An update thread was started and is not yet done with its device.
bool UpdateThreadWriting(CameraUpdate& u);

int ChangeToDFUIdleState(CameraUpdate& u);
int DoDownload(CameraUpdate& u);
int DoDownloadMCUFirmware(CameraUpdate& u);
int DoDownloadFPGAFirmware(CameraUpdate& u);

// The flash-loader engine of cameras with the NXP controller.
int DoDownloadNXPFirmware(CameraUpdate& u);

// Longest time the engine polls a device that answers but never reports that
// it took a block (the status requests that fail are not counted); a device
// stuck in a busy state ends the update instead of keeping it waiting forever.
constexpr DWORD kBlockPollLimitMs = 120000;
