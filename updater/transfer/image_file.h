// Reading the firmware file the operator picks and the loader images that
// stand beside the program.
#pragma once

#include <cstdint>

#include "camera_update.h"

// Reads the firmware file at path into the update's image parts 1 and 2.
// 1 when read; 0 when the file could not be read (told through the
// update's view) or is not a firmware file.
int ReadFirmwareFile(CameraUpdate& u, const wchar_t* path);

// Reads and cuts a firmware file that is already in memory (the work of
// ReadFirmwareFile after the file was read). 1 on success, 0 on failure.
int LoadFirmwareImage(CameraUpdate& u, const uint8_t* data, uint32_t size);

// Releases image parts 1 and 2.
void ReleaseImageSections(CameraUpdate& u);

// Releases the loader image (the boot or flash-loader image last read).
void ReleaseLoaderImage(CameraUpdate& u);

// "bootloader.img" from the program's folder into the update's loader image.
int ReadBootloaderImage(CameraUpdate& u);
// "RT1060_Flashloader_nopadding.bin" from the program's folder; on success
// also marks the update as going over the NXP flash loader.
int ReadFlashloaderImage(CameraUpdate& u);
