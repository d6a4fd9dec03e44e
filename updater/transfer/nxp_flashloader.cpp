#include "KivoFWSW.h"
#include "camera_update.h"
#include "debug_print.h"
#include "image_file.h"
#include "nxp_packets.h"
#include "os_api.h"
#include "update_engine.h"

namespace {

// Where the firmware goes in the external flash, and the region erased
// before it (fixed by the camera family's flash layout).
constexpr uint32_t kFlashImageAddress = 0x60001000;
constexpr uint32_t kEraseStart = 0x60000000;
constexpr uint32_t kEraseBytes = 0x000186A0;
// The write-memory command carries the byte count in 24 bits.
constexpr uint32_t kLargestImage = 0x00FFFFFF;
constexpr DWORD kDataPacketWaitMs = 50;

struct CommandPacket {
    const wchar_t* line;
    uint8_t tag;
    uint32_t parameters[3];
    uint32_t count;
};

// Configures the FlexSPI NOR flash and erases the firmware region.
const CommandPacket kPreparation[] = {
    {L"\nsendNXPHidCmd CMD_TAG_GETPROPERTY ..", nxp::kTagGetProperty, {1, 0}, 2},
    {L"\nsendNXPHidCmd CMD_TAG_FILLMEMORY ..", nxp::kTagFillMemory, {0x00002000, 4, 0xC0000001}, 3},
    {L"\nsendNXPHidCmd CMD_TAG_FILLMEMORY2 ..", nxp::kTagFillMemory, {0x00002004, 4, 0}, 3},
    {L"\nsendNXPHidCmd CMD_TAG_CONFIGMEMORY ..", nxp::kTagConfigureMemory, {9, 0x00002000}, 2},
    {L"\nsendNXPHidCmd CMD_TAG_FLASH_ERASE_REGION ..", nxp::kTagFlashEraseRegion, {kEraseStart, kEraseBytes, 0}, 3},
    {L"\nsendNXPHidCmd CMD_TAG_FILLMEMORY3 ..", nxp::kTagFillMemory, {0x00003000, 4, 0xF000000F}, 3},
    {L"\nsendNXPHidCmd CMD_TAG_CONFIGMEMORY2 ..", nxp::kTagConfigureMemory, {9, 0x00003000}, 2},
    {L"\nsendNXPHidCmd CMD_TAG_WRITEMEMORY ..", nxp::kTagGetProperty, {0x0B, 0}, 2},
};

// Sent after the image; the flash loader restarts the camera with them.
const CommandPacket kFinish[] = {
    {nullptr, nxp::kTagSetProperty, {0x00008380, 0}, 2},
    {nullptr, nxp::kTagSetProperty, {0x00003204, 0}, 2},
};

// The region erased before the image: the fixed 100000 bytes, or up to the
// image's end when it reaches further (flash that is not erased keeps the
// old firmware's zero bits, and the new image would be corrupted).
uint32_t EraseBytesFor(uint32_t imageSize) {
    const uint32_t imageEnd = (kFlashImageAddress - kEraseStart) + imageSize;
    return imageEnd > kEraseBytes ? imageEnd : kEraseBytes;
}

// Sends a command packet with its reply expected. False only when the
// packet could not be written: the replies' contents are not read, and a
// reply that could not be read still leaves the command with the loader.
bool SendCommandPacket(CameraUpdate& u, uint8_t tag, uint8_t flags, const uint32_t* parameters, uint32_t count) {
    nxp::BuildLoaderCommand(u.byNXPReport, tag, flags, parameters, count);
    return sendNXPHidCmd(u.byNXPReport, nxp::kLoaderReportBytes, 1) != 0 ||
           ::GetLastError() == KIVOFWSW_ERROR_NO_REPLY;
}

void SendProgressStep(CameraUpdate& u) {
    const uint32_t sent = u.dwBlocksSent.load() + 1;
    u.View().ProgressStep(sent);
}

}  // namespace

int DoDownloadNXPFirmware(CameraUpdate& u) {
    u.dwBlocksSent = 0;
    u.bDownloadInProgress = true;
    u.SetPhase(UpdatePhase::WritingPart2);
    DebugLine(L"DoDownloadNXPFirmware ++\n");
    u.View().ShowFlashLoaderWriting();

    const uint8_t* image = u.pImageData2;
    const uint32_t size = u.dwImageSize2;
    if (image == nullptr || size == 0) {
        // Nothing to write: never let an update pass without its image.
        DebugLine(L"DoDownloadNXPFirmware :: no image to write\n");
        return 0;
    }
    if (size > kLargestImage) {
        DebugLine(L"DoDownloadNXPFirmware :: image too large for the write-memory command\n");
        return 0;
    }
    const uint32_t packets = nxp::PieceCount(size, nxp::kLoaderDataBytes);
    u.nProgressTotal = packets;
    u.View().ProgressRange(packets);

    // A packet the flash loader never got means the flash is not ready for
    // the image.
    for (const CommandPacket& c : kPreparation) {
        DebugLine(c.line);
        uint32_t parameters[3] = {c.parameters[0], c.parameters[1], c.parameters[2]};
        if (c.tag == nxp::kTagFlashEraseRegion) parameters[1] = EraseBytesFor(size);
        if (!SendCommandPacket(u, c.tag, 0, parameters, c.count)) {
            DebugLine(L"\nsendNXPHidCmd command packet Failed..");
            return 0;
        }
    }
    const uint32_t write[] = {kFlashImageAddress, size & kLargestImage, 0};
    if (!SendCommandPacket(u, nxp::kTagWriteMemory, nxp::kFlagDataPhase, write, 3)) {
        DebugLine(L"\nsendNXPHidCmd command packet Failed..");
        return 0;
    }

    for (uint32_t i = 0; i < packets; ++i) {
        if (u.bStopRequested) {
            DebugLine(L"sendNXPHidCmd :: stopped: the update took too long\n");
            return 0;
        }
        if (nxp::PieceLength(size, nxp::kLoaderDataBytes, i) < nxp::kLoaderDataBytes)
            DebugLine(L"sendNXPHidCmd :: BytesLeft calling.....\n");
        nxp::BuildLoaderData(u.byNXPReport, image, size, i);
        if (!sendNXPHidCmd(u.byNXPReport, nxp::kLoaderReportBytes, 0)) {
            // A piece missing from the flash is a failed update, never a
            // finished one.
            DebugLine(L"sendNXPHidCmd Failed..");
            return 0;
        }
        SendProgressStep(u);
        Os().Sleep(kDataPacketWaitMs);
        u.dwBlocksSent = u.dwBlocksSent.load() + 1;
    }

    for (const CommandPacket& c : kFinish) SendCommandPacket(u, c.tag, 0, c.parameters, c.count);

    ReleaseImageSections(u);
    u.bDownloadComplete = true;
    return 1;
}
