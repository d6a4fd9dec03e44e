// What the tracing table writes for the calls of the simulated build: one
// valid JSON object per line, with the fields of each kind of exchange, and
// the caller seeing exactly what it would see without tracing.
#include "trace_test_support.h"

#include "os_api.h"
#include "os_trace.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <functional>
#include <map>
#include <set>
#include <thread>

using namespace tracetest;

namespace {

const GUID kUsbClass = {0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};

std::wstring UsbPath(sim::DeviceId d) { return sim::InterfacePaths(d, sim::kGuidUsbDevice).at(0); }
std::wstring HidPath(sim::DeviceId d) { return sim::InterfacePaths(d, sim::kGuidHid).at(0); }

// Position of a record in the file.
size_t IndexOf(const jsonl::Trace& t, const jsonl::Value* r) { return static_cast<size_t>(r - t.records.data()); }

}  // namespace

TEST(TraceRecords, ControlTransfersCarryTheSetupTheBytesAndTheOutcome) {
    TracedProcess trace;
    auto model = std::make_shared<ScriptedDevice>();
    const sim::DeviceId dev = sim::Plug(sim::WinUsbSpec(0x4A7E, 0xDF00, L"SN0001", {1}), model);
    const std::wstring path = UsbPath(dev);
    HANDLE h = Os().CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, kShare, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    WINUSB_INTERFACE_HANDLE ifh = nullptr;
    ASSERT_TRUE(Os().WinUsb_Initialize(h, &ifh));

    BYTE out[5] = {0x01, 0x02, 0x03, 0xFE, 0xFF};
    ULONG n = 0;
    ::SetLastError(kMarker);
    ASSERT_TRUE(Os().WinUsb_ControlTransfer(ifh, Packet(0x40, 0x01, 0x0102, 0x0304, 5), out, 5, &n, nullptr));
    EXPECT_EQ(kMarker, ::GetLastError()) << "a success leaves the last error as it was";
    EXPECT_EQ(5u, n);
    BYTE in[6] = {};
    ASSERT_TRUE(Os().WinUsb_ControlTransfer(ifh, Packet(0xC0, 0x03, 0x0007, 0x0002, 6), in, 6, &n, nullptr));
    EXPECT_EQ(ScriptedDevice::ControlReply(Packet(0xC0, 0x03, 7, 2, 6)), Bytes(in, in + n)) << "the caller's data";
    ::SetLastError(kMarker);
    EXPECT_FALSE(Os().WinUsb_ControlTransfer(ifh, Packet(0x40, 0x7F, 1, 0, 0), nullptr, 0, &n, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_GEN_FAILURE), ::GetLastError()) << "the caller's last error";
    EXPECT_TRUE(Os().WinUsb_Free(ifh));
    EXPECT_TRUE(Os().CloseHandle(h));

    const jsonl::Trace t = trace.Read();
    const auto transfers = t.Calls("WinUsb_ControlTransfer");
    ASSERT_EQ(3u, transfers.size());
    struct Expected {
        double type, request, value, index, length;
        const char* out;  // null: no "out" member (IN transfer)
        bool in;          // an "in" member with the model's reply
        double count;     // -1: no "count"
        double result;
        double error;  // -1: no "error"
    } expected[] = {
        {0x40, 0x01, 0x0102, 0x0304, 5, "010203feff", false, 5, 1, -1},
        {0xC0, 0x03, 0x0007, 0x0002, 6, nullptr, true, 6, 1, -1},
        {0x40, 0x7F, 1, 0, 0, "", false, -1, 0, ERROR_GEN_FAILURE},
    };
    const std::string inReply = jsonl::Hex(ScriptedDevice::ControlReply(Packet(0xC0, 0x03, 7, 2, 6)));
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        const jsonl::Value& r = *transfers[i];
        const Expected& e = expected[i];
        EXPECT_EQ(path, r.WStr("dev"));
        const jsonl::Value* s = r.Find("setup");
        ASSERT_NE(nullptr, s);
        EXPECT_EQ(e.type, s->Num("type"));
        EXPECT_EQ(e.request, s->Num("request"));
        EXPECT_EQ(e.value, s->Num("value"));
        EXPECT_EQ(e.index, s->Num("index"));
        EXPECT_EQ(e.length, s->Num("length"));
        EXPECT_EQ(e.out != nullptr, r.Has("out"));
        if (e.out) {
            EXPECT_EQ(e.out, r.Str("out"));
        }
        EXPECT_EQ(e.in, r.Has("in"));
        if (e.in) {
            EXPECT_EQ(inReply, r.Str("in"));
        }
        EXPECT_EQ(e.count, r.Num("count"));
        EXPECT_EQ(e.result, r.Num("result"));
        EXPECT_EQ(e.error, r.Num("error"));
        EXPECT_GE(r.Num("dur"), 0);
    }

    // The opening and closing around them, in order, all naming the device.
    const auto open = t.Calls("CreateFileW");
    const auto init = t.Calls("WinUsb_Initialize");
    const auto free = t.Calls("WinUsb_Free");
    const auto close = t.Calls("CloseHandle");
    ASSERT_EQ(1u, open.size());
    ASSERT_EQ(1u, init.size());
    ASSERT_EQ(1u, free.size());
    ASSERT_EQ(1u, close.size());
    for (const jsonl::Value* r : {open[0], init[0], free[0], close[0]}) {
        EXPECT_EQ(path, r->WStr("dev"));
    }
    EXPECT_EQ(open[0]->Str("handle"), close[0]->Str("handle"));
    EXPECT_EQ("0xc0000000", open[0]->Str("access"));
    EXPECT_EQ("0x40000000", open[0]->Str("flags"));
    EXPECT_LT(IndexOf(t, open[0]), IndexOf(t, init[0]));
    EXPECT_LT(IndexOf(t, init[0]), IndexOf(t, transfers[0]));
    EXPECT_LT(IndexOf(t, transfers[2]), IndexOf(t, free[0]));
    EXPECT_LT(IndexOf(t, free[0]), IndexOf(t, close[0]));
}

TEST(TraceRecords, PendingRequestsRecordTheirReplyWhenTheyComplete) {
    TracedProcess trace;
    auto model = std::make_shared<ScriptedDevice>();
    const sim::DeviceId dev = sim::Plug(sim::HidDeviceSpec(0x1FC9, 0x0135, L"", {4}), model);
    const std::wstring path = HidPath(dev);
    HANDLE h = Os().CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, kShare, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    OVERLAPPED ov = {};
    ov.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);

    BYTE report[65];
    std::fill(report, report + 65, 0xEE);
    EXPECT_FALSE(Os().ReadFile(h, report, 65, nullptr, &ov));
    EXPECT_EQ(static_cast<DWORD>(ERROR_IO_PENDING), ::GetLastError());
    DWORD n = 0;
    EXPECT_FALSE(Os().GetOverlappedResult(h, &ov, &n, FALSE)) << "still running";
    EXPECT_EQ(static_cast<DWORD>(ERROR_IO_INCOMPLETE), ::GetLastError());
    Bytes reply(65);
    for (size_t i = 0; i < reply.size(); ++i) reply[i] = static_cast<BYTE>(0x30 + i);
    ASSERT_TRUE(model->AnswerHeld(reply));
    ASSERT_TRUE(Os().GetOverlappedResult(h, &ov, &n, TRUE));
    EXPECT_EQ(reply, Bytes(report, report + n));

    const Bytes command = {0x00, 0x00, 0x20, 0x00, 0xDE, 0xAD};
    Bytes answer(16, 0);
    EXPECT_FALSE(Os().DeviceIoControl(h, 0x220020, const_cast<BYTE*>(command.data()), 6, answer.data(), 16, nullptr,
                                      &ov));
    EXPECT_EQ(static_cast<DWORD>(ERROR_IO_PENDING), ::GetLastError());
    ASSERT_TRUE(model->AnswerHeld());
    ASSERT_TRUE(Os().GetOverlappedResult(h, &ov, &n, TRUE));
    EXPECT_EQ(6u, n);
    Os().CloseHandle(h);
    ::CloseHandle(ov.hEvent);

    const jsonl::Trace t = trace.Read();
    const auto reads = t.Calls("ReadFile");
    const auto ioctls = t.Calls("DeviceIoControl");
    const auto completions = t.Calls("GetOverlappedResult");
    ASSERT_EQ(1u, reads.size());
    ASSERT_EQ(1u, ioctls.size());
    ASSERT_EQ(2u, completions.size()) << "the poll of a running request is not a record";

    // The start: pending, no reply yet.
    for (const jsonl::Value* r : {reads[0], ioctls[0]}) {
        EXPECT_EQ(path, r->WStr("dev"));
        EXPECT_EQ(0, r->Num("result"));
        EXPECT_EQ(ERROR_IO_PENDING, r->Num("error"));
        EXPECT_FALSE(r->Has("in"));
        EXPECT_FALSE(r->Str("ov").empty());
    }
    EXPECT_EQ(65, reads[0]->Num("length"));
    EXPECT_EQ("0x00220020", ioctls[0]->Str("ioctl"));
    EXPECT_EQ(jsonl::Hex(command), ioctls[0]->Str("out"));
    EXPECT_EQ(16, ioctls[0]->Num("length"));

    // The end: the reply, tied to its request.
    const jsonl::Value& readDone = *completions[0];
    EXPECT_EQ("ReadFile", readDone.Str("op"));
    EXPECT_EQ(path, readDone.WStr("dev"));
    EXPECT_EQ(reads[0]->Str("ov"), readDone.Str("ov"));
    EXPECT_EQ(jsonl::Hex(reply), readDone.Str("in"));
    EXPECT_EQ(65, readDone.Num("count"));
    EXPECT_EQ(1, readDone.Num("result"));
    const jsonl::Value& ioctlDone = *completions[1];
    EXPECT_EQ("DeviceIoControl", ioctlDone.Str("op"));
    EXPECT_EQ("0x00220020", ioctlDone.Str("ioctl"));
    EXPECT_EQ(jsonl::Hex(ScriptedDevice::Inverted(command)), ioctlDone.Str("in"));
    EXPECT_EQ(6, ioctlDone.Num("count"));
}

TEST(TraceRecords, HidCallsRecordAttributesCapabilitiesAndReports) {
    TracedProcess trace;
    auto model = std::make_shared<ScriptedDevice>();
    sim::HidCaps withIds;  // input report 3, output report 2
    withIds.inputReportIds = {3};
    withIds.outputReportIds = {2};
    const sim::DeviceId dev = sim::Plug(sim::HidDeviceSpec(0x1FC9, 0x0135, L"", {4}, withIds), model);
    const std::wstring path = HidPath(dev);
    HANDLE h = Os().CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, kShare, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    HIDD_ATTRIBUTES a = {};
    a.Size = sizeof(a);
    ASSERT_TRUE(Os().HidD_GetAttributes(h, &a));
    PHIDP_PREPARSED_DATA pp = nullptr;
    ASSERT_TRUE(Os().HidD_GetPreparsedData(h, &pp));
    HIDP_CAPS caps = {};
    EXPECT_EQ(HIDP_STATUS_SUCCESS, Os().HidP_GetCaps(pp, &caps));
    Os().HidD_FreePreparsedData(pp);
    BYTE input[65] = {0x03};
    ASSERT_TRUE(Os().HidD_GetInputReport(h, input, 65));
    BYTE output[65] = {0x02, 0xAA, 0xBB, 0xCC};
    ASSERT_TRUE(Os().HidD_SetOutputReport(h, output, 65));
    Os().CloseHandle(h);

    const jsonl::Trace t = trace.Read();
    const auto attributes = t.Calls("HidD_GetAttributes");
    ASSERT_EQ(1u, attributes.size());
    EXPECT_EQ(path, attributes[0]->WStr("dev"));
    EXPECT_EQ("0x00001fc9", attributes[0]->Str("vid"));
    EXPECT_EQ("0x00000135", attributes[0]->Str("pid"));
    const auto capabilities = t.Calls("HidP_GetCaps");
    ASSERT_EQ(1u, capabilities.size());
    EXPECT_EQ(path, capabilities[0]->WStr("dev")) << "found through the preparsed data";
    EXPECT_EQ(65, capabilities[0]->Num("inputLength"));
    EXPECT_EQ(65, capabilities[0]->Num("outputLength"));

    const auto gets = t.Calls("HidD_GetInputReport");
    ASSERT_EQ(1u, gets.size());
    EXPECT_EQ(path, gets[0]->WStr("dev"));
    EXPECT_EQ(3, gets[0]->Num("report"));
    EXPECT_EQ(65, gets[0]->Num("length"));
    EXPECT_EQ(jsonl::Hex(Bytes(input, input + 65)), gets[0]->Str("in"));
    EXPECT_EQ(0x04, input[1]) << "the model's answer reached the caller";
    const auto sets = t.Calls("HidD_SetOutputReport");
    ASSERT_EQ(1u, sets.size());
    EXPECT_EQ(2, sets[0]->Num("report"));
    EXPECT_EQ(jsonl::Hex(Bytes(output, output + 65)), sets[0]->Str("out"));
    ASSERT_EQ(1u, model->outputReports.size());
    EXPECT_EQ(Bytes(output, output + 65), model->outputReports[0]);
}

TEST(TraceRecords, EnumerationRecordsThePathsAndPropertiesWindowsHandsOut) {
    TracedProcess trace;
    const sim::DeviceId a = sim::Plug(sim::WinUsbSpec(0x4A7E, 0xDF00, L"SN0001", {1}));
    const sim::DeviceId b = sim::Plug(sim::WinUsbSpec(0x4A7E, 0xDF01, L"SN0002", {2}));
    HDEVINFO set = Os().SetupDiGetClassDevsW(&kUsbClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(INVALID_HANDLE_VALUE, set);
    SP_DEVICE_INTERFACE_DATA data = {};
    data.cbSize = sizeof(data);
    DWORD index = 0;
    for (; Os().SetupDiEnumDeviceInterfaces(set, nullptr, &kUsbClass, index, &data); ++index) {
        DWORD size = 0;
        Os().SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &size, nullptr);
        std::vector<BYTE> buffer(size);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        SP_DEVINFO_DATA info = {};
        info.cbSize = sizeof(info);
        ASSERT_TRUE(Os().SetupDiGetDeviceInterfaceDetailW(set, &data, detail, size, nullptr, &info));
        BYTE ids[512];
        // No type asked for: the record still tells the value's type.
        ASSERT_TRUE(Os().SetupDiGetDeviceRegistryPropertyW(set, &info, SPDRP_HARDWAREID, nullptr, ids, sizeof(ids),
                                                           nullptr));
        wchar_t id[200];
        ASSERT_EQ(CR_SUCCESS, Os().CM_Get_Device_IDW(info.DevInst, id, 200, 0));
    }
    EXPECT_EQ(2u, index);
    Os().SetupDiDestroyDeviceInfoList(set);

    const jsonl::Trace t = trace.Read();
    const auto classDevs = t.Calls("SetupDiGetClassDevsW");
    ASSERT_EQ(1u, classDevs.size());
    EXPECT_EQ("{A5DCBF10-6530-11D2-901F-00C04FB951ED}", classDevs[0]->Str("class"));
    EXPECT_EQ("0x00000012", classDevs[0]->Str("flags"));
    const std::string setText = classDevs[0]->Str("set");

    const auto enums = t.Calls("SetupDiEnumDeviceInterfaces");
    ASSERT_EQ(3u, enums.size());
    EXPECT_EQ(ERROR_NO_MORE_ITEMS, enums[2]->Num("error")) << "the end of the list";

    std::set<std::wstring> recorded;
    size_t sizeQueries = 0;
    for (const jsonl::Value* r : t.Calls("SetupDiGetDeviceInterfaceDetailW")) {
        EXPECT_EQ(setText, r->Str("set"));
        if (r->Num("result") == 0) {
            ++sizeQueries;
            EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER, r->Num("error"));
            EXPECT_GT(r->Num("required"), 8);
        } else {
            recorded.insert(r->WStr("path"));
        }
    }
    EXPECT_EQ(2u, sizeQueries);
    EXPECT_EQ((std::set<std::wstring>{UsbPath(a), UsbPath(b)}), recorded);

    const auto properties = t.Calls("SetupDiGetDeviceRegistryPropertyW");
    ASSERT_EQ(2u, properties.size());
    const jsonl::Value* ids = properties[0]->Find("value");
    ASSERT_NE(nullptr, ids);
    ASSERT_EQ(jsonl::Value::Array, ids->kind);
    ASSERT_EQ(2u, ids->items.size());
    EXPECT_EQ("USB\\VID_4A7E&PID_DF00&REV_0100", ids->items[0].text);
    EXPECT_EQ("USB\\VID_4A7E&PID_DF00", ids->items[1].text);
    EXPECT_EQ(REG_MULTI_SZ, properties[0]->Num("type"));

    std::set<std::wstring> instanceIds;
    for (const jsonl::Value* r : t.Calls("CM_Get_Device_IDW")) instanceIds.insert(r->WStr("id"));
    EXPECT_EQ((std::set<std::wstring>{sim::InstanceId(a), sim::InstanceId(b)}), instanceIds);
}

namespace {

std::atomic<int> g_arrivals{0}, g_removals{0};

LRESULT CALLBACK CountingProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_DEVICECHANGE && wParam == DBT_DEVICEARRIVAL) ++g_arrivals;
    if (msg == WM_DEVICECHANGE && wParam == DBT_DEVICEREMOVECOMPLETE) ++g_removals;
    return DefWindowProcW(hwnd, msg, wParam, lParam);
}

HWND CountingWindow() {
    WNDCLASSW wc = {};
    wc.lpfnWndProc = CountingProc;
    wc.hInstance = ::GetModuleHandleW(nullptr);
    wc.lpszClassName = L"TraceCountingWindow";
    ::RegisterClassW(&wc);
    return ::CreateWindowExW(0, wc.lpszClassName, L"", WS_OVERLAPPEDWINDOW, 0, 0, 10, 10, nullptr, nullptr,
                             wc.hInstance, nullptr);
}

HDEVNOTIFY RegisterForUsb(HWND window) {
    DEV_BROADCAST_DEVICEINTERFACE_W filter = {};
    filter.dbcc_size = sizeof(filter);
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = kUsbClass;
    return Os().RegisterDeviceNotificationW(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
}

}  // namespace

TEST(TraceRecords, ArrivalsAndRemovalsAreRecordedAsTheWindowReceivesThem) {
    TracedProcess trace;
    HWND window = CountingWindow();
    ASSERT_NE(nullptr, window);
    HDEVNOTIFY notify = RegisterForUsb(window);
    ASSERT_NE(nullptr, notify);
    const sim::DeviceId dev = sim::Plug(sim::WinUsbSpec(0x4A7E, 0xDF00, L"SN0001", {1}));
    const std::wstring path = UsbPath(dev);
    ASSERT_TRUE(sim::WaitForIdle());
    sim::Unplug(dev);
    ASSERT_TRUE(sim::WaitForIdle());
    EXPECT_EQ(1, g_arrivals.load()) << "the window's own procedure still gets them";
    EXPECT_EQ(1, g_removals.load());
    Os().UnregisterDeviceNotification(notify);
    ::DestroyWindow(window);

    const jsonl::Trace t = trace.Read();
    const auto registrations = t.Calls("RegisterDeviceNotificationW");
    ASSERT_EQ(1u, registrations.size());
    EXPECT_EQ("{A5DCBF10-6530-11D2-901F-00C04FB951ED}", registrations[0]->Str("class"));
    EXPECT_EQ(1, registrations[0]->Num("result"));
    const auto changes = t.Calls("WM_DEVICECHANGE");
    ASSERT_EQ(2u, changes.size());
    const char* events[] = {"arrival", "removal"};
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(events[i], changes[i]->Str("event"));
        EXPECT_EQ(path, changes[i]->WStr("dev"));
        EXPECT_EQ("{A5DCBF10-6530-11D2-901F-00C04FB951ED}", changes[i]->Str("class"));
        EXPECT_EQ(registrations[0]->Str("recipient"), changes[i]->Str("window"));
        EXPECT_EQ(static_cast<double>(::GetCurrentThreadId()), changes[i]->Num("tid")) << "the window's thread";
    }
    EXPECT_EQ(1u, t.Calls("UnregisterDeviceNotification").size());
}

TEST(TraceRecords, DialogsDebugLinesAndWaitsAreRecordedWithTheirText) {
    TracedProcess trace;
    const std::wstring boxText = L"Replace the \"old\" firmware?\r\nVersion 1.2 \u2192 1.3 \\ done";
    const std::wstring caption = L"Kivo \u00e9tat \u2713";
    sim::QueueMessageBoxAnswer(IDNO);
    EXPECT_EQ(IDNO, Os().MessageBoxW(nullptr, boxText.c_str(), caption.c_str(), MB_YESNO | MB_ICONQUESTION));

    const std::wstring chosen = L"C:\\firmware\\camera \u00e9\u00e8.img";
    sim::QueueOpenFileAnswer(chosen);
    wchar_t file[MAX_PATH] = L"";
    OPENFILENAMEW ofn = {};
    ofn.lStructSize = sizeof(ofn);
    ofn.lpstrFile = file;
    ofn.nMaxFile = MAX_PATH;
    ofn.lpstrTitle = L"Select Firmware";
    ASSERT_TRUE(Os().GetOpenFileNameW(&ofn));

    // A tab, a control character, a character outside the BMP (a surrogate
    // pair in UTF-16) and a lone surrogate.
    const wchar_t line[] = {L't', L'\t', 0x01, L' ', 0xD83D, 0xDE00, L' ', 0xDC00, L'\r', L'\n', 0};
    Os().OutputDebugStringW(line);

    Os().Sleep(3);
    HANDLE signalled = ::CreateEventW(nullptr, TRUE, TRUE, nullptr);
    HANDLE quiet = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(WAIT_OBJECT_0, Os().WaitForSingleObject(signalled, 100));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), Os().WaitForSingleObject(quiet, 1));
    sim::SetDialogHook([](const sim::DialogCall&, DLGPROC, INT_PTR* result) {
        *result = 5;
        return true;
    });
    EXPECT_EQ(5, Os().DialogBoxParamW(nullptr, MAKEINTRESOURCEW(144), nullptr, nullptr, 0));

    const jsonl::Trace t = trace.Read();
    const auto boxes = t.Calls("MessageBoxW");
    ASSERT_EQ(1u, boxes.size());
    EXPECT_EQ(boxText, boxes[0]->WStr("text"));
    EXPECT_EQ(caption, boxes[0]->WStr("caption"));
    EXPECT_EQ("0x00000024", boxes[0]->Str("type"));
    EXPECT_EQ(IDNO, boxes[0]->Num("answer"));

    const auto opens = t.Calls("GetOpenFileNameW");
    ASSERT_EQ(1u, opens.size());
    EXPECT_EQ(chosen, opens[0]->WStr("path"));
    EXPECT_EQ(L"Select Firmware", opens[0]->WStr("title"));

    const auto debug = t.Calls("OutputDebugStringW");
    ASSERT_EQ(1u, debug.size());
    const std::wstring expectedLine = {L't', L'\t', 0x01, L' ', 0xD83D, 0xDE00, L' ', 0xFFFD, L'\r', L'\n'};
    EXPECT_EQ(expectedLine, debug[0]->WStr("text"));
    EXPECT_NE(std::string::npos, t.raw.find("\"t\\t\\u0001 \xF0\x9F\x98\x80 \xEF\xBF\xBD\\r\\n\""))
        << "escapes as written";

    const auto sleeps = t.Calls("Sleep");
    ASSERT_EQ(1u, sleeps.size());
    EXPECT_EQ(3, sleeps[0]->Num("ms"));
    const auto waits = t.Calls("WaitForSingleObject");
    ASSERT_EQ(2u, waits.size());
    EXPECT_EQ(WAIT_OBJECT_0, waits[0]->Num("result"));
    EXPECT_EQ(100, waits[0]->Num("ms"));
    EXPECT_EQ(WAIT_TIMEOUT, waits[1]->Num("result"));
    const auto dialogs = t.Calls("DialogBoxParamW");
    ASSERT_EQ(1u, dialogs.size());
    EXPECT_EQ(144, dialogs[0]->Num("template"));
    EXPECT_EQ(5, dialogs[0]->Num("result"));
    ::CloseHandle(signalled);
    ::CloseHandle(quiet);
}

TEST(TraceRecords, FirmwareFilesAreRecordedWithoutTheirBytes) {
    TracedProcess trace;
    const std::wstring path = jsonl::FreshTempPath(L"fw");
    Bytes content(3000);
    for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<BYTE>(0x5A ^ (i * 7));
    HANDLE w = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD n = 0;
    ::WriteFile(w, content.data(), static_cast<DWORD>(content.size()), &n, nullptr);
    ::CloseHandle(w);

    HANDLE h = Os().CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    LARGE_INTEGER size = {};
    ASSERT_TRUE(Os().GetFileSizeEx(h, &size));
    Bytes read(4096);
    ASSERT_TRUE(Os().ReadFile(h, read.data(), 4096, &n, nullptr));
    EXPECT_EQ(3000u, n);
    EXPECT_TRUE(std::equal(content.begin(), content.end(), read.begin()));
    Os().CloseHandle(h);
    ::DeleteFileW(path.c_str());

    const jsonl::Trace t = trace.Read();
    const auto opens = t.Calls("CreateFileW");
    ASSERT_EQ(1u, opens.size());
    EXPECT_EQ(path, opens[0]->WStr("file"));
    EXPECT_FALSE(opens[0]->Has("dev"));
    const auto sizes = t.Calls("GetFileSizeEx");
    ASSERT_EQ(1u, sizes.size());
    EXPECT_EQ(path, sizes[0]->WStr("file"));
    EXPECT_EQ(3000, sizes[0]->Num("size"));
    const auto reads = t.Calls("ReadFile");
    ASSERT_EQ(1u, reads.size());
    EXPECT_EQ(path, reads[0]->WStr("file"));
    EXPECT_EQ(4096, reads[0]->Num("length"));
    EXPECT_EQ(3000, reads[0]->Num("count"));
    EXPECT_FALSE(reads[0]->Has("in"));
    // Not even a piece of the contents.
    EXPECT_EQ(std::string::npos, t.raw.find(jsonl::Hex(Bytes(content.begin() + 100, content.begin() + 108))));
}

TEST(TraceRecords, CallersSeeTheSameResultsAndLastErrorsAsWithoutTracing) {
    const std::wstring tracePath = jsonl::FreshTempPath(L"trc");
    ::SetEnvironmentVariableW(L"CORVANE_TRACE", tracePath.c_str());
    ::SetLastError(kMarker);
    const OsApi& traced = Os();
    EXPECT_EQ(kMarker, ::GetLastError()) << "the first Os() call keeps the caller's last error";
    ASSERT_TRUE(ostrace::Active());
    const OsApi& plain = *SimOsApi();
    ASSERT_NE(&plain, &traced);
    EXPECT_STREQ(plain.name, traced.name);

    auto model = std::make_shared<ScriptedDevice>();
    const sim::DeviceId usb = sim::Plug(sim::WinUsbSpec(0x4A7E, 0xDF00, L"SN0001", {1}), model);
    const sim::DeviceId hid = sim::Plug(sim::HidDeviceSpec(0x1FC9, 0x0135, L"", {4}), model);
    const std::wstring usbPath = UsbPath(usb), hidPath = HidPath(hid);

    struct Outcome {
        long long result;
        DWORD error;
    };
    struct Case {
        const char* name;
        std::function<Outcome(const OsApi&)> call;
    };
    const std::vector<Case> cases = {
        {"open of a device path nobody has",
         [](const OsApi& os) {
             HANDLE h = os.CreateFileW(L"\\\\?\\usb#vid_0000&pid_0000#x#{a5dcbf10-6530-11d2-901f-00c04fb951ed}",
                                       GENERIC_READ, kShare, nullptr, OPEN_EXISTING, 0, nullptr);
             return Outcome{h == INVALID_HANDLE_VALUE ? -1 : 1, ::GetLastError()};
         }},
        {"stalled control transfer",
         [&](const OsApi& os) {
             HANDLE h = os.CreateFileW(usbPath.c_str(), GENERIC_READ | GENERIC_WRITE, kShare, nullptr, OPEN_EXISTING, 0,
                                       nullptr);
             WINUSB_INTERFACE_HANDLE ifh = nullptr;
             os.WinUsb_Initialize(h, &ifh);
             ULONG n = 99;
             ::SetLastError(kMarker);
             BOOL ok = os.WinUsb_ControlTransfer(ifh, Packet(0x40, 0x7F, 0, 0, 0), nullptr, 0, &n, nullptr);
             Outcome o{ok * 1000 + static_cast<long long>(n), ::GetLastError()};
             os.WinUsb_Free(ifh);
             os.CloseHandle(h);
             return o;
         }},
        {"successful control transfer",
         [&](const OsApi& os) {
             HANDLE h = os.CreateFileW(usbPath.c_str(), GENERIC_READ | GENERIC_WRITE, kShare, nullptr, OPEN_EXISTING, 0,
                                       nullptr);
             WINUSB_INTERFACE_HANDLE ifh = nullptr;
             os.WinUsb_Initialize(h, &ifh);
             BYTE in[6] = {};
             ULONG n = 0;
             ::SetLastError(kMarker);
             BOOL ok = os.WinUsb_ControlTransfer(ifh, Packet(0xC0, 0x03, 0, 0, 6), in, 6, &n, nullptr);
             Outcome o{ok * 1000 + static_cast<long long>(n) * 10 + in[0], ::GetLastError()};
             os.WinUsb_Free(ifh);
             os.CloseHandle(h);
             return o;
         }},
        {"input report into a short buffer",
         [&](const OsApi& os) {
             HANDLE h = os.CreateFileW(hidPath.c_str(), GENERIC_READ | GENERIC_WRITE, kShare, nullptr, OPEN_EXISTING, 0,
                                       nullptr);
             BYTE report[8] = {1};
             ::SetLastError(kMarker);
             BOOLEAN ok = os.HidD_GetInputReport(h, report, 8);
             Outcome o{ok, ::GetLastError()};
             os.CloseHandle(h);
             return o;
         }},
        {"enumeration past the end",
         [](const OsApi& os) {
             HDEVINFO set = os.SetupDiGetClassDevsW(&kUsbClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
             SP_DEVICE_INTERFACE_DATA d = {};
             d.cbSize = sizeof(d);
             ::SetLastError(kMarker);
             BOOL ok = os.SetupDiEnumDeviceInterfaces(set, nullptr, &kUsbClass, 7, &d);
             Outcome o{ok, ::GetLastError()};
             os.SetupDiDestroyDeviceInfoList(set);
             return o;
         }},
        {"attributes of a missing file",
         [](const OsApi& os) {
             ::SetLastError(kMarker);
             DWORD a = os.GetFileAttributesW(L"C:\\no\\such\\firmware.img");
             return Outcome{static_cast<long long>(a), ::GetLastError()};
         }},
        {"sleep, wait and debug line leave the last error",
         [](const OsApi& os) {
             ::SetLastError(kMarker);
             os.Sleep(1);
             os.OutputDebugStringW(L"line\r\n");
             HANDLE e = ::CreateEventW(nullptr, TRUE, TRUE, nullptr);
             ::SetLastError(kMarker);
             DWORD w = os.WaitForSingleObject(e, 10);
             Outcome o{static_cast<long long>(w), ::GetLastError()};
             ::CloseHandle(e);
             return o;
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Outcome expected = c.call(plain);
        const Outcome got = c.call(traced);
        EXPECT_EQ(expected.result, got.result);
        EXPECT_EQ(expected.error, got.error);
    }
    ::DeleteFileW(tracePath.c_str());
}

TEST(TraceRecords, EachThreadsRecordsRunForwardFromTheProcesssStart) {
    TracedProcess trace;
    std::vector<std::thread> threads;
    for (int i = 0; i < 3; ++i) {
        threads.emplace_back([i] {
            for (int k = 0; k < 50; ++k) {
                Os().OutputDebugStringW(L"tick\r\n");
                if (k % 10 == i) Os().Sleep(1);
            }
        });
    }
    for (auto& t : threads) t.join();

    const jsonl::Trace t = trace.Read();
    ASSERT_FALSE(t.records.empty());
    const jsonl::Value& start = t.records[0];
    EXPECT_EQ("TraceStart", start.Str("call"));
    EXPECT_EQ(0, start.Num("t")) << "the first record of the process";
    EXPECT_EQ(1, start.Num("format"));
    EXPECT_EQ(static_cast<double>(::GetCurrentProcessId()), start.Num("pid"));
    EXPECT_EQ("simulator", start.Str("table"));
    const std::wstring module = start.WStr("module");
    EXPECT_NE(std::wstring::npos, module.find(L"trace_tests.exe")) << jsonl::Narrow(module);
    EXPECT_EQ(150u, t.Calls("OutputDebugStringW").size());
    std::map<double, double> last;  // thread -> t of its previous record
    for (const jsonl::Value& r : t.records) {
        const double tid = r.Num("tid"), time = r.Num("t");
        auto it = last.find(tid);
        if (it != last.end()) {
            EXPECT_LE(it->second, time) << r.Str("call");
        }
        last[tid] = time;
    }
    EXPECT_GE(last.size(), 3u);
}

extern "C" __declspec(dllimport) void TracePeerLines(int count, const wchar_t* tag, int padding);

TEST(TraceRecords, TwoModulesShareTheFileAndTheirLinesNeverMix) {
    TracedProcess trace;
    constexpr int kLines = 300, kPadding = 3000;
    std::vector<std::thread> threads;
    // Long lines from two threads in each module at once.
    for (const wchar_t* tag : {L"peer-a", L"peer-b"}) {
        threads.emplace_back([tag] { TracePeerLines(kLines, tag, kPadding); });
    }
    for (const wchar_t* tag : {L"main-a", L"main-b"}) {
        threads.emplace_back([tag] {
            const std::wstring pad(kPadding, L'x');
            for (int i = 0; i < kLines; ++i) {
                Os().OutputDebugStringW((std::wstring(tag) + L" " + std::to_wstring(i) + L" " + pad).c_str());
            }
        });
    }
    for (auto& t : threads) t.join();

    const jsonl::Trace t = trace.Read();
    std::map<std::string, std::set<int>> seen;
    for (const jsonl::Value* r : t.Calls("OutputDebugStringW")) {
        const std::string text = r->Str("text");
        const size_t space = text.find(' ');
        ASSERT_NE(std::string::npos, space);
        const int index = std::atoi(text.c_str() + space + 1);
        EXPECT_TRUE(seen[text.substr(0, space)].insert(index).second) << "a line twice";
        EXPECT_EQ(static_cast<size_t>(kPadding), text.size() - text.find(' ', space + 1) - 1);
    }
    ASSERT_EQ(4u, seen.size());
    for (const auto& s : seen) {
        EXPECT_EQ(static_cast<size_t>(kLines), s.second.size()) << s.first;
    }

    const auto starts = t.Calls("TraceStart");
    ASSERT_EQ(2u, starts.size()) << "one start per module";
    EXPECT_EQ(starts[0]->Num("pid"), starts[1]->Num("pid"));
    std::set<std::wstring> modules;
    for (const jsonl::Value* s : starts) {
        const std::wstring m = s->WStr("module");
        modules.insert(m.substr(m.find_last_of(L"\\/") + 1));
    }
    EXPECT_EQ((std::set<std::wstring>{L"trace_tests.exe", L"trace_peer.dll"}), modules);
    EXPECT_EQ(0, starts[0]->Num("t"));
    EXPECT_GE(starts[1]->Num("t"), 0) << "both modules count from the process's first record";
}

TEST(TraceRecords, KernelStreamingPropertyRequestsHaveTheirOwnRecord) {
    TracedProcess trace;
    const GUID set = {0x12345678, 0x9ABC, 0xDEF0, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}};
    const Bytes sent = {0x01, 0x02}, received = {0xA0, 0xB1, 0xC2};
    const std::wstring path =
        L"\\\\?\\usb#vid_4a7e&pid_c05c&mi_00#6&173bb4e8&0&0000#{65e8773d-8f56-11d0-a3b9-00a0c9223196}\\global";
    CorvaneTraceKsProperty(path.c_str(), set, 7, 0x00000001, sent.data(), 2, received.data(), 3, S_OK);

    const jsonl::Trace t = trace.Read();
    const auto props = t.Calls("KsProperty");
    ASSERT_EQ(1u, props.size());
    EXPECT_EQ(path, props[0]->WStr("dev"));
    const jsonl::Value* p = props[0]->Find("property");
    ASSERT_NE(nullptr, p);
    EXPECT_EQ("{12345678-9ABC-DEF0-0123-456789ABCDEF}", p->Str("set"));
    EXPECT_EQ(7, p->Num("id"));
    EXPECT_EQ("0x00000001", p->Str("flags"));
    EXPECT_EQ("0102", props[0]->Str("out"));
    EXPECT_EQ("a0b1c2", props[0]->Str("in"));
    EXPECT_EQ("0x00000000", props[0]->Str("hr"));
}

TEST(TraceRecords, DevicePropertiesLookedUpAtRunTimeAreRecordedToo) {
    TracedProcess trace;
    sim::Plug(sim::CameraSpec(0x4A7E, 0xC05C, L"SN12345678AB", {3, 2}, L"Kivo Camera"));
    auto get = reinterpret_cast<PFN_SetupDiGetDevicePropertyW>(reinterpret_cast<void*>(
        Os().GetProcAddress(Os().GetModuleHandleW(L"setupapi.dll"), "SetupDiGetDevicePropertyW")));
    ASSERT_NE(nullptr, get);
    const GUID hid = sim::kGuidHid;
    HDEVINFO set = Os().SetupDiGetClassDevsW(&hid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    SP_DEVINFO_DATA info = {};
    info.cbSize = sizeof(info);
    ASSERT_TRUE(Os().SetupDiEnumDeviceInfo(set, 0, &info));
    wchar_t parent[200] = L"";
    DEVPROPTYPE type = 0;
    ASSERT_TRUE(get(set, &info, &sim::kDevPKeyDeviceParent, &type, reinterpret_cast<PBYTE>(parent), sizeof(parent),
                    nullptr, 0));
    Os().SetupDiDestroyDeviceInfoList(set);

    const jsonl::Trace t = trace.Read();
    const auto props = t.Calls("SetupDiGetDevicePropertyW");
    ASSERT_EQ(1u, props.size()) << "the pointer handed out records";
    EXPECT_EQ(std::wstring(parent), props[0]->WStr("value"));
    EXPECT_FALSE(std::wstring(parent).empty());
    EXPECT_EQ(8, props[0]->Num("pid")) << "DEVPKEY_Device_Parent";
    EXPECT_EQ("0x00000012", props[0]->Str("type"));
    const auto lookups = t.Calls("GetProcAddress");
    ASSERT_EQ(1u, lookups.size());
    EXPECT_EQ("SetupDiGetDevicePropertyW", lookups[0]->Str("name"));
}
