// The camera's HID command protocol: fixed 65-byte command and reply
// reports for cameras in normal mode, and the raw report transport of the
// NXP boot ROM and flash loader.
//
// Command report: byte 0 the report ID (0), byte 1 the command, byte 2 its
// parameter, the rest 0; written to g_WriteHandle. Reply report: byte 1 the
// command answered, data from byte 2; read from g_ReadHandle.
#include <cstring>

#include "KivoFWSW.h"
#include "call_guard.h"
#include "cam_log.h"
#include "cam_state.h"
#include "hid_reply.h"
#include "hid_write.h"

namespace {

constexpr DWORD kReportLength = 65;
// How long a camera gets to answer a command (and the NXP loader a report).
constexpr DWORD kReplyWaitMs = 5000;
// A camera that stays on the bus and never answers the update request would
// otherwise keep FirmwareUpdate (and the updater's dialog thread) waiting for
// good: give up after about a minute of 5-second rounds.
constexpr int kFirmwareUpdateMaxRounds = 12;

constexpr BYTE kCmdEnterUpdate = 0x30;
constexpr BYTE kCmdWithByte = 0x32;
constexpr BYTE kCmdVersion = 0x40;
constexpr BYTE kCmdUniqueId = 0x41;
constexpr BYTE kEnterUpdateParameter = 0xFF;

BYTE InputBuffer[kReportLength];
BYTE OutputPacketBuffer[kReportLength];
BYTE NxpReplyBuffer[kMaxReplyLength];

// Common start of every exchange: false (last error set) when no camera is
// bound.
bool ExchangeStart() {
    g_ReadOverlapped.Offset = 0;
    g_ReadOverlapped.OffsetHigh = 0;
    if (g_WriteHandle == INVALID_HANDLE_VALUE) {
        ::SetLastError(KIVOFWSW_ERROR_NOT_BOUND);
        return false;
    }
    return true;
}

// After a failed write: the system's code stays the last error; a failure
// without one gets the library's own code.
bool WriteFailed() {
    if (::GetLastError() == ERROR_SUCCESS) {
        ::SetLastError(KIVOFWSW_ERROR_WRITE_FAILED);
        CamLogLine(L"Write File Failed\r\n");
    }
    return false;
}

bool SendCommand(BYTE code, BYTE parameter) {
    if (!ExchangeStart()) return false;
    std::memset(InputBuffer, 0, sizeof(InputBuffer));
    InputBuffer[1] = code;
    InputBuffer[2] = parameter;
    DWORD written = 0;
    if (!BoundedWrite(InputBuffer, kReportLength, &written)) return WriteFailed();
    return true;
}

// sendNXPHidCmd after its report was written: the reply could not be read.
// The caller must be able to tell this from a report that never reached the
// device, so the system's code goes to the log and the library's own code
// becomes the last error.
int NoReply() {
    CamLog(L"KivoFwSw: sendNXPHidCmd: no reply GetLastError() = %d\r\n", static_cast<int>(::GetLastError()));
    ::SetLastError(KIVOFWSW_ERROR_NO_REPLY);
    return 0;
}

enum class Reply { Arrived, TimedOut, Failed };

// Reads one reply into OutputPacketBuffer within kReplyWaitMs. On a time-out
// the read is cancelled; beforeCancel is logged before the cancellation and
// afterCancel (with the last error) once it was issued.
Reply AwaitReply(const wchar_t* beforeCancel, const wchar_t* afterCancel) {
    std::memset(OutputPacketBuffer, 0, sizeof(OutputPacketBuffer));
    // A read the system refused at once (the device is gone) has nothing to
    // wait for.
    if (!ReplyReadStart(OutputPacketBuffer, kReportLength) && ::GetLastError() != ERROR_IO_PENDING) return Reply::Failed;
    const DWORD wait = ReplyReadWait(kReplyWaitMs);
    if (wait == WAIT_TIMEOUT) {
        if (beforeCancel != nullptr) CamLogLine(beforeCancel);
        if (ReplyReadCancel()) {
            CamLog(afterCancel, static_cast<int>(::GetLastError()));
            ReplyReadSettle();
        }
        ::SetLastError(ERROR_TIMEOUT);
        return Reply::TimedOut;
    }
    if (wait != WAIT_OBJECT_0) return Reply::Failed;
    DWORD bytes = 0;
    if (!ReplyReadResult(&bytes)) return Reply::Failed;
    if (bytes == 0) {
        ::SetLastError(ERROR_INVALID_DATA);
        return Reply::Failed;
    }
    return Reply::Arrived;
}

}  // namespace

extern "C" {

int ReadFirmwareVersion(unsigned char* first, unsigned char* second, unsigned short* third, unsigned short* fourth) {
    CallGuard guard(L"ReadFirmwareVersion");
    if (first == nullptr || second == nullptr || third == nullptr || fourth == nullptr) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (!SendCommand(kCmdVersion, 0)) return 0;
    const BYTE* in = InputBuffer;
    CamLog(L"ReadFirmwareVersion::InputBuffer= 0x%x 0x%x 0x%x 0x%x 0x%x 0x%x 0x%x 0x%x 0x%x\r\n", in[0], in[1], in[2],
           in[3], in[4], in[5], in[6], in[7], in[8]);
    CamLogLine(L"ReadFirmwareVersion::Write File Passed\r\n");
    if (AwaitReply(nullptr, L"ReadFirmwareVersion:CancelIo GetLastError() = %d\r\n") != Reply::Arrived) return 0;
    const BYTE* out = OutputPacketBuffer;
    CamLog(L"ReadFirmwareVersion:OutputPacketBuffer= 0x%x 0x%x 0x%x 0x%x 0x%x 0x%x 0x%x 0x%x 0x%x 0x%x\r\n", out[0],
           out[1], out[2], out[3], out[4], out[5], out[6], out[7], out[8], out[9]);
    if (out[1] != kCmdVersion) {
        ::SetLastError(ERROR_INVALID_DATA);
        return 0;
    }
    *first = out[2];
    *second = out[3];
    *third = static_cast<unsigned short>((out[4] << 8) | out[5]);
    *fourth = static_cast<unsigned short>((out[6] << 8) | out[7]);
    return 1;
}

int GetCameraUniqueIDForHID(unsigned char* id) {
    CallGuard guard(L"GetCameraUniqueIDForHID");
    if (id == nullptr) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (!SendCommand(kCmdUniqueId, 0)) return 0;
    if (AwaitReply(L"GetCameraUniqueIDForHID::CancelIo***\r\n",
                   L"GetCameraUniqueIDForHID::CancelIo GetLastError() = %d\r\n") != Reply::Arrived) {
        return 0;
    }
    // The command code of this reply is not checked: cameras answer it with
    // various codes.
    std::memcpy(id, OutputPacketBuffer + 2, 4);
    CamLog(L"GetCameraUniqueIDForHID:InputBuffer= 0x%x 0x%x 0x%x 0x%x\r\n", id[0], id[1], id[2], id[3]);
    return 1;
}

int SendHIDCommandWithFirstByte(int b) {
    CallGuard guard(L"SendHIDCommandWithFirstByte");
    if (!SendCommand(kCmdWithByte, static_cast<BYTE>(b & 0xFF))) return 0;
    CamLogLine(L"Write File Passed\r\n");
    return 1;
}

int FirmwareUpdate(unsigned char imageKind) {
    CallGuard guard(L"FirmwareUpdate");
    for (int round = 0; round < kFirmwareUpdateMaxRounds; ++round) {
        std::memset(InputBuffer, 0, sizeof(InputBuffer));
        std::memset(OutputPacketBuffer, 0, sizeof(OutputPacketBuffer));
        if (!SendCommand(kCmdEnterUpdate, kEnterUpdateParameter)) return 0;
        CamLogLine(L"0x30 command sent to device from host \r\n");
        if (!ReplyReadStart(OutputPacketBuffer, kReportLength)) {
            const DWORD error = ::GetLastError();
            CamLog(L"Update Firmware ReadFile GetLastError()= %d\r\n", static_cast<int>(error));
            CamLogLine(error != ERROR_SUCCESS ? L"Read File Success\r\n" : L"Read File Failed\r\n");
        }
        if (ReplyReadWait(kReplyWaitMs) == WAIT_TIMEOUT) {
            CamLog(L"Update Firmware  WaitForSingleObject GetLastError()= %d\r\n", static_cast<int>(::GetLastError()));
            if (ReplyReadCancel()) ReplyReadSettle();
            continue;
        }
        DWORD bytes = 0;
        if (!ReplyReadResult(&bytes) || bytes == 0) {
            CamLog(L"Update Firmware  GetOverlappedResult GetLastError()= %d\r\n", static_cast<int>(::GetLastError()));
            CamLogLine(L"Write File Passed\r\n");
            return 1;
        }
        if (OutputPacketBuffer[1] == kCmdWithByte) {
            CamLogLine(L"0x32 command is received from device to host\r\n");
            if (SendHIDCommandWithFirstByte(imageKind)) return KIVOFWSW_UPDATE_ACCEPTED;
            CamLogLine(L"Write File Failed\r\n");
            return 0;
        }
        CamLogLine(L"0x32 command is not received from device to host\r\n");
        return 1;
    }
    CamLog(L"KivoFwSw: Update Firmware  no reply after %d requests\r\n", kFirmwareUpdateMaxRounds);
    ::SetLastError(ERROR_TIMEOUT);
    return 0;
}

int sendNXPHidCmd(const unsigned char* report, int length, int wait) {
    CallGuard guard(L"sendNXPHidCmd");
    if (!ExchangeStart()) return 0;
    if (report == nullptr || length <= 0) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    DWORD written = 0;
    // The write has ended when BoundedWrite returns (hid_write.h): there is
    // no completion left to wait for before the reply.
    if (!BoundedWrite(report, static_cast<DWORD>(length), &written)) {
        WriteFailed();
        return 0;
    }
    // Only the low byte of the flag counts.
    if ((wait & 0xFF) == 0) return 1;
    CamLogLine(L"sendNXPHidCmd::Write File Passed\r\n");
    // The reply buffer holds the largest report the loaders send; a longer
    // request reads no more than it holds.
    const DWORD replyLength = static_cast<DWORD>(length) < kMaxReplyLength ? static_cast<DWORD>(length) : kMaxReplyLength;
    std::memset(NxpReplyBuffer, 0, sizeof(NxpReplyBuffer));
    if (!ReplyReadStart(NxpReplyBuffer, replyLength) && ::GetLastError() != ERROR_IO_PENDING) return NoReply();
    if (ReplyReadWait(kReplyWaitMs) == WAIT_TIMEOUT) {
        if (ReplyReadCancel()) {
            CamLog(L"ReadFirmwareVersion:CancelIo GetLastError() = %d\r\n", static_cast<int>(::GetLastError()));
            ReplyReadSettle();
        }
        return 1;
    }
    DWORD bytes = 0;
    if (!ReplyReadResult(&bytes)) return NoReply();
    if (bytes == 0) {
        ::SetLastError(ERROR_INVALID_DATA);
        return NoReply();
    }
    return 1;
}

}  // extern "C"
