// The names Windows makes up: instance IDs of devices without a (usable)
// serial, the prefix all interfaces of one device share, and their stability
// across replugs.
#include "sim_test_support.h"

#include "os_api.h"

#include <cwctype>

using namespace simtest;

namespace {

// "5&2F3C1A0&0&3": digit, hex part of 7 or 8 upper-case digits without a
// leading zero, "&0&", then the port.
bool IsMadeUpPart(const std::wstring& s, wchar_t depth, const std::wstring& tail) {
    if (s.size() < 2 || s[0] != depth || s[1] != L'&') return false;
    size_t amp = s.find(L'&', 2);
    if (amp == std::wstring::npos) return false;
    std::wstring hex = s.substr(2, amp - 2);
    if (hex.size() < 7 || hex.size() > 8 || hex[0] == L'0') return false;
    for (wchar_t c : hex) {
        if (!iswxdigit(c) || iswlower(c)) return false;
    }
    return s.substr(amp) == tail;
}

std::wstring After(const std::wstring& s, const std::wstring& marker) {
    size_t at = s.find(marker);
    return at == std::wstring::npos ? std::wstring() : s.substr(at + marker.size());
}

TEST(SimMadeUpIds, DeviceWithoutUsableSerialIsNamedByItsPort) {
    struct Case {
        const char* label;
        std::wstring serial;
        std::vector<int> ports;
        std::wstring tail;
    } cases[] = {
        {"no serial behind a hub", L"", {3, 2}, L"&0&2"},
        {"no serial on a root port", L"", {4}, L"&0&4"},
        {"a serial with a space", L"SN 1234", {5}, L"&0&5"},
        {"a serial with a comma", L"SN,1234", {6}, L"&0&6"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        sim::DeviceId d = sim::Plug(sim::WinUsbSpec(0x4A7E, 0xDF00, c.serial, c.ports));
        std::wstring id = sim::InstanceId(d);
        EXPECT_EQ(0u, id.find(L"USB\\VID_4A7E&PID_DF00\\")) << id;
        EXPECT_TRUE(IsMadeUpPart(After(id, L"PID_DF00\\"), L'5', c.tail)) << id;
        // The path carries the same instance part, lower case.
        std::vector<std::wstring> paths = sim::InterfacePaths(d, sim::kGuidUsbDevice);
        ASSERT_EQ(1u, paths.size());
        std::wstring lower = After(id, L"PID_DF00\\");
        for (auto& ch : lower) ch = static_cast<wchar_t>(towlower(ch));
        EXPECT_EQ(std::wstring(L"\\\\?\\usb#vid_4a7e&pid_df00#") + lower + L"#{a5dcbf10-6530-11d2-901f-00c04fb951ed}",
                  paths[0]);
    }
}

TEST(SimMadeUpIds, FixedMadeUpPartIsUsedAsGiven) {
    sim::UsbDeviceSpec spec = sim::CameraSpec(0x4A7E, 0xC05C, L"", {3, 2}, L"cam");
    spec.madeUpInstance = L"5&2F3C1A0&0&3";
    EXPECT_EQ(L"USB\\VID_4A7E&PID_C05C\\5&2F3C1A0&0&3", sim::InstanceId(sim::Plug(spec)));
}

TEST(SimMadeUpIds, SerialIsUpperCasedInTheIdAndLowerCasedInThePath) {
    sim::DeviceId d = sim::Plug(sim::WinUsbSpec(0x4A7E, 0xDF00, L"sn12ab", {1}));
    EXPECT_EQ(L"USB\\VID_4A7E&PID_DF00\\SN12AB", sim::InstanceId(d));
    EXPECT_EQ(L"\\\\?\\usb#vid_4a7e&pid_df00#sn12ab#{a5dcbf10-6530-11d2-901f-00c04fb951ed}",
              sim::InterfacePaths(d, sim::kGuidUsbDevice).at(0));
}

TEST(SimMadeUpIds, SecondDeviceWithTheSameSerialGetsAPortId) {
    sim::DeviceId first = sim::Plug(sim::WinUsbSpec(0x4A7E, 0xDF00, L"SAME01", {1}));
    sim::DeviceId second = sim::Plug(sim::WinUsbSpec(0x4A7E, 0xDF00, L"SAME01", {2}));
    EXPECT_EQ(L"USB\\VID_4A7E&PID_DF00\\SAME01", sim::InstanceId(first));
    EXPECT_TRUE(IsMadeUpPart(After(sim::InstanceId(second), L"PID_DF00\\"), L'5', L"&0&2")) << sim::InstanceId(second);
}

TEST(SimInterfacePrefix, AllInterfacesOfACameraShareOnePrefixDerivedFromTheDevice) {
    sim::DeviceId stereo = sim::Plug(sim::CameraSpec(0x4A7E, 0xC114, L"ST0000000001", {2, 4}, L"Stereo", {2, 3}));
    sim::DeviceId other = sim::Plug(sim::CameraSpec(0x4A7E, 0xC114, L"ST0000000002", {2, 3}, L"Stereo", {2, 3}));
    std::vector<std::wstring> video = sim::InterfacePaths(stereo, sim::kGuidKsCategoryVideo);
    std::vector<std::wstring> hid = sim::InterfacePaths(stereo, sim::kGuidHid);
    ASSERT_EQ(1u, video.size());
    ASSERT_EQ(2u, hid.size());
    const std::wstring prefix = After(video[0], L"mi_00#").substr(0, 10);
    std::wstring instancePart = After(video[0], L"mi_00#");
    instancePart = instancePart.substr(0, instancePart.find(L'#'));
    for (auto& c : instancePart) c = static_cast<wchar_t>(towupper(c));
    EXPECT_TRUE(IsMadeUpPart(instancePart, L'6', L"&0&0000")) << video[0];

    // HID collections: children of MI_02 and MI_03, whose IDs carry the prefix.
    std::vector<InterfaceFacts> facts = EnumerateClass(sim::kGuidHid);
    ASSERT_EQ(4u, facts.size());
    std::wstring upperPrefix = prefix;
    for (auto& c : upperPrefix) c = static_cast<wchar_t>(towupper(c));
    EXPECT_EQ(L"USB\\VID_4A7E&PID_C114&MI_02\\" + upperPrefix + L"&0&0002", facts[0].parentId);
    EXPECT_EQ(L"USB\\VID_4A7E&PID_C114&MI_03\\" + upperPrefix + L"&0&0003", facts[1].parentId);
    EXPECT_EQ(0u, facts[0].instanceId.find(L"HID\\VID_4A7E&PID_C114&MI_02\\7&"));
    EXPECT_TRUE(IsMadeUpPart(After(facts[0].instanceId, L"MI_02\\"), L'7', L"&0&0000")) << facts[0].instanceId;
    // A different camera, a different prefix.
    EXPECT_NE(prefix, After(sim::InterfacePaths(other, sim::kGuidKsCategoryVideo).at(0), L"mi_00#").substr(0, 10));
}

TEST(SimInterfacePrefix, ReplugGivesTheSameNamesAndTheSameDeviceNode) {
    sim::UsbDeviceSpec spec = sim::CameraSpec(0x4A7E, 0xC05C, L"", {3, 2}, L"cam");
    sim::DeviceId first = sim::Plug(spec);
    const std::wstring id = sim::InstanceId(first);
    const std::vector<std::wstring> hid = sim::InterfacePaths(first, sim::kGuidHid);
    HDEVINFO before = Os().SetupDiGetClassDevsW(&sim::kGuidHid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    SP_DEVINFO_DATA a = {};
    a.cbSize = sizeof(a);
    ASSERT_TRUE(Os().SetupDiEnumDeviceInfo(before, 0, &a));

    ASSERT_TRUE(sim::Unplug(first));
    sim::DeviceId second = sim::Plug(spec);
    EXPECT_NE(first, second);
    EXPECT_EQ(id, sim::InstanceId(second));
    EXPECT_EQ(hid, sim::InterfacePaths(second, sim::kGuidHid));
    HDEVINFO after = Os().SetupDiGetClassDevsW(&sim::kGuidHid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    SP_DEVINFO_DATA b = {};
    b.cbSize = sizeof(b);
    ASSERT_TRUE(Os().SetupDiEnumDeviceInfo(after, 0, &b));
    EXPECT_EQ(a.DevInst, b.DevInst);
    // The old set's node is present again, so the configuration manager answers.
    DEVINST parent = 0;
    EXPECT_EQ(CR_SUCCESS, Os().CM_Get_Parent(&parent, a.DevInst, 0));
    Os().SetupDiDestroyDeviceInfoList(before);
    Os().SetupDiDestroyDeviceInfoList(after);
}

TEST(SimInterfacePrefix, SameCameraOnAnotherPortKeepsItsPrefix) {
    sim::DeviceId a = sim::Plug(sim::CameraSpec(0x4A7E, 0xC05C, L"SN12345678AB", {3, 2}, L"cam"));
    std::wstring before = sim::InterfacePaths(a, sim::kGuidHid).at(0);
    sim::Unplug(a);
    sim::DeviceId b = sim::Plug(sim::CameraSpec(0x4A7E, 0xC05C, L"SN12345678AB", {1}, L"cam"));
    EXPECT_EQ(before, sim::InterfacePaths(b, sim::kGuidHid).at(0));
}

}  // namespace
