#include "image_file.h"

#include <new>

#include "app_state.h"
#include "debug_print.h"
#include "image_format.h"
#include "os_api.h"
#include "update_outcome.h"
#include "ui_wait.h"
#include "resource.h"
#include <strsafe.h>

namespace {

void ReleaseBuffer(uint8_t*& p) {
    delete[] p;
    p = nullptr;
}

// Reads a whole file. Returns nullptr on failure, after the report the
// failure calls for; *size receives the file's size.
uint8_t* ReadWholeFile(const wchar_t* path, uint32_t* size) {
    // Shared for reading and writing, as the C runtime opens a file for
    // binary reading: a file that another program (a build tool, an editor)
    // still holds open for writing can be read.
    HANDLE file = Os().CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        ReportUpdate(UpdateReport::Trouble, L"Check File Path!", L"Error", MB_ICONEXCLAMATION);
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

int ReadLoaderImage(const wchar_t* name) {
    // A failed read must not leave the image of the other boot loader behind
    // to be sent in its place.
    ReleaseLoaderImage();
    wchar_t path[kPathChars];
    if (!LoaderPath(name, path)) {
        ReportUpdate(UpdateReport::Trouble, L"Check File Path!", L"Error", MB_ICONEXCLAMATION);
        return 0;
    }
    uint32_t size = 0;
    uint8_t* data = ReadWholeFile(path, &size);
    if (data == nullptr) return 0;
    ReleaseBuffer(g_pLoaderFileData);
    g_pLoaderFileData = data;
    g_dwLoaderFileSize = size;
    return 1;
}

}  // namespace

void ReleaseLoaderImage() {
    ReleaseBuffer(g_pLoaderFileData);
    g_dwLoaderFileSize = 0;
}

void ReleaseImageSections() {
    ReleaseBuffer(g_pImageData1);
    g_dwImageSize1 = 0;
    ReleaseBuffer(g_pImageData2);
    g_dwImageSize2 = 0;
}

int LoadFirmwareImage(const uint8_t* data, uint32_t size) {
    // A new file replaces every section of the last one: a part left over
    // from an earlier file must never be written with this one. It also
    // starts a new update: no part of an earlier one is still to be written.
    ReleaseImageSections();
    g_bFirstPartWritten = false;
    g_bForceFirstPart = false;
    g_bWritePart2 = false;
    g_dwBlocksSent = 0;

    fwimage::ParsedImage parsed;
    const fwimage::ParseStatus st = fwimage::ParseFirmwareImage(data, size, &parsed);
    g_bFPGAFirmware = parsed.fpgaFirmware;
    g_bMCUFirmware = parsed.mcuFirmware;
    if (parsed.layout == fwimage::Layout::Fpga || parsed.layout == fwimage::Layout::Mcu) g_dwMCUPacketCount = 0;
    if (st != fwimage::ParseStatus::Ok) {
        ReportDamagedFile(st);
        return 0;
    }

    switch (parsed.layout) {
        case fwimage::Layout::Plain:
            g_pImageData2 = CopySection(data, parsed.part2);
            if (g_pImageData2 == nullptr) {
                DebugLine(L"Memory Allocation Failed for Imagedata1..\r\n");
                return 0;
            }
            g_dwImageSize2 = parsed.part2.size;
            g_byImageType = parsed.imageType;
            DebugLine(L"Substring not found for Image1....\r\n");
            return 1;
        case fwimage::Layout::TwoPart:
            g_byImageType = parsed.imageType;
            g_pImageData1 = CopySection(data, parsed.part1);
            g_pImageData2 = CopySection(data, parsed.part2);
            if (g_pImageData1 == nullptr || g_pImageData2 == nullptr) {
                DebugLine(L"Memory Aloocation FAiled for Imagedata1..\r\n");
                ReleaseImageSections();
                return 0;
            }
            g_bCombinedImage = true;
            break;
        case fwimage::Layout::Mcu:
        case fwimage::Layout::Fpga:
            g_pImageData1 = CopySection(data, parsed.part1);
            g_pImageData2 = CopySection(data, parsed.part2);
            if (g_pImageData1 == nullptr || g_pImageData2 == nullptr) {
                DebugPrint(1,
                           parsed.layout == fwimage::Layout::Mcu
                               ? L"ReadMCUFX3Firmware Memory allocation failed for MCU data GetLastError() = %d\r\n"
                               : L"ReadFPGAFX3Firmware Memory allocation failed for FPGA data GetLastError() = %d\r\n",
                           static_cast<int>(GetLastError()));
                ReleaseImageSections();
                return 0;
            }
            if (parsed.layout == fwimage::Layout::Mcu) g_dwMCUPacketCount = parsed.mcuPacketCount;
            break;
    }
    g_dwImageSize1 = parsed.part1.size;
    g_dwImageSize2 = parsed.part2.size;
    return 1;
}

int SelectFirmwareFile() {
    g_bCombinedImage = false;

    wchar_t path[kPathChars] = L"";
    OPENFILENAMEW ofn{};
    ofn.lStructSize = sizeof(ofn);
    ofn.hwndOwner = g_hMainDlg.load();
    ofn.lpstrFilter = g_bNXPDevice ? L"Binary Files (*.BIN)\0*.bin\0Binary Files (*.IMG)\0*.img\0"
                                   : L"Binary Files (*.IMG)\0*.img\0Binary Files (*.BIN)\0*.bin\0";
    ofn.nFilterIndex = 1;
    ofn.lpstrFile = path;
    ofn.nMaxFile = kPathChars;
    ofn.lpstrFileTitle = g_szFirmwareFileName;
    ofn.nMaxFileTitle = kPathChars;
    ofn.Flags = OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR;
    if (!Os().GetOpenFileNameW(&ofn)) return 2;

    SetDlgItemTextW(g_hMainDlg.load(), IDC_EDIT_FIRMWARE_PATH, path);

    uint32_t size = 0;
    uint8_t* data = ReadWholeFile(path, &size);
    if (data == nullptr) return 0;
    const int result = LoadFirmwareImage(data, size);
    delete[] data;
    return result;
}

int ReadBootloaderImage() { return ReadLoaderImage(L"bootloader.img"); }

int ReadFlashloaderImage() {
    if (!ReadLoaderImage(L"RT1060_Flashloader_nopadding.bin")) return 0;
    g_bNXPDevice = true;
    // The rebuild that reads it runs on the dialog's thread: the dialog keeps
    // answering meanwhile.
    UiWait(5000);
    return 1;
}
