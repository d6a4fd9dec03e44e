// The real Windows entry points behind the OS table.
#include "os_api.h"

#include <strsafe.h>

namespace {

// hid.dll and winusb.dll are loaded from the system folder the first time one
// of their entry points is called, not imported: a program that never calls
// them (Tandemset.exe) must start on a system that lacks them, and the library
// needs no WinUSB at all. The module stays loaded for the life of the process.
FARPROC SystemEntry(const wchar_t* dll, const char* name) {
    wchar_t path[MAX_PATH];
    const UINT n = ::GetSystemDirectoryW(path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH || FAILED(StringCchCatW(path, MAX_PATH, L"\\")) ||
        FAILED(StringCchCatW(path, MAX_PATH, dll)))
        return nullptr;
    HMODULE module = ::LoadLibraryW(path);
    return module != nullptr ? ::GetProcAddress(module, name) : nullptr;
}

template <typename Fn>
Fn Entry(const wchar_t* dll, const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(SystemEntry(dll, name)));
}

// Each stub resolves its entry point once (thread-safe static) and calls it;
// without it the call fails as the system fails a missing entry point.
#define CORVANE_LAZY(dll, Ret, name, params, args, missing)            \
    Ret WINAPI Lazy_##name params {                                     \
        static const auto fn = Entry<decltype(&::name)>(dll, #name);    \
        if (fn == nullptr) {                                            \
            ::SetLastError(ERROR_PROC_NOT_FOUND);                       \
            return missing;                                             \
        }                                                               \
        return fn args;                                                 \
    }

CORVANE_LAZY(L"hid.dll", BOOLEAN, HidD_GetPreparsedData, (HANDLE h, PHIDP_PREPARSED_DATA* data), (h, data), FALSE)
CORVANE_LAZY(L"hid.dll", BOOLEAN, HidD_FreePreparsedData, (PHIDP_PREPARSED_DATA data), (data), FALSE)
CORVANE_LAZY(L"hid.dll", BOOLEAN, HidD_GetAttributes, (HANDLE h, PHIDD_ATTRIBUTES a), (h, a), FALSE)
CORVANE_LAZY(L"hid.dll", NTSTATUS, HidP_GetCaps, (PHIDP_PREPARSED_DATA data, PHIDP_CAPS caps), (data, caps),
             HIDP_STATUS_NOT_IMPLEMENTED)
CORVANE_LAZY(L"hid.dll", BOOLEAN, HidD_GetInputReport, (HANDLE h, PVOID b, ULONG n), (h, b, n), FALSE)
CORVANE_LAZY(L"hid.dll", BOOLEAN, HidD_SetOutputReport, (HANDLE h, PVOID b, ULONG n), (h, b, n), FALSE)
CORVANE_LAZY(L"winusb.dll", BOOL, WinUsb_Initialize, (HANDLE h, PWINUSB_INTERFACE_HANDLE i), (h, i), FALSE)
CORVANE_LAZY(L"winusb.dll", BOOL, WinUsb_ControlTransfer,
             (WINUSB_INTERFACE_HANDLE i, WINUSB_SETUP_PACKET s, PUCHAR b, ULONG n, PULONG done, LPOVERLAPPED o),
             (i, s, b, n, done, o), FALSE)
CORVANE_LAZY(L"winusb.dll", BOOL, WinUsb_Free, (WINUSB_INTERFACE_HANDLE i), (i), FALSE)

#undef CORVANE_LAZY

}  // namespace

static const OsApi kRealOsApi = {
    CORVANE_OS_API_VERSION,
    sizeof(OsApi),
    L"windows",
    // SetupAPI and the configuration manager
    ::SetupDiGetClassDevsW,
    ::SetupDiEnumDeviceInterfaces,
    ::SetupDiEnumDeviceInfo,
    ::SetupDiGetDeviceRegistryPropertyW,
    ::SetupDiGetDeviceInterfaceDetailW,
    ::SetupDiDestroyDeviceInfoList,
    ::CM_Get_Parent,
    ::CM_Get_Device_IDW,
    // modules
    ::GetModuleHandleW,
    ::GetProcAddress,
    ::LoadLibraryW,
    ::LoadLibraryExW,
    ::FreeLibrary,
    ::GetModuleFileNameW,
    // files and device files
    ::CreateFileW,
    ::ReadFile,
    ::WriteFile,
    ::DeviceIoControl,
    ::CancelIo,
    ::GetOverlappedResult,
    ::CloseHandle,
    ::GetFileSizeEx,
    ::GetFileAttributesW,
    // HID (loaded at first use)
    Lazy_HidD_GetPreparsedData,
    Lazy_HidD_FreePreparsedData,
    Lazy_HidD_GetAttributes,
    Lazy_HidP_GetCaps,
    Lazy_HidD_GetInputReport,
    Lazy_HidD_SetOutputReport,
    // WinUSB (loaded at first use)
    Lazy_WinUsb_Initialize,
    Lazy_WinUsb_ControlTransfer,
    Lazy_WinUsb_Free,
    // COM
    ::CoCreateInstance,
    // device-change notifications
    ::RegisterDeviceNotificationW,
    ::UnregisterDeviceNotification,
    // the system and processes
    ::GetVersionExW,
    ::CreateProcessW,
    ::GetExitCodeProcess,
    // time
    ::Sleep,
    ::WaitForSingleObject,
    ::SetTimer,
    ::KillTimer,
    ::GetTickCount,
    // operator dialogs
    ::MessageBoxW,
    ::GetOpenFileNameW,
    ::DialogBoxParamW,
    // diagnostics
    ::OutputDebugStringW,
    // session end, sleep and message-serving waits
    ::ShutdownBlockReasonCreate,
    ::ShutdownBlockReasonDestroy,
    ::SetThreadExecutionState,
    ::MsgWaitForMultipleObjects,
    // the taskbar
    ::FlashWindowEx,
    ::GetForegroundWindow,
};

extern "C" const OsApi* CorvaneRealOsApi(void) { return &kRealOsApi; }
