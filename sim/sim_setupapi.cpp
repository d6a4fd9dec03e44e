// SetupAPI and configuration-manager calls over the simulated device nodes.
//
// Device-information sets are snapshots, as on Windows: a device that leaves
// the bus after the set was made is still listed in it, and its properties
// can still be read (the registry keeps them), but opening it fails.
#include "sim_internal.h"

#include <algorithm>
#include <cstddef>

using namespace sim;
using namespace sim::detail;

namespace {

// DEVPKEY_Device_* that the simulator answers besides the parent.
const GUID kFmtDevice = {0xA45C254E, 0xDF1C, 0x4EFD, {0x80, 0x20, 0x67, 0xD1, 0x46, 0xA8, 0x50, 0xE0}};
const GUID kFmtInstanceId = {0x78C34FC8, 0x104A, 0x4ACA, {0x9E, 0xA4, 0x52, 0x4D, 0x52, 0x99, 0x6E, 0x57}};

DevInfoSet* FindSet(World& w, HDEVINFO h) {
    auto it = w.sets.find(static_cast<void*>(h));
    return it == w.sets.end() ? nullptr : it->second.get();
}

bool SetHasDevice(const DevInfoSet& set, DWORD devinst) {
    for (const SetDevice& d : set.devices) {
        if (d.devinst == devinst) return true;
    }
    return false;
}

const SetInterface* InterfaceOf(const DevInfoSet& set, const SP_DEVICE_INTERFACE_DATA* data) {
    auto* p = reinterpret_cast<const SetInterface*>(data->Reserved);
    if (set.interfaces.empty()) return nullptr;
    if (p < set.interfaces.data() || p >= set.interfaces.data() + set.interfaces.size()) return nullptr;
    return p;
}

void FillDevInfo(const DevInfoSet& set, DWORD devinst, SP_DEVINFO_DATA* out) {
    for (const SetDevice& d : set.devices) {
        if (d.devinst != devinst) continue;
        out->ClassGuid = d.setupClass;
        out->DevInst = d.devinst;
        out->Reserved = reinterpret_cast<ULONG_PTR>(&d);
        return;
    }
}

std::vector<BYTE> SzBytes(const std::wstring& s) {
    std::vector<BYTE> b((s.size() + 1) * sizeof(wchar_t), 0);
    memcpy(b.data(), s.c_str(), s.size() * sizeof(wchar_t));
    return b;
}

std::vector<BYTE> MultiSzBytes(const std::vector<std::wstring>& list) {
    std::wstring all;
    for (const std::wstring& s : list) {
        all += s;
        all.push_back(L'\0');
    }
    all.push_back(L'\0');
    std::vector<BYTE> b(all.size() * sizeof(wchar_t));
    memcpy(b.data(), all.data(), b.size());
    return b;
}

// A property of a node as (registry type, bytes); false when the node does
// not have it.
bool RegistryProperty(World& w, const Node& n, DWORD property, DWORD* type, std::vector<BYTE>* bytes) {
    auto sz = [&](const std::wstring& s) {
        if (s.empty()) return false;
        *type = REG_SZ;
        *bytes = SzBytes(s);
        return true;
    };
    auto multi = [&](const std::vector<std::wstring>& l) {
        if (l.empty()) return false;
        *type = REG_MULTI_SZ;
        *bytes = MultiSzBytes(l);
        return true;
    };
    switch (property) {
        case SPDRP_DEVICEDESC: return sz(n.description);
        case SPDRP_HARDWAREID: return multi(n.hardwareIds);
        case SPDRP_COMPATIBLEIDS: return multi(n.compatibleIds);
        case SPDRP_SERVICE: return sz(n.service);
        case SPDRP_CLASSGUID: return sz(AsciiLower(GuidText(n.setupClass)));
        case SPDRP_FRIENDLYNAME: return sz(n.friendlyName);
        case SPDRP_LOCATION_INFORMATION: return sz(n.locationInfo);
        case SPDRP_LOCATION_PATHS: return multi(n.locationPaths);
        case SPDRP_ENUMERATOR_NAME: return sz(n.instanceId.substr(0, n.instanceId.find(L'\\')));
        case SPDRP_PHYSICAL_DEVICE_OBJECT_NAME: return sz(L"\\Device\\USBPDO-" + std::to_wstring(n.devinst & 0xFFFF));
        default: return false;
    }
    (void)w;
}

BOOL Fail(DWORD error) {
    ::SetLastError(error);
    return FALSE;
}

}  // namespace

namespace simos {

HDEVINFO WINAPI SetupDiGetClassDevsW(const GUID* classGuid, PCWSTR enumerator, HWND, DWORD flags) {
    const bool interfaces = (flags & DIGCF_DEVICEINTERFACE) != 0;
    const bool allClasses = (flags & DIGCF_ALLCLASSES) != 0;
    if (!allClasses && classGuid == nullptr) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    World& w = W();
    auto set = std::make_unique<DevInfoSet>();
    void* key = nullptr;
    {
        std::lock_guard<std::mutex> lock(w.mu);
        std::wstring filter = enumerator ? AsciiUpper(enumerator) : std::wstring();
        for (const Node* n : w.OrderedNodes()) {
            if ((flags & DIGCF_PRESENT) && !n->present) continue;
            if (!filter.empty()) {
                std::wstring id = AsciiUpper(n->instanceId);
                if (id != filter && id.compare(0, filter.size() + 1, filter + L"\\") != 0) continue;
            }
            bool listed = false;
            if (interfaces) {
                for (const InterfaceEntry& i : n->interfaces) {
                    if (!allClasses && !SameGuid(i.interfaceClass, *classGuid)) continue;
                    set->interfaces.push_back({i.interfaceClass, i.path, n->devinst});
                    listed = true;
                }
            } else if (allClasses || SameGuid(n->setupClass, *classGuid)) {
                for (const InterfaceEntry& i : n->interfaces) set->interfaces.push_back({i.interfaceClass, i.path, n->devinst});
                listed = true;
            }
            if (listed) set->devices.push_back({n->devinst, n->setupClass});
        }
        if (w.order == EnumerationOrder::ByPath) {
            std::stable_sort(set->interfaces.begin(), set->interfaces.end(),
                             [](const SetInterface& a, const SetInterface& b) { return a.path < b.path; });
            std::vector<SetDevice> devices;
            for (const SetInterface& i : set->interfaces) {
                if (!SetHasDevice(DevInfoSet{devices, {}}, i.devinst)) {
                    for (const SetDevice& d : set->devices) {
                        if (d.devinst == i.devinst) devices.push_back(d);
                    }
                }
            }
            for (const SetDevice& d : set->devices) {
                if (!SetHasDevice(DevInfoSet{devices, {}}, d.devinst)) devices.push_back(d);
            }
            set->devices = devices;
        }
        key = set.get();
        w.sets[key] = std::move(set);
    }
    ::SetLastError(ERROR_SUCCESS);
    return static_cast<HDEVINFO>(key);
}

BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO h, PSP_DEVINFO_DATA devinfo, const GUID* cls, DWORD index,
                                        PSP_DEVICE_INTERFACE_DATA data) {
    World& w = W();
    DWORD error = ERROR_SUCCESS;
    {
        std::lock_guard<std::mutex> lock(w.mu);
        DevInfoSet* set = FindSet(w, h);
        if (!set) {
            error = ERROR_INVALID_HANDLE;
        } else if (!data || !cls) {
            error = ERROR_INVALID_PARAMETER;
        } else if (data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
            error = ERROR_INVALID_USER_BUFFER;
        } else if (devinfo && (devinfo->cbSize != sizeof(SP_DEVINFO_DATA) || !SetHasDevice(*set, devinfo->DevInst))) {
            error = ERROR_INVALID_PARAMETER;
        } else {
            DWORD seen = 0;
            error = ERROR_NO_MORE_ITEMS;
            for (const SetInterface& i : set->interfaces) {
                if (!SameGuid(i.interfaceClass, *cls)) continue;
                if (devinfo && i.devinst != devinfo->DevInst) continue;
                if (seen++ != index) continue;
                data->InterfaceClassGuid = i.interfaceClass;
                data->Flags = SPINT_ACTIVE;
                data->Reserved = reinterpret_cast<ULONG_PTR>(&i);
                error = ERROR_SUCCESS;
                break;
            }
        }
    }
    ::SetLastError(error);
    return error == ERROR_SUCCESS;
}

BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO h, DWORD index, PSP_DEVINFO_DATA data) {
    World& w = W();
    DWORD error = ERROR_SUCCESS;
    {
        std::lock_guard<std::mutex> lock(w.mu);
        DevInfoSet* set = FindSet(w, h);
        if (!set) {
            error = ERROR_INVALID_HANDLE;
        } else if (!data) {
            error = ERROR_INVALID_PARAMETER;
        } else if (data->cbSize != sizeof(SP_DEVINFO_DATA)) {
            error = ERROR_INVALID_USER_BUFFER;
        } else if (index >= set->devices.size()) {
            error = ERROR_NO_MORE_ITEMS;
        } else {
            FillDevInfo(*set, set->devices[index].devinst, data);
        }
    }
    ::SetLastError(error);
    return error == ERROR_SUCCESS;
}

BOOL WINAPI SetupDiGetDeviceRegistryPropertyW(HDEVINFO h, PSP_DEVINFO_DATA devinfo, DWORD property, PDWORD type,
                                              PBYTE buffer, DWORD size, PDWORD required) {
    World& w = W();
    DWORD error = ERROR_SUCCESS;
    {
        std::lock_guard<std::mutex> lock(w.mu);
        DevInfoSet* set = FindSet(w, h);
        DWORD regType = 0;
        std::vector<BYTE> bytes;
        Node* n = nullptr;
        if (!set) {
            error = ERROR_INVALID_HANDLE;
        } else if (!devinfo || devinfo->cbSize != sizeof(SP_DEVINFO_DATA) || !SetHasDevice(*set, devinfo->DevInst)) {
            error = ERROR_INVALID_PARAMETER;
        } else if (property >= SPDRP_MAXIMUM_PROPERTY) {
            error = ERROR_INVALID_REG_PROPERTY;
        } else if (!buffer && size != 0) {
            error = ERROR_INVALID_PARAMETER;
        } else if (!(n = w.FindNode(devinfo->DevInst))) {
            error = ERROR_NO_SUCH_DEVINST;
        } else if (!RegistryProperty(w, *n, property, &regType, &bytes)) {
            error = ERROR_INVALID_DATA;
        } else {
            if (type) *type = regType;
            if (required) *required = static_cast<DWORD>(bytes.size());
            if (size < bytes.size()) {
                error = ERROR_INSUFFICIENT_BUFFER;
            } else {
                memcpy(buffer, bytes.data(), bytes.size());
            }
        }
    }
    ::SetLastError(error);
    return error == ERROR_SUCCESS;
}

BOOL WINAPI SetupDiGetDeviceInterfaceDetailW(HDEVINFO h, PSP_DEVICE_INTERFACE_DATA data,
                                             PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD size, PDWORD required,
                                             PSP_DEVINFO_DATA devinfo) {
    World& w = W();
    DWORD error = ERROR_SUCCESS;
    {
        std::lock_guard<std::mutex> lock(w.mu);
        DevInfoSet* set = FindSet(w, h);
        const SetInterface* i = nullptr;
        if (!set) {
            error = ERROR_INVALID_HANDLE;
        } else if (!data || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) || !(i = InterfaceOf(*set, data))) {
            error = ERROR_INVALID_PARAMETER;
        } else if (detail && detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) {
            // The fixed head's size: 8 on x86_64, 6 on i686.
            error = ERROR_INVALID_USER_BUFFER;
        } else if (!detail && size != 0) {
            error = ERROR_INVALID_USER_BUFFER;
        } else if (devinfo && devinfo->cbSize != sizeof(SP_DEVINFO_DATA)) {
            error = ERROR_INVALID_USER_BUFFER;
        } else {
            const DWORD needed = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) +
                                                    (i->path.size() + 1) * sizeof(wchar_t));
            if (required) *required = needed;
            if (devinfo) FillDevInfo(*set, i->devinst, devinfo);
            if (size < needed) {
                error = ERROR_INSUFFICIENT_BUFFER;
            } else {
                memcpy(detail->DevicePath, i->path.c_str(), (i->path.size() + 1) * sizeof(wchar_t));
            }
        }
    }
    ::SetLastError(error);
    return error == ERROR_SUCCESS;
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO h) {
    World& w = W();
    bool found;
    {
        std::lock_guard<std::mutex> lock(w.mu);
        found = w.sets.erase(static_cast<void*>(h)) != 0;
    }
    if (!found) return Fail(ERROR_INVALID_HANDLE);
    ::SetLastError(ERROR_SUCCESS);
    return TRUE;
}

CONFIGRET WINAPI CM_Get_Parent(PDEVINST parent, DEVINST devinst, ULONG flags) {
    if (!parent) return CR_INVALID_POINTER;
    *parent = 0;
    if (flags != 0) return CR_INVALID_FLAG;
    World& w = W();
    LastErrorGuard keep;
    std::lock_guard<std::mutex> lock(w.mu);
    Node* n = w.FindNode(devinst);
    if (!n) return CR_INVALID_DEVNODE;
    if (!n->present || n->parent == 0) return CR_NO_SUCH_DEVNODE;
    *parent = n->parent;
    return CR_SUCCESS;
}

CONFIGRET WINAPI CM_Get_Device_IDW(DEVINST devinst, PWSTR buffer, ULONG length, ULONG flags) {
    if (!buffer) return CR_INVALID_POINTER;
    if (flags != 0) return CR_INVALID_FLAG;
    World& w = W();
    LastErrorGuard keep;
    std::lock_guard<std::mutex> lock(w.mu);
    Node* n = w.FindNode(devinst);
    if (!n) return CR_INVALID_DEVNODE;
    const std::wstring& id = n->instanceId;
    if (length <= id.size()) {
        // As much as fits, unterminated.
        memcpy(buffer, id.c_str(), length * sizeof(wchar_t));
        return CR_BUFFER_SMALL;
    }
    memcpy(buffer, id.c_str(), (id.size() + 1) * sizeof(wchar_t));
    return CR_SUCCESS;
}

BOOL WINAPI SetupDiGetDevicePropertyW(HDEVINFO h, PSP_DEVINFO_DATA devinfo, const DEVPROPKEY* key, DEVPROPTYPE* type,
                                      PBYTE buffer, DWORD size, PDWORD required, DWORD flags) {
    World& w = W();
    DWORD error = ERROR_SUCCESS;
    {
        std::lock_guard<std::mutex> lock(w.mu);
        DevInfoSet* set = FindSet(w, h);
        Node* n = nullptr;
        if (!set) {
            error = ERROR_INVALID_HANDLE;
        } else if (!devinfo || devinfo->cbSize != sizeof(SP_DEVINFO_DATA) || !SetHasDevice(*set, devinfo->DevInst)) {
            error = ERROR_INVALID_PARAMETER;
        } else if (!key || !type) {
            error = ERROR_INVALID_USER_BUFFER;
        } else if (flags != 0) {
            error = ERROR_INVALID_FLAGS;
        } else if (!buffer && size != 0) {
            error = ERROR_INVALID_USER_BUFFER;
        } else if (!(n = w.FindNode(devinfo->DevInst))) {
            error = ERROR_NO_SUCH_DEVINST;
        } else {
            DEVPROPTYPE t = DEVPROP_TYPE_EMPTY;
            std::vector<BYTE> bytes;
            if (SameGuid(key->fmtid, kDevPKeyDeviceParent.fmtid) && key->pid == kDevPKeyDeviceParent.pid) {
                if (n->parent != 0) {
                    t = DEVPROP_TYPE_STRING;
                    bytes = SzBytes(w.FindNode(n->parent)->instanceId);
                }
            } else if (SameGuid(key->fmtid, kFmtInstanceId) && key->pid == 256) {
                t = DEVPROP_TYPE_STRING;
                bytes = SzBytes(n->instanceId);
            } else if (SameGuid(key->fmtid, kFmtDevice)) {
                DWORD regType = 0;
                DWORD property = key->pid == 2    ? SPDRP_DEVICEDESC
                                 : key->pid == 3  ? SPDRP_HARDWAREID
                                 : key->pid == 4  ? SPDRP_COMPATIBLEIDS
                                 : key->pid == 6  ? SPDRP_SERVICE
                                 : key->pid == 14 ? SPDRP_FRIENDLYNAME
                                 : key->pid == 15 ? SPDRP_LOCATION_INFORMATION
                                 : key->pid == 37 ? SPDRP_LOCATION_PATHS
                                                  : SPDRP_MAXIMUM_PROPERTY;
                if (property != SPDRP_MAXIMUM_PROPERTY && RegistryProperty(w, *n, property, &regType, &bytes)) {
                    t = regType == REG_MULTI_SZ ? DEVPROP_TYPE_STRING_LIST : DEVPROP_TYPE_STRING;
                }
            }
            if (t == DEVPROP_TYPE_EMPTY) {
                error = ERROR_NOT_FOUND;
            } else {
                *type = t;
                if (required) *required = static_cast<DWORD>(bytes.size());
                if (size < bytes.size()) {
                    error = ERROR_INSUFFICIENT_BUFFER;
                } else {
                    memcpy(buffer, bytes.data(), bytes.size());
                }
            }
        }
    }
    ::SetLastError(error);
    return error == ERROR_SUCCESS;
}

}  // namespace simos
