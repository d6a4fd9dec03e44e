// Downloads into the chip vendors' boot loaders, each on a thread of its own
// started by the device-list rebuild.
#pragma once

#include <windows.h>

// Cypress FX3 boot loader: sends "bootloader.img" and starts it.
DWORD WINAPI DoDownloadCypress(LPVOID);
// NXP RT1060 ROM: sends the flash loader and starts it.
DWORD WINAPI DoDownloadNXPCypress(LPVOID);
