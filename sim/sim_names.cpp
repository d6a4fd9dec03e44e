// How Windows names USB devices: instance IDs, interface paths, hardware IDs,
// location paths and the properties of the device nodes a device creates.
//
// The product cuts IDs out of these strings at fixed positions, so every
// separator and the case of every letter matter.
#include "sim_internal.h"

namespace sim {

const GUID kGuidUsbDevice = {0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};
const GUID kGuidHid = {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
const GUID kGuidKsCategoryCapture = {0x65E8773D, 0x8F56, 0x11D0, {0xA3, 0xB9, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
const GUID kGuidKsCategoryVideo = {0x6994AD05, 0x93EF, 0x11D0, {0xA3, 0xCC, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
const DEVPROPKEY kDevPKeyDeviceParent = {
    {0x4340A6C5, 0x93FA, 0x4706, {0x97, 0x2C, 0x7B, 0x64, 0x80, 0x08, 0xA5, 0xA7}}, 8};

namespace detail {
namespace {

// Setup classes of the nodes (SP_DEVINFO_DATA::ClassGuid).
const GUID kClassUsb = {0x36FC9E60, 0xC465, 0x11CF, {0x80, 0x56, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};
const GUID kClassUsbDevice = {0x88BAE032, 0x5A81, 0x49F0, {0xBC, 0x3D, 0xA4, 0xFF, 0x13, 0x82, 0x16, 0xD6}};
const GUID kClassHid = {0x745A17A0, 0x74D3, 0x11D0, {0xB6, 0xFE, 0x00, 0xA0, 0xC9, 0x03, 0x37, 0x96}};
const GUID kClassCamera = {0xCA3E7AB9, 0xB4C3, 0x4AE6, {0x82, 0x51, 0x57, 0x9E, 0xF9, 0x33, 0x89, 0x0F}};

const wchar_t kHexDigits[] = L"0123456789ABCDEF";

std::wstring Hex(unsigned long value, int width) {
    std::wstring s;
    do {
        s.insert(s.begin(), kHexDigits[value & 0xF]);
        value >>= 4;
    } while (value != 0);
    while (static_cast<int>(s.size()) < width) s.insert(s.begin(), L'0');
    return s;
}

std::wstring Dec(long value, int width = 0) {
    std::wstring s = std::to_wstring(value);
    while (static_cast<int>(s.size()) < width) s.insert(s.begin(), L'0');
    return s;
}

// The hex part of a made-up instance ID ("173BB4E8"). Windows derives it from
// the parent's instance ID; any stable hash of 7 or 8 digits looks the same to
// the product, which cuts fixed-length fields that include it.
std::wstring HashPart(const std::wstring& parentInstanceId) {
    unsigned long h = 2166136261u;
    for (wchar_t c : AsciiUpper(parentInstanceId)) {
        h ^= static_cast<unsigned long>(c);
        h = (h * 16777619u) & 0xFFFFFFFFu;
    }
    return Hex(0x1000000u + h % 0xEF000000u, 1);
}

// Windows keeps a serial number in the instance ID only when every character
// can stand there; otherwise it makes up an ID as for a device without one.
bool UsableSerial(const std::wstring& serial) {
    if (serial.empty()) return false;
    for (wchar_t c : serial) {
        if (c <= L' ' || c > 0x7E || c == L',' || c == L'\\') return false;
    }
    return true;
}

std::wstring VidPid(const UsbDeviceSpec& spec) { return L"VID_" + Hex(spec.vid, 4) + L"&PID_" + Hex(spec.pid, 4); }
std::wstring Rev(const UsbDeviceSpec& spec) { return L"&REV_" + Hex(spec.bcdDevice, 4); }
std::wstring Mi(int n) { return L"&MI_" + Hex(static_cast<unsigned>(n), 2); }

// \\?\usb#vid_4a7e&pid_c05c&mi_00#6&173bb4e8&0&0000#{65e8773d-...}\global
std::wstring InterfacePath(const std::wstring& instanceId, const GUID& cls, const wchar_t* reference) {
    std::wstring id = instanceId;
    for (wchar_t& c : id) {
        if (c == L'\\') c = L'#';
    }
    std::wstring path = L"\\\\?\\" + AsciiLower(id) + L"#" + AsciiLower(GuidText(cls));
    if (reference) path += std::wstring(L"\\") + reference;
    return path;
}

std::vector<std::wstring> ClassIds(const wchar_t* cls, const wchar_t* sub, const wchar_t* prot) {
    std::wstring base = std::wstring(L"USB\\Class_") + cls;
    return {base + L"&SubClass_" + sub + L"&Prot_" + prot, base + L"&SubClass_" + sub, base};
}

std::wstring RootHubInstanceId() { return L"USB\\ROOT_HUB30\\4&" + HashPart(L"PCIROOT(0)#PCI(1400)") + L"&0&0"; }

// Instance ID of the hub the ports lead to (all but the last port).
std::wstring HubInstanceIdFor(const std::vector<int>& ports) {
    std::wstring id = RootHubInstanceId();
    for (size_t i = 0; i + 1 < ports.size(); ++i) {
        id = L"USB\\VID_05E3&PID_0610\\5&" + HashPart(id) + L"&0&" + Dec(ports[i]);
    }
    return id;
}

std::vector<std::wstring> LocationPaths(const std::vector<int>& ports, const std::wstring& tail) {
    std::wstring pci = L"PCIROOT(0)#PCI(1400)#USBROOT(0)";
    std::wstring acpi = L"ACPI(_SB_)#ACPI(PCI0)#ACPI(XHC_)#ACPI(RHUB)";
    for (size_t i = 0; i < ports.size(); ++i) {
        pci += L"#USB(" + Dec(ports[i]) + L")";
        if (i == 0) {
            acpi += L"#ACPI(HS" + Dec(ports[i], 2) + L")";
        } else {
            acpi += L"#USB(" + Dec(ports[i]) + L")";
        }
    }
    return {pci + tail, acpi + tail};
}

std::wstring OrDefault(const std::wstring& s, const wchar_t* fallback) { return s.empty() ? fallback : s; }

}  // namespace

std::wstring AsciiUpper(std::wstring s) {
    for (wchar_t& c : s) {
        if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
    }
    return s;
}

std::wstring AsciiLower(std::wstring s) {
    for (wchar_t& c : s) {
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    }
    return s;
}

bool EqualsNoCase(const std::wstring& a, const std::wstring& b) { return AsciiUpper(a) == AsciiUpper(b); }

std::wstring GuidText(const GUID& g) {
    std::wstring s = L"{" + Hex(g.Data1, 8) + L"-" + Hex(g.Data2, 4) + L"-" + Hex(g.Data3, 4) + L"-";
    for (int i = 0; i < 8; ++i) {
        if (i == 2) s += L"-";
        s += Hex(g.Data4[i], 2);
    }
    return s + L"}";
}

bool SameGuid(const GUID& a, const GUID& b) { return memcmp(&a, &b, sizeof(GUID)) == 0; }

std::vector<Node> HubChainNodes(const std::vector<int>& ports) {
    std::vector<Node> chain;
    Node root;
    root.kind = NodeKind::RootHub;
    root.instanceId = RootHubInstanceId();
    root.setupClass = kClassUsb;
    root.description = L"USB Root Hub (USB 3.0)";
    root.service = L"USBHUB3";
    root.hardwareIds = {L"USB\\ROOT_HUB30&VID8086&PID9D2F&REV0021", L"USB\\ROOT_HUB30&VID8086&PID9D2F",
                        L"USB\\ROOT_HUB30"};
    root.locationPaths = {L"PCIROOT(0)#PCI(1400)#USBROOT(0)", L"ACPI(_SB_)#ACPI(PCI0)#ACPI(XHC_)#ACPI(RHUB)"};
    chain.push_back(root);
    std::vector<int> upTo;
    for (size_t i = 0; i + 1 < ports.size(); ++i) {
        upTo.push_back(ports[i]);
        Node hub;
        hub.kind = NodeKind::Hub;
        hub.parentInstanceId = chain.back().instanceId;
        hub.instanceId = L"USB\\VID_05E3&PID_0610\\5&" + HashPart(hub.parentInstanceId) + L"&0&" + Dec(ports[i]);
        hub.setupClass = kClassUsb;
        hub.description = L"Generic USB Hub";
        hub.service = L"USBHUB3";
        hub.hardwareIds = {L"USB\\VID_05E3&PID_0610&REV_9226", L"USB\\VID_05E3&PID_0610"};
        hub.compatibleIds = ClassIds(L"09", L"00", L"02");
        hub.locationPaths = LocationPaths(upTo, L"");
        hub.locationInfo = L"Port_#" + Dec(ports[i], 4) + L".Hub_#" + Dec(static_cast<long>(i) + 1, 4);
        chain.push_back(hub);
    }
    return chain;
}

std::vector<Node> DeviceNodes(const UsbDeviceSpec& spec, bool forceMadeUp) {
    std::vector<Node> out;
    const std::wstring vidPid = VidPid(spec);
    const bool hidOnly = !spec.composite && !spec.functions.empty() && spec.functions[0].kind == FunctionKind::Hid;

    Node usb;
    usb.kind = NodeKind::UsbDevice;
    usb.parentInstanceId = HubInstanceIdFor(spec.ports);
    std::wstring instancePart;
    if (!forceMadeUp && UsableSerial(spec.serial)) {
        instancePart = AsciiUpper(spec.serial);
    } else if (!spec.madeUpInstance.empty()) {
        instancePart = AsciiUpper(spec.madeUpInstance);
    } else {
        instancePart = L"5&" + HashPart(usb.parentInstanceId) + L"&0&" + Dec(spec.ports.empty() ? 1 : spec.ports.back());
    }
    usb.instanceId = L"USB\\" + vidPid + L"\\" + instancePart;
    usb.hardwareIds = {L"USB\\" + vidPid + Rev(spec), L"USB\\" + vidPid};
    usb.locationPaths = LocationPaths(spec.ports, L"");
    usb.locationInfo = L"Port_#" + Dec(spec.ports.empty() ? 1 : spec.ports.back(), 4) + L".Hub_#" +
                       Dec(static_cast<long>(spec.ports.size()), 4);
    usb.friendlyName = spec.friendlyName;
    usb.interfaces.push_back({kGuidUsbDevice, InterfacePath(usb.instanceId, kGuidUsbDevice, nullptr)});
    if (spec.composite) {
        usb.setupClass = kClassUsb;
        usb.description = OrDefault(spec.description, L"USB Composite Device");
        usb.service = OrDefault(spec.service, L"usbccgp");
        usb.compatibleIds = ClassIds(L"EF", L"02", L"01");
        usb.compatibleIds.push_back(L"USB\\COMPOSITE");
    } else if (hidOnly) {
        usb.setupClass = kClassHid;
        usb.description = OrDefault(spec.description, L"USB Input Device");
        usb.service = OrDefault(spec.service, L"HidUsb");
        usb.compatibleIds = ClassIds(L"03", L"00", L"00");
    } else {
        usb.setupClass = kClassUsbDevice;
        usb.description = OrDefault(spec.description, L"USB Device");
        usb.service = OrDefault(spec.service, L"WinUSB");
        usb.compatibleIds = ClassIds(L"FF", L"00", L"00");
    }
    out.push_back(usb);

    auto hidCollection = [&](const FunctionSpec& f, const Node& parent, const std::wstring& mi) {
        Node hid;
        hid.kind = NodeKind::HidCollection;
        hid.parentInstanceId = parent.instanceId;
        std::wstring prefix = spec.hidCollectionPrefix.empty() ? L"7&" + HashPart(parent.instanceId) + L"&0"
                                                               : AsciiUpper(spec.hidCollectionPrefix);
        hid.instanceId = L"HID\\" + vidPid + mi + L"\\" + prefix + L"&0000";
        std::wstring classId = f.hidClassHardwareId.empty()
                                   ? L"HID_DEVICE_UP:" + Hex(f.hid.usagePage, 4) + L"_U:" + Hex(f.hid.usage, 4)
                                   : f.hidClassHardwareId;
        hid.hardwareIds = {L"HID\\" + vidPid + Rev(spec) + mi, L"HID\\" + vidPid + mi, classId, L"HID_DEVICE"};
        hid.setupClass = kClassHid;
        hid.description = OrDefault(f.hidDescription, f.hid.usagePage >= 0xFF00 ? L"HID-compliant vendor-defined device"
                                                                                  : L"HID-compliant device");
        hid.interfaces.push_back({kGuidHid, InterfacePath(hid.instanceId, kGuidHid, nullptr)});
        hid.interfaceNumber = parent.interfaceNumber;
        hid.function = FunctionKind::Hid;
        hid.hid = f.hid;
        return hid;
    };

    if (spec.composite) {
        const std::wstring prefix = spec.interfacePrefix.empty() ? L"6&" + HashPart(usb.instanceId) + L"&0"
                                                                 : AsciiUpper(spec.interfacePrefix);
        for (const FunctionSpec& f : spec.functions) {
            Node mi;
            mi.kind = NodeKind::UsbInterface;
            mi.parentInstanceId = usb.instanceId;
            mi.interfaceNumber = f.interfaceNumber;
            mi.function = f.kind;
            const std::wstring miText = Mi(f.interfaceNumber);
            mi.instanceId = L"USB\\" + vidPid + miText + L"\\" + prefix + L"&" + Hex(static_cast<unsigned>(f.interfaceNumber), 4);
            mi.hardwareIds = {L"USB\\" + vidPid + Rev(spec) + miText, L"USB\\" + vidPid + miText};
            mi.locationPaths = LocationPaths(spec.ports, L"#USBMI(" + Dec(f.interfaceNumber) + L")");
            mi.friendlyName = f.friendlyName;
            switch (f.kind) {
                case FunctionKind::Video:
                    mi.setupClass = kClassCamera;
                    mi.description = OrDefault(f.description, f.friendlyName.empty() ? L"USB Video Device"
                                                                                     : f.friendlyName.c_str());
                    mi.service = L"usbvideo";
                    mi.compatibleIds = ClassIds(L"0E", L"03", L"00");
                    // Kernel-streaming filters carry the reference string "global".
                    mi.interfaces.push_back({kGuidKsCategoryCapture,
                                             InterfacePath(mi.instanceId, kGuidKsCategoryCapture, L"global")});
                    mi.interfaces.push_back({kGuidKsCategoryVideo,
                                             InterfacePath(mi.instanceId, kGuidKsCategoryVideo, L"global")});
                    break;
                case FunctionKind::Hid:
                    mi.setupClass = kClassHid;
                    mi.description = OrDefault(f.description, L"USB Input Device");
                    mi.service = L"HidUsb";
                    mi.compatibleIds = ClassIds(L"03", L"00", L"00");
                    break;
                case FunctionKind::Other:
                    mi.setupClass = kClassUsbDevice;
                    mi.description = OrDefault(f.description, L"USB Device");
                    mi.compatibleIds = ClassIds(L"FF", L"00", L"00");
                    break;
            }
            out.push_back(mi);
            if (f.kind == FunctionKind::Hid) out.push_back(hidCollection(f, mi, miText));
        }
    } else if (hidOnly) {
        Node& parent = out.front();
        parent.function = FunctionKind::Hid;
        parent.hid = spec.functions[0].hid;
        out.push_back(hidCollection(spec.functions[0], parent, L""));
    }
    return out;
}

}  // namespace detail

UsbDeviceSpec CameraSpec(USHORT vid, USHORT pid, const std::wstring& serial, std::vector<int> ports,
                         const std::wstring& friendlyName, std::vector<int> hidInterfaces) {
    UsbDeviceSpec s;
    s.vid = vid;
    s.pid = pid;
    s.serial = serial;
    s.ports = std::move(ports);
    s.composite = true;
    FunctionSpec video;
    video.kind = FunctionKind::Video;
    video.interfaceNumber = 0;
    video.friendlyName = friendlyName;
    s.functions.push_back(video);
    for (int n : hidInterfaces) {
        FunctionSpec hid;
        hid.kind = FunctionKind::Hid;
        hid.interfaceNumber = n;
        hid.hidClassHardwareId = L"HID_DEVICE_SYSTEM_VIDEO";
        s.functions.push_back(hid);
    }
    return s;
}

UsbDeviceSpec WinUsbSpec(USHORT vid, USHORT pid, const std::wstring& serial, std::vector<int> ports,
                         const std::wstring& description) {
    UsbDeviceSpec s;
    s.vid = vid;
    s.pid = pid;
    s.serial = serial;
    s.ports = std::move(ports);
    s.description = description;
    s.service = L"WinUSB";
    return s;
}

UsbDeviceSpec HidDeviceSpec(USHORT vid, USHORT pid, const std::wstring& serial, std::vector<int> ports, HidCaps caps) {
    UsbDeviceSpec s;
    s.vid = vid;
    s.pid = pid;
    s.serial = serial;
    s.ports = std::move(ports);
    FunctionSpec hid;
    hid.kind = FunctionKind::Hid;
    hid.interfaceNumber = 0;
    hid.hid = caps;
    s.functions.push_back(hid);
    return s;
}

}  // namespace sim
