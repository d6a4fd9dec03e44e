#include "results_file.h"

#include <windows.h>
#include <shlobj.h>

#include "os_api.h"
#include "station_record.h"

namespace {

// The columns of the file's header (its first line); kColumns when the file
// is empty or its first line is no header of ours.
size_t ColumnsOfFile(HANDLE file) {
    char start[1024];
    DWORD got = 0;
    if (!Os().ReadFile(file, start, sizeof(start), &got, nullptr)) return station::kColumns;
    const std::string text(start, got);
    const size_t end = text.find("\r\n");
    const size_t n = end == std::string::npos ? 0 : station::ColumnsOfHeader(text.substr(0, end));
    return n != 0 ? n : station::kColumns;
}

}  // namespace

bool AppendResultRows(const std::wstring& path, const std::vector<station::Row>& rows) {
    // Appending access writes at the end whatever was read before.
    HANDLE file = Os().CreateFileW(path.c_str(), GENERIC_READ | FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                                   OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    LARGE_INTEGER size{};
    std::string out;
    size_t columns = station::kColumns;
    if (Os().GetFileSizeEx(file, &size) && size.QuadPart == 0) out = station::CsvHeader();
    else columns = ColumnsOfFile(file);
    for (const station::Row& row : rows) out += station::CsvRow(row, columns);
    DWORD written = 0;
    bool ok = out.empty() ||
              (Os().WriteFile(file, out.data(), static_cast<DWORD>(out.size()), &written, nullptr) &&
               written == out.size());
    // On the disk before anything else happens: a crash loses no row written.
    if (ok && !FlushFileBuffers(file)) ok = false;
    Os().CloseHandle(file);
    return ok;
}

std::wstring ProgramDataFolder() {
    PWSTR folder = nullptr;
    std::wstring path;
    if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &folder)) && folder != nullptr)
        path = folder;
    CoTaskMemFree(folder);
    if (path.empty()) {
        wchar_t env[MAX_PATH] = L"";
        if (GetEnvironmentVariableW(L"LOCALAPPDATA", env, MAX_PATH) > 0) path = env;
    }
    return path + L"\\Corvane\\Firmware Updater";
}

bool EnsureFolderOf(const std::wstring& path) {
    const size_t slash = path.find_last_of(L"\\/");
    if (slash == std::wstring::npos) return true;
    const std::wstring folder = path.substr(0, slash);
    if (folder.empty() || GetFileAttributesW(folder.c_str()) != INVALID_FILE_ATTRIBUTES) return true;
    return SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr) == ERROR_SUCCESS;
}

std::string NowIsoText() {
    SYSTEMTIME t{};
    GetLocalTime(&t);
    TIME_ZONE_INFORMATION zone{};
    const DWORD which = GetTimeZoneInformation(&zone);
    LONG bias = zone.Bias;
    if (which == TIME_ZONE_ID_DAYLIGHT) bias += zone.DaylightBias;
    else if (which == TIME_ZONE_ID_STANDARD) bias += zone.StandardBias;
    station::LocalTime lt{t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, static_cast<int>(-bias)};
    return station::IsoTime(lt);
}

std::string ComputerNameText() {
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = L"";
    DWORD n = MAX_COMPUTERNAME_LENGTH + 1;
    if (!GetComputerNameW(name, &n)) return {};
    return station::Utf8(name);
}
