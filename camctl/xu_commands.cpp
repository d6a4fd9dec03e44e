// UVC extension-unit commands of the Tessa, Kivo R7 and Kivo V9 cameras:
// binding the extension-unit node of the camera's capture filter (system
// device enumerator, moniker, IKsTopologyInfo) and kernel-streaming property
// requests on it through IKsControl.
//
// The updater initialised COM on its dialog thread; the library does not.
#include <cstring>

#include <strsafe.h>

#include "KivoFWSW.h"
#include "call_guard.h"
#include "cam_log.h"
#include "id_text.h"
#include "os_api.h"
#include "os_trace.h"
#include "ks_interfaces.h"

namespace {

IBaseFilter* g_pCaptureFilter = nullptr;
IUnknown* g_pUnkOuter = nullptr;
IKsControl* g_pKsControl = nullptr;
ULONG g_XUNodeId = 0;
KSP_NODE g_XUProperty = {};
ULONG g_ulBytesReturned = 0;

constexpr std::size_t kPathCap = 260;
constexpr DWORD kResetSettleMs = 5000;

// R7: the EEPROM access selector and the command selector, whose requests
// carry the HID protocol's command bytes behind 0xA0.
constexpr ULONG kR7SelectorEeprom = 5;
constexpr ULONG kR7SelectorCommand = 24;
constexpr BYTE kR7Prefix = 0xA0;
constexpr WORD kR7VersionRegisters[4] = {0x96, 0x97, 0x98, 0x99};  // year, month, day, version
// V9: version and reset selectors.
constexpr ULONG kV9SelectorVersion = 1;
constexpr ULONG kV9SelectorReset = 3;

template <typename T>
void ReleaseAndNull(T** p) {
    if (*p == nullptr) return;
    (*p)->Release();
    *p = nullptr;
}

// Holds one reference of the enumeration for the length of a scope.
template <typename T>
struct Held {
    T* p = nullptr;
    Held() = default;
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;
    ~Held() { ReleaseAndNull(&p); }
    T** out() { return &p; }
    T* operator->() const { return p; }
};

struct HeldVariant {
    VARIANT v;
    HeldVariant() { ::VariantInit(&v); }
    ~HeldVariant() { ::VariantClear(&v); }
};

// The node instance and its control of one binding belong together: a new
// binding (or a failed control query) must not leave the old camera's
// control behind, or later requests would reach a camera that is no longer
// selected.
void ReleaseBinding() {
    ReleaseAndNull(&g_pKsControl);
    ReleaseAndNull(&g_pUnkOuter);
    ReleaseAndNull(&g_pCaptureFilter);
}

// Binds the moniker's filter and instantiates its first extension-unit node.
int KSTopologyInitialize(IMoniker* moniker) {
    try {
        ReleaseBinding();
        HRESULT hr = moniker->BindToObject(nullptr, nullptr, kIidBaseFilter, reinterpret_cast<void**>(&g_pCaptureFilter));
        if (FAILED(hr) || g_pCaptureFilter == nullptr) {
            g_pCaptureFilter = nullptr;
            ::SetLastError(FAILED(hr) ? static_cast<DWORD>(hr) : ERROR_NOT_FOUND);
            return 0;
        }
        Held<IKsTopologyInfo> topology;
        hr = g_pCaptureFilter->QueryInterface(kIidKsTopologyInfo, reinterpret_cast<void**>(topology.out()));
        if (FAILED(hr)) CamLog(L"Unable to obtain Get video input filter %x\n", static_cast<unsigned>(hr));
        if (topology.p == nullptr) {
            CamLog(L"KSTopologyInitialize pKsTopologyInfo is  Invalid hr = %x\n", static_cast<unsigned>(hr));
            ::SetLastError(static_cast<DWORD>(hr));
            return 0;
        }
        DWORD nodes = 0;
        if (FAILED(topology->get_NumNodes(&nodes))) nodes = 0;
        for (DWORD i = 0; i < nodes; ++i) {
            GUID type = {};
            if (SUCCEEDED(topology->get_NodeType(i, &type)) && IsEqualGUID(type, kNodeTypeDevSpecific)) {
                g_XUNodeId = i;
                break;
            }
        }
        hr = topology->CreateNodeInstance(g_XUNodeId, IID_IUnknown, reinterpret_cast<void**>(&g_pUnkOuter));
        if (hr != S_OK) {
            CamLog(L"ERROR: Unable to Create g_pUnkOuter instancer %x\n", static_cast<unsigned>(hr));
            if (FAILED(hr)) g_pUnkOuter = nullptr;
        }
        return 1;
    } catch (...) {
        CamLogLine(L"Exception ShowCapFilterPropPage...\r\n");
        return 0;
    }
}

int IksControlInitialize() {
    HRESULT hr = E_POINTER;
    if (g_pUnkOuter != nullptr) hr = g_pUnkOuter->QueryInterface(kIidKsControl, reinterpret_cast<void**>(&g_pKsControl));
    if (FAILED(hr) || g_pKsControl == nullptr) {
        g_pKsControl = nullptr;
        CamLog(L"Unable to obtain IksControlInitialize hr = %x GatLastError() = %x\n", static_cast<unsigned>(hr),
               static_cast<unsigned>(::GetLastError()));
        return 0;
    }
    return 1;
}

// Path of the camera whose extension unit is bound (for the wire trace).
wchar_t g_szXuDevicePath[kPathCap];

// Finds the camera among the video-capture devices and binds its extension
// unit. predicate is the model test of the camera kind.
int BindExtensionUnit(wchar_t* path, int (*predicate)(wchar_t*)) {
    if (path == nullptr) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    try {
        Held<ICreateDevEnum> devices;
        HRESULT hr = Os().CoCreateInstance(kClsidSystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER, kIidCreateDevEnum,
                                           reinterpret_cast<void**>(devices.out()));
        if (FAILED(hr) || devices.p == nullptr) {
            CamLog(L"Cocreateinstance failed...%d\n", static_cast<int>(hr));
            ::SetLastError(static_cast<DWORD>(hr));
            return 0;
        }
        Held<IEnumMoniker> monikers;
        hr = devices->CreateClassEnumerator(kClsidVideoInputDeviceCategory, monikers.out(), 0);
        if (hr != S_OK || monikers.p == nullptr) {
            CamLogLine(L"DeviceManager::DetectDevice -- false \n");
            ::SetLastError(hr == S_FALSE ? ERROR_NOT_FOUND : static_cast<DWORD>(hr));
            return 0;
        }
        monikers->Reset();
        int result = 0;
        DWORD error = ERROR_NOT_FOUND;  // no moniker named the camera
        for (;;) {
            Held<IMoniker> moniker;
            if (monikers->Next(1, moniker.out(), nullptr) != S_OK) break;
            Held<IPropertyBag> bag;
            hr = moniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag, reinterpret_cast<void**>(bag.out()));
            if (FAILED(hr) || bag.p == nullptr) {
                result = 0;
                error = FAILED(hr) ? static_cast<DWORD>(hr) : ERROR_NOT_FOUND;
                break;
            }
            HeldVariant devicePath;
            devicePath.v.vt = VT_BSTR;
            if (FAILED(bag->Read(L"DevicePath", &devicePath.v, nullptr)) || devicePath.v.vt != VT_BSTR ||
                devicePath.v.bstrVal == nullptr) {
                continue;
            }
            // Cut to MAX_PATH like every path the updater keeps.
            wchar_t candidate[kPathCap];
            StringCchCopyW(candidate, kPathCap, devicePath.v.bstrVal);
            CamLogLine(L"Printing device path with InstanceID\r\n");
            if (predicate(candidate) && IdEqualUpperInPlace(candidate, kPathCap, path, kIdScanLimit)) {
                // A later moniker of the same camera decides again.
                result = KSTopologyInitialize(moniker.p);
                error = ::GetLastError();
            }
        }
        if (result == 1) {
            StringCchCopyW(g_szXuDevicePath, kPathCap, path);
            if (!IksControlInitialize()) CamLogLine(L"InitExtensionunit :: IksControlInitialize failed ....\r\n");
        } else {
            ::SetLastError(error);
        }
        return result;
    } catch (...) {
        CamLogLine(L"Exception EnumerateVideoDevices....\r\n");
        return 0;
    }
}

// One property request on the bound extension-unit node; recorded in the wire
// trace when the process traces (the request never crosses the OS table).
HRESULT XuRequest(const GUID& set, ULONG selector, ULONG flags, void* data, ULONG length) {
    std::memset(&g_XUProperty, 0, sizeof(g_XUProperty));
    g_XUProperty.Property.Set = set;
    g_XUProperty.Property.Id = selector;
    g_XUProperty.Property.Flags = flags;
    g_XUProperty.NodeId = g_XUNodeId;
    g_XUProperty.Reserved = 0;
    g_ulBytesReturned = 0;
    const HRESULT hr = g_pKsControl->KsProperty(reinterpret_cast<PKSPROPERTY>(&g_XUProperty), sizeof(g_XUProperty), data,
                                                length, &g_ulBytesReturned);
    const bool get = flags == kKsPropertyGetTopology;
    CorvaneTraceKsProperty(g_szXuDevicePath, set, selector, flags, get ? nullptr : data, get ? 0 : length,
                           get ? data : nullptr, get ? g_ulBytesReturned : 0, hr);
    if (FAILED(hr)) ::SetLastError(static_cast<DWORD>(hr));
    return hr;
}

// Without a bound control nothing reaches a camera.
bool Unbound(const wchar_t* invalidLine, unsigned value) {
    if (g_pKsControl != nullptr) return false;
    CamLog(invalidLine, value);
    ::SetLastError(KIVOFWSW_ERROR_NOT_BOUND);
    return true;
}

constexpr unsigned kR7InvalidValue = 0x80004005;  // E_FAIL, as the R7 lines show it

bool RegReadEEPROM(WORD address, BYTE* value) {
    if (Unbound(L"RegReadEEPROM :: g_pKsControl is invalid %x\n", kR7InvalidValue)) return false;
    BYTE buffer[4] = {kR7Prefix, static_cast<BYTE>(address & 0xFF), static_cast<BYTE>(address >> 8), 0};
    HRESULT hr = XuRequest(kXuSetKivoR7, kR7SelectorEeprom, kKsPropertySetTopology, buffer, sizeof(buffer));
    if (SUCCEEDED(hr)) hr = XuRequest(kXuSetKivoR7, kR7SelectorEeprom, kKsPropertyGetTopology, buffer, sizeof(buffer));
    if (FAILED(hr)) {
        CamLog(L"RegReadEEPROM:: Unable to obtain extension unit %x\n", static_cast<unsigned>(hr));
        return false;
    }
    *value = buffer[3];
    return true;
}

int R7Command(BYTE command, BYTE parameter) {
    if (Unbound(L"RegReadEEPROM :: g_pKsControl is invalid %x\n", kR7InvalidValue)) return 0;
    BYTE buffer[4] = {kR7Prefix, command, parameter, 0};
    const HRESULT hr = XuRequest(kXuSetKivoR7, kR7SelectorCommand, kKsPropertySetTopology, buffer, sizeof(buffer));
    if (FAILED(hr)) {
        CamLog(L"RegReadEEPROM:: Unable to obtain extension unit %x\n", static_cast<unsigned>(hr));
        return 0;
    }
    return 1;
}

}  // namespace

extern "C" {

int InitTessaExtensionUnit(wchar_t* path) {
    CallGuard guard(L"InitTessaExtensionUnit");
    return BindExtensionUnit(path, IsTessaDeviceAvail);
}

int InitKivoR7ExtensionUnit(wchar_t* path) {
    CallGuard guard(L"InitKivoR7ExtensionUnit");
    return BindExtensionUnit(path, IsKivoR7DeviceAvail);
}

int InitKivoV9ExtensionUnit(wchar_t* path) {
    CallGuard guard(L"InitKivoV9ExtensionUnit");
    return BindExtensionUnit(path, IsKivoV9_DeviceAvail);
}

int SetExtensionUnitValueForTessa(int selector, int value) {
    CallGuard guard(L"SetExtensionUnitValueForTessa");
    CamLogLine(L"Click the MANUAL radio button");
    if (Unbound(L"SetExtensionUnitValueForTessa :: g_pKsControl is invalid %x\n", 0)) return 0;
    BYTE data[2] = {static_cast<BYTE>(value & 0xFF), 0};
    const HRESULT hr =
        XuRequest(kXuSetTessa, static_cast<ULONG>(selector & 0xFF), kKsPropertySetTopology, data, sizeof(data));
    if (FAILED(hr)) {
        CamLog(L"Unable to obtain extension unit %x\n", static_cast<unsigned>(hr));
        return 0;
    }
    return 1;
}

int GetTessaFirmwareVersion(int selector, unsigned char* out) {
    CallGuard guard(L"GetTessaFirmwareVersion");
    if (Unbound(L"GetFirmwareVersion :: g_pKsControl is invalid %x\n", 0)) return 0;
    if (out == nullptr) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    BYTE data[4] = {};
    const HRESULT hr =
        XuRequest(kXuSetTessa, static_cast<ULONG>(selector & 0xFF), kKsPropertyGetTopology, data, sizeof(data));
    if (FAILED(hr)) {
        CamLog(L"GetFirmwareVersion:: Unable to obtain extension unit %x\n", static_cast<unsigned>(hr));
        return 0;
    }
    std::memcpy(out, data, sizeof(data));
    return 1;
}

int GetKivoR7FirmwareVersion(unsigned char* out) {
    CallGuard guard(L"GetKivoR7FirmwareVersion");
    if (out == nullptr) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    for (int i = 0; i < 4; ++i) {
        if (!RegReadEEPROM(kR7VersionRegisters[i], &out[i])) return 0;
    }
    return 1;
}

int ResetKivoR7(void) {
    CallGuard guard(L"ResetKivoR7");
    return R7Command(0x32, 0x04);
}

int FallbacktoFWKivoR7(void) {
    CallGuard guard(L"FallbacktoFWKivoR7");
    return R7Command(0x30, 0xFF);
}

int GetFirmwareVersionKivoV9(unsigned char* major, unsigned char* minor, unsigned short* build) {
    CallGuard guard(L"GetFirmwareVersionKivoV9");
    if (Unbound(L"GetFirmwareVersion :: g_pKsControl is invalid %x\n", 0)) return 0;
    if (major == nullptr || minor == nullptr || build == nullptr) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    BYTE data[4] = {0, 0, 0, 0};
    const HRESULT hr = XuRequest(kXuSetKivoV9, kV9SelectorVersion, kKsPropertyGetTopology, data, sizeof(data));
    if (FAILED(hr)) {
        CamLog(L"GetFirmwareVersion:: Unable to obtain extension unit %x\n", static_cast<unsigned>(hr));
        return 0;
    }
    *major = data[0];
    *minor = data[1];
    *build = static_cast<unsigned short>((data[2] << 8) | data[3]);
    return 1;
}

int ResetDeviceV9(void) {
    CallGuard guard(L"ResetDeviceV9");
    if (Unbound(L"ResetDeviceV9 :: g_pKsControl is invalid %x\n", 0)) return 0;
    BYTE data[1] = {0x01};
    const HRESULT hr = XuRequest(kXuSetKivoV9, kV9SelectorReset, kKsPropertySetTopology, data, sizeof(data));
    if (FAILED(hr)) {
        CamLog(L"ResetDeviceV9:: Unable to obtain extension unit %x\n", static_cast<unsigned>(hr));
        return 0;
    }
    // The camera restarts; give it the time it takes before anyone looks for it.
    Os().Sleep(kResetSettleMs);
    return 1;
}

int DeinitExtUnit(void) {
    CallGuard guard(L"DeinitExtUnit");
    try {
        ReleaseAndNull(&g_pCaptureFilter);
        ReleaseAndNull(&g_pKsControl);
        // Released also when no control was obtained from it, so a node
        // instance never outlives its binding.
        ReleaseAndNull(&g_pUnkOuter);
        return 1;
    } catch (...) {
        ::SetLastError(KIVOFWSW_ERROR_EXCEPTION);
        CamLogLine(L"Exception UnitExtensionUnit...\r\n");
        return 0;
    }
}

}  // extern "C"
