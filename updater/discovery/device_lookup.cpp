#include "device_lookup.h"
#include <initializer_list>

#include <devpkey.h>

#include <new>
#include <vector>

#include "KivoFWSW.h"
#include "device_table.h"
#include "debug_print.h"
#include "device_id.h"
#include "os_api.h"
#include <strsafe.h>

HDEVINFO g_hDevInfo = INVALID_HANDLE_VALUE;
SP_DEVINFO_DATA g_DevInfoData;
wchar_t g_szDebugText[kPathChars];
SP_DEVICE_INTERFACE_DATA* g_pDevInterfaceData = new SP_DEVICE_INTERFACE_DATA;
SP_DEVICE_INTERFACE_DETAIL_DATA_W* g_pDevInterfaceDetail =
    static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(::operator new(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)));

namespace {

const GUID kUsbDeviceClass = {0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};
const GUID kVideoClass = {0x6994AD05, 0x93EF, 0x11D0, {0xA3, 0xCC, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
// DEVPKEY_Device_Parent.
const DEVPROPKEY kParentKey = {{0x4340A6C5, 0x93FA, 0x4706, {0x97, 0x2C, 0x7B, 0x64, 0x80, 0x08, 0xA5, 0xA7}}, 8};

PFN_SetupDiGetDevicePropertyW LookupDevicePropertyApi() {
    HMODULE setupapi = Os().GetModuleHandleW(L"Setupapi.dll");
    if (setupapi == nullptr) return nullptr;
    return reinterpret_cast<PFN_SetupDiGetDevicePropertyW>(Os().GetProcAddress(setupapi, "SetupDiGetDevicePropertyW"));
}

void DestroySet() {
    if (g_hDevInfo != INVALID_HANDLE_VALUE && g_hDevInfo != nullptr) Os().SetupDiDestroyDeviceInfoList(g_hDevInfo);
    g_hDevInfo = INVALID_HANDLE_VALUE;
}

// Reads a multi-string registry property and copies its first string into
// text (260 characters). False when the property could not be read.
bool ReadFirstString(DWORD property, wchar_t* text, bool logSizeError) {
    DWORD size = 0;
    Os().SetupDiGetDeviceRegistryPropertyW(g_hDevInfo, &g_DevInfoData, property, nullptr, nullptr, 0, &size);
    if (logSizeError) DebugPrint(1, L"SPDRP_HARDWAREID GetLastError() = %d\r\n", static_cast<int>(GetLastError()));
    if (size == 0) return false;
    std::vector<BYTE> buffer;
    try {
        buffer.assign(size + sizeof(wchar_t), 0);
    } catch (const std::bad_alloc&) {
        return false;
    }
    if (!Os().SetupDiGetDeviceRegistryPropertyW(g_hDevInfo, &g_DevInfoData, property, nullptr, buffer.data(), size,
                                                nullptr))
        return false;
    StringCchCopyNW(text, kPathChars, reinterpret_cast<const wchar_t*>(buffer.data()), size / sizeof(wchar_t));
    StringCbPrintfW(g_szDebugText, sizeof(g_szDebugText), L"DLL VID & PID = %s \r\n", text);
    DebugLine(g_szDebugText);
    return true;
}

// Reads the interface detail of the current interface into a record of the
// size the system asks for. nullptr on failure.
SP_DEVICE_INTERFACE_DETAIL_DATA_W* ReadDetail(SP_DEVICE_INTERFACE_DATA* iface, bool* readFailed) {
    *readFailed = false;
    DWORD size = 0;
    Os().SetupDiGetDeviceInterfaceDetailW(g_hDevInfo, iface, nullptr, 0, &size, nullptr);
    if (size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) size = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    auto* detail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(::operator new(size + sizeof(wchar_t), std::nothrow));
    if (detail == nullptr) return nullptr;
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    if (!Os().SetupDiGetDeviceInterfaceDetailW(g_hDevInfo, iface, detail, size, nullptr, nullptr)) {
        *readFailed = true;
        ::operator delete(detail);
        return nullptr;
    }
    return detail;
}

void ReplaceDetailRecord(SP_DEVICE_INTERFACE_DETAIL_DATA_W* detail) {
    ::operator delete(g_pDevInterfaceDetail);
    g_pDevInterfaceDetail = detail;
}

// The 10 characters 6 after the first "MI_" of an upper-cased path; false
// when the path has no "MI_" (or is too short for them).
bool CutInstanceId(wchar_t* path, wchar_t* out15) {
    IdToUpperInPlace(path, kIdScanLimit);
    const wchar_t* mi = wcsstr(path, L"MI_");
    if (mi == nullptr) return false;
    const size_t available = wcsnlen(mi, 16);
    if (available <= 6) return false;
    StringCchCopyNW(out15, 15, mi + 6, 10);
    return true;
}

}  // namespace

int FindMatchDFUDevice(wchar_t* hardwareId) {
    DebugLine(L"FindMatchDFUDevice ++\r\n");
    DebugPrint(1, L"FindMatchDevice DeviceIDFromRegistry = %s\r\n", hardwareId);
    wchar_t vid[kIdFieldCap] = L"", pid[kIdFieldCap] = L"";
    updater::GetVidPid(hardwareId, vid, pid);
    if (!updater::IsSameId(vid, L"4A7E") && !updater::IsSameId(vid, L"04B4") && !updater::IsSameId(vid, L"1FC9")) {
        DebugLine(L"FindMatchDFUDevice --\r\n");
        return 0;
    }
    for (const wchar_t* p : {L"DF00", L"00F3", L"DF01", L"0135", L"DF02"})
        if (updater::IsSameId(pid, p)) return 1;
    DebugLine(L"FindMatchDFUDevice --\r\n");
    return 0;
}

int DeviceConnect() {
    g_hDevInfo = Os().SetupDiGetClassDevsW(&kUsbDeviceClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    g_pDevInterfaceData->cbSize = sizeof(SP_DEVICE_INTERFACE_DATA);
    g_DevInfoData.cbSize = sizeof(SP_DEVINFO_DATA);
    int found = 0;
    for (DWORD index = 0;; ++index) {
        if (!Os().SetupDiEnumDeviceInterfaces(g_hDevInfo, nullptr, &kUsbDeviceClass, index, g_pDevInterfaceData)) {
            DestroySet();
            return found != 0 ? 1 : 0;
        }
        Os().SetupDiEnumDeviceInfo(g_hDevInfo, index, &g_DevInfoData);
        wchar_t work[kPathChars] = L"";
        if (!ReadFirstString(SPDRP_HARDWAREID, work, true)) continue;
        if (FindMatchDFUDevice(work) != 1) {
            DebugLine(L"DeviceConnect: Device not found \r\n");
            continue;
        }
        if (g_nDeviceCount >= kMaxDevices) {
            DebugLine(L"Device table is full: device not listed\r\n");
            continue;
        }
        ReadFirstString(SPDRP_LOCATION_PATHS, work, false);
        bool readFailed = false;
        SP_DEVICE_INTERFACE_DETAIL_DATA_W* detail = ReadDetail(g_pDevInterfaceData, &readFailed);
        if (detail == nullptr) {
            DestroySet();
            if (readFailed)
                Os().MessageBoxW(nullptr, L"Error in SetupDiGetDeviceInterfaceDetail!", L"Error",
                                 MB_ICONERROR | MB_TOPMOST);
            return 0;
        }
        ReplaceDetailRecord(detail);
        const int n = g_nDeviceCount;
        StringCchCopyW(g_szDevicePathList[n], kPathChars, detail->DevicePath);
        wchar_t path[kPathChars];
        StringCchCopyW(path, kPathChars, detail->DevicePath);
        wchar_t vid[kIdFieldCap] = L"", pid[kIdFieldCap] = L"";
        updater::GetVidPid(path, vid, pid);
        StringCchCopyW(g_szVIDList[n], kIdFieldChars, vid);
        StringCchCopyW(g_szPIDList[n], kIdFieldChars, pid);

        wchar_t description[kPathChars] = L"";
        Os().SetupDiGetDeviceRegistryPropertyW(g_hDevInfo, &g_DevInfoData, SPDRP_DEVICEDESC, nullptr,
                                               reinterpret_cast<BYTE*>(description), sizeof(description) - sizeof(wchar_t),
                                               nullptr);
        // Root-hub port at position 36 of the location path, hub port at 43
        // (PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(p)#USB(q)); a device on a root
        // port has no hub port.
        const size_t len = wcsnlen(g_szDebugText, kPathChars);
        const wchar_t port = len > 52 ? g_szDebugText[52] : L'0';
        const int hub = len > 59 && g_szDebugText[59] >= L'0' ? g_szDebugText[59] - L'0' : 0;
        StringCchPrintfW(g_szDeviceNameList[n], kPathChars, L"%s_USB_%c_HUB_%d", description, port, hub);
        ZeroMemory(g_szDebugText, 130 * sizeof(wchar_t));
        g_nDeviceCount = n + 1;
        ++found;
    }
}

void GetUSBInstanceID(wchar_t* path, wchar_t* out) {
    wchar_t work[15] = L"";
    if (!CutInstanceId(path, work)) return;
    DebugLine(L"ImagingDevice USB InstanceID = ");
    StringCchPrintfW(out, 11, L"%s", work);
    DebugLine(out);
}

int EnumerateImageDevice(const wchar_t* devicePath, wchar_t* uniqueId) {
    try {
        OSVERSIONINFOW version{};
        version.dwOSVersionInfoSize = sizeof(version);
        Os().GetVersionExW(&version);
        wchar_t path[kPathChars];
        StringCchCopyW(path, kPathChars, devicePath);
        wchar_t target[11] = L"";
        GetUSBInstanceID(path, target);

        g_hDevInfo = Os().SetupDiGetClassDevsW(&kVideoClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
        SP_DEVICE_INTERFACE_DATA iface{};
        iface.cbSize = sizeof(iface);
        g_DevInfoData.cbSize = sizeof(SP_DEVINFO_DATA);
        wchar_t candidate[15] = L"";
        for (DWORD index = 0;; ++index) {
            if (!Os().SetupDiEnumDeviceInterfaces(g_hDevInfo, nullptr, &kVideoClass, index, &iface)) {
                DestroySet();
                return 0;
            }
            Os().SetupDiEnumDeviceInfo(g_hDevInfo, index, &g_DevInfoData);
            bool readFailed = false;
            SP_DEVICE_INTERFACE_DETAIL_DATA_W* detail = ReadDetail(&iface, &readFailed);
            if (detail == nullptr) {
                if (readFailed) continue;
                DestroySet();
                return 0;
            }
            wchar_t candidatePath[kPathChars];
            StringCchCopyW(candidatePath, kPathChars, detail->DevicePath);
            ::operator delete(detail);
            wchar_t cut[15] = L"";
            if (CutInstanceId(candidatePath, cut)) {
                DebugLine(L"ImagingDevice USB InstanceID = ");
                StringCchCopyW(candidate, 15, cut);
                DebugLine(candidate);
            }
            wchar_t a[15], b[15];
            StringCchCopyW(a, 15, candidate);
            StringCchCopyW(b, 15, target);
            if (!IdEqualUpperInPlace(a, 15, b, 15)) continue;

            if (version.dwMajorVersion == 5 && (version.dwMinorVersion == 1 || version.dwMinorVersion == 2)) {
                DestroySet();
                return 0;
            }
            PFN_SetupDiGetDevicePropertyW getProperty = LookupDevicePropertyApi();
            wchar_t parent[kPathChars] = L"";
            DEVPROPTYPE type = 0;
            if (getProperty != nullptr &&
                getProperty(g_hDevInfo, &g_DevInfoData, &kParentKey, &type, reinterpret_cast<BYTE*>(parent),
                            sizeof(parent) - sizeof(wchar_t), nullptr, 0)) {
                DebugPrint(1, L"Parent Property value: %s\r\n", parent);
                IdToUpperInPlace(parent, kPathChars);
                const wchar_t* pidMarker = wcsstr(parent, L"PID_");
                if (pidMarker != nullptr && wcsnlen(pidMarker, 10) > 9) {
                    wchar_t serial[11] = L"";
                    StringCchCopyNW(serial, 11, pidMarker + 9, 10);
                    const wchar_t* amp = wcschr(serial, L'&');
                    if (amp != nullptr) {
                        DebugPrint(1, L" found at position %d\n", static_cast<int>(amp - serial) + 1);
                        StringCchPrintfW(uniqueId, 11, L"%02X", 0);
                    } else {
                        DebugLine(L"Doesnot contain special character\n");
                        StringCchCopyW(uniqueId, 11, serial);
                    }
                    DebugLine(uniqueId);
                    DebugLine(L"\n");
                }
            }
            DestroySet();
            return 1;
        }
    } catch (...) {
        DebugLine(L"Exception EnumerateImageDevice...\r\n");
        DestroySet();
        return 0;
    }
}

void UniqueIdOfUpdateModePath(const wchar_t* path, wchar_t* uniqueId) {
    wchar_t upper[kPathChars];
    StringCchCopyW(upper, kPathChars, path);
    IdToUpperInPlace(upper, kPathChars);
    const wchar_t* pid = wcsstr(upper, L"PID_");
    if (pid == nullptr || wcsnlen(pid, 10) < 10) return;
    wchar_t serial[11] = L"";
    size_t n = 0;
    for (const wchar_t* c = pid + 9; *c != L'\0' && *c != L'#' && *c != L'\\' && n < 10; ++c) serial[n++] = *c;
    serial[n] = L'\0';
    if (wcschr(serial, L'&') != nullptr) StringCchPrintfW(uniqueId, 11, L"%02X", 0);
    else StringCchCopyW(uniqueId, 11, serial);
}

bool IsInSnapshot(CameraUpdate& u, const wchar_t* path, const wchar_t* matched, const wchar_t* notMatched) {
    for (int j = 0; j < g_nDeviceCount; ++j) {
        if (DevicePathsEqual(path, u.szDevicePathSnapshot[j])) {
            DebugPrint(1, matched);
            return true;
        }
        DebugPrint(1, notMatched);
    }
    return false;
}

int FindNewDeviceAgainstSnapshot(CameraUpdate& u) {
    for (int i = 0; i < g_nDeviceCount; ++i) {
        if (!IsInSnapshot(u, g_szDevicePathList[i], L"DBT_DEVICEARRIVAL:Device macthed\r\n",
                          L"DBT_DEVICEARRIVAL:Device not macthed\r\n"))
            return i;
    }
    return -1;
}

int FindNewUpdateModeDevice(CameraUpdate& u) {
    int first = -1;
    const bool known = u.USBUniqueID[0] != L'\0' && wcscmp(u.USBUniqueID, L"00") != 0;
    for (int i = 0; i < g_nDeviceCount && i < kMaxDevices; ++i) {
        if (IsInSnapshot(u, g_szDevicePathList[i], L"DBT_DEVICEARRIVAL:Device macthed\r\n",
                         L"DBT_DEVICEARRIVAL:Device not macthed\r\n"))
            continue;
        wchar_t pid[kIdFieldChars];
        StringCchCopyW(pid, kIdFieldChars, g_szPIDList[i]);
        if (!updater::IsSameId(pid, L"DF00") && !updater::IsSameId(pid, L"DF01") && !updater::IsSameId(pid, L"DF02"))
            continue;
        wchar_t id[11] = {};
        UniqueIdOfUpdateModePath(g_szDevicePathList[i], id);
        if (known && wmemcmp(id, u.USBUniqueID, 10) == 0) return i;
        if (first < 0) first = i;
    }
    return first;
}

int FindReturnedUpdateModeDevice(CameraUpdate& u) {
    // Back for the second part, or back after a communication failure.
    if (!u.bIsStartUpdatedFromDFU || !(u.bFirstPartWritten || u.bWaitAfterFailure) ||
        u.szUpdateModeDevicePath[0] == L'\0')
        return -1;
    for (int i = 0; i < g_nDeviceCount && i < kMaxDevices; ++i) {
        if (DevicePathsEqual(g_szDevicePathList[i], u.szUpdateModeDevicePath)) {
            DebugLine(L"DBT_DEVICEARRIVAL: update-mode device is back for the second part\r\n");
            return i;
        }
    }
    return -1;
}

