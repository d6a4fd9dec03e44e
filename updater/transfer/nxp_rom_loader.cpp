#include "KivoFWSW.h"
#include "boot_loaders.h"
#include "camera_update.h"
#include "debug_print.h"
#include "image_file.h"
#include "nxp_packets.h"

namespace {

// Where the ROM loads the flash loader and jumps to it.
constexpr uint32_t kFlashLoaderAddress = 0x20001000;
// Byte count the write-file command announces, whatever the file's size: the
// size of the flash loader this camera family ships.
constexpr uint32_t kFlashLoaderCount = 0x00015100;

int SendReport(const uint8_t* report, uint32_t length, bool reply) {
    return sendNXPHidCmd(report, static_cast<int>(length), reply ? 1 : 0);
}

DWORD RunRomDownload(CameraUpdate& u) {
    const uint8_t* file = u.pLoaderFileData;
    const uint32_t size = u.dwLoaderFileSize;
    if (file == nullptr || size == 0) {
        DebugLine(L"DoDownloadNXPCypress :: no flash loader loaded\r\n");
        return 0;
    }
    uint8_t report[nxp::kRomReportBytes];

    nxp::BuildRomCommand(report, nxp::kRomErrorStatus, 0, 0, 0, 0);
    SendReport(report, sizeof(report), true);
    nxp::BuildRomCommand(report, nxp::kRomWriteFile, kFlashLoaderAddress, 0, kFlashLoaderCount, 0);
    SendReport(report, sizeof(report), true);

    const uint32_t reports = nxp::PieceCount(size, nxp::kRomDataBytes);
    for (uint32_t i = 0; i < reports; ++i) {
        nxp::BuildRomData(report, file, size, i);
        if (!SendReport(report, sizeof(report), false)) {
            DebugLine(L"DoDownloadNXPCypress :: sendNXPHidCmd Failed..\r\n");
            // A flash loader with a piece missing must never be started.
            return 0;
        }
    }

    nxp::BuildRomCommand(report, nxp::kRomJumpAddress, kFlashLoaderAddress, 0, 0, 0);
    SendReport(report, sizeof(report), true);

    uint8_t packet[nxp::kLoaderReportBytes];
    const uint32_t property[] = {1, 0};
    nxp::BuildLoaderCommand(packet, nxp::kTagGetProperty, 0, property, 2);
    SendReport(packet, sizeof(packet), true);
    return 1;
}

}  // namespace

DWORD WINAPI DoDownloadNXPCypress(LPVOID parameter) {
    CameraUpdate& u = *static_cast<CameraUpdate*>(parameter);
    u.SetPhase(UpdatePhase::WritingLoader);
    DWORD result = 0;
    try {
        DebugLine(L"DoDownloadNXPCypress ++\r\n");
        u.bLoaderDownloadActive = true;
        result = RunRomDownload(u);
    } catch (...) {
        DebugLine(L"DoDownloadCypress exception\r\n");
        result = 0;
    }
    // Every ending lets the next boot loader that arrives be served: a failed
    // download must not block the device list.
    ReleaseLoaderImage(u);
    u.bLoaderDownloadActive = false;
    // An update under way now waits for what the chip starts next.
    u.WaitGoesOn();
    if (result) DebugLine(L"DoDownloadNXPCypress --\r\n");
    return result;
}
