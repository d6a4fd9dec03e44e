#include "results_file.h"

#include <windows.h>
#include <shlobj.h>

#include "os_api.h"
#include "station_record.h"

bool AppendResultRows(const std::wstring& path, const std::string& rows) {
    HANDLE file = Os().CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    LARGE_INTEGER size{};
    std::string out;
    if (Os().GetFileSizeEx(file, &size) && size.QuadPart == 0) out = station::CsvHeader();
    out += rows;
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
