// Tracing is decided once, at a module's first Os() call: without a usable
// CORVANE_TRACE the module works on the table underneath and writes nothing.
#include "trace_test_support.h"

#include "os_api.h"
#include "os_trace.h"

using namespace tracetest;

namespace {

bool Exists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

LRESULT CALLBACK PlainProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    return DefWindowProcW(hwnd, msg, wParam, lParam);
}

}  // namespace

TEST(TraceOff, WithoutTheVariableOsIsTheTableUnderneathAndNothingIsWritten) {
    ::SetEnvironmentVariableW(L"CORVANE_TRACE", nullptr);
    EXPECT_EQ(SimOsApi(), &Os());
    EXPECT_FALSE(ostrace::Active());

    // Naming a file now is too late for this module.
    const std::wstring late = jsonl::FreshTempPath(L"trc");
    ::SetEnvironmentVariableW(L"CORVANE_TRACE", late.c_str());
    EXPECT_EQ(SimOsApi(), &Os());

    auto model = std::make_shared<ScriptedDevice>();
    const sim::DeviceId dev = sim::Plug(sim::WinUsbSpec(0x4A7E, 0xDF00, L"SN0001", {1}), model);
    const std::wstring path = sim::InterfacePaths(dev, sim::kGuidUsbDevice).at(0);
    HANDLE h = Os().CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, kShare, nullptr, OPEN_EXISTING, 0, nullptr);
    WINUSB_INTERFACE_HANDLE ifh = nullptr;
    ASSERT_TRUE(Os().WinUsb_Initialize(h, &ifh));
    BYTE in[6];
    ULONG n = 0;
    EXPECT_TRUE(Os().WinUsb_ControlTransfer(ifh, Packet(0xC0, 0x03, 0, 0, 6), in, 6, &n, nullptr));
    Os().WinUsb_Free(ifh);
    Os().CloseHandle(h);
    Os().OutputDebugStringW(L"a line\r\n");
    const GUID set = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
    CorvaneTraceKsProperty(path.c_str(), set, 1, 1, nullptr, 0, nullptr, 0, S_OK);

    // A window registered for notifications keeps its own procedure.
    WNDCLASSW wc = {};
    wc.lpfnWndProc = PlainProc;
    wc.hInstance = ::GetModuleHandleW(nullptr);
    wc.lpszClassName = L"TraceOffWindow";
    ::RegisterClassW(&wc);
    HWND window = ::CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 1, 1, nullptr, nullptr, wc.hInstance, nullptr);
    DEV_BROADCAST_DEVICEINTERFACE_W filter = {};
    filter.dbcc_size = sizeof(filter);
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = sim::kGuidUsbDevice;
    HDEVNOTIFY notify = Os().RegisterDeviceNotificationW(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    EXPECT_NE(nullptr, notify);
    EXPECT_EQ(reinterpret_cast<LONG_PTR>(&PlainProc), ::GetWindowLongPtrW(window, GWLP_WNDPROC));
    Os().UnregisterDeviceNotification(notify);
    ::DestroyWindow(window);

    EXPECT_FALSE(Exists(late));
    ::DeleteFileW(late.c_str());
}

TEST(TraceOff, AnEmptyVariableIsOff) {
    ::SetEnvironmentVariableW(L"CORVANE_TRACE", L"");
    EXPECT_EQ(SimOsApi(), &Os());
    EXPECT_FALSE(ostrace::Active());
}

TEST(TraceOff, AFileThatCannotBeOpenedLeavesTracingOffAndSaysWhy) {
    const std::wstring folder = jsonl::FreshTempPath(L"dir");  // never created
    const std::wstring path = folder + L"\\trace.jsonl";
    ::SetEnvironmentVariableW(L"CORVANE_TRACE", path.c_str());
    ::SetLastError(kMarker);
    EXPECT_EQ(SimOsApi(), &Os());
    EXPECT_EQ(kMarker, ::GetLastError());
    EXPECT_FALSE(ostrace::Active());
    EXPECT_EQ(L"CORVANE_TRACE: the trace file cannot be opened (error 3)\r\n", sim::DebugText());
    EXPECT_FALSE(Exists(path));
}

TEST(TraceOn, RecordsAreAppendedToWhatTheFileHolds) {
    const std::wstring path = jsonl::FreshTempPath(L"trc");
    const std::string earlier = "{\"t\":0,\"tid\":1,\"call\":\"Earlier\"}\n";
    HANDLE f = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    DWORD n = 0;
    ::WriteFile(f, earlier.data(), static_cast<DWORD>(earlier.size()), &n, nullptr);
    ::CloseHandle(f);
    ::SetEnvironmentVariableW(L"CORVANE_TRACE", path.c_str());
    Os().OutputDebugStringW(L"after\r\n");

    const jsonl::Trace t = jsonl::ReadTrace(path);
    for (const std::string& p : t.problems) ADD_FAILURE() << p;
    ASSERT_EQ(3u, t.records.size());
    EXPECT_EQ(0u, t.raw.find(earlier));
    EXPECT_EQ("TraceStart", t.records[1].Str("call"));
    EXPECT_EQ(L"after\r\n", t.records[2].WStr("text"));
    if (!::testing::Test::HasFailure()) ::DeleteFileW(path.c_str());
}
