#include "cam_log.h"

#include <cstdarg>

#include "os_api.h"
#include <strsafe.h>

void CamLog(const wchar_t* format, ...) {
    if (format == nullptr) return;
    wchar_t buffer[kCamLogCap];
    buffer[0] = L'\0';
    va_list args;
    va_start(args, format);
    // A line that does not fit is cut; StringCchVPrintfW keeps it terminated.
    StringCchVPrintfW(buffer, kCamLogCap, format, args);
    va_end(args);
    Os().OutputDebugStringW(buffer);
}

void CamLogLine(const wchar_t* line) {
    if (line != nullptr) Os().OutputDebugStringW(line);
}
