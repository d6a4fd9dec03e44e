// Wire traces of the OS boundary.
//
// When the environment variable CORVANE_TRACE names a file at a module's
// first Os() call, the module's table records every call that reaches a
// device, the clock, a process or an operator dialog, one JSON object per
// line appended to that file, and forwards the call unchanged to the table
// underneath (Windows, or the simulator). Without the variable Os() is that
// table itself: tracing off costs nothing.
//
// Every module of a process (the updater, KivoFWSW.dll) writes to the same
// file; each line is written whole under a lock named after the file, so
// lines of different modules and threads never interleave. The trace writes
// its file with Windows itself, never through the table.
//
// The record format is described in docs/field-traces.md.
#pragma once

#include "os_api.h"

#include <string>

// The table a module uses: a tracing table over `inner` when CORVANE_TRACE
// names a file that can be opened for appending, otherwise `inner`. A process
// with administrator rights traces only into a file inside the user's
// profile (reached without links). Meant to be called once, from Os(); keeps
// the caller's last error.
const OsApi* CorvaneTracedTable(const OsApi* inner);

// Kernel-streaming property requests are made on the COM objects that
// CoCreateInstance hands out, so they never cross the table: the code that
// wraps those objects records each request here (nothing happens when this
// module does not trace). `sent` is the property request as sent, `received`
// what came back (receivedLength bytes).
void CorvaneTraceKsProperty(const wchar_t* devicePath, const GUID& set, ULONG id, ULONG flags, const void* sent,
                            ULONG sentLength, const void* received, ULONG receivedLength, HRESULT result);

namespace ostrace {

// Pieces of the record format, exposed for the tests.

// text as a JSON string: quoted, UTF-8, with escapes for quote, backslash and
// control characters; an unpaired surrogate becomes U+FFFD.
std::string JsonString(const wchar_t* text, size_t length);
// Bytes as lower-case hex pairs without separators.
std::string Hex(const void* data, size_t length);
// A path that names a device rather than a file: \\?\ or \\.\ followed by
// something other than a drive letter or UNC\ (\\?\usb#..., \\.\COM1).
bool IsDevicePath(const wchar_t* path);
// True when this module's table records.
bool Active();

}  // namespace ostrace
