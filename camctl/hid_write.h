// Writing a report to g_WriteHandle with a bounded wait.
//
// The HID class driver keeps a write pending for as long as the device does
// not take the report (a camera that hangs, a flash loader that stopped
// reading); on a synchronous handle WriteFile would then never return, and
// neither would the caller's thread. So the binding opens its write handle
// for overlapped I/O, and each write waits for at most kWriteWaitMs; a write
// that takes longer is cancelled and reported as failed with ERROR_TIMEOUT.
// A cancelled write that the driver does not hand back keeps the library's
// write buffer and record, and every later write fails with ERROR_BUSY until
// it has ended (the device left the bus, or the binding was closed), so that
// no report is queued behind one the device never took.
//
// SetPreparseDataAndAttributes reopens the interface synchronously for the
// CX3 camera's report calls; a write on that handle is a plain WriteFile.
#pragma once

#include <windows.h>

// How long a device gets to take one report: a camera or loader takes it
// within milliseconds, and the driver's own retries of a busy device are
// well inside this.
constexpr DWORD kWriteWaitMs = 5000;

// Whether g_WriteHandle was opened for overlapped I/O.
extern bool g_bWriteHandleOverlapped;

// WriteFile(g_WriteHandle, data, length, written), bounded as above.
BOOL BoundedWrite(const void* data, DWORD length, DWORD* written);

// Before g_WriteHandle is closed: forgets the write record (closing the
// handle ends a write still outstanding).
void BoundedWriteDrop();
