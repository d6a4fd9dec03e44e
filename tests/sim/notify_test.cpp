// Device arrivals and removals reach real windows under Wine as
// WM_DEVICECHANGE, sent from the simulator's thread, for the classes each
// window registered.
#include "sim_test_support.h"

#include "os_api.h"

using namespace simtest;

namespace {

struct ExpectedChange {
    WPARAM event;
    const GUID* cls;
    std::wstring path;
};

void ExpectChanges(const std::vector<ExpectedChange>& expected, const std::vector<DeviceChangeSeen>& seen, DWORD windowThread) {
    ASSERT_EQ(expected.size(), seen.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(expected[i].event, seen[i].event);
        EXPECT_EQ(static_cast<DWORD>(DBT_DEVTYP_DEVICEINTERFACE), seen[i].deviceType);
        EXPECT_EQ(GuidString(*expected[i].cls), GuidString(seen[i].interfaceClass));
        EXPECT_EQ(expected[i].path, seen[i].name);
        EXPECT_TRUE(seen[i].sent) << "device changes are sent, not posted";
        EXPECT_EQ(windowThread, seen[i].threadId);
    }
}

TEST(SimDeviceChange, ArrivalAndRemovalReachTheRegisteredWindows) {
    sim::SetTimeScale(0.01);
    NotificationWindow usb(sim::kGuidUsbDevice);
    NotificationWindow hid(sim::kGuidHid);
    ASSERT_TRUE(usb.registered());
    ASSERT_TRUE(hid.registered());

    sim::DeviceId camera = sim::Plug(ReferenceCameraSpec());
    sim::DeviceId dfu = sim::PlugAfter(500, sim::WinUsbSpec(0x4A7E, 0xDF00, L"SN12345678AB", {3, 2}));
    sim::UnplugAfter(1000, camera);
    ASSERT_TRUE(sim::WaitForIdle());

    const std::wstring cameraUsb = L"\\\\?\\usb#vid_4a7e&pid_c05c#sn12345678ab#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
    const std::wstring cameraHid =
        L"\\\\?\\hid#vid_4a7e&pid_c05c&mi_02#7&2a8f41c&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}";
    const std::wstring dfuUsb = L"\\\\?\\usb#vid_4a7e&pid_df00#sn12345678ab#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
    ExpectChanges({{DBT_DEVICEARRIVAL, &sim::kGuidUsbDevice, cameraUsb},
                   {DBT_DEVICEARRIVAL, &sim::kGuidUsbDevice, dfuUsb},
                   {DBT_DEVICEREMOVECOMPLETE, &sim::kGuidUsbDevice, cameraUsb}},
                  usb.Seen(), usb.threadId());
    // Only the camera has a HID interface; the WinUSB device raises none.
    ExpectChanges({{DBT_DEVICEARRIVAL, &sim::kGuidHid, cameraHid}, {DBT_DEVICEREMOVECOMPLETE, &sim::kGuidHid, cameraHid}},
                  hid.Seen(), hid.threadId());
    EXPECT_TRUE(sim::IsPresent(dfu));
    EXPECT_FALSE(sim::IsPresent(camera));
}

TEST(SimDeviceChange, NothingIsSentAfterUnregistering) {
    NotificationWindow usb(sim::kGuidUsbDevice);
    std::vector<sim::NotificationRecord> regs = sim::Registrations();
    ASSERT_EQ(1u, regs.size());
    EXPECT_EQ(usb.hwnd(), regs[0].window);
    EXPECT_EQ(GuidString(sim::kGuidUsbDevice), GuidString(regs[0].interfaceClass));

    // Registered on the window's thread; unregister from here through the table.
    HWND other = ::CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    DEV_BROADCAST_DEVICEINTERFACE_W filter = {};
    filter.dbcc_size = sizeof(filter);
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = sim::kGuidUsbDevice;
    HDEVNOTIFY n = Os().RegisterDeviceNotificationW(other, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    ASSERT_NE(nullptr, n);
    EXPECT_EQ(2u, sim::Registrations().size());
    EXPECT_TRUE(Os().UnregisterDeviceNotification(n));
    EXPECT_EQ(1u, sim::Registrations().size());

    sim::Plug(sim::WinUsbSpec(0x4A7E, 0xDF00, L"X1", {1}));
    ASSERT_TRUE(sim::WaitForIdle());
    EXPECT_EQ(1u, usb.Seen().size());
    ::DestroyWindow(other);
}

TEST(SimDeviceChange, RegistrationChecksItsFilter) {
    HWND w = ::CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    DEV_BROADCAST_DEVICEINTERFACE_W filter = {};
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = sim::kGuidHid;
    filter.dbcc_size = 8;
    ::SetLastError(kMarker);
    EXPECT_EQ(nullptr, Os().RegisterDeviceNotificationW(w, &filter, DEVICE_NOTIFY_WINDOW_HANDLE));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_DATA), ::GetLastError());
    filter.dbcc_size = sizeof(filter);
    ::SetLastError(kMarker);
    EXPECT_EQ(nullptr, Os().RegisterDeviceNotificationW(reinterpret_cast<HWND>(static_cast<ULONG_PTR>(0x1234)), &filter,
                                                        DEVICE_NOTIFY_WINDOW_HANDLE));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE), ::GetLastError());
    EXPECT_TRUE(sim::Registrations().empty());
    ::DestroyWindow(w);
}

TEST(SimDeviceChange, ReenumerationLeavesAndComesBackAsTheUpdateModeDeviceWithTheSameSerial) {
    sim::SetTimeScale(0.01);
    NotificationWindow usb(sim::kGuidUsbDevice);
    sim::DeviceId camera = sim::Plug(ReferenceCameraSpec());
    sim::UsbDeviceSpec next = sim::WinUsbSpec(0x4A7E, 0xDF00, sim::SpecOf(camera).serial, sim::SpecOf(camera).ports);
    const ULONGLONG start = sim::SimulatedNowMs();
    sim::DeviceId dfu = sim::Reenumerate(camera, 1000, 2000, next, nullptr);
    EXPECT_TRUE(sim::IsPresent(camera));
    EXPECT_FALSE(sim::IsPresent(dfu));
    ASSERT_TRUE(sim::WaitForIdle());
    EXPECT_GE(sim::SimulatedNowMs() - start, 3000u);
    EXPECT_FALSE(sim::IsPresent(camera));
    EXPECT_TRUE(sim::IsPresent(dfu));
    EXPECT_EQ(L"USB\\VID_4A7E&PID_DF00\\SN12345678AB", sim::InstanceId(dfu));
    std::vector<DeviceChangeSeen> seen = usb.Seen();
    ASSERT_EQ(3u, seen.size());
    EXPECT_EQ(static_cast<WPARAM>(DBT_DEVICEARRIVAL), seen[0].event);
    EXPECT_EQ(static_cast<WPARAM>(DBT_DEVICEREMOVECOMPLETE), seen[1].event);
    EXPECT_NE(std::wstring::npos, seen[1].name.find(L"pid_c05c"));
    EXPECT_EQ(static_cast<WPARAM>(DBT_DEVICEARRIVAL), seen[2].event);
    EXPECT_EQ(L"\\\\?\\usb#vid_4a7e&pid_df00#sn12345678ab#{a5dcbf10-6530-11d2-901f-00c04fb951ed}", seen[2].name);
}

int g_sentToRecorder = 0;

LRESULT CALLBACK RecorderProc(HWND h, UINT m, WPARAM w, LPARAM l) {
    if (m == WM_DEVICECHANGE) ++g_sentToRecorder;
    return ::DefWindowProcW(h, m, w, l);
}

// The window's own thread waiting for the timeline must not dead-lock: the
// wait serves the messages sent to it.
TEST(SimDeviceChange, WaitingOnTheWindowThreadServesTheSentMessages) {
    WNDCLASSW wc = {};
    wc.lpfnWndProc = &RecorderProc;
    wc.hInstance = ::GetModuleHandleW(nullptr);
    wc.lpszClassName = L"CorvaneSimRecorder";
    ::RegisterClassW(&wc);
    HWND w = ::CreateWindowExW(0, L"CorvaneSimRecorder", L"", 0, 0, 0, 0, 0, nullptr, nullptr, wc.hInstance, nullptr);
    DEV_BROADCAST_DEVICEINTERFACE_W filter = {};
    filter.dbcc_size = sizeof(filter);
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = sim::kGuidUsbDevice;
    ASSERT_NE(nullptr, Os().RegisterDeviceNotificationW(w, &filter, DEVICE_NOTIFY_WINDOW_HANDLE));
    sim::Plug(sim::WinUsbSpec(0x4A7E, 0xDF00, L"X1", {1}));
    sim::Plug(sim::WinUsbSpec(0x4A7E, 0xDF00, L"X2", {2}));
    ASSERT_TRUE(sim::WaitForIdle(5000));
    EXPECT_EQ(2, g_sentToRecorder);
    ::DestroyWindow(w);
}

}  // namespace
