// HID binding: finds the HID command interface that belongs to the camera
// the updater selected, opens it, and releases it.
//
// The updater hands over the path of the camera's video interface. All
// interfaces of one composite USB device share the instance part that the
// hub driver made up for it ("6&173BB4E8&0&0000" in
// "USB\VID_4A7E&PID_C05C&MI_02\6&173BB4E8&0&0002"), so the sibling HID
// interface is the one whose parent carries the same ten characters after
// its "MI_xx" marker.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "KivoFWSW.h"
#include "call_guard.h"
#include "cam_log.h"
#include "cam_state.h"
#include "hid_reply.h"
#include "hid_write.h"
#include "identify.h"

namespace {

const GUID kHidInterfaceClass = {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
// DEVPKEY_Device_Parent.
const DEVPROPKEY kDevPKeyDeviceParent = {
    {0x4340A6C5, 0x93FA, 0x4706, {0x97, 0x2C, 0x7B, 0x64, 0x80, 0x08, 0xA5, 0xA7}}, 8};

constexpr wchar_t kCommandMarker[] = L"MI_02";
constexpr wchar_t kImuMarker[] = L"MI_03";

// The system version read at the start of InitExtensionUnit: Windows XP has
// no device-property API, so the stereo path asks the configuration manager.
OSVERSIONINFOW g_OsVersion = {};

bool IsMarker(const wchar_t* marker) { return std::wcsncmp(g_MI, marker, kMarkerCap) == 0; }

// ---------------------------------------------------------------- enumeration

void DestroySet() {
    if (g_hDevInfo == INVALID_HANDLE_VALUE) return;
    Os().SetupDiDestroyDeviceInfoList(g_hDevInfo);
    g_hDevInfo = INVALID_HANDLE_VALUE;
}

// Ends an enumeration: the set goes, the last error that explains the result
// stays.
int EndEnumeration(int result) {
    const DWORD error = ::GetLastError();
    DestroySet();
    ::SetLastError(error);
    return result;
}

bool OpenSet() {
    DestroySet();
    g_hDevInfo = Os().SetupDiGetClassDevsW(&kHidInterfaceClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    return g_hDevInfo != INVALID_HANDLE_VALUE;
}

// One interface of the set: its device-information element and its detail
// record, read but not yet made the "last examined" one.
struct Candidate {
    SP_DEVINFO_DATA devinfo = {};
    SP_DEVICE_INTERFACE_DETAIL_DATA_W* detail = nullptr;
    DWORD detailBytes = 0;
    ~Candidate() { std::free(detail); }
};

enum class Fetch { Ok, End, OutOfMemory };

Fetch FetchInterface(DWORD index, Candidate* c) {
    g_pDevInterfaceData->cbSize = sizeof(SP_DEVICE_INTERFACE_DATA);
    if (!Os().SetupDiEnumDeviceInterfaces(g_hDevInfo, nullptr, &kHidInterfaceClass, index, g_pDevInterfaceData)) {
        return Fetch::End;
    }
    DWORD required = 0;
    Os().SetupDiGetDeviceInterfaceDetailW(g_hDevInfo, g_pDevInterfaceData, nullptr, 0, &required, nullptr);
    if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) required = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    // A spare character keeps the path terminated whatever the system wrote.
    c->detail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(std::calloc(1, required + sizeof(wchar_t)));
    if (c->detail == nullptr) {
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return Fetch::OutOfMemory;
    }
    c->detailBytes = required;
    c->detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    c->devinfo.cbSize = sizeof(SP_DEVINFO_DATA);
    if (!Os().SetupDiGetDeviceInterfaceDetailW(g_hDevInfo, g_pDevInterfaceData, c->detail, required, nullptr,
                                               &c->devinfo)) {
        // An interface that went away between the calls: nothing to open.
        c->detail->DevicePath[0] = L'\0';
    }
    return Fetch::Ok;
}

// The candidate's detail record becomes the last examined interface.
bool AdoptDetail(Candidate* c) {
    if (!ReplaceDetailRecord(c->detailBytes)) {
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    std::memcpy(DetailedInterfaceDataStructure, c->detail, c->detailBytes);
    DetailedInterfaceDataStructure->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    return true;
}

// The first hardware ID of the interface's device into DeviceIDFromRegistry
// (empty when it has none). False only when out of memory.
bool ReadHardwareId(SP_DEVINFO_DATA* devinfo) {
    DeviceIDFromRegistry[0] = L'\0';
    DWORD required = 0;
    DWORD type = 0;
    Os().SetupDiGetDeviceRegistryPropertyW(g_hDevInfo, devinfo, SPDRP_HARDWAREID, &type, nullptr, 0, &required);
    if (required == 0) return true;
    // Room for two terminators: a multi-string cut short still ends.
    const DWORD bytes = required + 2 * sizeof(wchar_t);
    auto* buffer = static_cast<wchar_t*>(std::calloc(1, bytes));
    if (buffer == nullptr) {
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    if (Os().SetupDiGetDeviceRegistryPropertyW(g_hDevInfo, devinfo, SPDRP_HARDWAREID, &type,
                                               reinterpret_cast<PBYTE>(buffer), required, nullptr)) {
        // Only the first string of the multi-string; cut at 259 characters.
        const std::size_t n = IdTextLength(buffer, required / sizeof(wchar_t));
        const std::size_t keep = n < kDeviceIdCap - 1 ? n : kDeviceIdCap - 1;
        std::wmemcpy(DeviceIDFromRegistry, buffer, keep);
        DeviceIDFromRegistry[keep] = L'\0';
    }
    std::free(buffer);
    return true;
}

// Parent instance ID through the configuration manager; empty on failure.
bool ParentByConfigManager(DEVINST devinst, wchar_t* parent, CONFIGRET* status, bool* parentFailed) {
    parent[0] = L'\0';
    DEVINST up = 0;
    *status = Os().CM_Get_Parent(&up, devinst, 0);
    *parentFailed = *status != CR_SUCCESS;
    if (*parentFailed) return false;
    *status = Os().CM_Get_Device_IDW(up, parent, static_cast<ULONG>(kDeviceIdCap), 0);
    // CM_Get_Device_IDW leaves a cut ID unterminated.
    parent[kDeviceIdCap - 1] = L'\0';
    if (*status != CR_SUCCESS) {
        parent[0] = L'\0';
        return false;
    }
    return true;
}

// Every parent ID the binding looks at also goes to standard output, one per
// line (a program without a console loses it).
void EchoToStandardOutput(const wchar_t* parent) {
    std::fputws(parent, stdout);
    std::fputwc(L'\n', stdout);
    std::fflush(stdout);
}

// ---------------------------------------------------------------- opening

// What the opens of one binding call came to: the binding reports success
// with a failed open unless the system gave no error code for it.
struct Opens {
    bool failed = false;
    DWORD error = ERROR_SUCCESS;

    void Note(HANDLE h, const wchar_t* failureLine) {
        if (h != INVALID_HANDLE_VALUE) return;
        error = ::GetLastError();
        failed = true;
        CamLog(failureLine, static_cast<int>(error));
    }
    int Result() const {
        if (!failed) return 1;
        ::SetLastError(error);
        return error == ERROR_SUCCESS ? 0 : 1;
    }
};

void CloseIfOpen(HANDLE* h) {
    if (*h == INVALID_HANDLE_VALUE) return;
    if (h == &g_WriteHandle) BoundedWriteDrop();
    Os().CloseHandle(*h);
    *h = INVALID_HANDLE_VALUE;
}

// A binding replaces the handles of the one before; the updater releases it
// first, and a handle still open here would otherwise leak.
void CloseReadHandle() {
    ReplyReadDrop();
    CloseIfOpen(&g_ReadHandle);
    g_bReadHandleOverlapped = false;
}

// Overlapped, so that a report the device never takes cannot hold the
// caller for good (hid_write.h).
HANDLE OpenForWriting(const wchar_t* path) {
    HANDLE h = Os().CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED, nullptr);
    g_bWriteHandleOverlapped = h != INVALID_HANDLE_VALUE;
    return h;
}

HANDLE OpenForReading(const wchar_t* path, bool overlapped) {
    const DWORD flags = overlapped ? FILE_FLAG_OVERLAPPED | FILE_FLAG_NO_BUFFERING | FILE_ATTRIBUTE_NORMAL : 0;
    return Os().CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, flags,
                            nullptr);
}

// g_ReadOverlapped with a fresh manual-reset, non-signalled, unnamed event.
void NewReadEvent() {
    if (g_ReadOverlapped.hEvent != nullptr) ::CloseHandle(g_ReadOverlapped.hEvent);
    std::memset(&g_ReadOverlapped, 0, sizeof(g_ReadOverlapped));
    g_ReadOverlapped.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

const wchar_t* LastPath() { return DetailedInterfaceDataStructure->DevicePath; }

void OpenWriteHandle(Opens* opens) {
    CloseIfOpen(&g_WriteHandle);
    g_WriteHandle = OpenForWriting(LastPath());
    opens->Note(g_WriteHandle, L"KivoFwSw: InitExtensionUnit: g_WriteHandle INVALID_HANDLE_VALUE Error Status = %d\r\n");
}

void OpenReadHandle(bool overlapped, Opens* opens) {
    CloseReadHandle();
    g_ReadHandle = OpenForReading(LastPath(), overlapped);
    g_bReadHandleOverlapped = overlapped && g_ReadHandle != INVALID_HANDLE_VALUE;
    opens->Note(g_ReadHandle, L"KivoFwSw: InitExtensionUnit: g_ReadHandle INVALID_HANDLE_VALUE Error Status = %d\r\n");
}

void OpenImuHandle(Opens* opens) {
    CamLog(L"KivoFwSw: InitExtensionUnit: CreateFile DetailedInterfaceDataStructure->DevicePath = %s \r\n", LastPath());
    CloseIfOpen(&g_ReadHandle_IMU);
    g_ReadHandle_IMU = OpenForReading(LastPath(), true);
    opens->Note(g_ReadHandle_IMU,
                L"KivoFwSw: InitExtensionUnit: g_ReadHandle_IMU INVALID_HANDLE_VALUE Error Status = %d\r\n");
}

// ---------------------------------------------------------------- matching

// Copies the interface marker of the matched device's parent ID into g_MI.
int FindEndpointBound(const wchar_t* parentId) {
    if (!CutInterfaceMarker(parentId, kDeviceIdCap, g_MI, kMarkerCap)) return 0;
    CamLog(L" FindEndpointBound :Extracted Endpoint type is g_MI = %s\r\n", g_MI);
    return 1;
}

// With g_bDeviceFound clear: 1 when the VID of s (upper-cased in place) is a
// family vendor. With it set (once, after a match): takes the interface
// marker of s into g_MI.
int FindMatchDevice(wchar_t* s) {
    if (g_bDeviceFound) {
        g_bDeviceFound = false;
        CutInterfaceMarker(s, kDeviceIdCap, g_MI, kMarkerCap);
        return 1;
    }
    CamLogLine(L"FindMatchDevice ++\r\n");
    CamLog(L"FindMatchDevice DeviceIDFromRegistry = %s\r\n", s);
    wchar_t vid[kIdFieldCap] = {};
    wchar_t pid[kIdFieldCap] = {};
    IdCutVidPidUpper(s, kDeviceIdCap, vid, kIdFieldCap, pid, kIdFieldCap);
    CamLog(L"extrctd_vid = %s\r\n", vid);
    CamLog(L"extrctd_pid = %s\r\n", pid);
    if (IdTableFind(vid, kIdFieldCap, DFUDeviceVIDTable, kDfuVidCount) >= 0) return 1;
    CamLogLine(L"FindMatchDevice --\r\n");
    return 0;
}

// The stereo path's parent ID: the device-property API where the system has
// it, the configuration manager on Windows XP.
bool StereoParentId(SP_DEVINFO_DATA* devinfo, wchar_t* parent) {
    parent[0] = L'\0';
    const bool xp = g_OsVersion.dwMajorVersion == 5 && g_OsVersion.dwMinorVersion == 1;
    // A later system without the entry point takes the XP way rather than
    // calling through a null pointer.
    if (xp || fn_SetupDiGetDevicePropertyW == nullptr) {
        CONFIGRET status = CR_SUCCESS;
        bool parentFailed = false;
        if (ParentByConfigManager(devinfo->DevInst, parent, &status, &parentFailed)) {
            CamLog(L"KivoFwSw: InitExtensionUnit: CM_Get_Device_ID: InstanceID %s\r\n", parent);
            return true;
        }
        const DWORD error = ::GetLastError();
        CamLog(parentFailed ? L"KivoFwSw: InitExtensionUnit: CM_Get_Parent :: Failed status = %d GetLastError() = %d\r\n"
                            : L"KivoFwSw: InitExtensionUnit: CM_Get_Device_ID :: Failed status = %d GetLastError() = %d\r\n",
               static_cast<int>(status), static_cast<int>(error));
        return false;
    }
    DEVPROPTYPE type = 0;
    DWORD required = 0;
    if (!fn_SetupDiGetDevicePropertyW(g_hDevInfo, devinfo, &kDevPKeyDeviceParent, &type, reinterpret_cast<PBYTE>(parent),
                                      static_cast<DWORD>(kDeviceIdCap * sizeof(wchar_t)), &required, 0)) {
        parent[0] = L'\0';
        CamLog(L"KivoFwSw: InitExtensionUnit: fn_SetupDiGetDevicePropertyW :: Failed GetLastError() = %d\r\n",
               static_cast<int>(::GetLastError()));
        return false;
    }
    parent[kDeviceIdCap - 1] = L'\0';
    CamLog(L"KivoFwSw: InitExtensionUnit: Parent Property value: %s\r\n", parent);
    return true;
}

// ---------------------------------------------------------------- the two paths

int SingleInterfacePath() {
    Opens opens;
    for (g_dwEnumIndex = 0;; ++g_dwEnumIndex) {
        Candidate c;
        const Fetch f = FetchInterface(g_dwEnumIndex, &c);
        if (f == Fetch::End) return EndEnumeration(0);
        if (f == Fetch::OutOfMemory || !ReadHardwareId(&c.devinfo)) return EndEnumeration(0);
        CamLog(L"DLL VID & PID = %s \r\n", DeviceIDFromRegistry);
        if (!AdoptDetail(&c)) return EndEnumeration(0);

        // Taken afresh for each interface: a parent without "MI_" never matches.
        g_DllInstanceID[0] = L'\0';
        wchar_t parent[kDeviceIdCap] = {};
        if (g_AppVid[0] != L'\0' && g_AppPid[0] != L'\0') {
            CONFIGRET status = CR_SUCCESS;
            bool parentFailed = false;
            ParentByConfigManager(c.devinfo.DevInst, parent, &status, &parentFailed);
            EchoToStandardOutput(parent);
            IdToUpperInPlace(parent, kDeviceIdCap);
            if (HasInterfaceMarker(parent, kDeviceIdCap)) {
                CutInstancePart(parent, kDeviceIdCap, false, g_DllInstanceID, kInstancePartCap);
                CamLogLine(L"DLL InstanceID = ");
                CamLogLine(g_DllInstanceID);
            }
        }
        if (!SameInstancePart(g_DllInstanceID, g_AppInstanceID)) continue;
        CamLogLine(L"Device Found \r\n");
        FindEndpointBound(parent);
        if (!IsMarker(kCommandMarker)) continue;
        OpenWriteHandle(&opens);
        OpenReadHandle(true, &opens);
        NewReadEvent();
        return EndEnumeration(opens.Result());
    }
}

// The stereo camera's command interface ("MI_02") and IMU interface
// ("MI_03"), in whichever order the system lists them.
int StereoPath() {
    Opens opens;
    g_NoOfHID = 0;
    for (g_dwEnumIndex = 0;; ++g_dwEnumIndex) {
        Candidate c;
        const Fetch f = FetchInterface(g_dwEnumIndex, &c);
        if (f == Fetch::End) {
            const DWORD error = ::GetLastError();
            if (error != ERROR_NO_MORE_ITEMS) return EndEnumeration(0);
            DestroySet();
            if (opens.failed) return opens.Result();
            ::SetLastError(error);
            return 1;
        }
        if (f == Fetch::OutOfMemory || !ReadHardwareId(&c.devinfo)) return EndEnumeration(0);
        CamLog(L"InitExtensionUnit: DLL VID & PID = %s \r\n", DeviceIDFromRegistry);
        g_bDeviceFound = false;
        if (!FindMatchDevice(DeviceIDFromRegistry)) {
            CamLogLine(L"KivoFwSw: InitExtensionUnit: DeviceConnect: Device not found \r\n");
            continue;
        }
        if (!AdoptDetail(&c)) return EndEnumeration(0);

        // Taken afresh for each interface, as on the single-interface path:
        // a leftover from the interface before would bind a device that is
        // not the selected camera.
        g_DllInstanceID[0] = L'\0';
        wchar_t parent[kDeviceIdCap] = {};
        if (StereoParentId(&c.devinfo, parent) && FindMatchDevice(parent) && HasInterfaceMarker(parent, kDeviceIdCap)) {
            CutInstancePart(parent, kDeviceIdCap, false, g_DllInstanceID, kInstancePartCap);
            CamLog(L"KivoFwSw: InitExtensionUnit: DLL InstanceID = %s\r\n", g_DllInstanceID);
            if (SameInstancePart(g_DllInstanceID, g_AppInstanceID)) ++g_NoOfHID;
        }
        if (!SameInstancePart(g_DllInstanceID, g_AppInstanceID)) {
            CamLogLine(L"KivoFwSw: InitExtensionUnit: DeviceConnect: Device not found \r\n");
            continue;
        }
        CamLogLine(L"KivoFwSw: InitExtensionUnit: Device Found \r\n");
        g_bDeviceFound = true;
        FindMatchDevice(DeviceIDFromRegistry);

        if (g_NoOfHID == 2) {
            CamLog(L"KivoFwSw: InitExtensionUnit: g_NoOfHID = %d , g_MI = %s\r\n", static_cast<int>(g_NoOfHID), g_MI);
            if (IsMarker(kCommandMarker)) {
                OpenWriteHandle(&opens);
                if (g_WriteHandle != INVALID_HANDLE_VALUE) CamLogLine(L"KivoFwSw: InitExtensionUnit: Write Handle Set ");
                // The second interface seen: the read handle of this order is
                // synchronous (the reply wait bounds it all the same).
                OpenReadHandle(false, &opens);
                return EndEnumeration(opens.Result());
            }
            if (IsMarker(kImuMarker)) {
                OpenImuHandle(&opens);
                NewReadEvent();
                return EndEnumeration(opens.Result());
            }
            continue;
        }
        if (g_NoOfHID == 1) {
            if (IsMarker(kImuMarker)) {
                OpenImuHandle(&opens);
            } else {
                OpenWriteHandle(&opens);
                OpenReadHandle(true, &opens);
            }
            NewReadEvent();
        }
    }
}

}  // namespace

extern "C" {

int InitExtensionUnit(wchar_t* path) {
    CallGuard guard(L"InitExtensionUnit");
    try {
        std::memset(&g_OsVersion, 0, sizeof(g_OsVersion));
        g_OsVersion.dwOSVersionInfoSize = sizeof(g_OsVersion);
        Os().GetVersionExW(&g_OsVersion);
        g_dwEnumIndex = 0;
        g_AppInstanceID[0] = L'\0';
        g_DllInstanceID[0] = L'\0';
        // A path without a marker must not inherit the IDs of the call before.
        g_AppVid[0] = L'\0';
        g_AppPid[0] = L'\0';
        if (path == nullptr) {
            ::SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        IdCutVidPidUpper(path, kIdScanLimit, g_AppVid, kIdSlotCap, g_AppPid, kIdSlotCap);
        // A path too short for its instance part keeps it empty: it matches
        // no interface.
        CutInstancePart(path, kIdScanLimit, true, g_AppInstanceID, kInstancePartCap);
        CamLogLine(L"Application InstanceID = \r\n");
        CamLogLine(g_AppInstanceID);
        if (!OpenSet()) return 0;
        return IsStereoCamera(path) ? StereoPath() : SingleInterfacePath();
    } catch (...) {
        DestroySet();
        ::SetLastError(KIVOFWSW_ERROR_EXCEPTION);
        CamLogLine(L"Exception InitExtensionUnit...\r\n");
        return 0;
    }
}

int Init_HIDHandle(wchar_t* s) {
    CallGuard guard(L"Init_HIDHandle");
    try {
        g_AppVid[0] = L'\0';
        g_AppPid[0] = L'\0';
        if (s == nullptr) {
            ::SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        IdCutVidPidUpper(s, kIdScanLimit, g_AppVid, kIdSlotCap, g_AppPid, kIdSlotCap);
        if (!OpenSet()) return 0;
        for (g_dwEnumIndex = 0;; ++g_dwEnumIndex) {
            Candidate c;
            const Fetch f = FetchInterface(g_dwEnumIndex, &c);
            if (f == Fetch::End) return EndEnumeration(0);
            if (f == Fetch::OutOfMemory || !ReadHardwareId(&c.devinfo)) return EndEnumeration(0);
            CamLog(L"DLL VID & PID = %s \r\n", DeviceIDFromRegistry);
            if (!AdoptDetail(&c)) return EndEnumeration(0);
            if (g_AppVid[0] == L'\0' || g_AppPid[0] == L'\0') continue;
            wchar_t parent[kDeviceIdCap] = {};
            CONFIGRET status = CR_SUCCESS;
            bool parentFailed = false;
            ParentByConfigManager(c.devinfo.DevInst, parent, &status, &parentFailed);
            EchoToStandardOutput(parent);
            // The system reports instance IDs in upper case; compared as they stand.
            if (!ContainsText(parent, kDeviceIdCap, g_AppVid, kIdSlotCap) ||
                !ContainsText(parent, kDeviceIdCap, g_AppPid, kIdSlotCap)) {
                continue;
            }
            CamLogLine(L"Device Found \r\n");
            CamLog(L"Init_HID :: GENERIC_WRITE: %d", static_cast<int>(GENERIC_WRITE));
            CamLog(L"Init_HID :: FILE_SHARE_READ | FILE_SHARE_WRITE: %d",
                   static_cast<int>(FILE_SHARE_READ | FILE_SHARE_WRITE));
            CamLog(L"Init_HID :: Device path: %s", LastPath());
            DWORD error = ERROR_SUCCESS;
            CloseIfOpen(&g_WriteHandle);
            g_WriteHandle = OpenForWriting(LastPath());
            if (g_WriteHandle == INVALID_HANDLE_VALUE) {
                error = ::GetLastError();
                CamLog(L"Wrtite Handle Failed %s", LastPath());
            }
            CloseReadHandle();
            g_ReadHandle = OpenForReading(LastPath(), true);
            g_bReadHandleOverlapped = g_ReadHandle != INVALID_HANDLE_VALUE;
            if (g_ReadHandle == INVALID_HANDLE_VALUE) {
                error = ::GetLastError();
                CamLog(L"Read Handle Failed %s", LastPath());
            }
            NewReadEvent();
            DestroySet();
            ::SetLastError(error);
            return 1;
        }
    } catch (...) {
        DestroySet();
        ::SetLastError(KIVOFWSW_ERROR_EXCEPTION);
        return 0;
    }
}

int SetPreparseDataAndAttributes(void) {
    CallGuard guard(L"SetPreparseDataAndAttributes");
    CloseIfOpen(&g_WriteHandle);
    g_WriteHandle = Os().CreateFileW(LastPath(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                     nullptr, OPEN_EXISTING, 0, nullptr);
    if (g_WriteHandle == INVALID_HANDLE_VALUE) return 0;
    if (g_PreparsedData != nullptr) {
        Os().HidD_FreePreparsedData(g_PreparsedData);
        g_PreparsedData = nullptr;
    }
    if (!Os().HidD_GetPreparsedData(g_WriteHandle, &g_PreparsedData)) {
        g_PreparsedData = nullptr;
        return 0;
    }
    g_Attributes.Size = sizeof(g_Attributes);
    if (!Os().HidD_GetAttributes(g_WriteHandle, &g_Attributes)) return 0;
    if (Os().HidP_GetCaps(g_PreparsedData, &g_Caps) != HIDP_STATUS_SUCCESS) {
        ::SetLastError(ERROR_INVALID_DATA);
        return 0;
    }
    return 1;
}

int DeinitExtensionUnit(void) {
    CallGuard guard(L"DeinitExtensionUnit");
    CloseIfOpen(&g_WriteHandle);
    CloseReadHandle();
    CloseIfOpen(&g_ReadHandle_IMU);
    if (g_ReadOverlapped.hEvent == nullptr) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    const BOOL closed = ::CloseHandle(g_ReadOverlapped.hEvent);
    g_ReadOverlapped.hEvent = nullptr;
    return closed ? 1 : 0;
}

}  // extern "C"
