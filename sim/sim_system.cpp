// The system as the programs see it: the Windows version, the run-time
// look-ups of SetupDiGetDevicePropertyW and IsWow64Process, the program's own
// path, processes, and COM object creation.
#include "sim_internal.h"

#include <cstring>

using namespace sim;
using namespace sim::detail;

namespace {

BOOL WINAPI Wow64True(HANDLE, PBOOL wow64) {
    if (!wow64) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *wow64 = TRUE;
    return TRUE;
}

BOOL WINAPI Wow64False(HANDLE, PBOOL wow64) {
    if (!wow64) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *wow64 = FALSE;
    return TRUE;
}

std::wstring Text(LPCWSTR s) { return s ? std::wstring(s) : std::wstring(); }

}  // namespace

namespace simos {

FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR name) {
    const bool byName = name && (reinterpret_cast<ULONG_PTR>(name) >> 16) != 0;
    if (module && byName) {
        World& w = W();
        if (std::strcmp(name, "SetupDiGetDevicePropertyW") == 0 && module == ::GetModuleHandleW(L"setupapi.dll")) {
            bool present;
            {
                std::lock_guard<std::mutex> lock(w.mu);
                present = w.devicePropertyApi;
            }
            if (!present) {
                ::SetLastError(ERROR_PROC_NOT_FOUND);
                return nullptr;
            }
            return reinterpret_cast<FARPROC>(&simos::SetupDiGetDevicePropertyW);
        }
        if (std::strcmp(name, "IsWow64Process") == 0 && module == ::GetModuleHandleW(L"kernel32.dll")) {
            Wow64 mode;
            {
                std::lock_guard<std::mutex> lock(w.mu);
                mode = w.wow64;
            }
            switch (mode) {
                case Wow64::Real: break;
                case Wow64::Absent: ::SetLastError(ERROR_PROC_NOT_FOUND); return nullptr;
                case Wow64::True: return reinterpret_cast<FARPROC>(&Wow64True);
                case Wow64::False: return reinterpret_cast<FARPROC>(&Wow64False);
            }
        }
    }
    return Real().GetProcAddress(module, name);
}

DWORD WINAPI GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size) {
    std::wstring path;
    {
        LastErrorGuard keep;
        World& w = W();
        std::lock_guard<std::mutex> lock(w.mu);
        if (!module || module == ::GetModuleHandleW(nullptr)) path = w.moduleFileName;
    }
    if (path.empty()) return Real().GetModuleFileNameW(module, buffer, size);
    if (!buffer || size == 0) {
        ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (path.size() < size) {
        memcpy(buffer, path.c_str(), (path.size() + 1) * sizeof(wchar_t));
        ::SetLastError(ERROR_SUCCESS);
        return static_cast<DWORD>(path.size());
    }
    // Cut and terminated; the result is the buffer size (Vista and later).
    memcpy(buffer, path.c_str(), (size - 1) * sizeof(wchar_t));
    buffer[size - 1] = L'\0';
    ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
}

BOOL WINAPI GetVersionExW(LPOSVERSIONINFOW info) {
    if (!info) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOW) && info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOEXW)) {
        ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    DWORD major, minor, build;
    {
        LastErrorGuard keep;
        World& w = W();
        std::lock_guard<std::mutex> lock(w.mu);
        major = w.versionMajor;
        minor = w.versionMinor;
        build = w.versionBuild;
    }
    const DWORD size = info->dwOSVersionInfoSize;
    memset(reinterpret_cast<BYTE*>(info) + sizeof(DWORD), 0, size - sizeof(DWORD));
    info->dwMajorVersion = major;
    info->dwMinorVersion = minor;
    info->dwBuildNumber = build;
    info->dwPlatformId = VER_PLATFORM_WIN32_NT;
    if (size == sizeof(OSVERSIONINFOEXW)) {
        auto* ex = reinterpret_cast<OSVERSIONINFOEXW*>(info);
        ex->wSuiteMask = VER_SUITE_SINGLEUSERTS;
        ex->wProductType = VER_NT_WORKSTATION;
    }
    return TRUE;
}

BOOL WINAPI CreateProcessW(LPCWSTR application, LPWSTR commandLine, LPSECURITY_ATTRIBUTES processAttributes,
                           LPSECURITY_ATTRIBUTES threadAttributes, BOOL inherit, DWORD creationFlags,
                           LPVOID environment, LPCWSTR currentDirectory, LPSTARTUPINFOW startup,
                           LPPROCESS_INFORMATION info) {
    World& w = W();
    World::ProcessMode mode;
    DWORD value;
    {
        LastErrorGuard keep;
        std::lock_guard<std::mutex> lock(w.mu);
        ProcessCall call;
        call.applicationName = Text(application);
        call.commandLine = Text(commandLine);
        call.currentDirectory = Text(currentDirectory);
        call.creationFlags = creationFlags;
        call.threadId = ::GetCurrentThreadId();
        w.processCalls.push_back(call);
        mode = w.processMode;
        value = w.processValue;
    }
    switch (mode) {
        case World::ProcessMode::PassThrough:
            return Real().CreateProcessW(application, commandLine, processAttributes, threadAttributes, inherit,
                                         creationFlags, environment, currentDirectory, startup, info);
        case World::ProcessMode::Fail:
            ::SetLastError(value);
            return FALSE;
        case World::ProcessMode::ExitCode:
            break;
    }
    if (!info) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // A process that already ended: signalled handles that report the code.
    HANDLE process = ::CreateEventW(nullptr, TRUE, TRUE, nullptr);
    HANDLE thread = ::CreateEventW(nullptr, TRUE, TRUE, nullptr);
    {
        std::lock_guard<std::mutex> lock(w.mu);
        w.fakeProcesses[process] = value;
        w.fakeProcesses[thread] = value;
    }
    static LONG counter = 0;
    LONG n = ::InterlockedIncrement(&counter);
    info->hProcess = process;
    info->hThread = thread;
    info->dwProcessId = 0x5A00 + static_cast<DWORD>(n) * 8;
    info->dwThreadId = info->dwProcessId + 4;
    ::SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL WINAPI GetExitCodeProcess(HANDLE process, LPDWORD code) {
    {
        LastErrorGuard keep;
        World& w = W();
        std::lock_guard<std::mutex> lock(w.mu);
        auto it = w.fakeProcesses.find(process);
        if (it != w.fakeProcesses.end()) {
            if (code) *code = it->second;
            return TRUE;
        }
    }
    return Real().GetExitCodeProcess(process, code);
}

bool CloseFakeProcess(HANDLE h) {
    {
        World& w = W();
        std::lock_guard<std::mutex> lock(w.mu);
        if (w.fakeProcesses.erase(h) == 0) return false;
    }
    ::CloseHandle(h);
    return true;
}

HRESULT WINAPI CoCreateInstance(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid, LPVOID* object) {
    CoCreateHook hook;
    {
        LastErrorGuard keep;
        World& w = W();
        std::lock_guard<std::mutex> lock(w.mu);
        hook = w.coCreateHook;
    }
    HRESULT result = E_FAIL;
    if (hook && hook(clsid, outer, context, iid, object, &result)) return result;
    if (ServeTaskbarList(clsid, iid, object, &result)) return result;
    return Real().CoCreateInstance(clsid, outer, context, iid, object);
}

}  // namespace simos
