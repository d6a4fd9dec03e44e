// The simulator's OS table: simulated devices, time, dialogs and diagnostics;
// everything else goes to Windows.
#include "sim_internal.h"
#include "scenario_file.h"
#include <mutex>

using namespace sim::detail;

namespace {

OsApi MakeTable() {
    const OsApi& real = Real();
    OsApi t = real;
    t.version = CORVANE_OS_API_VERSION;
    t.size = sizeof(OsApi);
    t.name = L"simulator";
    t.SetupDiGetClassDevsW = simos::SetupDiGetClassDevsW;
    t.SetupDiEnumDeviceInterfaces = simos::SetupDiEnumDeviceInterfaces;
    t.SetupDiEnumDeviceInfo = simos::SetupDiEnumDeviceInfo;
    t.SetupDiGetDeviceRegistryPropertyW = simos::SetupDiGetDeviceRegistryPropertyW;
    t.SetupDiGetDeviceInterfaceDetailW = simos::SetupDiGetDeviceInterfaceDetailW;
    t.SetupDiDestroyDeviceInfoList = simos::SetupDiDestroyDeviceInfoList;
    t.CM_Get_Parent = simos::CM_Get_Parent;
    t.CM_Get_Device_IDW = simos::CM_Get_Device_IDW;
    t.GetProcAddress = simos::GetProcAddress;
    t.GetModuleFileNameW = simos::GetModuleFileNameW;
    t.CreateFileW = simos::CreateFileW;
    t.ReadFile = simos::ReadFile;
    t.WriteFile = simos::WriteFile;
    t.DeviceIoControl = simos::DeviceIoControl;
    t.CancelIo = simos::CancelIo;
    t.GetOverlappedResult = simos::GetOverlappedResult;
    t.CloseHandle = simos::CloseHandle;
    t.GetFileSizeEx = simos::GetFileSizeEx;
    t.HidD_GetPreparsedData = simos::HidD_GetPreparsedData;
    t.HidD_FreePreparsedData = simos::HidD_FreePreparsedData;
    t.HidD_GetAttributes = simos::HidD_GetAttributes;
    t.HidP_GetCaps = simos::HidP_GetCaps;
    t.HidD_GetInputReport = simos::HidD_GetInputReport;
    t.HidD_SetOutputReport = simos::HidD_SetOutputReport;
    t.WinUsb_Initialize = simos::WinUsb_Initialize;
    t.WinUsb_ControlTransfer = simos::WinUsb_ControlTransfer;
    t.WinUsb_Free = simos::WinUsb_Free;
    t.CoCreateInstance = simos::CoCreateInstance;
    t.RegisterDeviceNotificationW = simos::RegisterDeviceNotificationW;
    t.UnregisterDeviceNotification = simos::UnregisterDeviceNotification;
    t.GetVersionExW = simos::GetVersionExW;
    t.CreateProcessW = simos::CreateProcessW;
    t.GetExitCodeProcess = simos::GetExitCodeProcess;
    t.Sleep = simos::Sleep;
    t.WaitForSingleObject = simos::WaitForSingleObject;
    t.SetTimer = simos::SetTimer;
    t.GetTickCount = simos::GetTickCount;
    t.MessageBoxW = simos::MessageBoxW;
    t.GetOpenFileNameW = simos::GetOpenFileNameW;
    t.DialogBoxParamW = simos::DialogBoxParamW;
    t.OutputDebugStringW = simos::OutputDebugStringW;
    t.ShutdownBlockReasonCreate = simos::ShutdownBlockReasonCreate;
    t.ShutdownBlockReasonDestroy = simos::ShutdownBlockReasonDestroy;
    t.SetThreadExecutionState = simos::SetThreadExecutionState;
    t.MsgWaitForMultipleObjects = simos::MsgWaitForMultipleObjects;
    t.FlashWindowEx = simos::FlashWindowEx;
    t.GetForegroundWindow = simos::GetForegroundWindow;
    return t;
}

}  // namespace

extern "C" CORVANE_SIM_API const OsApi* SimOsApi(void) {
    // Making the static may touch the last error (the runtime's once-guard);
    // a module that asks for the table in the middle of its work keeps it.
    LastErrorGuard keep;
    static const OsApi table = MakeTable();
    // A program started against a scenario file finds its world ready.
    static std::once_flag scenario;
    std::call_once(scenario, sim::LoadScenarioFromEnvironment);
    return &table;
}
