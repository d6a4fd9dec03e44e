#include "cam_state.h"

#include <cstdlib>

HANDLE g_WriteHandle = INVALID_HANDLE_VALUE;
HANDLE g_ReadHandle = INVALID_HANDLE_VALUE;
HANDLE g_ReadHandle_IMU = INVALID_HANDLE_VALUE;
OVERLAPPED g_ReadOverlapped = {};
bool g_bReadHandleOverlapped = false;
LONG g_NoOfHID = 0;
wchar_t g_MI[kMarkerCap] = {};

wchar_t g_AppVid[kIdSlotCap] = {};
wchar_t g_AppPid[kIdSlotCap] = {};
wchar_t g_AppInstanceID[kInstancePartCap] = {};
wchar_t g_DllInstanceID[kInstancePartCap] = {};
wchar_t DeviceIDFromRegistry[kDeviceIdCap] = {};
bool g_bDeviceFound = false;

HDEVINFO g_hDevInfo = INVALID_HANDLE_VALUE;
DWORD g_dwEnumIndex = 0;
SP_DEVICE_INTERFACE_DATA* g_pDevInterfaceData = nullptr;
SP_DEVICE_INTERFACE_DETAIL_DATA_W* DetailedInterfaceDataStructure = nullptr;

PHIDP_PREPARSED_DATA g_PreparsedData = nullptr;
HIDD_ATTRIBUTES g_Attributes = {};
HIDP_CAPS g_Caps = {};

PFN_SetupDiGetDevicePropertyW fn_SetupDiGetDevicePropertyW = nullptr;
PFN_CancelSynchronousIo fn_CancelSynchronousIo = nullptr;

bool ReplaceDetailRecord(DWORD bytes) {
    // The record's fixed head is 8 bytes on x86_64 and 6 on i686; cbSize must
    // be that size whatever the buffer holds, as SetupAPI checks it.
    if (bytes < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) bytes = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    // One spare character so that a path is terminated even if the system
    // filled the record to its last byte.
    auto* record = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(std::calloc(1, bytes + sizeof(wchar_t)));
    if (record == nullptr) return false;
    record->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    std::free(DetailedInterfaceDataStructure);
    DetailedInterfaceDataStructure = record;
    return true;
}

bool CamStateLoad() {
    g_pDevInterfaceData = static_cast<SP_DEVICE_INTERFACE_DATA*>(std::calloc(1, sizeof(SP_DEVICE_INTERFACE_DATA)));
    if (g_pDevInterfaceData == nullptr || !ReplaceDetailRecord(0)) return false;
    g_pDevInterfaceData->cbSize = sizeof(SP_DEVICE_INTERFACE_DATA);
    // Both modules are loaded already (SetupAPI is one of our imports; kernel32
    // always): look them up, never load a second copy.
    HMODULE setupapi = Os().GetModuleHandleW(L"Setupapi.dll");
    if (setupapi != nullptr) {
        fn_SetupDiGetDevicePropertyW = reinterpret_cast<PFN_SetupDiGetDevicePropertyW>(
            reinterpret_cast<void*>(Os().GetProcAddress(setupapi, "SetupDiGetDevicePropertyW")));
    }
    // CancelSynchronousIo exists from Vista on; without it a synchronous
    // reply read that timed out stays outstanding until the device answers.
    HMODULE kernel = Os().GetModuleHandleW(L"kernel32.dll");
    if (kernel != nullptr) {
        fn_CancelSynchronousIo = reinterpret_cast<PFN_CancelSynchronousIo>(
            reinterpret_cast<void*>(Os().GetProcAddress(kernel, "CancelSynchronousIo")));
    }
    return true;
}

void CamStateUnload() {
    if (g_hDevInfo != INVALID_HANDLE_VALUE) {
        Os().SetupDiDestroyDeviceInfoList(g_hDevInfo);
        g_hDevInfo = INVALID_HANDLE_VALUE;
    }
    if (g_PreparsedData != nullptr) {
        Os().HidD_FreePreparsedData(g_PreparsedData);
        g_PreparsedData = nullptr;
    }
    std::free(g_pDevInterfaceData);
    g_pDevInterfaceData = nullptr;
    std::free(DetailedInterfaceDataStructure);
    DetailedInterfaceDataStructure = nullptr;
}
