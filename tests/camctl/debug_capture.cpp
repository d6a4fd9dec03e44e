// Windows delivers every OutputDebugString line to the process as a
// DBG_PRINTEXCEPTION_C exception (DBG_PRINTEXCEPTION_WIDE_C first on newer
// systems) before a debugger would see it; a vectored handler collects the
// lines and lets the call return.
#include "debug_capture.h"

#include <windows.h>

#include <mutex>

namespace {

#ifndef DBG_PRINTEXCEPTION_WIDE_C
#define DBG_PRINTEXCEPTION_WIDE_C 0x4001000AUL
#endif

std::mutex g_mutex;
std::vector<std::wstring> g_lines;
DWORD g_thread = 0;
PVOID g_handler = nullptr;

LONG CALLBACK OnException(PEXCEPTION_POINTERS info) {
    const EXCEPTION_RECORD* rec = info->ExceptionRecord;
    const bool wide = rec->ExceptionCode == DBG_PRINTEXCEPTION_WIDE_C;
    if ((!wide && rec->ExceptionCode != DBG_PRINTEXCEPTION_C) || rec->NumberParameters < 2)
        return EXCEPTION_CONTINUE_SEARCH;
    std::lock_guard<std::mutex> lock(g_mutex);
    if (GetCurrentThreadId() == g_thread) {
        if (wide) {
            g_lines.emplace_back(reinterpret_cast<const wchar_t*>(rec->ExceptionInformation[1]));
        } else {
            const char* s = reinterpret_cast<const char*>(rec->ExceptionInformation[1]);
            g_lines.emplace_back(s, s + strlen(s));  // the lines are ASCII
        }
    }
    return EXCEPTION_CONTINUE_EXECUTION;
}

}  // namespace

void StartDebugCapture() {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_handler == nullptr) g_handler = AddVectoredExceptionHandler(1, OnException);
    g_thread = GetCurrentThreadId();
    g_lines.clear();
}

std::vector<std::wstring> CapturedDebugLines() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_lines;
}
