// Device lookup through the OS table as the updater and the library do it:
// the exact Windows strings of every node of the reference world, and the
// errors of size queries, record sizes and enumeration ends.
#include "sim_test_support.h"

#include "os_api.h"

#include <cstddef>

using namespace simtest;

namespace {

const wchar_t kUsbGuid[] = L"{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
const std::wstring kPci = L"PCIROOT(0)#PCI(1400)#USBROOT(0)";
const std::wstring kAcpi = L"ACPI(_SB_)#ACPI(PCI0)#ACPI(XHC_)#ACPI(RHUB)";

struct Expected {
    const char* label;
    std::wstring path;
    std::wstring instanceId;
    std::wstring parentId;
    std::vector<std::wstring> hardwareIds;
    std::vector<std::wstring> locationPaths;
    std::wstring description;
};

void ExpectFacts(const std::vector<Expected>& expected, const std::vector<InterfaceFacts>& got) {
    ASSERT_EQ(expected.size(), got.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        const Expected& e = expected[i];
        const InterfaceFacts& g = got[i];
        SCOPED_TRACE(e.label);
        EXPECT_EQ(e.path, g.path);
        if (!e.instanceId.empty()) {
            EXPECT_EQ(e.instanceId, g.instanceId);
        }
        if (!e.parentId.empty()) {
            EXPECT_EQ(e.parentId, g.parentId);
            EXPECT_EQ(e.parentId, g.devpropParent);
        }
        EXPECT_EQ(e.hardwareIds, g.hardwareIds);
        EXPECT_EQ(e.locationPaths, g.locationPaths);
        EXPECT_EQ(e.description, g.description);
    }
}

class SimReferenceWorldTest : public ::testing::Test {
protected:
    void SetUp() override { world_ = PlugReferenceWorld(); }
    ReferenceWorld world_;
};

TEST_F(SimReferenceWorldTest, UsbDeviceClassListsEveryUsbDeviceWithItsWindowsStrings) {
    std::vector<InterfaceFacts> got = EnumerateClass(sim::kGuidUsbDevice);
    ASSERT_EQ(4u, got.size());
    std::vector<Expected> expected = {
        {"camera with serial",
         std::wstring(L"\\\\?\\usb#vid_4a7e&pid_c05c#sn12345678ab#") + kUsbGuid,
         L"USB\\VID_4A7E&PID_C05C\\SN12345678AB",
         L"",
         {L"USB\\VID_4A7E&PID_C05C&REV_0100", L"USB\\VID_4A7E&PID_C05C"},
         {kPci + L"#USB(3)#USB(2)", kAcpi + L"#ACPI(HS03)#USB(2)"},
         L"USB Composite Device"},
        {"camera without serial", got[1].path, L"", L"",
         {L"USB\\VID_4A7E&PID_C05C&REV_0100", L"USB\\VID_4A7E&PID_C05C"},
         {kPci + L"#USB(1)", kAcpi + L"#ACPI(HS01)"},
         L"USB Composite Device"},
        {"update-mode device on WinUSB",
         std::wstring(L"\\\\?\\usb#vid_4a7e&pid_df00#sn12345678ab#") + kUsbGuid,
         L"USB\\VID_4A7E&PID_DF00\\SN12345678AB",
         L"",
         {L"USB\\VID_4A7E&PID_DF00&REV_0100", L"USB\\VID_4A7E&PID_DF00"},
         {kPci + L"#USB(3)#USB(2)", kAcpi + L"#ACPI(HS03)#USB(2)"},
         L"orviDFU"},
        {"NXP ROM on root port 4", got[3].path, L"", L"",
         {L"USB\\VID_1FC9&PID_0135&REV_0100", L"USB\\VID_1FC9&PID_0135"},
         {kPci + L"#USB(4)", kAcpi + L"#ACPI(HS04)"},
         L"USB Input Device"},
    };
    ExpectFacts(expected, got);
    // The instance part of a non-composite path starts after 26 characters.
    EXPECT_EQ(L"sn12345678ab", got[2].path.substr(26, 12));
    // Position 36 of the first location path is the root port, 43 the hub port.
    EXPECT_EQ(L'3', got[0].locationPaths[0][36]);
    EXPECT_EQ(L'2', got[0].locationPaths[0][43]);
    // A device on a root port: the path ends with the root port's ")", before
    // where a hub port would stand.
    EXPECT_EQ(38u, got[3].locationPaths[0].size());
}

TEST_F(SimReferenceWorldTest, HidClassListsCameraCollectionUnderItsInterfaceAndRomCollectionUnderItsDevice) {
    std::vector<InterfaceFacts> got = EnumerateClass(sim::kGuidHid);
    ASSERT_EQ(3u, got.size());
    std::vector<Expected> expected = {
        {"camera HID collection",
         L"\\\\?\\hid#vid_4a7e&pid_c05c&mi_02#7&2a8f41c&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}",
         L"HID\\VID_4A7E&PID_C05C&MI_02\\7&2A8F41C&0&0000",
         L"USB\\VID_4A7E&PID_C05C&MI_02\\6&173BB4E8&0&0002",
         {L"HID\\VID_4A7E&PID_C05C&REV_0100&MI_02", L"HID\\VID_4A7E&PID_C05C&MI_02", L"HID_DEVICE_SYSTEM_VIDEO",
          L"HID_DEVICE"},
         {},
         L"HID-compliant vendor-defined device"},
        {"second camera", got[1].path, L"", L"",
         {L"HID\\VID_4A7E&PID_C05C&REV_0100&MI_02", L"HID\\VID_4A7E&PID_C05C&MI_02", L"HID_DEVICE_SYSTEM_VIDEO",
          L"HID_DEVICE"},
         {},
         L"HID-compliant vendor-defined device"},
        {"NXP ROM collection", got[2].path, L"", L"",
         {L"HID\\VID_1FC9&PID_0135&REV_0100", L"HID\\VID_1FC9&PID_0135", L"HID_DEVICE_UP:FF00_U:0001", L"HID_DEVICE"},
         {},
         L"HID-compliant vendor-defined device"},
    };
    ExpectFacts(expected, got);
    // A HID-only device: the collection's parent is the USB device itself.
    EXPECT_EQ(0u, got[2].parentId.find(L"USB\\VID_1FC9&PID_0135\\"));
    EXPECT_EQ(got[2].parentId, got[2].devpropParent);
    EXPECT_EQ(0u, got[2].instanceId.find(L"HID\\VID_1FC9&PID_0135\\7&"));
}

TEST_F(SimReferenceWorldTest, VideoClassesListTheVideoInterfaceWithGlobalReference) {
    struct Case {
        const GUID* cls;
        const wchar_t* guidText;
    } cases[] = {
        {&sim::kGuidKsCategoryVideo, L"{6994ad05-93ef-11d0-a3cc-00a0c9223196}"},
        {&sim::kGuidKsCategoryCapture, L"{65e8773d-8f56-11d0-a3b9-00a0c9223196}"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(GuidString(*c.cls).c_str());
        std::vector<InterfaceFacts> got = EnumerateClass(*c.cls);
        ASSERT_EQ(2u, got.size());
        EXPECT_EQ(std::wstring(L"\\\\?\\usb#vid_4a7e&pid_c05c&mi_00#6&173bb4e8&0&0000#") + c.guidText + L"\\global",
                  got[0].path);
        EXPECT_EQ(L"USB\\VID_4A7E&PID_C05C&MI_00\\6&173BB4E8&0&0000", got[0].instanceId);
        EXPECT_EQ(L"USB\\VID_4A7E&PID_C05C\\SN12345678AB", got[0].parentId);
        EXPECT_EQ(L"USB\\VID_4A7E&PID_C05C\\SN12345678AB", got[0].devpropParent);
        EXPECT_EQ((std::vector<std::wstring>{L"USB\\VID_4A7E&PID_C05C&REV_0100&MI_00", L"USB\\VID_4A7E&PID_C05C&MI_00"}),
                  got[0].hardwareIds);
        EXPECT_EQ((std::vector<std::wstring>{kPci + L"#USB(3)#USB(2)#USBMI(0)", kAcpi + L"#ACPI(HS03)#USB(2)#USBMI(0)"}),
                  got[0].locationPaths);
        EXPECT_EQ(L"Kivo Camera C05C", got[0].description);
        // The camera without a serial: its parent's ID is made up with "&".
        EXPECT_NE(std::wstring::npos, got[1].devpropParent.find(L"&"));
        EXPECT_EQ(0u, got[1].devpropParent.find(L"USB\\VID_4A7E&PID_C05C\\"));
    }
}

TEST_F(SimReferenceWorldTest, VideoAndHidInterfacesOfOneCameraShareTheTenCharactersAfterMi) {
    std::vector<InterfaceFacts> video = EnumerateClass(sim::kGuidKsCategoryVideo);
    std::vector<InterfaceFacts> hid = EnumerateClass(sim::kGuidHid);
    ASSERT_EQ(2u, video.size());
    ASSERT_GE(hid.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        // The library cuts 10 characters 6 after "MI_": from the video path,
        // and from the HID collection's parent ID.
        std::wstring v = video[i].path;
        for (auto& c : v) c = static_cast<wchar_t>(towupper(c));
        std::wstring fromVideo = v.substr(v.find(L"MI_") + 6, 10);
        std::wstring fromHid = hid[i].parentId.substr(hid[i].parentId.find(L"MI_") + 6, 10);
        EXPECT_EQ(fromVideo, fromHid);
    }
    std::wstring a = video[0].instanceId.substr(video[0].instanceId.find(L"MI_") + 6, 10);
    std::wstring b = video[1].instanceId.substr(video[1].instanceId.find(L"MI_") + 6, 10);
    EXPECT_NE(a, b) << "two cameras must not share the instance part";
}

// ---------------------------------------------------------------- error paths

class SimSetupApiErrors : public ::testing::Test {
protected:
    void SetUp() override {
        world_ = PlugReferenceWorld();
        set_ = Os().SetupDiGetClassDevsW(&sim::kGuidUsbDevice, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
        ASSERT_NE(INVALID_HANDLE_VALUE, set_);
        itf_.cbSize = sizeof(itf_);
        ASSERT_TRUE(Os().SetupDiEnumDeviceInterfaces(set_, nullptr, &sim::kGuidUsbDevice, 2, &itf_));  // DF00
        dev_.cbSize = sizeof(dev_);
        ASSERT_TRUE(Os().SetupDiEnumDeviceInfo(set_, 2, &dev_));
    }
    void TearDown() override {
        if (set_ != INVALID_HANDLE_VALUE) Os().SetupDiDestroyDeviceInfoList(set_);
    }
    ReferenceWorld world_;
    HDEVINFO set_ = INVALID_HANDLE_VALUE;
    SP_DEVICE_INTERFACE_DATA itf_ = {};
    SP_DEVINFO_DATA dev_ = {};
};

TEST_F(SimSetupApiErrors, EnumDeviceInterfacesChecksRecordSizeAndEndsWithNoMoreItems) {
    struct Case {
        DWORD cbSize;
        DWORD index;
        BOOL ok;
        DWORD error;
    } cases[] = {
        {sizeof(SP_DEVICE_INTERFACE_DATA), 0, TRUE, ERROR_SUCCESS},
        {sizeof(SP_DEVICE_INTERFACE_DATA), 3, TRUE, ERROR_SUCCESS},
        {sizeof(SP_DEVICE_INTERFACE_DATA), 4, FALSE, ERROR_NO_MORE_ITEMS},
        {sizeof(SP_DEVICE_INTERFACE_DATA), 100, FALSE, ERROR_NO_MORE_ITEMS},
        {0, 0, FALSE, ERROR_INVALID_USER_BUFFER},
        {sizeof(SP_DEVICE_INTERFACE_DATA) - 4, 0, FALSE, ERROR_INVALID_USER_BUFFER},
        {sizeof(SP_DEVICE_INTERFACE_DATA) + 4, 0, FALSE, ERROR_INVALID_USER_BUFFER},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "cbSize " << c.cbSize << " index " << c.index);
        SP_DEVICE_INTERFACE_DATA d = {};
        d.cbSize = c.cbSize;
        ::SetLastError(kMarker);
        EXPECT_EQ(c.ok, Os().SetupDiEnumDeviceInterfaces(set_, nullptr, &sim::kGuidUsbDevice, c.index, &d));
        if (c.ok) {
            EXPECT_TRUE(IsEqualGUID(sim::kGuidUsbDevice, d.InterfaceClassGuid));
            EXPECT_EQ(static_cast<DWORD>(SPINT_ACTIVE), d.Flags & SPINT_ACTIVE);
        } else {
            EXPECT_EQ(c.error, ::GetLastError());
        }
    }
    // Another class than the set's has nothing in it.
    ::SetLastError(kMarker);
    EXPECT_FALSE(Os().SetupDiEnumDeviceInterfaces(set_, nullptr, &sim::kGuidHid, 0, &itf_));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_ITEMS), ::GetLastError());
}

TEST_F(SimSetupApiErrors, EnumDeviceInfoChecksRecordSizeAndEndsWithNoMoreItems) {
    struct Case {
        DWORD cbSize;
        DWORD index;
        DWORD error;
    } cases[] = {
        {sizeof(SP_DEVINFO_DATA), 3, ERROR_SUCCESS},
        {sizeof(SP_DEVINFO_DATA), 4, ERROR_NO_MORE_ITEMS},
        {0, 0, ERROR_INVALID_USER_BUFFER},
        {sizeof(SP_DEVINFO_DATA) + 8, 0, ERROR_INVALID_USER_BUFFER},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "cbSize " << c.cbSize << " index " << c.index);
        SP_DEVINFO_DATA d = {};
        d.cbSize = c.cbSize;
        ::SetLastError(kMarker);
        BOOL ok = Os().SetupDiEnumDeviceInfo(set_, c.index, &d);
        EXPECT_EQ(c.error == ERROR_SUCCESS, ok != FALSE);
        if (!ok) {
            EXPECT_EQ(c.error, ::GetLastError());
        }
    }
}

TEST_F(SimSetupApiErrors, InterfaceDetailAcceptsOnlyTheFixedHeadSizeOfThisArchitecture) {
    const std::wstring path = L"\\\\?\\usb#vid_4a7e&pid_df00#sn12345678ab#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
    const DWORD needed = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) +
                                            (path.size() + 1) * sizeof(wchar_t));
    std::vector<BYTE> buffer(needed + 16);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
    for (DWORD cbSize : {0ul, 4ul, 5ul, 6ul, 8ul, 12ul, static_cast<unsigned long>(needed)}) {
        SCOPED_TRACE(testing::Message() << "cbSize " << cbSize);
        detail->cbSize = cbSize;
        ::SetLastError(kMarker);
        BOOL ok = Os().SetupDiGetDeviceInterfaceDetailW(set_, &itf_, detail, needed, nullptr, nullptr);
        if (cbSize == sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) {
            EXPECT_TRUE(ok);
            EXPECT_EQ(path, detail->DevicePath);
        } else {
            EXPECT_FALSE(ok);
            EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_USER_BUFFER), ::GetLastError());
        }
    }
}

TEST_F(SimSetupApiErrors, InterfaceDetailSizeQueriesReportTheSizeAndFillTheDevice) {
    const DWORD needed = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) +
                                            (std::wstring(L"\\\\?\\usb#vid_4a7e&pid_df00#sn12345678ab#{a5dcbf10-6530-11d2-901f-00c04fb951ed}").size() + 1) *
                                                sizeof(wchar_t));
    std::vector<BYTE> buffer(needed);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
    detail->cbSize = sizeof(*detail);
    struct Case {
        const char* label;
        bool withBuffer;
        DWORD size;
        BOOL ok;
        DWORD error;
    } cases[] = {
        {"size query", false, 0, FALSE, ERROR_INSUFFICIENT_BUFFER},
        {"no buffer but a size", false, needed, FALSE, ERROR_INVALID_USER_BUFFER},
        {"one character short", true, needed - 2, FALSE, ERROR_INSUFFICIENT_BUFFER},
        {"exact", true, needed, TRUE, ERROR_SUCCESS},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        DWORD required = 0;
        SP_DEVINFO_DATA dev = {};
        dev.cbSize = sizeof(dev);
        ::SetLastError(kMarker);
        BOOL ok = Os().SetupDiGetDeviceInterfaceDetailW(set_, &itf_, c.withBuffer ? detail : nullptr, c.size, &required,
                                                       &dev);
        EXPECT_EQ(c.ok, ok);
        if (!ok) {
            EXPECT_EQ(c.error, ::GetLastError());
        }
        if (c.error != ERROR_INVALID_USER_BUFFER) {
            EXPECT_EQ(needed, required);
            EXPECT_EQ(dev_.DevInst, dev.DevInst);
        }
    }
    // A device record of the wrong size is refused.
    SP_DEVINFO_DATA bad = {};
    bad.cbSize = 4;
    ::SetLastError(kMarker);
    EXPECT_FALSE(Os().SetupDiGetDeviceInterfaceDetailW(set_, &itf_, detail, needed, nullptr, &bad));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_USER_BUFFER), ::GetLastError());
}

TEST_F(SimSetupApiErrors, RegistryPropertySizeQueriesMissingPropertiesAndTypes) {
    // "orviDFU" and its terminator.
    const DWORD descBytes = 8 * sizeof(wchar_t);
    struct Case {
        const char* label;
        DWORD property;
        DWORD size;
        BOOL ok;
        DWORD error;
        DWORD type;
        DWORD required;
    } cases[] = {
        {"description size query", SPDRP_DEVICEDESC, 0, FALSE, ERROR_INSUFFICIENT_BUFFER, REG_SZ, descBytes},
        {"description one byte short", SPDRP_DEVICEDESC, descBytes - 1, FALSE, ERROR_INSUFFICIENT_BUFFER, REG_SZ,
         descBytes},
        {"description", SPDRP_DEVICEDESC, descBytes, TRUE, ERROR_SUCCESS, REG_SZ, descBytes},
        {"hardware IDs size query", SPDRP_HARDWAREID, 0, FALSE, ERROR_INSUFFICIENT_BUFFER, REG_MULTI_SZ,
         (30 + 1 + 21 + 1 + 1) * sizeof(wchar_t)},
        {"service", SPDRP_SERVICE, 0, FALSE, ERROR_INSUFFICIENT_BUFFER, REG_SZ, 7 * sizeof(wchar_t)},
        {"no friendly name", SPDRP_FRIENDLYNAME, 0, FALSE, ERROR_INVALID_DATA, 0, 0},
        {"no friendly name, with a buffer", SPDRP_FRIENDLYNAME, 64, FALSE, ERROR_INVALID_DATA, 0, 0},
        {"beyond the last property", SPDRP_MAXIMUM_PROPERTY, 0, FALSE, ERROR_INVALID_REG_PROPERTY, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        BYTE buffer[256];
        DWORD type = 0, required = 0;
        ::SetLastError(kMarker);
        BOOL ok = Os().SetupDiGetDeviceRegistryPropertyW(set_, &dev_, c.property, &type, c.size ? buffer : nullptr,
                                                        c.size, &required);
        EXPECT_EQ(c.ok, ok);
        if (!ok) {
            EXPECT_EQ(c.error, ::GetLastError());
        }
        EXPECT_EQ(c.type, type);
        EXPECT_EQ(c.required, required);
        if (ok && c.property == SPDRP_DEVICEDESC) {
            EXPECT_STREQ(L"orviDFU", reinterpret_cast<wchar_t*>(buffer));
        }
    }
}

TEST_F(SimSetupApiErrors, ForeignOrDestroyedSetsAreInvalidHandles) {
    HDEVINFO other = Os().SetupDiGetClassDevsW(&sim::kGuidHid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    ASSERT_TRUE(Os().SetupDiDestroyDeviceInfoList(other));
    HDEVINFO bogus = reinterpret_cast<HDEVINFO>(static_cast<ULONG_PTR>(0x1234));
    for (HDEVINFO h : {other, bogus}) {
        SP_DEVICE_INTERFACE_DATA d = {};
        d.cbSize = sizeof(d);
        ::SetLastError(kMarker);
        EXPECT_FALSE(Os().SetupDiEnumDeviceInterfaces(h, nullptr, &sim::kGuidHid, 0, &d));
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), ::GetLastError());
        SP_DEVINFO_DATA dev = {};
        dev.cbSize = sizeof(dev);
        ::SetLastError(kMarker);
        EXPECT_FALSE(Os().SetupDiEnumDeviceInfo(h, 0, &dev));
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), ::GetLastError());
        ::SetLastError(kMarker);
        EXPECT_FALSE(Os().SetupDiDestroyDeviceInfoList(h));
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), ::GetLastError());
    }
    // An interface record of one set means nothing in another.
    HDEVINFO second = Os().SetupDiGetClassDevsW(&sim::kGuidUsbDevice, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    DWORD required = 0;
    ::SetLastError(kMarker);
    EXPECT_FALSE(Os().SetupDiGetDeviceInterfaceDetailW(second, &itf_, nullptr, 0, &required, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), ::GetLastError());
    Os().SetupDiDestroyDeviceInfoList(second);
}

TEST_F(SimSetupApiErrors, ConfigurationManagerParentAndDeviceId) {
    // The HID collection of the camera: parent is its MI_02 node.
    HDEVINFO hid = Os().SetupDiGetClassDevsW(&sim::kGuidHid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    SP_DEVINFO_DATA dev = {};
    dev.cbSize = sizeof(dev);
    ASSERT_TRUE(Os().SetupDiEnumDeviceInfo(hid, 0, &dev));
    DEVINST parent = 0;
    ASSERT_EQ(CR_SUCCESS, Os().CM_Get_Parent(&parent, dev.DevInst, 0));
    const std::wstring id = L"USB\\VID_4A7E&PID_C05C&MI_02\\6&173BB4E8&0&0002";
    struct Case {
        ULONG length;
        CONFIGRET cr;
        std::wstring text;
    } cases[] = {
        {MAX_DEVICE_ID_LEN, CR_SUCCESS, id},
        {static_cast<ULONG>(id.size() + 1), CR_SUCCESS, id},
        {static_cast<ULONG>(id.size()), CR_BUFFER_SMALL, id},  // all characters, no terminator
        {10, CR_BUFFER_SMALL, id.substr(0, 10)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.length);
        wchar_t buffer[MAX_DEVICE_ID_LEN + 1];
        for (auto& ch : buffer) ch = L'#';
        EXPECT_EQ(c.cr, Os().CM_Get_Device_IDW(parent, buffer, c.length, 0));
        EXPECT_EQ(c.text, std::wstring(buffer, c.text.size()));
        EXPECT_EQ(c.cr == CR_SUCCESS ? L'\0' : L'#', buffer[c.text.size()]);
    }
    // Up the tree: MI_02 -> the USB device -> its hub.
    DEVINST usb = 0, hub = 0;
    ASSERT_EQ(CR_SUCCESS, Os().CM_Get_Parent(&usb, parent, 0));
    wchar_t buffer[MAX_DEVICE_ID_LEN];
    ASSERT_EQ(CR_SUCCESS, Os().CM_Get_Device_IDW(usb, buffer, MAX_DEVICE_ID_LEN, 0));
    EXPECT_STREQ(L"USB\\VID_4A7E&PID_C05C\\SN12345678AB", buffer);
    ASSERT_EQ(CR_SUCCESS, Os().CM_Get_Parent(&hub, usb, 0));
    EXPECT_NE(hub, usb);
    // Flags and unknown nodes.
    DEVINST out = 1;
    EXPECT_EQ(CR_INVALID_FLAG, Os().CM_Get_Parent(&out, dev.DevInst, 1));
    EXPECT_EQ(CR_INVALID_DEVNODE, Os().CM_Get_Parent(&out, 0x77, 0));
    EXPECT_EQ(0u, out);
    EXPECT_EQ(CR_INVALID_DEVNODE, Os().CM_Get_Device_IDW(0x77, buffer, MAX_DEVICE_ID_LEN, 0));
    Os().SetupDiDestroyDeviceInfoList(hid);
}

TEST_F(SimSetupApiErrors, DevicePropertyParentSizeQueryAndUnknownKeys) {
    HMODULE setupapi = Os().GetModuleHandleW(L"Setupapi.dll");
    ASSERT_NE(nullptr, setupapi);
    auto get = reinterpret_cast<PFN_SetupDiGetDevicePropertyW>(Os().GetProcAddress(setupapi, "SetupDiGetDevicePropertyW"));
    ASSERT_NE(nullptr, get);
    // DF00 hangs on the hub: its parent is the hub the configuration manager names.
    DEVINST hub = 0;
    ASSERT_EQ(CR_SUCCESS, Os().CM_Get_Parent(&hub, dev_.DevInst, 0));
    wchar_t hubId[MAX_DEVICE_ID_LEN];
    ASSERT_EQ(CR_SUCCESS, Os().CM_Get_Device_IDW(hub, hubId, MAX_DEVICE_ID_LEN, 0));
    const DWORD needed = static_cast<DWORD>((wcslen(hubId) + 1) * sizeof(wchar_t));
    const DEVPROPKEY unknown = {sim::kDevPKeyDeviceParent.fmtid, 9999};
    struct Case {
        const char* label;
        const DEVPROPKEY* key;
        DWORD size;
        DWORD flags;
        BOOL ok;
        DWORD error;
    } cases[] = {
        {"size query", &sim::kDevPKeyDeviceParent, 0, 0, FALSE, ERROR_INSUFFICIENT_BUFFER},
        {"one character short", &sim::kDevPKeyDeviceParent, needed - 2, 0, FALSE, ERROR_INSUFFICIENT_BUFFER},
        {"exact", &sim::kDevPKeyDeviceParent, needed, 0, TRUE, ERROR_SUCCESS},
        {"flags", &sim::kDevPKeyDeviceParent, needed, 1, FALSE, ERROR_INVALID_FLAGS},
        {"unknown property", &unknown, needed, 0, FALSE, ERROR_NOT_FOUND},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        BYTE buffer[MAX_DEVICE_ID_LEN * sizeof(wchar_t)] = {};
        DEVPROPTYPE type = 0;
        DWORD required = 0;
        ::SetLastError(kMarker);
        BOOL ok = get(set_, &dev_, c.key, &type, c.size ? buffer : nullptr, c.size, &required, c.flags);
        EXPECT_EQ(c.ok, ok);
        if (!ok) {
            EXPECT_EQ(c.error, ::GetLastError());
        }
        if (c.error == ERROR_SUCCESS || c.error == ERROR_INSUFFICIENT_BUFFER) {
            EXPECT_EQ(needed, required);
            EXPECT_EQ(static_cast<DEVPROPTYPE>(DEVPROP_TYPE_STRING), type);
        }
        if (ok) {
            EXPECT_STREQ(hubId, reinterpret_cast<wchar_t*>(buffer));
        }
    }
}

TEST(SimDevicePropertyLookup, AnOlderSystemHasNoSetupDiGetDevicePropertyW) {
    sim::SetDevicePropertyApiPresent(false);
    HMODULE setupapi = Os().GetModuleHandleW(L"Setupapi.dll");
    ASSERT_NE(nullptr, setupapi);
    ::SetLastError(kMarker);
    EXPECT_EQ(nullptr, Os().GetProcAddress(setupapi, "SetupDiGetDevicePropertyW"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_PROC_NOT_FOUND), ::GetLastError());
    // Other entry points of the module are still found.
    EXPECT_NE(nullptr, Os().GetProcAddress(setupapi, "SetupDiGetClassDevsW"));
    sim::SetDevicePropertyApiPresent(true);
    EXPECT_NE(nullptr, Os().GetProcAddress(setupapi, "SetupDiGetDevicePropertyW"));
}

// ---------------------------------------------------------------- snapshots and order

TEST(SimSnapshots, ASetKeepsADeviceThatLeftButOpeningItFails) {
    ReferenceWorld world = PlugReferenceWorld();
    HDEVINFO set = Os().SetupDiGetClassDevsW(&sim::kGuidUsbDevice, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    ASSERT_TRUE(sim::Unplug(world.dfu));
    ASSERT_TRUE(sim::WaitForIdle());

    SP_DEVICE_INTERFACE_DATA itf = {};
    itf.cbSize = sizeof(itf);
    ASSERT_TRUE(Os().SetupDiEnumDeviceInterfaces(set, nullptr, &sim::kGuidUsbDevice, 2, &itf));
    BYTE buffer[512];
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer);
    detail->cbSize = sizeof(*detail);
    SP_DEVINFO_DATA dev = {};
    dev.cbSize = sizeof(dev);
    ASSERT_TRUE(Os().SetupDiGetDeviceInterfaceDetailW(set, &itf, detail, sizeof(buffer), nullptr, &dev));
    EXPECT_EQ(std::wstring(L"\\\\?\\usb#vid_4a7e&pid_df00#sn12345678ab#{a5dcbf10-6530-11d2-901f-00c04fb951ed}"),
              detail->DevicePath);
    // The registry still knows it...
    DWORD type = 0;
    BYTE desc[64];
    EXPECT_TRUE(Os().SetupDiGetDeviceRegistryPropertyW(set, &dev, SPDRP_DEVICEDESC, &type, desc, sizeof(desc), nullptr));
    // ...but the device node is gone and the device cannot be opened.
    DEVINST parent = 1;
    EXPECT_EQ(CR_NO_SUCH_DEVNODE, Os().CM_Get_Parent(&parent, dev.DevInst, 0));
    ::SetLastError(kMarker);
    HANDLE h = Os().CreateFileW(detail->DevicePath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    EXPECT_EQ(INVALID_HANDLE_VALUE, h);
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), ::GetLastError());
    Os().SetupDiDestroyDeviceInfoList(set);

    // A new set of present devices no longer lists it; one without
    // DIGCF_PRESENT still does (Windows keeps the phantom).
    std::vector<InterfaceFacts> now = EnumerateClass(sim::kGuidUsbDevice);
    ASSERT_EQ(3u, now.size());
    for (const InterfaceFacts& f : now) EXPECT_EQ(std::wstring::npos, f.path.find(L"pid_df00"));
    HDEVINFO all = Os().SetupDiGetClassDevsW(&sim::kGuidUsbDevice, nullptr, nullptr, DIGCF_DEVICEINTERFACE);
    DWORD count = 0;
    while (Os().SetupDiEnumDeviceInterfaces(all, nullptr, &sim::kGuidUsbDevice, count, &itf)) ++count;
    EXPECT_EQ(4u, count);
    Os().SetupDiDestroyDeviceInfoList(all);
}

TEST(SimSnapshots, EnumerationOrderIsInsertionOrderOrTheChosenOne) {
    sim::Plug(sim::WinUsbSpec(0x4A7E, 0xDF00, L"B0000000001", {2}));
    sim::Plug(sim::WinUsbSpec(0x4A7E, 0xDF01, L"A0000000002", {5}));
    sim::Plug(sim::WinUsbSpec(0x04B4, 0x00F3, L"", {6}, L"Cypress FX3 USB BootLoader Device"));
    struct Case {
        sim::EnumerationOrder order;
        std::vector<std::wstring> pids;
    } cases[] = {
        {sim::EnumerationOrder::Insertion, {L"pid_df00", L"pid_df01", L"pid_00f3"}},
        {sim::EnumerationOrder::Reverse, {L"pid_00f3", L"pid_df01", L"pid_df00"}},
        // vid_04b4 sorts before vid_4a7e; then by the rest of the path.
        {sim::EnumerationOrder::ByPath, {L"pid_00f3", L"pid_df00", L"pid_df01"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.order));
        sim::SetEnumerationOrder(c.order);
        std::vector<InterfaceFacts> got = EnumerateClass(sim::kGuidUsbDevice);
        ASSERT_EQ(c.pids.size(), got.size());
        for (size_t i = 0; i < got.size(); ++i) EXPECT_NE(std::wstring::npos, got[i].path.find(c.pids[i])) << got[i].path;
    }
}

TEST(SimSnapshots, EnumeratorAndSetupClassSets) {
    ReferenceWorld world = PlugReferenceWorld();
    (void)world;
    // Only nodes of the "HID" enumerator.
    HDEVINFO set = Os().SetupDiGetClassDevsW(nullptr, L"HID", nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(INVALID_HANDLE_VALUE, set);
    SP_DEVINFO_DATA dev = {};
    dev.cbSize = sizeof(dev);
    DWORD count = 0;
    while (Os().SetupDiEnumDeviceInfo(set, count, &dev)) ++count;
    EXPECT_EQ(3u, count);
    Os().SetupDiDestroyDeviceInfoList(set);
    // No class and no DIGCF_ALLCLASSES is a caller's error.
    ::SetLastError(kMarker);
    EXPECT_EQ(INVALID_HANDLE_VALUE, Os().SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), ::GetLastError());
}

}  // namespace
