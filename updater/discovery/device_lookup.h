// Finding update-mode and boot-loader devices among the USB devices, reading
// a camera's unique ID, and finding the same camera again after it changed
// mode.
#pragma once

#include <windows.h>

#include "camera_update.h"

// 1 when the hardware-ID text names an update-mode or boot-loader device.
// Upper-cases the text in place.
int FindMatchDFUDevice(wchar_t* hardwareId);

// Adds the present update-mode and boot-loader devices to the device table.
// 1 when at least one was added.
int DeviceConnect();

// Cuts the USB instance ID (10 characters after "MI_" + 3) out of a path;
// the output is left unchanged when the path has no "MI_".
void GetUSBInstanceID(wchar_t* path, wchar_t* out);

// Reads the unique ID of the camera at a video-capture path into uniqueId
// (10 characters and a terminator).
int EnumerateImageDevice(const wchar_t* path, wchar_t* uniqueId);

// The unique ID of the camera behind an update-mode device's USB-device
// interface path: the update-mode device carries the camera's serial, so it
// is the ID the camera has when it is back in normal mode (the 10 characters
// after the product ID, "00" for an instance ID Windows made up). The field
// (10 characters and a terminator) is left unchanged when the path names no
// product ID.
void UniqueIdOfUpdateModePath(const wchar_t* path, wchar_t* uniqueId);

// The searches below look at the device table against the update's snapshot
// of it (taken when the update started).
// Index of the first listed device whose path is not in the snapshot, or -1.
int FindNewDeviceAgainstSnapshot(CameraUpdate& u);
// Index of the first listed update-mode device (DF00, DF01, DF02) whose path
// is not in the snapshot, the one carrying the updated camera's serial
// first; -1 when there is none. A camera in normal mode or another device
// that arrives while an update waits is not its device.
int FindNewUpdateModeDevice(CameraUpdate& u);
// Index of the update-mode device that an update started on directly, when
// it is listed again after writing the first part of a two-part image or
// after a communication failure (it returns under the path it had, which the
// snapshot holds), or -1.
int FindReturnedUpdateModeDevice(CameraUpdate& u);
// Whether a path equals (upper-case comparison) one of the snapshot's
// first g_nDeviceCount entries; writes the search's texts.
bool IsInSnapshot(CameraUpdate& u, const wchar_t* path, const wchar_t* matched, const wchar_t* notMatched);
