#include "debug_capture.h"

#include "sim_world.h"

void StartDebugCapture() { sim::ClearDebugLines(); }

std::vector<std::wstring> CapturedDebugLines() {
    const DWORD self = ::GetCurrentThreadId();
    std::vector<std::wstring> lines;
    for (const sim::DebugLine& line : sim::DebugLines()) {
        if (line.threadId == self) lines.push_back(line.text);
    }
    return lines;
}
