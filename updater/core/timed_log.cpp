#include "timed_log.h"

#include <windows.h>

#include <mutex>

#include "debug_print.h"
#include "os_api.h"
#include "station_record.h"
#include <strsafe.h>

namespace {

std::mutex g_lock;
std::string g_lines;
HANDLE g_file = INVALID_HANDLE_VALUE;
std::string g_prefix;

void TimedLine(const wchar_t* line) {
    SYSTEMTIME t{};
    GetLocalTime(&t);
    char stamp[32];
    StringCchPrintfA(stamp, 32, "%02u:%02u:%02u.%03u ", t.wHour, t.wMinute, t.wSecond, t.wMilliseconds);
    std::string text = station::Utf8(line);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    bool full = false;
    {
        std::lock_guard<std::mutex> lock(g_lock);
        g_lines += stamp + g_prefix + text + "\r\n";
        full = g_lines.size() >= 256 * 1024;
    }
    if (full) FlushTimedLog();
}

}  // namespace

void FlushTimedLog() {
    std::lock_guard<std::mutex> lock(g_lock);
    if (g_file == INVALID_HANDLE_VALUE || g_lines.empty()) return;
    DWORD written = 0;
    Os().WriteFile(g_file, g_lines.data(), static_cast<DWORD>(g_lines.size()), &written, nullptr);
    g_lines.clear();
}

bool OpenTimedLog(const std::wstring& path, const std::wstring& prefix) {
    g_prefix = station::Utf8(prefix);
    g_file = Os().CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (g_file == INVALID_HANDLE_VALUE) return false;
    SetDebugLineSink(TimedLine);
    return true;
}
