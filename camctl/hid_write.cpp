#include "hid_write.h"

#include <cstring>

#include "cam_log.h"
#include "cam_state.h"

bool g_bWriteHandleOverlapped = false;

namespace {

// The record and the data of the write in flight. The data is the library's
// copy: a write the driver holds on to must not read from a caller's buffer
// that has gone.
OVERLAPPED g_WriteOverlapped{};
BYTE g_WriteBuffer[4096];
bool g_bWriteOutstanding = false;

// How long a cancelled write may take to come back from the driver: the HID
// class driver completes a cancelled write at once.
constexpr DWORD kCancelSettleMs = 1000;

bool WriteRecordReady() {
    if (g_WriteOverlapped.hEvent == nullptr) g_WriteOverlapped.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return g_WriteOverlapped.hEvent != nullptr;
}

}  // namespace

BOOL BoundedWrite(const void* data, DWORD length, DWORD* written) {
    if (written != nullptr) *written = 0;
    if (!g_bWriteHandleOverlapped) return Os().WriteFile(g_WriteHandle, data, length, written, nullptr);
    if (g_bWriteOutstanding) {
        if (Os().WaitForSingleObject(g_WriteOverlapped.hEvent, 0) != WAIT_OBJECT_0) {
            CamLogLine(L"KivoFwSw: a report the device never took is still outstanding\r\n");
            ::SetLastError(ERROR_BUSY);
            return FALSE;
        }
        g_bWriteOutstanding = false;
    }
    if (!WriteRecordReady()) return FALSE;
    const void* from = data;
    if (length <= sizeof(g_WriteBuffer)) {
        std::memcpy(g_WriteBuffer, data, length);
        from = g_WriteBuffer;
    }
    g_WriteOverlapped.Offset = 0;
    g_WriteOverlapped.OffsetHigh = 0;
    DWORD done = 0;
    if (Os().WriteFile(g_WriteHandle, from, length, &done, &g_WriteOverlapped)) {
        if (written != nullptr) *written = done;
        return TRUE;
    }
    if (::GetLastError() != ERROR_IO_PENDING) return FALSE;
    if (Os().WaitForSingleObject(g_WriteOverlapped.hEvent, kWriteWaitMs) == WAIT_OBJECT_0)
        return Os().GetOverlappedResult(g_WriteHandle, &g_WriteOverlapped, written, FALSE);
    CamLogLine(L"KivoFwSw: the device did not take the report in time\r\n");
    Os().CancelIo(g_WriteHandle);
    if (Os().WaitForSingleObject(g_WriteOverlapped.hEvent, kCancelSettleMs) == WAIT_OBJECT_0) {
        Os().GetOverlappedResult(g_WriteHandle, &g_WriteOverlapped, &done, FALSE);
    } else {
        g_bWriteOutstanding = true;
    }
    ::SetLastError(ERROR_TIMEOUT);
    return FALSE;
}

void BoundedWriteDrop() {
    g_bWriteOutstanding = false;
    g_bWriteHandleOverlapped = false;
}
