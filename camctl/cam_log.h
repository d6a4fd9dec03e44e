// The library's diagnostic output. Lines go to the debugger output through the
// OS table, exactly as the callers write them. The logger adds no prefix: the
// lines that carry "KivoFwSw: " spell it out, and the others are fixed texts
// that must reach the output unchanged.
#pragma once

// Formats with the wide printf conventions ("%s" wide) into a private buffer
// of kCamLogCap characters (longer lines are cut, always terminated) and
// writes the line.
void CamLog(const wchar_t* format, ...);

// Writes a fixed line as it stands (no formatting, so '%' is safe).
void CamLogLine(const wchar_t* line);

constexpr unsigned kCamLogCap = 1024;
