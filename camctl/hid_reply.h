// Reading a reply report from g_ReadHandle with a bounded wait, whichever
// way the handle was opened.
//
// On the overlapped handle this is ReadFile with g_ReadOverlapped, a wait on
// its event and CancelIo. The stereo camera's command interface may be bound
// with a synchronous read handle, where ReadFile blocks until the device
// sends a report: there a worker thread runs the ReadFile and the caller
// waits for the worker instead. A synchronous read that timed out is
// cancelled with CancelSynchronousIo; if it stays outstanding (a system or
// driver that cannot cancel it), the next reply read takes it over rather
// than queueing a second read behind it, since the HID class driver hands
// the next input report to the oldest read anyway.
#pragma once

#include <windows.h>

// Largest reply a read takes: the NXP boot loader's 1025-byte reports.
constexpr DWORD kMaxReplyLength = 1025;

// Starts reading up to length bytes (at most kMaxReplyLength) into buffer,
// which must stay valid until the read ended or was cancelled. Like
// ReadFile: TRUE when the read completed at once, FALSE with the last error
// ERROR_IO_PENDING while it runs, or another error when it failed.
BOOL ReplyReadStart(void* buffer, DWORD length);

// Waits up to ms (simulated time in the simulated build) for the read:
// WAIT_OBJECT_0 when it ended, WAIT_TIMEOUT, or WAIT_FAILED.
DWORD ReplyReadWait(DWORD ms);

// Cancels the read after a time-out. TRUE when the cancellation was issued.
BOOL ReplyReadCancel();

// After a cancellation was issued: waits until the cancelled overlapped read
// has ended, so that g_ReadOverlapped and the buffer are free for the next
// read. Keeps the last error.
void ReplyReadSettle();

// The outcome of the ended read, as GetOverlappedResult gives it.
BOOL ReplyReadResult(DWORD* bytes);

// Forgets an outstanding synchronous read before its handle is closed.
void ReplyReadDrop();
