// Stand-in for the driver tools that the launcher starts (PnPutil.exe,
// PnPutil7.exe, wdi.exe, wdi_x64.exe): appends the file it was started as and
// its command line, as one UTF-16 line "file|command line\n", to calls.txt in
// its own folder. It ends with code 3, which the launcher must not care about.
#include <windows.h>

#include <string>

int wmain() {
    wchar_t self[MAX_PATH + 1];
    DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH + 1);
    if (length == 0 || length > MAX_PATH) return 2;
    std::wstring file(self, length);
    std::wstring log = file.substr(0, file.rfind(L'\\') + 1) + L"calls.txt";
    std::wstring line = file + L"|" + GetCommandLineW() + L"\n";

    HANDLE handle = CreateFileW(log.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return 2;
    DWORD written = 0;
    BOOL ok = WriteFile(handle, line.data(), static_cast<DWORD>(line.size() * sizeof(wchar_t)), &written, nullptr);
    CloseHandle(handle);
    return ok ? 3 : 2;
}
