// The library's process-wide state: the HID binding (handles, the overlapped
// record and its event, the enumeration state, the identification strings
// and the HID descriptors) and the entry points looked up at load.
//
// One camera at a time and no locks: the exports must not overlap.
#pragma once

#include "os_api.h"

#include "id_text.h"
#include "instance_part.h"

// --- handles and the I/O record ---
extern HANDLE g_WriteHandle;     // command interface, written without overlapped I/O
extern HANDLE g_ReadHandle;      // the same interface, read (overlapped unless stereo MI_02 came last)
extern HANDLE g_ReadHandle_IMU;  // the stereo camera's IMU interface ("MI_03")
extern OVERLAPPED g_ReadOverlapped;
// Whether g_ReadHandle was opened with FILE_FLAG_OVERLAPPED: the reply wait
// differs for a synchronous handle.
extern bool g_bReadHandleOverlapped;
extern LONG g_NoOfHID;
extern wchar_t g_MI[kMarkerCap];

// --- identification strings (upper case) ---
extern wchar_t g_AppVid[kIdSlotCap];
extern wchar_t g_AppPid[kIdSlotCap];
extern wchar_t g_AppInstanceID[kInstancePartCap];
extern wchar_t g_DllInstanceID[kInstancePartCap];
constexpr std::size_t kDeviceIdCap = 260;  // paths and IDs: MAX_PATH characters
extern wchar_t DeviceIDFromRegistry[kDeviceIdCap];
extern bool g_bDeviceFound;

// --- enumeration state kept across calls ---
extern HDEVINFO g_hDevInfo;
extern DWORD g_dwEnumIndex;
extern SP_DEVICE_INTERFACE_DATA* g_pDevInterfaceData;
// The most recently examined interface; its path is what
// SetPreparseDataAndAttributes reopens. Always at least the fixed head.
extern SP_DEVICE_INTERFACE_DETAIL_DATA_W* DetailedInterfaceDataStructure;

// --- HID descriptors of the interface SetPreparseDataAndAttributes opened ---
extern PHIDP_PREPARSED_DATA g_PreparsedData;
extern HIDD_ATTRIBUTES g_Attributes;
extern HIDP_CAPS g_Caps;

// --- entry points looked up at load (null where the system lacks them) ---
extern PFN_SetupDiGetDevicePropertyW fn_SetupDiGetDevicePropertyW;
typedef BOOL(WINAPI* PFN_CancelSynchronousIo)(HANDLE);
extern PFN_CancelSynchronousIo fn_CancelSynchronousIo;

// DllMain: allocates the enumeration records and looks up the entry points.
// False when the records cannot be allocated.
bool CamStateLoad();
// DllMain on FreeLibrary: frees what CamStateLoad and the enumeration hold.
void CamStateUnload();

// Replaces DetailedInterfaceDataStructure by a zeroed record of bytes bytes
// (at least the fixed head) with cbSize set. False when out of memory (the
// old record stays).
bool ReplaceDetailRecord(DWORD bytes);
