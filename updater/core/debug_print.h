// The updater's diagnostic output: lines go to the debugger output (and to a
// sink, when one is set).
#pragma once

// Formats with the wide printf conventions ("%s" wide, "%S" narrow) into a
// private buffer of 2048 characters, keeps at most 2046 of them and writes the
// line to the debugger output. Does nothing when enabled is 0. Safe to call
// from every thread.
void DebugPrint(int enabled, const wchar_t* format, ...);

// Writes a fixed line to the debugger output.
void DebugLine(const wchar_t* line);

// Where every line goes as well (a station's run log), on the thread that
// writes it; null: nowhere.
using DebugLineSink = void (*)(const wchar_t* line);
void SetDebugLineSink(DebugLineSink sink);
