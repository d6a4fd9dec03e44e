#include "device_identity.h"

#include <cwctype>
#include <vector>

#include "os_api.h"

namespace {

const GUID kClasses[] = {
    {0x6994AD05, 0x93EF, 0x11D0, {0xA3, 0xCC, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}},  // video
    {0x65E8773D, 0x8F56, 0x11D0, {0xA3, 0xB9, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}},  // capture
    {0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}},  // USB device
    {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}},  // HID
};
const GUID& kUsbDeviceClass = kClasses[2];

// The device node of an interface path, or 0.
DEVINST NodeOfPath(const wchar_t* path) {
    for (const GUID& cls : kClasses) {
        HDEVINFO set = Os().SetupDiGetClassDevsW(&cls, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
        if (set == INVALID_HANDLE_VALUE) continue;
        DEVINST found = 0;
        SP_DEVICE_INTERFACE_DATA iface{};
        iface.cbSize = sizeof(iface);
        for (DWORD index = 0; found == 0 && Os().SetupDiEnumDeviceInterfaces(set, nullptr, &cls, index, &iface);
             ++index) {
            DWORD need = 0;
            Os().SetupDiGetDeviceInterfaceDetailW(set, &iface, nullptr, 0, &need, nullptr);
            if (need < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) || need > 4096) continue;
            std::vector<BYTE> buffer(need);
            auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
            detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
            SP_DEVINFO_DATA info{};
            info.cbSize = sizeof(info);
            if (!Os().SetupDiGetDeviceInterfaceDetailW(set, &iface, detail, need, nullptr, &info)) continue;
            if (lstrcmpiW(detail->DevicePath, path) == 0) found = info.DevInst;
        }
        Os().SetupDiDestroyDeviceInfoList(set);
        if (found != 0) return found;
    }
    return 0;
}

std::wstring NodeId(DEVINST node) {
    wchar_t id[512] = L"";
    if (Os().CM_Get_Device_IDW(node, id, 511, 0) != CR_SUCCESS) return {};
    return id;
}

std::wstring Upper(std::wstring s) {
    for (auto& c : s) c = static_cast<wchar_t>(towupper(c));
    return s;
}

// The location Windows gives the USB device node.
std::wstring PortOfNode(DEVINST node) {
    HDEVINFO set =
        Os().SetupDiGetClassDevsW(&kUsbDeviceClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return {};
    std::wstring port;
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof(info);
    for (DWORD index = 0; Os().SetupDiEnumDeviceInfo(set, index, &info); ++index) {
        if (info.DevInst != node) continue;
        wchar_t text[256] = L"";
        DWORD type = 0;
        if (Os().SetupDiGetDeviceRegistryPropertyW(set, &info, SPDRP_LOCATION_INFORMATION, &type,
                                                   reinterpret_cast<BYTE*>(text), sizeof(text) - sizeof(wchar_t),
                                                   nullptr))
            port = text;
        break;
    }
    Os().SetupDiDestroyDeviceInfoList(set);
    return port;
}

}  // namespace

Identity IdentifyPath(const wchar_t* path) {
    Identity id;
    DEVINST node = NodeOfPath(path);
    for (int up = 0; node != 0 && up < 4; ++up) {
        const std::wstring text = Upper(NodeId(node));
        if (text.rfind(L"USB\\VID_", 0) == 0 && text.find(L"&MI_") == std::wstring::npos) {
            const size_t slash = text.rfind(L'\\');
            id.serial = slash == std::wstring::npos ? text : text.substr(slash + 1);
            id.port = PortOfNode(node);
            return id;
        }
        DEVINST parent = 0;
        if (Os().CM_Get_Parent(&parent, node, 0) != CR_SUCCESS) break;
        node = parent;
    }
    // Not found as a node: an update-mode device's own path carries its serial.
    const std::wstring upper = Upper(path);
    const size_t pid = upper.find(L"PID_");
    if (pid != std::wstring::npos && upper.size() > pid + 9 && upper[pid + 8] == L'#') {
        const size_t end = upper.find(L'#', pid + 9);
        id.serial = upper.substr(pid + 9, end == std::wstring::npos ? std::wstring::npos : end - pid - 9);
    }
    return id;
}

