// The HID binding through the simulated-flavour KivoFWSW.dll: which HID
// interface InitExtensionUnit and Init_HIDHandle find and how they open it,
// against simulated cameras in the simulator's enumeration orders.
#include "camera_test_support.h"

#include <cstdio>
#include <cwchar>

namespace {

constexpr DWORD kOverlappedRead = FILE_FLAG_OVERLAPPED | FILE_FLAG_NO_BUFFERING | FILE_ATTRIBUTE_NORMAL;
// The write handle is overlapped so that a report the device never takes can
// be given up on.
constexpr DWORD kBoundedWrite = FILE_FLAG_OVERLAPPED;

struct Open {
    int itf;
    DWORD access;
    DWORD flags;
};

std::vector<Open> OpensOf(const sim::HidCameraModel& m) {
    std::vector<Open> out;
    for (const sim::HidOpenRecord& r : m.Opens()) out.push_back({r.interfaceNumber, r.access, r.flags});
    return out;
}

std::string ShowOpens(const std::vector<Open>& opens) {
    std::string s;
    char one[80];
    for (const Open& o : opens) {
        std::snprintf(one, sizeof(one), "\n  MI_%02d access 0x%08lX flags 0x%08lX", o.itf, static_cast<unsigned long>(o.access),
                      static_cast<unsigned long>(o.flags));
        s += one;
    }
    return s.empty() ? "\n  (none)" : s;
}

::testing::AssertionResult SameOpens(const std::vector<Open>& expected, const std::vector<Open>& got) {
    bool same = expected.size() == got.size();
    for (size_t i = 0; same && i < got.size(); ++i) {
        same = expected[i].itf == got[i].itf && expected[i].access == got[i].access && expected[i].flags == got[i].flags;
    }
    if (same) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "\nexpected opens:" << ShowOpens(expected) << "\ngot:" << ShowOpens(got);
}

// The ten characters six after "MI_" in the upper-cased path.
std::wstring InstancePartOf(const std::wstring& path) {
    const std::wstring up = Upper(path);
    return up.substr(up.find(L"MI_") + 6, 10);
}

const std::vector<Open> kCommandInterfaceOpens = {{2, GENERIC_WRITE, kBoundedWrite}, {2, GENERIC_READ, kOverlappedRead}};

class HidBinding : public CameraTest {};

TEST_F(HidBinding, FindsTheSiblingOfTheSelectedCameraAmongTwoOfTheSameModel) {
    struct Case {
        const char* name;
        sim::EnumerationOrder order;
        bool selectSecond;
    } cases[] = {
        {"second camera, insertion order", sim::EnumerationOrder::Insertion, true},
        {"second camera, reverse order", sim::EnumerationOrder::Reverse, true},
        {"first camera, reverse order", sim::EnumerationOrder::Reverse, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DeinitExtensionUnit();
        sim::Reset();
        sim::SetTimeScale(kTimeScale);
        sim::SetEnumerationOrder(c.order);
        auto a = sim::PlugHidCamera({L"CAMA00000001", {1}});
        auto b = sim::PlugHidCamera({L"CAMB00000002", {2}});
        auto& chosen = c.selectSecond ? b : a;
        auto& other = c.selectSecond ? a : b;
        Arg path(chosen.videoPath);
        EXPECT_EQ(InitExtensionUnit(path.buf), 1);
        EXPECT_EQ(path.str(), Upper(chosen.videoPath)) << "the caller's buffer comes back upper-cased";
        EXPECT_TRUE(SameOpens(kCommandInterfaceOpens, OpensOf(*chosen.model)));
        EXPECT_TRUE(SameOpens({}, OpensOf(*other.model)));
        // Commands reach the selected camera only.
        unsigned char v1 = 0, v2 = 0;
        unsigned short v3 = 0, v4 = 0;
        EXPECT_EQ(ReadFirmwareVersion(&v1, &v2, &v3, &v4), 1);
        EXPECT_EQ(chosen.model->Writes().size(), 1u);
        EXPECT_EQ(other.model->Writes().size(), 0u);
    }
}

TEST_F(HidBinding, LogsTheInstancePartsAndTheEndpointOfTheMatch) {
    auto cam = sim::PlugHidCamera({L"CAM000000001", {1}});
    Arg path(cam.videoPath);
    const std::wstring part = InstancePartOf(cam.videoPath);
    ASSERT_EQ(part.size(), 10u);
    StartDebugCapture();
    ASSERT_EQ(InitExtensionUnit(path.buf), 1);
    const Lines expected = {
        L"Application InstanceID = \r\n",
        part,
        L"DLL VID & PID = HID\\VID_4A7E&PID_C110&REV_0100&MI_02 \r\n",
        L"DLL InstanceID = ",
        part,
        L"Device Found \r\n",
        L" FindEndpointBound :Extracted Endpoint type is g_MI = MI_02\r\n",
    };
    EXPECT_EQ(CapturedDebugLines(), expected) << Show(CapturedDebugLines());
}

TEST_F(HidBinding, APathWithoutMarkerTakesCharacters26To35) {
    auto cam = sim::PlugHidCamera({L"CAM000000001", {1}});
    const std::wstring part = InstancePartOf(cam.videoPath);
    const std::wstring tail = L"&0&0000#{65e8773d-8f56-11d0-a3b9-00a0c9223196}";
    struct Case {
        const char* name;
        std::wstring path;
        int result;
    } cases[] = {
        // "\\?\usb#vid_4a7e&pid_c110#" is 26 characters: the part follows it.
        {"same ten characters", L"\\\\?\\usb#vid_4a7e&pid_c110#" + part + tail, 1},
        {"other ten characters", L"\\\\?\\usb#vid_4a7e&pid_c110#" + std::wstring(L"6&00000000") + tail, 0},
        {"one character later", L"\\\\?\\usb#vid_4a7e&pid_c110##" + part + tail, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DeinitExtensionUnit();
        const size_t before = cam.model->Opens().size();
        Arg path(c.path);
        ::SetLastError(kMarker);
        EXPECT_EQ(InitExtensionUnit(path.buf), c.result);
        if (c.result == 0) {
            EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
            EXPECT_EQ(cam.model->Opens().size(), before) << "nothing opened";
        } else {
            EXPECT_EQ(cam.model->Opens().size(), before + 2);
        }
    }
}

// A string whose terminator is the last character before a page that may
// not be read: reading one character past its end faults.
class GuardedString {
public:
    explicit GuardedString(const std::wstring& s) {
        SYSTEM_INFO info;
        ::GetSystemInfo(&info);
        page_ = info.dwPageSize;
        base_ = static_cast<BYTE*>(::VirtualAlloc(nullptr, 2 * page_, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        DWORD old = 0;
        ::VirtualProtect(base_ + page_, page_, PAGE_NOACCESS, &old);
        text_ = reinterpret_cast<wchar_t*>(base_ + page_) - (s.size() + 1);
        std::wmemcpy(text_, s.c_str(), s.size() + 1);
    }
    ~GuardedString() { ::VirtualFree(base_, 0, MEM_RELEASE); }
    wchar_t* text() { return text_; }

private:
    DWORD page_ = 0;
    BYTE* base_ = nullptr;
    wchar_t* text_ = nullptr;
};

TEST_F(HidBinding, ArgumentsShorterThanTheirInstancePartMatchNothingAndAreNotReadPastTheirEnd) {
    auto cam = sim::PlugHidCamera({L"CAM000000001", {1}});
    const std::wstring part = InstancePartOf(cam.videoPath);
    const std::wstring lower = cam.videoPath.substr(0, cam.videoPath.find(L"mi_00#") + 6);
    struct Case {
        const char* name;
        std::wstring s;
    } cases[] = {
        {"empty", L""},
        {"no marker, shorter than 36", L"\\\\?\\usb#vid_4a7e&pid_c110#" + part.substr(0, 9)},
        {"marker, part cut by one", lower + part.substr(0, 9)},
        {"marker at the very end", L"\\\\?\\usb#vid_4a7e&pid_c110&mi_"},
        {"only the marker", L"mi_02"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        GuardedString s(c.s);
        ::SetLastError(kMarker);
        EXPECT_EQ(InitExtensionUnit(s.text()), 0);
        EXPECT_NE(::GetLastError(), kMarker);
        EXPECT_EQ(std::wstring(s.text()), Upper(c.s));
        EXPECT_TRUE(SameOpens({}, OpensOf(*cam.model)));
    }
    // The full path still binds: the cut cases failed for their length only.
    Arg full(lower + part + L"&0&0000#{65e8773d-8f56-11d0-a3b9-00a0c9223196}\\global");
    EXPECT_EQ(InitExtensionUnit(full.buf), 1);
}

TEST_F(HidBinding, AMatchingInterfaceWithAnotherMarkerIsNotBound) {
    auto cam = sim::PlugHidCamera({L"CAMMI3000001", {1}, L"", 0, 0, {3}});
    auto last = sim::PlugHidCamera({L"CAMLAST00001", {2}});
    Arg path(cam.videoPath);
    StartDebugCapture();
    ::SetLastError(kMarker);
    EXPECT_EQ(InitExtensionUnit(path.buf), 0);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    EXPECT_TRUE(SameOpens({}, OpensOf(*cam.model)));
    EXPECT_TRUE(SameOpens({}, OpensOf(*last.model)));
    const Lines lines = CapturedDebugLines();
    EXPECT_TRUE(ContainsRun(lines, {L"Device Found \r\n", L" FindEndpointBound :Extracted Endpoint type is g_MI = MI_03\r\n"}))
        << Show(lines);
    // The last interface examined is the last one enumerated: the other
    // camera's, which SetPreparseDataAndAttributes reopens read-write.
    EXPECT_EQ(SetPreparseDataAndAttributes(), 1);
    EXPECT_TRUE(SameOpens({{2, GENERIC_READ | GENERIC_WRITE, 0}}, OpensOf(*last.model)));
    EXPECT_TRUE(SameOpens({}, OpensOf(*cam.model)));
}

TEST_F(HidBinding, StereoCameraInBothEnumerationOrders) {
    struct Case {
        const char* name;
        sim::EnumerationOrder order;
        std::vector<Open> opens;
        const wchar_t* countLine;
    } cases[] = {
        {"MI_02 first: overlapped read handle", sim::EnumerationOrder::Insertion,
         {{2, GENERIC_WRITE, kBoundedWrite}, {2, GENERIC_READ, kOverlappedRead}, {3, GENERIC_READ, kOverlappedRead}},
         L"KivoFwSw: InitExtensionUnit: g_NoOfHID = 2 , g_MI = MI_03\r\n"},
        {"MI_03 first: synchronous read handle", sim::EnumerationOrder::Reverse,
         {{3, GENERIC_READ, kOverlappedRead}, {2, GENERIC_WRITE, kBoundedWrite}, {2, GENERIC_READ, 0}},
         L"KivoFwSw: InitExtensionUnit: g_NoOfHID = 2 , g_MI = MI_02\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DeinitExtensionUnit();
        sim::Reset();
        sim::SetTimeScale(kTimeScale);
        sim::SetEnumerationOrder(c.order);
        auto other = sim::PlugStereoCamera({L"STEREOOTHER1", {3}});
        auto cam = sim::PlugStereoCamera({L"STEREO000001", {1}});
        Arg path(cam.videoPath);
        StartDebugCapture();
        EXPECT_EQ(InitExtensionUnit(path.buf), 1);
        EXPECT_TRUE(SameOpens(c.opens, OpensOf(*cam.model)));
        EXPECT_TRUE(SameOpens({}, OpensOf(*other.model)));
        EXPECT_EQ(LinesWith(L"g_NoOfHID"), Lines{c.countLine});
        // Either read handle carries the replies.
        unsigned char v1 = 0, v2 = 0;
        unsigned short v3 = 0, v4 = 0;
        EXPECT_EQ(ReadFirmwareVersion(&v1, &v2, &v3, &v4), 1);
        EXPECT_EQ(v4, 300);
    }
}

TEST_F(HidBinding, StereoInterfaceOfAnotherDeviceBetweenTheTwoIsNotBound) {
    // Replugged with its IMU interface, the camera's MI_03 node is new and is
    // listed after the HID device plugged meanwhile; that device's parent has
    // no "MI_" and must not inherit the camera's instance part.
    auto first = sim::PlugStereoCamera({L"STEREO000001", {1}, L"", 0, 0, {2}});
    auto between = std::make_shared<sim::HidCameraModel>();
    sim::Plug(sim::HidDeviceSpec(0x04B4, 0x0001, L"", {4}), between);
    sim::Unplug(first.device);
    auto cam = sim::PlugStereoCamera({L"STEREO000001", {1}});
    Arg path(cam.videoPath);
    EXPECT_EQ(InitExtensionUnit(path.buf), 1);
    EXPECT_TRUE(SameOpens({}, OpensOf(*between)));
    EXPECT_TRUE(SameOpens({{2, GENERIC_WRITE, kBoundedWrite}, {2, GENERIC_READ, kOverlappedRead}, {3, GENERIC_READ, kOverlappedRead}},
                          OpensOf(*cam.model)));
}

TEST_F(HidBinding, StereoParentThroughDevicePropertiesOrOnXpTheConfigurationManager) {
    struct Case {
        const char* name;
        DWORD major, minor;
        const wchar_t* prefix;
    } cases[] = {
        {"Windows 10", 10, 0, L"KivoFwSw: InitExtensionUnit: Parent Property value: "},
        {"Windows 7", 6, 1, L"KivoFwSw: InitExtensionUnit: Parent Property value: "},
        {"Windows XP", 5, 1, L"KivoFwSw: InitExtensionUnit: CM_Get_Device_ID: InstanceID "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DeinitExtensionUnit();
        sim::Reset();
        sim::SetTimeScale(kTimeScale);
        sim::SetWindowsVersion(c.major, c.minor, 2600);
        sim::CameraPlace place{L"STEREO000001", {1}};
        place.interfacePrefix = L"6&2B3C4D5E&0";
        auto cam = sim::PlugStereoCamera(place);
        Arg path(cam.videoPath);
        StartDebugCapture();
        EXPECT_EQ(InitExtensionUnit(path.buf), 1);
        const Lines expected = {
            std::wstring(c.prefix) + L"USB\\VID_4A7E&PID_C114&MI_02\\6&2B3C4D5E&0&0002\r\n",
            std::wstring(c.prefix) + L"USB\\VID_4A7E&PID_C114&MI_03\\6&2B3C4D5E&0&0003\r\n",
        };
        EXPECT_EQ(LinesWith(c.prefix), expected) << Show(CapturedDebugLines());
    }
}

TEST_F(HidBinding, ARefusedOpenIsReportedButTheBindingStands) {
    sim::HidCameraKnobs knobs;
    knobs.openError = ERROR_ACCESS_DENIED;
    auto cam = sim::PlugHidCamera({L"CAM000000001", {1}}, knobs);
    Arg path(cam.videoPath);
    StartDebugCapture();
    ::SetLastError(kMarker);
    EXPECT_EQ(InitExtensionUnit(path.buf), 1);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(LinesWith(L"INVALID_HANDLE_VALUE"),
              (Lines{L"KivoFwSw: InitExtensionUnit: g_WriteHandle INVALID_HANDLE_VALUE Error Status = 5\r\n",
                     L"KivoFwSw: InitExtensionUnit: g_ReadHandle INVALID_HANDLE_VALUE Error Status = 5\r\n"}));
    // The commands then find no camera.
    unsigned char v1 = 0, v2 = 0;
    unsigned short v3 = 0, v4 = 0;
    ::SetLastError(kMarker);
    EXPECT_EQ(ReadFirmwareVersion(&v1, &v2, &v3, &v4), 0);
    EXPECT_EQ(::GetLastError(), KIVOFWSW_ERROR_NOT_BOUND);
    EXPECT_TRUE(cam.model->Writes().empty());
}

TEST_F(HidBinding, InitHidHandleMatchesTheParentByVidAndPidText) {
    auto rom = std::make_shared<sim::HidCameraModel>();
    const sim::DeviceId id = sim::Plug(sim::HidDeviceSpec(0x1FC9, 0x0135, L"", {3}), rom);
    const std::wstring hidPath = sim::InterfacePaths(id, sim::kGuidHid).at(0);
    struct Case {
        const char* name;
        std::wstring s;
        int result;
    } cases[] = {
        {"its interface path", hidPath, 1},
        {"a lower-case instance ID", L"usb\\vid_1fc9&pid_0135\\5&1&0&3", 1},
        {"another product", L"VID_1FC9&PID_0136", 0},
        {"no product", L"\\\\?\\hid#vid_1fc9", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DeinitExtensionUnit();
        const size_t before = rom->Opens().size();
        Arg s(c.s);
        StartDebugCapture();
        ::SetLastError(kMarker);
        EXPECT_EQ(Init_HIDHandle(s.buf), c.result);
        EXPECT_EQ(s.str(), Upper(c.s));
        if (c.result == 0) {
            EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
            EXPECT_EQ(rom->Opens().size(), before);
            continue;
        }
        std::vector<Open> opens;
        for (size_t i = before; i < rom->Opens().size(); ++i) {
            const sim::HidOpenRecord r = rom->Opens()[i];
            opens.push_back({r.interfaceNumber, r.access, r.flags});
        }
        EXPECT_TRUE(SameOpens({{-1, GENERIC_WRITE, kBoundedWrite}, {-1, GENERIC_READ, kOverlappedRead}}, opens));
        EXPECT_TRUE(ContainsRun(CapturedDebugLines(), {L"Device Found \r\n", L"Init_HID :: GENERIC_WRITE: 1073741824",
                                                       L"Init_HID :: FILE_SHARE_READ | FILE_SHARE_WRITE: 3",
                                                       L"Init_HID :: Device path: " + hidPath}))
            << Show(CapturedDebugLines());
    }
}

TEST_F(HidBinding, DeinitClosesTheBindingAndReportsWhetherAnEventWasClosed) {
    auto cam = sim::PlugHidCamera({L"CAM000000001", {1}});
    Arg path(cam.videoPath);
    ASSERT_EQ(InitExtensionUnit(path.buf), 1);
    EXPECT_NE(DeinitExtensionUnit(), 0);
    EXPECT_EQ(SendHIDCommandWithFirstByte(4), 0);
    EXPECT_EQ(::GetLastError(), KIVOFWSW_ERROR_NOT_BOUND);
    EXPECT_TRUE(cam.model->Writes().empty());
    ::SetLastError(kMarker);
    EXPECT_EQ(DeinitExtensionUnit(), 0) << "no event left to close";
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    // The interface can be opened again at once: nothing of ours holds it.
    EXPECT_EQ(InitExtensionUnit(path.buf), 1);
    EXPECT_EQ(SendHIDCommandWithFirstByte(4), 1);
}

TEST_F(HidBinding, SetPreparseDataBeforeAnyEnumerationFails) {
    ::SetLastError(kMarker);
    EXPECT_EQ(SetPreparseDataAndAttributes(), 0);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

}  // namespace
