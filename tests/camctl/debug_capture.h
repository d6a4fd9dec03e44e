// The debugger-output lines that this thread wrote while a capture was open.
#pragma once

#include <string>
#include <vector>

// Starts (or restarts) capturing the calling thread's OutputDebugStringW lines.
void StartDebugCapture();

// The lines captured since StartDebugCapture, each exactly as written.
std::vector<std::wstring> CapturedDebugLines();
