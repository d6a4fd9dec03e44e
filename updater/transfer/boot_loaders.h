// Downloads into the chip vendors' boot loaders, each on a thread of its own
// started by the device-list rebuild.
#pragma once

#include <windows.h>
#include <winusb.h>

#include <cstdint>

#include "camera_update.h"

// Cypress FX3 boot loader: sends "bootloader.img" section by section into the
// chip's memory through the cyusb3 driver and starts it. 1 when the start
// request went out, 0 on any failure.
DWORD WINAPI DoDownloadCypress(LPVOID update);
// One chip memory write (n = 0: run the program at address). 1 or 0.
int DownloadBufferToDevice(CameraUpdate& u, const uint8_t* data, uint32_t n, uint32_t address);
// One endpoint-0 request through the cyusb3 driver on the update's
// opened device file:
// the driver request record with the n data bytes behind it. 1 or 0; 0 when
// data is absent.
int XferData(CameraUpdate& u, const WINUSB_SETUP_PACKET& setup, const uint8_t* data, uint16_t n);

// NXP RT1060 ROM: sends the flash loader into RAM with the serial download
// protocol and starts it. 1 when the jump went out, 0 otherwise.
DWORD WINAPI DoDownloadNXPCypress(LPVOID update);

// Longest wait for the cyusb3 driver to finish one request. The record asks
// the driver for 5 s; a driver that never completes must not hold the
// download thread, and with it every later boot-loader download, forever.
constexpr DWORD kXferWaitMs = 10000;
