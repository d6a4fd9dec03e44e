#include "update_engine.h"

#include <commctrl.h>
#include <mmsystem.h>

#include "camera_update.h"
#include "debug_print.h"
#include "device_id.h"
#include "id_text.h"
#include "image_format.h"
#include "os_api.h"
#include <strsafe.h>

namespace {

void SendProgressRange(CameraUpdate& u, uint32_t blocks) {
    u.nProgressTotal = blocks;
    u.View().ProgressRange(blocks);
}

void SendProgressStep(CameraUpdate& u) {
    const uint32_t sent = u.dwBlocksSent.load() + 1;
    u.View().ProgressStep(sent);
    u.dwBlocksSent = sent;
}

void KillEraseBlink(CameraUpdate& u) { u.View().ShowEraseDone(); }

void RecordState(CameraUpdate& u, const DfuStatus& st) {
    StringCchPrintfW(u.szUpdateStatus, 127, L"UpdateFirmware : bState = %d \r\n", st.bState);
}

void Release(uint8_t*& data, std::atomic<uint32_t>& size) {
    delete[] data;
    data = nullptr;
    size = 0;
}

void UpdateThreadDone(CameraUpdate& u) { u.bUpdateThreadWriting = false; }

enum class Poll { Strict, Tolerant };

// Polls the status record until the device reports download idle (state 5).
// Strict: the first failed request ends it. Tolerant (first block of a part,
// while the device may still be erasing): failed requests are retried, and
// the 1000th failure in a row ends it. Either way the error state ends it, and
// so does a device that answers for kBlockPollLimitMs without ever taking the
// block. Only the time of answered requests counts towards that limit: a
// device that erases for minutes lets its status requests time out, and the
// failure count bounds that part of the wait. An update the program gave up
// on (bStopRequested) ends it before the next request.
bool PollDownloadIdle(CameraUpdate& u, DfuStatus* st, Poll rule) {
    DWORD answering = 0;
    int failures = 0;
    for (;;) {
        if (u.bStopRequested) {
            DebugLine(L"dodownload::stopped: the update took too long ++\n");
            return false;
        }
        const DWORD asked = Os().GetTickCount();
        if (!Getstatus(u, st)) {
            if (rule == Poll::Strict) return false;
            DebugLine(L"FirstTimeGetstatus::Getstatus failed \n");
            if (++failures >= 1000) return false;
            continue;
        }
        answering += Os().GetTickCount() - asked;
        failures = 0;
        if (st->bState == DFU_STATE_DNLOAD_IDLE) return true;
        if (st->bState == DFU_STATE_ERROR) {
            // The device refused the block; it will not leave the error state
            // on its own.
            DebugLine(L"dodownload::device reports bState = 10 ++\n");
            return false;
        }
        if (answering >= kBlockPollLimitMs) {
            DebugPrint(1, L"dodownload::device stayed in bState = %d ++\n", st->bState);
            return false;
        }
    }
}

// Length of block i of a section sent in 1024-byte blocks.
uint32_t BlockLength(uint32_t size, uint32_t i) {
    const uint32_t rest = size - i * kTransferBlock;
    return rest < kTransferBlock ? rest : kTransferBlock;
}

// Sends one section in 1024-byte blocks from u.byTransferBuffer with the
// given request, polling strictly after each block.
bool SendSectionStrict(CameraUpdate& u, const uint8_t* data, uint32_t size, bool fpgaRequest, DfuStatus* st) {
    const uint32_t blocks = fwimage::BlockCount(size);
    for (uint32_t i = 0; i < blocks; ++i) {
        const uint32_t n = BlockLength(size, i);
        memcpy(u.byTransferBuffer, data + i * kTransferBlock, n);
        const int sent = fpgaRequest ? SendDataFPGAData(u, n) : SendData(u, u.byTransferBuffer, n);
        if (!sent) {
            DebugLine(L"dodownload::SendData failed  ++\n");
            Getstatus(u, st);
            return false;
        }
        if (!PollDownloadIdle(u, st, Poll::Strict)) {
            DebugLine(L"dodownload::Getstatus failed  ++\n");
            return false;
        }
        SendProgressStep(u);
    }
    return true;
}

DWORD EndWithCommunicationFailure(CameraUpdate& u) {
    UpdateThreadDone(u);
    // The camera may still come back and take its part (the part flags
    // stay): the update waits for it, bounded.
    u.WaitForCamera();
    // The operator is told of the failure and gets EXIT back: the wait does
    // not hold closing. An update started on an update-mode device keeps
    // the flag that lets the device's return go on with it.
    u.bWaitAfterFailure = true;
    u.bMatchUpdatedDeviceHID = false;
    // The part flags and the block count stay: a camera that comes back after
    // its second run failed still needs its second part (a new update or a
    // new file starts them afresh). u.bUpdatedFromHIDMode stays for the same
    // reason.
    u.bDownloadInProgress = false;
    u.Report(UpdateReport::Failed, L"USB Communication Failure!", L"Error", MB_ICONERROR);
    u.View().ShowUpdateFailedState();
    return 0;
}

DWORD EndWithDownloadFailure(CameraUpdate& u) {
    UpdateThreadDone(u);
    u.WaitEnd();
    const bool mcu = u.bMCUFirmware, fpga = u.bFPGAFirmware;
    u.dwBlocksSent = 0;
    u.bFirstPartWritten = false;
    u.bWritePart2 = false;
    u.bUpdatedFromHIDMode = false;
    u.bDownloadInProgress = false;
    u.bDownloadComplete = false;
    u.bIsStartUpdatedFromDFU = false;
    u.bMatchUpdatedDeviceHID = false;
    u.bForceFirstPart = false;
    u.View().ClearUpdateProgress();
    Os().Sleep(10);
    const wchar_t* text = mcu ? L"MCU firmware update failed. Please retry again...!!"
                        : fpga ? L"Firmware update failed. Please retry again...!!"
                               : L"Firmware Download Failed!";
    u.Report(UpdateReport::Failed, text, L"Error", MB_ICONERROR);
    u.View().ShowUpdateFailedState();
    DebugLine(L"UpdateFirmware failed thread -----   \n");
    return 0;
}

int WriteImagePart1(CameraUpdate& u, DfuStatus* st) {
    const uint32_t size1 = u.dwImageSize1, size2 = u.dwImageSize2;
    if (u.pImageData1 == nullptr || size1 == 0) {
        // Nothing to write. A run without a block leaves the device nothing
        // to end with the zero-length request: it would not restart, and the
        // second part would never be written. Fail before anything is erased.
        DebugLine(L"DoDownload :: no data for the first part of the image  ++\n");
        return 0;
    }
    u.dwBlocksSent = 0;
    u.bDownloadInProgress = true;
    u.bFirstPartWritten = true;
    u.SetPhase(UpdatePhase::WritingPart1);
    DebugLine(L"DoDownload :: writing first part of the image  ++\n");
    SendProgressRange(u, fwimage::BlockCount(size1) + fwimage::BlockCount(size2));
    u.View().ShowPartWriting();

    if (u.bCombinedImage) {
        DebugLine(L"DoDownload CombinedImage Found and gonna erase the image\r\n");
        u.bCombinedImage = false;
        DebugLine(EraseCombinedImage(u) ? L"DoDownload::EraseCombinedImage success\r\n"
                                       : L"DoDownload::EraseCombinedImage failed\r\n");
    } else {
        DebugLine(L"DoDownload CombinedImage not found\r\n");
    }

    const uint32_t blocks = fwimage::BlockCount(size1);
    for (uint32_t i = 0; i < blocks; ++i) {
        const uint32_t n = BlockLength(size1, i);
        memcpy(u.byTransferBuffer, u.pImageData1 + i * kTransferBlock, n);
        if (!SendData(u, u.byTransferBuffer, n)) {
            DebugLine(L"dodownload::SendData failed  ++\n");
            Getstatus(u, st);
            return 0;
        }
        if (!PollDownloadIdle(u, st, Poll::Strict)) return 0;
        SendProgressStep(u);
        if (i == 0) KillEraseBlink(u);
    }
    Release(u.pImageData1, u.dwImageSize1);
    DebugLine(L"DoDownload :: written first part of the image  ++\n");
    DebugLine(L"DoDownload --\n");
    return 1;
}

int WriteImagePart2(CameraUpdate& u, DfuStatus* st) {
    const uint32_t size2 = u.dwImageSize2;
    const uint8_t type = u.byImageType;
    // The part was sent already (its buffer is released): never report it as
    // written again. An empty part of a two-part file holds nothing to send.
    if (u.pImageData2 == nullptr) {
        DebugLine(L"DoDownload :: no data for the second part of the image  ++\n");
        return 0;
    }
    u.bDownloadInProgress = true;
    u.SetPhase(UpdatePhase::WritingPart2);
    DebugLine(L"DoDownload :: writing second part of the image  ++\n");
    u.bFirstPartWritten = false;
    u.bForceFirstPart = false;
    u.bWritePart2 = false;
    if (type == 3 || (type == 1 && u.nFirmwareUpdateResult == 50)) SendProgressRange(u, fwimage::BlockCount(size2));

    const uint32_t blocks = fwimage::BlockCount(size2);
    for (uint32_t i = 0; i < blocks; ++i) {
        uint32_t n = BlockLength(size2, i);
        memcpy(u.byTransferBuffer2, u.pImageData2 + i * kTransferBlock, n);
        // The device cannot take a last block that is a whole number of
        // 64-byte packets without a short packet behind it: pad one byte.
        if (i + 1 == blocks && n < kTransferBlock && n % 64 == 0) u.byTransferBuffer2[n++] = 0xFF;
        if (!SendData(u, u.byTransferBuffer2, n)) {
            DebugLine(L"dodownload :: SendData failed in else part  ++\n");
            RecordState(u, *st);
            return 0;
        }
        const bool first = i == 0;
        if (!PollDownloadIdle(u, st, first ? Poll::Tolerant : Poll::Strict)) {
            DebugLine(first ? L"dodownload::FirstTimeGetstatus failed in else part ++\n"
                            : L"dodownload::Getstatus failed in else part ++\n");
            return 0;
        }
        SendProgressStep(u);
        if (first) KillEraseBlink(u);
    }
    Release(u.pImageData2, u.dwImageSize2);
    DebugLine(L"DoDownload :: written second part of the image  ++\n");
    u.bDownloadComplete = true;
    DebugLine(L"DoDownload --\n");
    return 1;
}

}  // namespace

int ChangeToDFUIdleState(CameraUpdate& u) {
    DfuStatus st{};
    if (!Getstatus(u, &st)) {
        u.Report(UpdateReport::Trouble, L"Get Status Failed!", L"Error", MB_ICONERROR | MB_TOPMOST);
        return 0;
    }
    DebugLine(L"ChangeToDFUIdleState\n");
    switch (st.bState) {
        case DFU_STATE_APP_IDLE:
        case DFU_STATE_DNLOAD_IDLE:
        case DFU_STATE_ERROR: {
            const uint8_t request = st.bState == DFU_STATE_APP_IDLE      ? DFU_REQ_DETACH
                                    : st.bState == DFU_STATE_DNLOAD_IDLE ? DFU_REQ_ABORT
                                                                         : DFU_REQ_CLRSTATUS;
            SendCommand(u, request);
            st = DfuStatus{};
            Getstatus(u, &st);
            break;
        }
        case DFU_STATE_MANIFEST_SYNC:
            st = DfuStatus{};
            Getstatus(u, &st);
            break;
        default:
            return 1;
    }
    if (st.bState != DFU_STATE_IDLE) {
        u.Report(UpdateReport::Trouble, L"Change State Failed!", L"Error", MB_ICONERROR);
        return 0;
    }
    return 1;
}

int DoDownload(CameraUpdate& u) {
    DebugLine(L"DoDownload ++\n");
    DfuStatus st{};
    const uint8_t t = u.byImageType;
    const bool firstWritten = u.bFirstPartWritten, part2 = u.bWritePart2, force = u.bForceFirstPart;
    if (!firstWritten && ((t == 2 && !part2) || (t == 1 && !part2 && u.nFirmwareUpdateResult != 50) || force))
        return WriteImagePart1(u, &st);
    if ((t == 2 && firstWritten) || t == 1 || t == 3 || part2 || force) return WriteImagePart2(u, &st);
    // An image type without a rule writes nothing: that is a failed update,
    // not a finished one.
    DebugPrint(1, L"DoDownload :: no rule for image type %d --\n", t);
    return 0;
}

int DoDownloadMCUFirmware(CameraUpdate& u) {
    DfuStatus st{};
    u.dwBlocksSent = 0;
    u.bDownloadInProgress = true;
    u.SetPhase(UpdatePhase::WritingPart1);
    DebugLine(L"DoDownloadMCUFirmware ++\n");
    const uint32_t mcuSize = u.dwImageSize1, imgSize = u.dwImageSize2;
    // Sections already sent are released; an empty section (the file holds
    // nothing for it) sends no packet.
    if (u.pImageData1 == nullptr || u.pImageData2 == nullptr) {
        DebugLine(L"DoDownloadMCUFirmware :: no firmware data to write ++\n");
        return 0;
    }
    SendProgressRange(u, u.dwMCUPacketCount + fwimage::BlockCount(imgSize));
    u.View().ShowPartWriting();

    uint32_t pos = 0;
    bool first = true;
    for (uint32_t n; (n = fwimage::NextMcuPacket(u.pImageData1, mcuSize, pos, nullptr)) != 0; pos += n) {
        memset(u.byTransferBuffer, 0, sizeof(u.byTransferBuffer));
        memcpy(u.byTransferBuffer, u.pImageData1 + pos, n);
        if (!SendDataMCUData(u, n)) {
            DebugLine(L"dodownload :: SendData failed in else part  ++\n");
            RecordState(u, st);
            return 0;
        }
        if (!PollDownloadIdle(u, &st, first ? Poll::Tolerant : Poll::Strict)) {
            DebugLine(first ? L"dodownload::FirstTimeGetstatus failed in if part ++\n"
                            : L"dodownload::Getstatus failed in else part ++\n");
            return 0;
        }
        SendProgressStep(u);
        if (first) KillEraseBlink(u);
        first = false;
    }
    Release(u.pImageData1, u.dwImageSize1);

    // No MCU packet went out (the file's MCU section is empty): the erase
    // is over all the same, and the verify goes out as always (the device
    // says whether its MCU flash is good).
    if (first) KillEraseBlink(u);
    u.View().ShowVerifying(true);
    DebugLine(L"SendDataMCUVerifyFlashRequest ++\n");
    SendDataMCUVerifyFlashRequest(u);
    Os().Sleep(10000);
    st = DfuStatus{};
    const int statusRead = GetMCUVerifyStatus(u, &st);
    DebugPrint(1, L"dfu_status.bStatus = %d  dfu_status.bState = %d\r\n", st.bStatus, st.bState);
    if (!statusRead || st.bStatus == 0 || st.bState != DFU_STATE_MCU_VERIFIED) {
        DebugLine(L"DoDownloadMCUFirmware :: SendDataMCUVerifyFlashRequest failed ++\n");
        u.View().ShowVerifying(false);
        return 0;
    }
    u.View().ShowVerifying(false);

    if (!SendSectionStrict(u, u.pImageData2, imgSize, false, &st)) return 0;
    Release(u.pImageData2, u.dwImageSize2);
    u.bDownloadComplete = true;
    return 1;
}

int DoDownloadFPGAFirmware(CameraUpdate& u) {
    DfuStatus st{};
    u.dwBlocksSent = 0;
    u.bDownloadInProgress = true;
    u.SetPhase(UpdatePhase::WritingPart1);
    DebugLine(L"DoDownloadFPGAFirmware ++\n");
    const uint32_t fpgaSize = u.dwImageSize1, imgSize = u.dwImageSize2;
    if (u.pImageData1 == nullptr || u.pImageData2 == nullptr) {
        DebugLine(L"DoDownloadFPGAFirmware :: no firmware data to write ++\n");
        return 0;
    }
    KillEraseBlink(u);
    u.View().ShowVerifying(true);
    DebugLine(L"SendDataFGPAVerifyFlashRequest ++\n");
    SendDataFGPAVerifyFlashRequest(u);
    const int statusRead = GetFPGAVerifyStatus(u, &st);
    DebugPrint(1, L"dfu_status.bStatus = %d  dfu_status.bState = %d\r\n", st.bStatus, st.bState);
    if (!statusRead || st.bStatus == 0 || st.bState != DFU_STATE_FPGA_VERIFIED) {
        DebugLine(L"DoDownloadFGPAFirmware :: SendDataFGPAVerifyFlashRequest failed ++\n");
        u.View().ShowVerifying(false);
        return 0;
    }
    u.View().ShowVerifying(false);

    SendProgressRange(u, fwimage::BlockCount(fpgaSize) + fwimage::BlockCount(imgSize));
    u.View().ShowPartWriting();
    if (!SendSectionStrict(u, u.pImageData1, fpgaSize, true, &st)) return 0;
    Release(u.pImageData1, u.dwImageSize1);
    if (!SendSectionStrict(u, u.pImageData2, imgSize, false, &st)) return 0;
    Release(u.pImageData2, u.dwImageSize2);
    u.bDownloadComplete = true;
    return 1;
}

namespace {

// The protocol's fixed waits (20 ms after each status reply, 50 ms after
// each MCU packet) are minimums; with the default timer resolution of about
// 15.6 ms each would take up to 31 ms. A 1 ms resolution while the thread
// runs keeps an update as short as the protocol allows.
class TimerResolution {
public:
    TimerResolution() : raised_(timeBeginPeriod(1) == TIMERR_NOERROR) {}
    ~TimerResolution() {
        if (raised_) timeEndPeriod(1);
    }
    TimerResolution(const TimerResolution&) = delete;
    TimerResolution& operator=(const TimerResolution&) = delete;

private:
    bool raised_;
};

DWORD RunUpdate(CameraUpdate& u);

}  // namespace

bool UpdateThreadWriting(CameraUpdate& u) { return u.bUpdateThreadWriting; }

void UpdateWritesTo(CameraUpdate& u, const wchar_t* path) {
    StringCchCopyW(u.szWrittenDevicePath, kPathChars, path);
    u.bWrittenDeviceGone = false;
}

bool StartUpdateFirmwareThread(CameraUpdate& u) {
    // One update thread at a time: a second one would write blocks of its
    // own between the first one's.
    if (u.bUpdateThreadWriting) {
        DebugLine(L"UpdateFirmware :: an update thread is still running: no second one\r\n");
        return false;
    }
    if (u.RunningWorkers(WorkerKind::Update) > 0) {
        // The last thread is done with its device and tells its ending (its
        // box may still be open): the new one starts when it has returned.
        DebugLine(L"UpdateFirmware :: the update thread starts when the last one has ended\r\n");
        u.bThreadStartPending = true;
        return true;
    }
    u.bThreadStartPending = false;
    const bool flashLoader = u.bNXPDevice;
    if (flashLoader) u.bDownloadInProgress = true;
    u.bUpdateThreadWriting = true;
    HANDLE thread = u.StartWorker(WorkerKind::Update, UpdateFirmware, &u);
    u.hUpdateThread = thread;
    if (thread == nullptr) {
        u.bUpdateThreadWriting = false;
        if (flashLoader) u.bDownloadInProgress = false;
        u.Report(UpdateReport::Failed, L"Could'nt Create Thread", L"Error", MB_OK, false);
        return false;
    }
    return true;
}

DWORD WINAPI UpdateFirmware(LPVOID parameter) {
    TimerResolution resolution;
    return RunUpdate(*static_cast<CameraUpdate*>(parameter));
}

namespace {

// The device this thread writes to is a "DF01" device. Taken from the
// device itself, not from the list's selection: a camera that leaves the bus
// right after its last request has the list rebuilt, and another entry
// selected, before the thread ends.
bool WritesToDf01(CameraUpdate& u) {
    wchar_t vid[kIdFieldCap] = L"", pid[kIdFieldCap] = L"";
    updater::GetVidPidLowerCase(u.szWrittenDevicePath, vid, pid);
    return updater::IsSameId(pid, L"DF01");
}

DWORD RunUpdate(CameraUpdate& u) {
    DebugLine(L"UpdateFirmware::THreadCreated++++   ++\n");
    const bool df01 = WritesToDf01(u);
    u.View().ShowUpdateWriting();

    const bool nxp = u.bNXPDevice;
    int ok;
    if (nxp) {
        ok = DoDownloadNXPFirmware(u);
    } else {
        if (!ChangeToDFUIdleState(u)) return EndWithCommunicationFailure(u);
        ok = u.bMCUFirmware ? DoDownloadMCUFirmware(u) : u.bFPGAFirmware ? DoDownloadFPGAFirmware(u) : DoDownload(u);
    }
    if (!ok) return EndWithDownloadFailure(u);

    if (!nxp) {
        DfuStatus st{};
        SendZeroLengthPkt(u);
        Getstatus(u, &st);
        RecordState(u, st);
        DebugLine(u.szUpdateStatus);
    }
    u.bDownloadInProgress = false;
    UpdateThreadDone(u);
    if (!u.bDownloadComplete) {
        // The device restarts for the next part: the update waits for it.
        u.WaitForCamera();
        DebugLine(L"UpdateFirmware::THreadCreated-----   \n");
        return 1;
    }
    u.WaitEnd();

    u.bIsStartUpdatedFromDFU = false;
    u.bUpdatedFromHIDMode = false;
    u.dwBlocksSent = 0;
    u.bDownloadComplete = false;
    u.nProgressTotal = 0;
    u.View().UpdateDone();
    if (df01 && u.bTessaDevice) {
        u.Report(UpdateReport::SucceededReplug, L"", L"", 0);
    } else {
        u.Report(UpdateReport::Succeeded,
                         L"Firmware Downloaded Successfully!\r\nDonot Reset the Device.\r\nDevice will boot "
                         L"automatically after completing firmware update!",
                         L"Success", MB_ICONEXCLAMATION);
    }
    DebugLine(L"UpdateFirmware::THreadCreated-----   \n");
    return 1;
}

}  // namespace
