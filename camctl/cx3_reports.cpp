// The CX3 camera's length-prefixed HID reports: a state poll and the raw
// transfer of input and output reports through the control pipe
// (HidD_GetInputReport / HidD_SetOutputReport on g_WriteHandle, sized from
// the capabilities that SetPreparseDataAndAttributes read).
//
// Both reports: byte 0 the report ID (0), byte 1 the payload length n, then
// the payload; in an input report the payload starts with the camera's state
// (0 ready, 8 busy). The caller receives the report from its length byte on:
// the length byte and the whole payload.
#include <cstdlib>
#include <cstring>

#include "KivoFWSW.h"
#include "call_guard.h"
#include "cam_log.h"
#include "cam_state.h"

namespace {

constexpr int kStatePolls = 60;
constexpr DWORD kStatePollMs = 50;
constexpr unsigned char kStateBusy = KIVOFWSW_CX3_BUSY;
constexpr int kMaxPayload = 510;

// The report buffers, created by DevicestateCX3SNI with the lengths the
// capabilities gave at that moment; the transfers use these lengths, never
// a later g_Caps, so a buffer is never passed as longer than it is.
BYTE* g_pInputReport = nullptr;
DWORD g_dwInputReportLength = 0;
BYTE* g_pOutputReport = nullptr;
DWORD g_dwOutputReportLength = 0;

bool CreateReportBuffers() {
    std::free(g_pInputReport);
    std::free(g_pOutputReport);
    g_dwInputReportLength = g_Caps.InputReportByteLength;
    g_dwOutputReportLength = g_Caps.OutputReportByteLength;
    // At least the report ID and the length byte, whatever the capabilities
    // say, so that both can always be read back.
    g_pInputReport = static_cast<BYTE*>(std::calloc(1, g_dwInputReportLength < 2 ? 2 : g_dwInputReportLength));
    g_pOutputReport = static_cast<BYTE*>(std::calloc(1, g_dwOutputReportLength < 2 ? 2 : g_dwOutputReportLength));
    if (g_pInputReport != nullptr && g_pOutputReport != nullptr) return true;
    std::free(g_pInputReport);
    std::free(g_pOutputReport);
    g_pInputReport = g_pOutputReport = nullptr;
    g_dwInputReportLength = g_dwOutputReportLength = 0;
    ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
}

// One input report; from its length byte on it goes to buf: the length byte
// and the n payload bytes it counts. (Taking only n bytes from the length
// byte on, as a count that includes the length byte itself would allow,
// drops the payload's last byte, the CX3 version's year, from a camera whose
// length byte counts its payload as the report table says; taking one more
// costs nothing with a camera that counts the length byte too.) The length
// byte is the device's word: never more is copied than the report holds
// after its ID byte, so neither the report nor the caller's buffer (at least
// a report long) is overrun.
BOOL ReadInputReport(unsigned char* buf) {
    if (g_WriteHandle == INVALID_HANDLE_VALUE) {
        ::SetLastError(KIVOFWSW_ERROR_NOT_BOUND);
        return FALSE;
    }
    std::memset(g_pInputReport, 0, g_dwInputReportLength < 2 ? 2 : g_dwInputReportLength);
    const BOOLEAN ok = Os().HidD_GetInputReport(g_WriteHandle, g_pInputReport, g_dwInputReportLength);
    const DWORD error = ::GetLastError();
    if (!ok) {
        CamLog(L"KivoFwSw: HidD_GetInputReport Failed status = %d handle = 0x%p length = %u GetLastError() = %u\r\n",
               static_cast<int>(ok), g_WriteHandle, static_cast<unsigned>(g_dwInputReportLength),
               static_cast<unsigned>(error));
    }
    const int payload = static_cast<signed char>(g_pInputReport[1]);
    int n = payload > 0 ? payload + 1 : 0;
    const int room = g_dwInputReportLength > 1 ? static_cast<int>(g_dwInputReportLength) - 1 : 0;
    if (n > room) n = room;
    if (n > 0) std::memcpy(buf, g_pInputReport + 1, static_cast<std::size_t>(n));
    ::SetLastError(error);
    return ok ? TRUE : FALSE;
}

}  // namespace

extern "C" {

int DevicestateCX3SNI(unsigned char* buf) {
    CallGuard guard(L"DevicestateCX3SNI");
    if (buf == nullptr) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return KIVOFWSW_CX3_NO_REPORT;
    }
    if (!CreateReportBuffers()) return KIVOFWSW_CX3_NO_REPORT;
    for (int round = 1; round <= kStatePolls; ++round) {
        Os().Sleep(kStatePollMs);
        if (!ReadInputReport(buf)) return KIVOFWSW_CX3_NO_REPORT;
        if (buf[1] == kStateBusy && round < kStatePolls) continue;
        if (buf[1] == kStateBusy) ::SetLastError(ERROR_BUSY);
        return buf[1];
    }
    return kStateBusy;
}

int GetHidReport(unsigned char* buf) {
    CallGuard guard(L"GetHidReport");
    if (buf == nullptr) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (g_pInputReport == nullptr) {
        // The report buffers come from DevicestateCX3SNI.
        ::SetLastError(ERROR_INVALID_FUNCTION);
        return 0;
    }
    return ReadInputReport(buf) ? 1 : 0;
}

int SetHidReport(const unsigned char* payload, int n) {
    CallGuard guard(L"SetHidReport");
    if (n < 0 || n > kMaxPayload || (payload == nullptr && n > 0)) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (g_pOutputReport == nullptr) {
        ::SetLastError(ERROR_INVALID_FUNCTION);
        return 0;
    }
    if (g_WriteHandle == INVALID_HANDLE_VALUE) {
        ::SetLastError(KIVOFWSW_ERROR_NOT_BOUND);
        return 0;
    }
    // The payload must fit behind the report ID and the length byte.
    if (g_dwOutputReportLength < 2 || static_cast<DWORD>(n) > g_dwOutputReportLength - 2) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    // Bytes after the payload keep what the report held before.
    g_pOutputReport[0] = 0;
    g_pOutputReport[1] = static_cast<BYTE>(n);
    if (n > 0) std::memcpy(g_pOutputReport + 2, payload, static_cast<std::size_t>(n));
    const BOOLEAN ok = Os().HidD_SetOutputReport(g_WriteHandle, g_pOutputReport, g_dwOutputReportLength);
    if (!ok) {
        const DWORD error = ::GetLastError();
        CamLog(L"KivoFwSw: HidD_SetOutputReport Failed status = %d handle = 0x%p length = %u GetLastError() = %u\r\n",
               static_cast<int>(ok), g_WriteHandle, static_cast<unsigned>(g_dwOutputReportLength),
               static_cast<unsigned>(error));
        ::SetLastError(error);
        return 0;
    }
    return 1;
}

}  // extern "C"
