#include "debug_print.h"

#include <atomic>
#include <cstdarg>

#include "os_api.h"
#include <strsafe.h>

namespace {
std::atomic<DebugLineSink> g_sink{nullptr};
}  // namespace

void SetDebugLineSink(DebugLineSink sink) { g_sink = sink; }

void DebugPrint(int enabled, const wchar_t* format, ...) {
    if (enabled == 0 || format == nullptr) return;
    wchar_t buffer[2048];
    buffer[0] = L'\0';
    va_list args;
    va_start(args, format);
    // 2047 characters of room keep at most 2046 characters and the terminator.
    StringCchVPrintfW(buffer, 2047, format, args);
    va_end(args);
    buffer[2047] = L'\0';
    DebugLine(buffer);
}

void DebugLine(const wchar_t* line) {
    Os().OutputDebugStringW(line);
    if (DebugLineSink sink = g_sink.load()) sink(line);
}
