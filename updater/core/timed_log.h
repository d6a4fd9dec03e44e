// A log file of every diagnostic line with its time, so that a failure can
// be read afterwards on a machine with no debugger. The lines are kept in
// memory and written when the program says (at each camera's result, at the
// end) or when many have gathered, so that no block of an update waits for
// the disk.
#pragma once

#include <string>

// Opens (appends to) the file and sends every diagnostic line there from now
// on. False when the file cannot be opened.
// Several programs may write one log: each line starts with `prefix`.
bool OpenTimedLog(const std::wstring& path, const std::wstring& prefix = L"");
// Writes the lines gathered so far.
void FlushTimedLog();
