// The debugger-output lines this thread wrote through the simulated OS table
// (the simulated-flavour library and updater code), as the simulator
// captured them.
#pragma once

#include <string>
#include <vector>

// Forgets the lines captured so far and starts collecting the calling
// thread's lines.
void StartDebugCapture();

// The calling thread's lines since StartDebugCapture, each exactly as written.
std::vector<std::wstring> CapturedDebugLines();
