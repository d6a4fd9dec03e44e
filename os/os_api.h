// The OS boundary.
//
// Every Windows entry point that reaches a device, time, a process or a
// blocking operator dialog is called through this one table. The production
// modules fill it with the real entry points; the simulated build takes the
// table from the device simulator (corvane_sim.dll), so the updater and the
// camera-control library see one simulated world in one process.
//
// The members keep the Windows names and signatures, so code written against
// the table reads like ordinary Win32 code: Os().CreateFileW(...).
//
// Plain window and control calls (SetDlgItemTextW, EnableWindow, SendMessageW
// to our own windows, ...) do not go through the table.
#pragma once

#ifndef WIN32_NO_STATUS_DEFINED
#include <windows.h>
#endif
#include <commdlg.h>
#include <dbt.h>
#include <objbase.h>
#include <setupapi.h>
#include <cfgmgr32.h>
#include <devpropdef.h>
#include <winusb.h>

extern "C" {
#include <hidsdi.h>
#include <hidpi.h>
}

// The table's version: a module built against one layout refuses a table of
// another (a stale simulator DLL beside a fresh program).
#define CORVANE_OS_API_VERSION 3

// Signature of SetupDiGetDevicePropertyW, which older systems lack and which
// the programs therefore look up at run time.
typedef BOOL(WINAPI* PFN_SetupDiGetDevicePropertyW)(HDEVINFO, PSP_DEVINFO_DATA, const DEVPROPKEY*,
                                                     DEVPROPTYPE*, PBYTE, DWORD, PDWORD, DWORD);
// Signature of IsWow64Process, looked up at run time for the same reason.
typedef BOOL(WINAPI* PFN_IsWow64Process)(HANDLE, PBOOL);

struct OsApi {
    DWORD version;      // CORVANE_OS_API_VERSION
    DWORD size;         // sizeof(OsApi) of the provider
    const wchar_t* name;  // "windows" or "simulator"

    // --- SetupAPI and the configuration manager ---
    HDEVINFO(WINAPI* SetupDiGetClassDevsW)(const GUID* ClassGuid, PCWSTR Enumerator, HWND hwndParent,
                                           DWORD Flags);
    BOOL(WINAPI* SetupDiEnumDeviceInterfaces)(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                              const GUID* InterfaceClassGuid, DWORD MemberIndex,
                                              PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData);
    BOOL(WINAPI* SetupDiEnumDeviceInfo)(HDEVINFO DeviceInfoSet, DWORD MemberIndex,
                                        PSP_DEVINFO_DATA DeviceInfoData);
    BOOL(WINAPI* SetupDiGetDeviceRegistryPropertyW)(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                                    DWORD Property, PDWORD PropertyRegDataType,
                                                    PBYTE PropertyBuffer, DWORD PropertyBufferSize,
                                                    PDWORD RequiredSize);
    BOOL(WINAPI* SetupDiGetDeviceInterfaceDetailW)(HDEVINFO DeviceInfoSet,
                                                   PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                                   PSP_DEVICE_INTERFACE_DETAIL_DATA_W DeviceInterfaceDetailData,
                                                   DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize,
                                                   PSP_DEVINFO_DATA DeviceInfoData);
    BOOL(WINAPI* SetupDiDestroyDeviceInfoList)(HDEVINFO DeviceInfoSet);
    CONFIGRET(WINAPI* CM_Get_Parent)(PDEVINST pdnDevInst, DEVINST dnDevInst, ULONG ulFlags);
    CONFIGRET(WINAPI* CM_Get_Device_IDW)(DEVINST dnDevInst, PWSTR Buffer, ULONG BufferLen, ULONG ulFlags);

    // --- modules: SetupDiGetDevicePropertyW and IsWow64Process are found through
    // GetModuleHandleW + GetProcAddress; the Sunplus library through
    // LoadLibraryExW/LoadLibraryW + GetProcAddress ---
    HMODULE(WINAPI* GetModuleHandleW)(LPCWSTR lpModuleName);
    FARPROC(WINAPI* GetProcAddress)(HMODULE hModule, LPCSTR lpProcName);
    HMODULE(WINAPI* LoadLibraryW)(LPCWSTR lpLibFileName);
    HMODULE(WINAPI* LoadLibraryExW)(LPCWSTR lpLibFileName, HANDLE hFile, DWORD dwFlags);
    BOOL(WINAPI* FreeLibrary)(HMODULE hLibModule);
    DWORD(WINAPI* GetModuleFileNameW)(HMODULE hModule, LPWSTR lpFilename, DWORD nSize);

    // --- files and device files ---
    HANDLE(WINAPI* CreateFileW)(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                                LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                                DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
    BOOL(WINAPI* ReadFile)(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                           LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped);
    BOOL(WINAPI* WriteFile)(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                            LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped);
    BOOL(WINAPI* DeviceIoControl)(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                                  LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                                  LPOVERLAPPED lpOverlapped);
    BOOL(WINAPI* CancelIo)(HANDLE hFile);
    BOOL(WINAPI* GetOverlappedResult)(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                                      LPDWORD lpNumberOfBytesTransferred, BOOL bWait);
    BOOL(WINAPI* CloseHandle)(HANDLE hObject);
    BOOL(WINAPI* GetFileSizeEx)(HANDLE hFile, PLARGE_INTEGER lpFileSize);
    DWORD(WINAPI* GetFileAttributesW)(LPCWSTR lpFileName);

    // --- HID ---
    BOOLEAN(WINAPI* HidD_GetPreparsedData)(HANDLE HidDeviceObject, PHIDP_PREPARSED_DATA* PreparsedData);
    BOOLEAN(WINAPI* HidD_FreePreparsedData)(PHIDP_PREPARSED_DATA PreparsedData);
    BOOLEAN(WINAPI* HidD_GetAttributes)(HANDLE HidDeviceObject, PHIDD_ATTRIBUTES Attributes);
    NTSTATUS(WINAPI* HidP_GetCaps)(PHIDP_PREPARSED_DATA PreparsedData, PHIDP_CAPS Capabilities);
    BOOLEAN(WINAPI* HidD_GetInputReport)(HANDLE HidDeviceObject, PVOID ReportBuffer, ULONG ReportBufferLength);
    BOOLEAN(WINAPI* HidD_SetOutputReport)(HANDLE HidDeviceObject, PVOID ReportBuffer, ULONG ReportBufferLength);

    // --- WinUSB ---
    BOOL(WINAPI* WinUsb_Initialize)(HANDLE DeviceHandle, PWINUSB_INTERFACE_HANDLE InterfaceHandle);
    BOOL(WINAPI* WinUsb_ControlTransfer)(WINUSB_INTERFACE_HANDLE InterfaceHandle, WINUSB_SETUP_PACKET SetupPacket,
                                         PUCHAR Buffer, ULONG BufferLength, PULONG LengthTransferred,
                                         LPOVERLAPPED Overlapped);
    BOOL(WINAPI* WinUsb_Free)(WINUSB_INTERFACE_HANDLE InterfaceHandle);

    // --- COM: the system device enumerator and what it hands out ---
    HRESULT(WINAPI* CoCreateInstance)(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid,
                                      LPVOID* ppv);

    // --- device-change notifications ---
    HDEVNOTIFY(WINAPI* RegisterDeviceNotificationW)(HANDLE hRecipient, LPVOID NotificationFilter, DWORD Flags);
    BOOL(WINAPI* UnregisterDeviceNotification)(HDEVNOTIFY Handle);

    // --- the system and processes ---
    BOOL(WINAPI* GetVersionExW)(LPOSVERSIONINFOW lpVersionInformation);
    BOOL(WINAPI* CreateProcessW)(LPCWSTR lpApplicationName, LPWSTR lpCommandLine,
                                 LPSECURITY_ATTRIBUTES lpProcessAttributes, LPSECURITY_ATTRIBUTES lpThreadAttributes,
                                 BOOL bInheritHandles, DWORD dwCreationFlags, LPVOID lpEnvironment,
                                 LPCWSTR lpCurrentDirectory, LPSTARTUPINFOW lpStartupInfo,
                                 LPPROCESS_INFORMATION lpProcessInformation);
    BOOL(WINAPI* GetExitCodeProcess)(HANDLE hProcess, LPDWORD lpExitCode);

    // --- time: the simulator may scale these; production never does ---
    void(WINAPI* Sleep)(DWORD dwMilliseconds);
    DWORD(WINAPI* WaitForSingleObject)(HANDLE hHandle, DWORD dwMilliseconds);
    UINT_PTR(WINAPI* SetTimer)(HWND hWnd, UINT_PTR nIDEvent, UINT uElapse, TIMERPROC lpTimerFunc);
    BOOL(WINAPI* KillTimer)(HWND hWnd, UINT_PTR uIDEvent);
    DWORD(WINAPI* GetTickCount)(void);

    // --- operator dialogs that block ---
    int(WINAPI* MessageBoxW)(HWND hWnd, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType);
    BOOL(WINAPI* GetOpenFileNameW)(LPOPENFILENAMEW lpofn);
    INT_PTR(WINAPI* DialogBoxParamW)(HINSTANCE hInstance, LPCWSTR lpTemplateName, HWND hWndParent,
                                     DLGPROC lpDialogFunc, LPARAM dwInitParam);

    // --- diagnostics ---
    void(WINAPI* OutputDebugStringW)(LPCWSTR lpOutputString);

    // --- while an update runs: the end of the Windows session and sleep are
    // held off, and the user-interface thread waits with its messages served ---
    BOOL(WINAPI* ShutdownBlockReasonCreate)(HWND hWnd, LPCWSTR pwszReason);
    BOOL(WINAPI* ShutdownBlockReasonDestroy)(HWND hWnd);
    EXECUTION_STATE(WINAPI* SetThreadExecutionState)(EXECUTION_STATE esFlags);
    DWORD(WINAPI* MsgWaitForMultipleObjects)(DWORD nCount, const HANDLE* pHandles, BOOL fWaitAll,
                                             DWORD dwMilliseconds, DWORD dwWakeMask);

    // --- the taskbar: its button flashes when an update ends in the
    // background (the progress on the button goes through CoCreateInstance) ---
    BOOL(WINAPI* FlashWindowEx)(PFLASHWINFO pfwi);
    HWND(WINAPI* GetForegroundWindow)(void);
};

// The table of this module. Production modules return the real entry points;
// modules of the simulated build return the simulator's table.
const OsApi& Os();

// The table of real Windows entry points (production provider; the simulator
// also passes through to it for whatever is not a simulated device).
extern "C" const OsApi* CorvaneRealOsApi(void);
