#include "hid_reply.h"

#include <cstring>
#include <new>

#include "cam_log.h"
#include "cam_state.h"

namespace {

// One synchronous ReadFile run by a worker thread. The worker and the
// library each hold a reference: a read that never returns keeps its record
// alive without the library waiting for it.
struct SyncRead {
    HANDLE file = INVALID_HANDLE_VALUE;
    DWORD length = 0;
    BYTE data[kMaxReplyLength] = {};
    DWORD bytes = 0;
    BOOL ok = FALSE;
    DWORD error = ERROR_SUCCESS;
    volatile LONG refs = 2;
};

SyncRead* g_pSyncRead = nullptr;      // the outstanding (or ended, not yet collected) read
HANDLE g_hSyncReadThread = nullptr;   // its worker
void* g_pSyncTarget = nullptr;        // where the caller wants the reply
DWORD g_dwSyncTargetLength = 0;

// How long a cancelled synchronous read may take to return.
constexpr DWORD kCancelGraceMs = 50;
// How long a cancelled overlapped read may take to end: the HID class driver
// completes a cancelled read at once; one that does not must not keep the
// caller waiting for good.
constexpr DWORD kCancelSettleMs = 1000;

// An overlapped read went pending and was not collected yet. A ReadFile that
// failed at once leaves g_ReadOverlapped marked pending with its event reset
// and never completes: there is nothing to cancel, and waiting for it would
// wait for good. A cancelled read that has not ended within kCancelSettleMs
// stays outstanding: g_ReadOverlapped is still the driver's, so no new read
// may use it until it has ended.
bool g_bOverlappedReadOutstanding = false;

void Unref(SyncRead* r) {
    if (::InterlockedDecrement(&r->refs) == 0) delete r;
}

DWORD WINAPI SyncReadWorker(void* context) {
    auto* r = static_cast<SyncRead*>(context);
    DWORD bytes = 0;
    const BOOL ok = Os().ReadFile(r->file, r->data, r->length, &bytes, nullptr);
    r->error = ok ? ERROR_SUCCESS : ::GetLastError();
    r->bytes = bytes;
    r->ok = ok;
    Unref(r);
    return 0;
}

void ForgetSyncRead() {
    if (g_hSyncReadThread != nullptr) ::CloseHandle(g_hSyncReadThread);
    g_hSyncReadThread = nullptr;
    if (g_pSyncRead != nullptr) Unref(g_pSyncRead);
    g_pSyncRead = nullptr;
    g_pSyncTarget = nullptr;
    g_dwSyncTargetLength = 0;
}

}  // namespace

BOOL ReplyReadStart(void* buffer, DWORD length) {
    if (length > kMaxReplyLength) length = kMaxReplyLength;
    if (g_ReadHandle == INVALID_HANDLE_VALUE) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (g_bReadHandleOverlapped) {
        if (g_bOverlappedReadOutstanding) {
            if (Os().WaitForSingleObject(g_ReadOverlapped.hEvent, 0) != WAIT_OBJECT_0) {
                ::SetLastError(ERROR_BUSY);
                return FALSE;
            }
            g_bOverlappedReadOutstanding = false;
        }
        g_ReadOverlapped.Offset = 0;
        g_ReadOverlapped.OffsetHigh = 0;
        const BOOL done = Os().ReadFile(g_ReadHandle, buffer, length, nullptr, &g_ReadOverlapped);
        const DWORD error = ::GetLastError();
        g_bOverlappedReadOutstanding = !done && error == ERROR_IO_PENDING;
        ::SetLastError(error);
        return done;
    }
    g_pSyncTarget = buffer;
    g_dwSyncTargetLength = length;
    if (g_pSyncRead == nullptr) {
        auto* r = new (std::nothrow) SyncRead;
        if (r == nullptr) {
            ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return FALSE;
        }
        r->file = g_ReadHandle;
        r->length = length;
        HANDLE thread = ::CreateThread(nullptr, 0, SyncReadWorker, r, 0, nullptr);
        if (thread == nullptr) {
            const DWORD error = ::GetLastError();
            delete r;
            ::SetLastError(error);
            return FALSE;
        }
        g_pSyncRead = r;
        g_hSyncReadThread = thread;
    }
    ::SetLastError(ERROR_IO_PENDING);
    return FALSE;
}

DWORD ReplyReadWait(DWORD ms) {
    if (g_bReadHandleOverlapped) return Os().WaitForSingleObject(g_ReadOverlapped.hEvent, ms);
    if (g_hSyncReadThread == nullptr) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    return Os().WaitForSingleObject(g_hSyncReadThread, ms);
}

BOOL ReplyReadCancel() {
    if (g_bReadHandleOverlapped) {
        if (!g_bOverlappedReadOutstanding) {
            ::SetLastError(ERROR_NOT_FOUND);
            return FALSE;
        }
        return Os().CancelIo(g_ReadHandle);
    }
    if (g_hSyncReadThread == nullptr) return FALSE;
    BOOL cancelled = FALSE;
    if (fn_CancelSynchronousIo != nullptr) {
        cancelled = fn_CancelSynchronousIo(g_hSyncReadThread);
    } else {
        ::SetLastError(ERROR_NOT_SUPPORTED);
    }
    const DWORD error = ::GetLastError();
    // A read that returned (cancelled, or its report came in just now) is
    // over; its report, if any, answered the request that gave up on it.
    if (Os().WaitForSingleObject(g_hSyncReadThread, kCancelGraceMs) == WAIT_OBJECT_0) ForgetSyncRead();
    ::SetLastError(error);
    return cancelled;
}

void ReplyReadSettle() {
    if (!g_bReadHandleOverlapped || !g_bOverlappedReadOutstanding) return;
    const DWORD error = ::GetLastError();
    if (Os().WaitForSingleObject(g_ReadOverlapped.hEvent, kCancelSettleMs) == WAIT_OBJECT_0) {
        DWORD ignored = 0;
        Os().GetOverlappedResult(g_ReadHandle, &g_ReadOverlapped, &ignored, FALSE);
        g_bOverlappedReadOutstanding = false;
    } else {
        CamLogLine(L"KivoFwSw: a cancelled read has not ended\r\n");
    }
    ::SetLastError(error);
}

BOOL ReplyReadResult(DWORD* bytes) {
    if (g_bReadHandleOverlapped) {
        g_bOverlappedReadOutstanding = false;
        // Called once ReplyReadWait saw the read end: nothing is waited for.
        return Os().GetOverlappedResult(g_ReadHandle, &g_ReadOverlapped, bytes, TRUE);
    }
    if (g_pSyncRead == nullptr || g_hSyncReadThread == nullptr ||
        Os().WaitForSingleObject(g_hSyncReadThread, 0) != WAIT_OBJECT_0) {
        if (bytes != nullptr) *bytes = 0;
        ::SetLastError(ERROR_IO_INCOMPLETE);
        return FALSE;
    }
    const SyncRead& r = *g_pSyncRead;
    DWORD n = r.bytes < g_dwSyncTargetLength ? r.bytes : g_dwSyncTargetLength;
    if (g_pSyncTarget != nullptr && n > 0) std::memcpy(g_pSyncTarget, r.data, n);
    const BOOL ok = r.ok;
    const DWORD error = r.error;
    ForgetSyncRead();
    if (bytes != nullptr) *bytes = n;
    ::SetLastError(ok ? ERROR_SUCCESS : error);
    return ok;
}

void ReplyReadDrop() {
    g_bOverlappedReadOutstanding = false;
    if (g_hSyncReadThread != nullptr && fn_CancelSynchronousIo != nullptr) fn_CancelSynchronousIo(g_hSyncReadThread);
    ForgetSyncRead();
}
