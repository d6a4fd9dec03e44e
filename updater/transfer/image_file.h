// Reading the firmware file the operator picks and the loader images that
// stand beside the program.
#pragma once

#include <cstdint>

// Shows the open-file dialog and reads the chosen firmware file into image
// parts 1 and 2. 2: cancelled; 0: the file could not be read; 1: read.
int SelectFirmwareFile();

// Reads and cuts a firmware file that is already in memory (the work of
// SelectFirmwareFile after the file was read). 1 on success, 0 on failure.
int LoadFirmwareImage(const uint8_t* data, uint32_t size);

// Releases image parts 1 and 2.
void ReleaseImageSections();

// Releases the loader image (the boot or flash-loader image last read).
void ReleaseLoaderImage();

// "bootloader.img" from the program's folder into g_pLoaderFileData.
int ReadBootloaderImage();
// "RT1060_Flashloader_nopadding.bin" from the program's folder; on success
// also marks the update as going over the NXP flash loader.
int ReadFlashloaderImage();
