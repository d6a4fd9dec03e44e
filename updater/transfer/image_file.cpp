#include "image_file.h"

#include <new>

#include "debug_print.h"
#include "image_format.h"
#include "os_api.h"
#include "program_folder.h"
#include <strsafe.h>

namespace {

void ReleaseBuffer(uint8_t*& p) {
    delete[] p;
    p = nullptr;
}

// Reads a whole file. Returns nullptr on failure, after the report the
// failure calls for; *size receives the file's size.
uint8_t* ReadWholeFile(CameraUpdate& u, const wchar_t* path, uint32_t* size) {
    // Shared for reading and writing, as the C runtime opens a file for
    // binary reading: a file that another program (a build tool, an editor)
    // still holds open for writing can be read.
    HANDLE file = Os().CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        u.Report(UpdateReport::Trouble, L"Check File Path!", L"Error", MB_ICONEXCLAMATION);
        return nullptr;
    }
    LARGE_INTEGER length{};
    if (!Os().GetFileSizeEx(file, &length) || length.QuadPart < 0 || length.QuadPart > 0xFFFFFFFFLL) {
        // Section lengths are 32-bit: a larger file cannot be a firmware image.
        DebugLine(L"Memory Allocation FAiled..\r\n");
        Os().CloseHandle(file);
        return nullptr;
    }
    const uint32_t n = static_cast<uint32_t>(length.QuadPart);
    uint8_t* data = new (std::nothrow) uint8_t[n == 0 ? 1 : n];
    if (data == nullptr) {
        DebugLine(L"Memory Allocation FAiled..\r\n");
        Os().CloseHandle(file);
        return nullptr;
    }
    uint32_t done = 0;
    while (done < n) {
        DWORD got = 0;
        if (!Os().ReadFile(file, data + done, n - done, &got, nullptr) || got == 0) break;
        done += got;
    }
    Os().CloseHandle(file);
    if (done != n) {
        DebugLine(L"Reading from file failed....\r\n");
        delete[] data;
        return nullptr;
    }
    *size = n;
    return data;
}

uint8_t* CopySection(const uint8_t* file, const fwimage::Section& s) {
    uint8_t* p = new (std::nothrow) uint8_t[s.size];
    if (p != nullptr) memcpy(p, file + s.offset, s.size);
    return p;
}

void ReportDamagedFile(fwimage::ParseStatus st) {
    switch (st) {
        case fwimage::ParseStatus::NoSecondImage:
            DebugLine(L"Substring not found for Image2....\r\n");
            break;
        case fwimage::ParseStatus::NoImageSection:
            DebugLine(L"Firmware file has no orviIMG section....\r\n");
            break;
        case fwimage::ParseStatus::SectionOutsideFile:
            DebugLine(L"Firmware file section runs past the end of the file....\r\n");
            break;
        case fwimage::ParseStatus::NoImageTypeByte:
            DebugLine(L"Firmware file has no image type before orviIMG....\r\n");
            break;
        case fwimage::ParseStatus::McuLineTooLong:
            DebugLine(L"Firmware file has an MCU line of 1024 bytes or more....\r\n");
            break;
        case fwimage::ParseStatus::EmptySection:
            DebugLine(L"Firmware file holds an empty image....\r\n");
            break;
        case fwimage::ParseStatus::FileTooLarge:
            DebugLine(L"Memory Allocation FAiled..\r\n");
            break;
        case fwimage::ParseStatus::Ok:
            break;
    }
}

// Builds "<program folder>\<name>" from g_szExePath. False when it does not fit.
bool LoaderPath(const wchar_t* name, wchar_t* path) {
    const int cut = g_nExeDirLength.load() + 1;
    if (cut <= 0 || cut >= kPathChars) return false;
    if (FAILED(StringCchCopyNW(path, kPathChars, g_szExePath, static_cast<size_t>(cut)))) return false;
    return SUCCEEDED(StringCchCatW(path, kPathChars, name));
}

int ReadLoaderImage(CameraUpdate& u, const wchar_t* name) {
    // A failed read must not leave the image of the other boot loader behind
    // to be sent in its place.
    ReleaseLoaderImage(u);
    wchar_t path[kPathChars];
    if (!LoaderPath(name, path)) {
        u.Report(UpdateReport::Trouble, L"Check File Path!", L"Error", MB_ICONEXCLAMATION);
        return 0;
    }
    uint32_t size = 0;
    uint8_t* data = ReadWholeFile(u, path, &size);
    if (data == nullptr) return 0;
    ReleaseBuffer(u.pLoaderFileData);
    u.pLoaderFileData = data;
    u.dwLoaderFileSize = size;
    return 1;
}

}  // namespace

void ReleaseLoaderImage(CameraUpdate& u) {
    ReleaseBuffer(u.pLoaderFileData);
    u.dwLoaderFileSize = 0;
}

void ReleaseImageSections(CameraUpdate& u) {
    ReleaseBuffer(u.pImageData1);
    u.dwImageSize1 = 0;
    ReleaseBuffer(u.pImageData2);
    u.dwImageSize2 = 0;
}

int LoadFirmwareImage(CameraUpdate& u, const uint8_t* data, uint32_t size) {
    // A new file replaces every section of the last one: a part left over
    // from an earlier file must never be written with this one. It also
    // starts a new update: no part of an earlier one is still to be written.
    ReleaseImageSections(u);
    u.bFirstPartWritten = false;
    u.bForceFirstPart = false;
    u.bWritePart2 = false;
    u.dwBlocksSent = 0;

    fwimage::ParsedImage parsed;
    const fwimage::ParseStatus st = fwimage::ParseFirmwareImage(data, size, &parsed);
    u.bFPGAFirmware = parsed.fpgaFirmware;
    u.bMCUFirmware = parsed.mcuFirmware;
    if (parsed.layout == fwimage::Layout::Fpga || parsed.layout == fwimage::Layout::Mcu) u.dwMCUPacketCount = 0;
    if (st != fwimage::ParseStatus::Ok) {
        ReportDamagedFile(st);
        return 0;
    }

    switch (parsed.layout) {
        case fwimage::Layout::Plain:
            u.pImageData2 = CopySection(data, parsed.part2);
            if (u.pImageData2 == nullptr) {
                DebugLine(L"Memory Allocation Failed for Imagedata1..\r\n");
                return 0;
            }
            u.dwImageSize2 = parsed.part2.size;
            u.byImageType = parsed.imageType;
            DebugLine(L"Substring not found for Image1....\r\n");
            return 1;
        case fwimage::Layout::TwoPart:
            u.byImageType = parsed.imageType;
            u.pImageData1 = CopySection(data, parsed.part1);
            u.pImageData2 = CopySection(data, parsed.part2);
            if (u.pImageData1 == nullptr || u.pImageData2 == nullptr) {
                DebugLine(L"Memory Aloocation FAiled for Imagedata1..\r\n");
                ReleaseImageSections(u);
                return 0;
            }
            u.bCombinedImage = true;
            break;
        case fwimage::Layout::Mcu:
        case fwimage::Layout::Fpga:
            u.pImageData1 = CopySection(data, parsed.part1);
            u.pImageData2 = CopySection(data, parsed.part2);
            if (u.pImageData1 == nullptr || u.pImageData2 == nullptr) {
                DebugPrint(1,
                           parsed.layout == fwimage::Layout::Mcu
                               ? L"ReadMCUFX3Firmware Memory allocation failed for MCU data GetLastError() = %d\r\n"
                               : L"ReadFPGAFX3Firmware Memory allocation failed for FPGA data GetLastError() = %d\r\n",
                           static_cast<int>(GetLastError()));
                ReleaseImageSections(u);
                return 0;
            }
            if (parsed.layout == fwimage::Layout::Mcu) u.dwMCUPacketCount = parsed.mcuPacketCount;
            break;
    }
    u.dwImageSize1 = parsed.part1.size;
    u.dwImageSize2 = parsed.part2.size;
    return 1;
}

int ReadFirmwareFile(CameraUpdate& u, const wchar_t* path) {
    uint32_t size = 0;
    uint8_t* data = ReadWholeFile(u, path, &size);
    if (data == nullptr) return 0;
    const int result = LoadFirmwareImage(u, data, size);
    delete[] data;
    return result;
}

int ReadBootloaderImage(CameraUpdate& u) { return ReadLoaderImage(u, L"bootloader.img"); }

int ReadFlashloaderImage(CameraUpdate& u) {
    if (!ReadLoaderImage(u, L"RT1060_Flashloader_nopadding.bin")) return 0;
    u.bNXPDevice = true;
    // The rebuild that reads it runs on the dialog's thread: the dialog keeps
    // answering meanwhile.
    u.View().Pause(5000);
    return 1;
}
