// The real Windows entry points behind the OS table.
#include "os_api.h"

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
    // HID
    ::HidD_GetPreparsedData,
    ::HidD_FreePreparsedData,
    ::HidD_GetAttributes,
    ::HidP_GetCaps,
    ::HidD_GetInputReport,
    ::HidD_SetOutputReport,
    // WinUSB
    ::WinUsb_Initialize,
    ::WinUsb_ControlTransfer,
    ::WinUsb_Free,
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
};

extern "C" const OsApi* CorvaneRealOsApi(void) { return &kRealOsApi; }
