#include "update_engine.h"

#include <commctrl.h>
#include <mmsystem.h>

#include "app_state.h"
#include "debug_print.h"
#include "device_id.h"
#include "id_text.h"
#include "image_format.h"
#include "notice_dialogs.h"
#include "os_api.h"
#include "update_display.h"
#include "update_outcome.h"
#include "resource.h"
#include "update_guard.h"
#include <strsafe.h>

namespace {

HWND Dlg() { return g_hMainDlg.load(); }

void SendProgressRange(uint32_t blocks) { SendMessageW(Dlg(), WM_FW_PROGRESS_RANGE, blocks, 0); }

void SendProgressStep() {
    const uint32_t sent = g_dwBlocksSent.load() + 1;
    SendMessageW(Dlg(), WM_FW_PROGRESS_STEP, sent, 0);
    g_dwBlocksSent = sent;
}

void KillEraseBlink() { ShowEraseDone(); }

void RecordState(const DfuStatus& st) {
    StringCchPrintfW(g_szUpdateStatus, 127, L"UpdateFirmware : bState = %d \r\n", st.bState);
}

void Release(uint8_t*& data, std::atomic<uint32_t>& size) {
    delete[] data;
    data = nullptr;
    size = 0;
}

// From the thread's start until it is done with the device (before its
// closing box): the arrival handlers leave the device alone meanwhile.
std::atomic<bool> g_bUpdateThreadWriting{false};

void UpdateThreadDone() { g_bUpdateThreadWriting = false; }

enum class Poll { Strict, Tolerant };

// Polls the status record until the device reports download idle (state 5).
// Strict: the first failed request ends it. Tolerant (first block of a part,
// while the device may still be erasing): failed requests are retried, and
// the 1000th failure in a row ends it. Either way the error state ends it, and
// so does a device that answers for kBlockPollLimitMs without ever taking the
// block. Only the time of answered requests counts towards that limit: a
// device that erases for minutes lets its status requests time out, and the
// failure count bounds that part of the wait.
bool PollDownloadIdle(DfuStatus* st, Poll rule) {
    DWORD answering = 0;
    int failures = 0;
    for (;;) {
        const DWORD asked = Os().GetTickCount();
        if (!Getstatus(st)) {
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

// Sends one section in 1024-byte blocks from g_byTransferBuffer with the
// given request, polling strictly after each block.
bool SendSectionStrict(const uint8_t* data, uint32_t size, bool fpgaRequest, DfuStatus* st) {
    const uint32_t blocks = fwimage::BlockCount(size);
    for (uint32_t i = 0; i < blocks; ++i) {
        const uint32_t n = BlockLength(size, i);
        memcpy(g_byTransferBuffer, data + i * kTransferBlock, n);
        const int sent = fpgaRequest ? SendDataFPGAData(n) : SendData(g_byTransferBuffer, n);
        if (!sent) {
            DebugLine(L"dodownload::SendData failed  ++\n");
            Getstatus(st);
            return false;
        }
        if (!PollDownloadIdle(st, Poll::Strict)) {
            DebugLine(L"dodownload::Getstatus failed  ++\n");
            return false;
        }
        SendProgressStep();
    }
    return true;
}

DWORD EndWithCommunicationFailure() {
    UpdateThreadDone();
    // The camera may still come back and take its part (the part flags
    // stay): the update waits for it, bounded.
    UpdateWaitForCamera();
    g_bIsStartUpdatedFromDFU = false;
    g_bMatchUpdatedDeviceHID = false;
    // The part flags and the block count stay: a camera that comes back after
    // its second run failed still needs its second part (a new update or a
    // new file starts them afresh). g_bUpdatedFromHIDMode stays for the same
    // reason.
    g_bDownloadInProgress = false;
    ReportUpdate(UpdateReport::Failed, L"USB Communication Failure!", L"Error", MB_ICONERROR);
    ShowUpdateFailedState();
    return 0;
}

DWORD EndWithDownloadFailure() {
    UpdateThreadDone();
    UpdateWaitEnd();
    const bool mcu = g_bMCUFirmware, fpga = g_bFPGAFirmware;
    g_dwBlocksSent = 0;
    g_bFirstPartWritten = false;
    g_bWritePart2 = false;
    g_bUpdatedFromHIDMode = false;
    g_bDownloadInProgress = false;
    g_bDownloadComplete = false;
    g_bIsStartUpdatedFromDFU = false;
    g_bMatchUpdatedDeviceHID = false;
    g_bForceFirstPart = false;
    g_nBlinkState = 5;
    ClearUpdateProgress();
    Os().Sleep(10);
    const wchar_t* text = mcu ? L"MCU firmware update failed. Please retry again...!!"
                        : fpga ? L"Firmware update failed. Please retry again...!!"
                               : L"Firmware Download Failed!";
    ReportUpdate(UpdateReport::Failed, text, L"Error", MB_ICONERROR);
    ShowUpdateFailedState();
    DebugLine(L"UpdateFirmware failed thread -----   \n");
    return 0;
}

int WriteImagePart1(DfuStatus* st) {
    const uint32_t size1 = g_dwImageSize1, size2 = g_dwImageSize2;
    if (g_pImageData1 == nullptr || size1 == 0) {
        // Nothing to write. A run without a block leaves the device nothing
        // to end with the zero-length request: it would not restart, and the
        // second part would never be written. Fail before anything is erased.
        DebugLine(L"DoDownload :: no data for the first part of the image  ++\n");
        return 0;
    }
    g_dwBlocksSent = 0;
    g_bDownloadInProgress = true;
    g_bFirstPartWritten = true;
    DebugLine(L"DoDownload :: writing first part of the image  ++\n");
    SendProgressRange(fwimage::BlockCount(size1) + fwimage::BlockCount(size2));
    ShowPartWriting();

    if (g_bCombinedImage) {
        DebugLine(L"DoDownload CombinedImage Found and gonna erase the image\r\n");
        g_bCombinedImage = false;
        DebugLine(EraseCombinedImage() ? L"DoDownload::EraseCombinedImage success\r\n"
                                       : L"DoDownload::EraseCombinedImage failed\r\n");
    } else {
        DebugLine(L"DoDownload CombinedImage not found\r\n");
    }

    const uint32_t blocks = fwimage::BlockCount(size1);
    for (uint32_t i = 0; i < blocks; ++i) {
        const uint32_t n = BlockLength(size1, i);
        memcpy(g_byTransferBuffer, g_pImageData1 + i * kTransferBlock, n);
        if (!SendData(g_byTransferBuffer, n)) {
            DebugLine(L"dodownload::SendData failed  ++\n");
            Getstatus(st);
            return 0;
        }
        if (!PollDownloadIdle(st, Poll::Strict)) return 0;
        SendProgressStep();
        if (i == 0) KillEraseBlink();
    }
    Release(g_pImageData1, g_dwImageSize1);
    DebugLine(L"DoDownload :: written first part of the image  ++\n");
    DebugLine(L"DoDownload --\n");
    return 1;
}

int WriteImagePart2(DfuStatus* st) {
    const uint32_t size2 = g_dwImageSize2;
    const uint8_t type = g_byImageType;
    // The part was sent already (its buffer is released): never report it as
    // written again. An empty part of a two-part file holds nothing to send.
    if (g_pImageData2 == nullptr) {
        DebugLine(L"DoDownload :: no data for the second part of the image  ++\n");
        return 0;
    }
    g_bDownloadInProgress = true;
    DebugLine(L"DoDownload :: writing second part of the image  ++\n");
    g_bFirstPartWritten = false;
    g_bForceFirstPart = false;
    g_bWritePart2 = false;
    if (type == 3 || (type == 1 && g_nFirmwareUpdateResult == 50)) SendProgressRange(fwimage::BlockCount(size2));

    const uint32_t blocks = fwimage::BlockCount(size2);
    for (uint32_t i = 0; i < blocks; ++i) {
        uint32_t n = BlockLength(size2, i);
        memcpy(g_byTransferBuffer2, g_pImageData2 + i * kTransferBlock, n);
        // The device cannot take a last block that is a whole number of
        // 64-byte packets without a short packet behind it: pad one byte.
        if (i + 1 == blocks && n < kTransferBlock && n % 64 == 0) g_byTransferBuffer2[n++] = 0xFF;
        if (!SendData(g_byTransferBuffer2, n)) {
            DebugLine(L"dodownload :: SendData failed in else part  ++\n");
            RecordState(*st);
            return 0;
        }
        const bool first = i == 0;
        if (!PollDownloadIdle(st, first ? Poll::Tolerant : Poll::Strict)) {
            DebugLine(first ? L"dodownload::FirstTimeGetstatus failed in else part ++\n"
                            : L"dodownload::Getstatus failed in else part ++\n");
            return 0;
        }
        SendProgressStep();
        if (first) KillEraseBlink();
    }
    Release(g_pImageData2, g_dwImageSize2);
    DebugLine(L"DoDownload :: written second part of the image  ++\n");
    g_bDownloadComplete = true;
    DebugLine(L"DoDownload --\n");
    return 1;
}

}  // namespace

int ChangeToDFUIdleState() {
    DfuStatus st{};
    if (!Getstatus(&st)) {
        ReportUpdate(UpdateReport::Trouble, L"Get Status Failed!", L"Error", MB_ICONERROR | MB_TOPMOST);
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
            SendCommand(request);
            st = DfuStatus{};
            Getstatus(&st);
            break;
        }
        case DFU_STATE_MANIFEST_SYNC:
            st = DfuStatus{};
            Getstatus(&st);
            break;
        default:
            return 1;
    }
    if (st.bState != DFU_STATE_IDLE) {
        ReportUpdate(UpdateReport::Trouble, L"Change State Failed!", L"Error", MB_ICONERROR);
        return 0;
    }
    return 1;
}

int DoDownload() {
    DebugLine(L"DoDownload ++\n");
    DfuStatus st{};
    const uint8_t t = g_byImageType;
    const bool firstWritten = g_bFirstPartWritten, part2 = g_bWritePart2, force = g_bForceFirstPart;
    if (!firstWritten && ((t == 2 && !part2) || (t == 1 && !part2 && g_nFirmwareUpdateResult != 50) || force))
        return WriteImagePart1(&st);
    if ((t == 2 && firstWritten) || t == 1 || t == 3 || part2 || force) return WriteImagePart2(&st);
    // An image type without a rule writes nothing: that is a failed update,
    // not a finished one.
    DebugPrint(1, L"DoDownload :: no rule for image type %d --\n", t);
    return 0;
}

int DoDownloadMCUFirmware() {
    DfuStatus st{};
    g_dwBlocksSent = 0;
    g_bDownloadInProgress = true;
    DebugLine(L"DoDownloadMCUFirmware ++\n");
    const uint32_t mcuSize = g_dwImageSize1, imgSize = g_dwImageSize2;
    // Sections already sent are released; an empty section (the file holds
    // nothing for it) sends no packet.
    if (g_pImageData1 == nullptr || g_pImageData2 == nullptr) {
        DebugLine(L"DoDownloadMCUFirmware :: no firmware data to write ++\n");
        return 0;
    }
    SendProgressRange(g_dwMCUPacketCount + fwimage::BlockCount(imgSize));
    ShowPartWriting();

    uint32_t pos = 0;
    bool first = true;
    for (uint32_t n; (n = fwimage::NextMcuPacket(g_pImageData1, mcuSize, pos, nullptr)) != 0; pos += n) {
        memset(g_byTransferBuffer, 0, sizeof(g_byTransferBuffer));
        memcpy(g_byTransferBuffer, g_pImageData1 + pos, n);
        if (!SendDataMCUData(n)) {
            DebugLine(L"dodownload :: SendData failed in else part  ++\n");
            RecordState(st);
            return 0;
        }
        if (!PollDownloadIdle(&st, first ? Poll::Tolerant : Poll::Strict)) {
            DebugLine(first ? L"dodownload::FirstTimeGetstatus failed in if part ++\n"
                            : L"dodownload::Getstatus failed in else part ++\n");
            return 0;
        }
        SendProgressStep();
        if (first) KillEraseBlink();
        first = false;
    }
    Release(g_pImageData1, g_dwImageSize1);

    if (first) {
        // No MCU packet went out (the file's MCU section is empty): there is
        // no MCU flash to verify, and the device refuses a verify without
        // MCU data.
        DebugLine(L"DoDownloadMCUFirmware :: no MCU data: nothing to verify ++\n");
    } else {
        ShowVerifying(true);
        DebugLine(L"SendDataMCUVerifyFlashRequest ++\n");
        SendDataMCUVerifyFlashRequest();
        Os().Sleep(10000);
        st = DfuStatus{};
        const int statusRead = GetMCUVerifyStatus(&st);
        DebugPrint(1, L"dfu_status.bStatus = %d  dfu_status.bState = %d\r\n", st.bStatus, st.bState);
        if (!statusRead || st.bStatus == 0 || st.bState != DFU_STATE_MCU_VERIFIED) {
            DebugLine(L"DoDownloadMCUFirmware :: SendDataMCUVerifyFlashRequest failed ++\n");
            ShowVerifying(false);
            return 0;
        }
        ShowVerifying(false);
    }

    if (!SendSectionStrict(g_pImageData2, imgSize, false, &st)) return 0;
    Release(g_pImageData2, g_dwImageSize2);
    g_bDownloadComplete = true;
    return 1;
}

int DoDownloadFPGAFirmware() {
    DfuStatus st{};
    g_dwBlocksSent = 0;
    g_bDownloadInProgress = true;
    DebugLine(L"DoDownloadFPGAFirmware ++\n");
    const uint32_t fpgaSize = g_dwImageSize1, imgSize = g_dwImageSize2;
    if (g_pImageData1 == nullptr || g_pImageData2 == nullptr) {
        DebugLine(L"DoDownloadFPGAFirmware :: no firmware data to write ++\n");
        return 0;
    }
    KillEraseBlink();
    ShowVerifying(true);
    DebugLine(L"SendDataFGPAVerifyFlashRequest ++\n");
    SendDataFGPAVerifyFlashRequest();
    const int statusRead = GetFPGAVerifyStatus(&st);
    DebugPrint(1, L"dfu_status.bStatus = %d  dfu_status.bState = %d\r\n", st.bStatus, st.bState);
    if (!statusRead || st.bStatus == 0 || st.bState != DFU_STATE_FPGA_VERIFIED) {
        DebugLine(L"DoDownloadFGPAFirmware :: SendDataFGPAVerifyFlashRequest failed ++\n");
        ShowVerifying(false);
        return 0;
    }
    ShowVerifying(false);

    SendProgressRange(fwimage::BlockCount(fpgaSize) + fwimage::BlockCount(imgSize));
    ShowPartWriting();
    if (!SendSectionStrict(g_pImageData1, fpgaSize, true, &st)) return 0;
    Release(g_pImageData1, g_dwImageSize1);
    if (!SendSectionStrict(g_pImageData2, imgSize, false, &st)) return 0;
    Release(g_pImageData2, g_dwImageSize2);
    g_bDownloadComplete = true;
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

DWORD RunUpdate();

}  // namespace

bool UpdateThreadWriting() { return g_bUpdateThreadWriting; }

void UpdateWritesTo(const wchar_t* path) {
    StringCchCopyW(g_szWrittenDevicePath, kPathChars, path);
    g_bWrittenDeviceGone = false;
}

bool StartUpdateFirmwareThread() {
    // One update thread at a time: a second one would write blocks of its
    // own between the first one's.
    if (g_bUpdateThreadWriting || RunningWorkers(WorkerKind::Update) > 0) {
        DebugLine(L"UpdateFirmware :: an update thread is still running: no second one\r\n");
        return false;
    }
    const bool flashLoader = g_bNXPDevice;
    if (flashLoader) g_bDownloadInProgress = true;
    g_bUpdateThreadWriting = true;
    HANDLE thread = StartWorkerThread(WorkerKind::Update, UpdateFirmware, g_szFirmwareFilePath);
    g_hUpdateThread = thread;
    if (thread == nullptr) {
        g_bUpdateThreadWriting = false;
        if (flashLoader) g_bDownloadInProgress = false;
        ReportUpdate(UpdateReport::Failed, L"Could'nt Create Thread", L"Error", MB_OK, false);
        return false;
    }
    return true;
}

DWORD WINAPI UpdateFirmware(LPVOID) {
    TimerResolution resolution;
    return RunUpdate();
}

namespace {

// The device this thread writes to is a "DF01" device. Taken from the
// device itself, not from the list's selection: a camera that leaves the bus
// right after its last request has the list rebuilt, and another entry
// selected, before the thread ends.
bool WritesToDf01() {
    wchar_t vid[kIdFieldCap] = L"", pid[kIdFieldCap] = L"";
    updater::GetVidPidLowerCase(g_szWrittenDevicePath, vid, pid);
    return updater::IsSameId(pid, L"DF01");
}

DWORD RunUpdate() {
    DebugLine(L"UpdateFirmware::THreadCreated++++   ++\n");
    const bool df01 = WritesToDf01();
    ShowUpdateWriting();

    const bool nxp = g_bNXPDevice;
    int ok;
    if (nxp) {
        ok = DoDownloadNXPFirmware();
    } else {
        if (!ChangeToDFUIdleState()) return EndWithCommunicationFailure();
        ok = g_bMCUFirmware ? DoDownloadMCUFirmware() : g_bFPGAFirmware ? DoDownloadFPGAFirmware() : DoDownload();
    }
    if (!ok) return EndWithDownloadFailure();

    if (!nxp) {
        DfuStatus st{};
        SendZeroLengthPkt();
        Getstatus(&st);
        RecordState(st);
        DebugLine(g_szUpdateStatus);
    }
    g_bDownloadInProgress = false;
    UpdateThreadDone();
    if (!g_bDownloadComplete) {
        // The device restarts for the next part: the update waits for it.
        UpdateWaitForCamera();
        DebugLine(L"UpdateFirmware::THreadCreated-----   \n");
        return 1;
    }
    UpdateWaitEnd();

    g_bIsStartUpdatedFromDFU = false;
    g_bUpdatedFromHIDMode = false;
    g_dwBlocksSent = 0;
    g_bDownloadComplete = false;
    SendMessageW(Dlg(), WM_FW_UPDATE_DONE, 0, 0);
    if (df01 && g_bTessaDevice) {
        ReportUpdate(UpdateReport::SucceededReplug, L"", L"", 0);
    } else {
        ReportUpdate(UpdateReport::Succeeded,
                         L"Firmware Downloaded Successfully!\r\nDonot Reset the Device.\r\nDevice will boot "
                         L"automatically after completing firmware update!",
                         L"Success", MB_ICONEXCLAMATION);
    }
    DebugLine(L"UpdateFirmware::THreadCreated-----   \n");
    return 1;
}

}  // namespace
