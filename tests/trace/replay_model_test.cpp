// The replay device model on traces written by hand: each kind of exchange
// answered as recorded, pending requests, departures, and the reports of a
// conversation that leaves the trace.
#include "trace_test_support.h"

#include "os_api.h"

#include <functional>

using namespace tracetest;

namespace {

const sim::UsbDeviceSpec kUsbSpec = sim::WinUsbSpec(0x4A7E, 0xDF00, L"SN0001", {1});
// A HID collection of 65-byte reports with report IDs (output 2, input 3),
// as the class driver hands them out whole.
sim::UsbDeviceSpec HidSpec() {
    sim::HidCaps caps;
    caps.outputReportIds = {2};
    caps.inputReportIds = {3};
    return sim::HidDeviceSpec(0x04B4, 0x00F3, L"SN0002", {2}, caps);
}
const sim::UsbDeviceSpec kHidSpec = HidSpec();

// The interface path a spec gets (stable across plugs of the same spec).
std::wstring PathOf(const sim::UsbDeviceSpec& spec, const GUID& cls) {
    const sim::DeviceId d = sim::Plug(spec);
    const std::wstring path = sim::InterfacePaths(d, cls).at(0);
    sim::Reset();
    return path;
}

std::string Escaped(const std::wstring& path) {
    std::string out;
    for (char c : jsonl::Narrow(path)) {
        if (c == '\\') out += '\\';
        out += c;
    }
    return out;
}

// One record of the device at `path`.
std::string Rec(double t, const char* call, const std::wstring& path, const std::string& fields) {
    char time[32];
    std::snprintf(time, sizeof time, "%.3f", t);
    return std::string("{\"t\":") + time + ",\"tid\":7,\"call\":\"" + call + "\",\"dev\":\"" + Escaped(path) + "\"" +
           (fields.empty() ? "" : "," + fields) + "}\n";
}

std::string SetupJson(int type, int request, int value, int index, int length) {
    return "\"setup\":{\"type\":" + std::to_string(type) + ",\"request\":" + std::to_string(request) +
           ",\"value\":" + std::to_string(value) + ",\"index\":" + std::to_string(index) +
           ",\"length\":" + std::to_string(length) + "}";
}

Bytes Counting(size_t n, BYTE from) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<BYTE>(from + i);
    return b;
}

std::shared_ptr<sim::ReplayDeviceModel> Replay(const std::string& text, const std::wstring& path) {
    sim::DeviceTrace trace;
    std::string error;
    EXPECT_TRUE(sim::ParseDeviceTrace(text, path, &trace, &error)) << error;
    return std::make_shared<sim::ReplayDeviceModel>(trace);
}

// An open WinUSB interface on the replayed device.
struct UsbLink {
    HANDLE file = INVALID_HANDLE_VALUE;
    WINUSB_INTERFACE_HANDLE ifh = nullptr;
    explicit UsbLink(const std::wstring& path) {
        file = Os().CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, kShare, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED, nullptr);
        EXPECT_NE(INVALID_HANDLE_VALUE, file);
        EXPECT_TRUE(Os().WinUsb_Initialize(file, &ifh));
    }
    ~UsbLink() {
        Os().WinUsb_Free(ifh);
        Os().CloseHandle(file);
    }
    // Result, count and last error of one transfer, and the data stage after it.
    std::string Transfer(WINUSB_SETUP_PACKET s, Bytes* data) {
        ULONG n = 0;
        ::SetLastError(kMarker);
        const BOOL ok = Os().WinUsb_ControlTransfer(ifh, s, data->empty() ? nullptr : data->data(),
                                                    static_cast<ULONG>(data->size()), &n, nullptr);
        const DWORD error = ::GetLastError();
        return std::to_string(ok) + "/" + std::to_string(n) + "/" + (ok ? std::string("-") : std::to_string(error));
    }
};

}  // namespace

TEST(ReplayModel, EachKindOfExchangeIsAnsweredAsRecorded) {
    const std::wstring usb = PathOf(kUsbSpec, sim::kGuidUsbDevice);
    const std::wstring hid = PathOf(kHidSpec, sim::kGuidHid);
    const Bytes report = Counting(65, 0x03), output = Counting(65, 0x02), readData = Counting(65, 0x40);
    Bytes written(65, 0);
    written[0] = 0x02;
    written[1] = 0xAA;
    written[2] = 0xBB;
    written[3] = 0xCC;

    struct Case {
        const char* name;
        bool onHid;
        std::string record;  // fields of the one record, after "dev"
        const char* call;
        std::function<void(const std::wstring& path)> act;  // performs the call and checks what it sees
    };
    const std::vector<Case> cases = {
        {"IN transfer", false,
         SetupJson(192, 3, 0, 0, 6) + ",\"in\":\"000000000500\",\"count\":6,\"result\":1", "WinUsb_ControlTransfer",
         [](const std::wstring& path) {
             UsbLink link(path);
             Bytes data(6, 0xEE);
             EXPECT_EQ("1/6/-", link.Transfer(Packet(0xC0, 0x03, 0, 0, 6), &data));
             EXPECT_EQ((Bytes{0, 0, 0, 0, 5, 0}), data);
         }},
        {"OUT transfer", false, SetupJson(64, 1, 1, 0, 4) + ",\"out\":\"01020304\",\"count\":4,\"result\":1",
         "WinUsb_ControlTransfer",
         [](const std::wstring& path) {
             UsbLink link(path);
             Bytes data = {1, 2, 3, 4};
             EXPECT_EQ("1/4/-", link.Transfer(Packet(0x40, 0x01, 1, 0, 4), &data));
         }},
        {"OUT transfer that took one byte fewer", false,
         SetupJson(64, 1, 1, 0, 4) + ",\"out\":\"01020304\",\"count\":3,\"result\":1", "WinUsb_ControlTransfer",
         [](const std::wstring& path) {
             UsbLink link(path);
             Bytes data = {1, 2, 3, 4};
             EXPECT_EQ("1/3/-", link.Transfer(Packet(0x40, 0x01, 1, 0, 4), &data));
         }},
        {"stalled transfer", false, SetupJson(64, 0x0E, 1, 0, 0) + ",\"out\":\"\",\"result\":0,\"error\":31",
         "WinUsb_ControlTransfer",
         [](const std::wstring& path) {
             UsbLink link(path);
             Bytes none;
             EXPECT_EQ("0/0/31", link.Transfer(Packet(0x40, 0x0E, 1, 0, 0), &none));
         }},
        {"read", true, "\"length\":65,\"in\":\"" + jsonl::Hex(readData) + "\",\"count\":65,\"result\":1", "ReadFile",
         [&](const std::wstring& path) {
             HANDLE h = Os().CreateFileW(path.c_str(), GENERIC_READ, kShare, nullptr, OPEN_EXISTING, 0, nullptr);
             Bytes b(65);
             DWORD n = 0;
             EXPECT_TRUE(Os().ReadFile(h, b.data(), 65, &n, nullptr));
             EXPECT_EQ(readData, b);
             Os().CloseHandle(h);
         }},
        {"write", true, "\"length\":65,\"out\":\"" + jsonl::Hex(written) + "\",\"count\":65,\"result\":1", "WriteFile",
         [&](const std::wstring& path) {
             HANDLE h = Os().CreateFileW(path.c_str(), GENERIC_WRITE, kShare, nullptr, OPEN_EXISTING, 0, nullptr);
             DWORD n = 0;
             EXPECT_TRUE(Os().WriteFile(h, written.data(), 65, &n, nullptr));
             EXPECT_EQ(65u, n);
             Os().CloseHandle(h);
         }},
        {"I/O control request", true,
         "\"ioctl\":\"0x00220020\",\"length\":16,\"out\":\"00002000ff\",\"in\":\"ffffdfff00\",\"count\":5,\"result\":1",
         "DeviceIoControl",
         [](const std::wstring& path) {
             HANDLE h = Os().CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, kShare, nullptr, OPEN_EXISTING, 0,
                                         nullptr);
             BYTE in[5] = {0x00, 0x00, 0x20, 0x00, 0xFF};
             Bytes out(16, 0);
             DWORD n = 0;
             EXPECT_TRUE(Os().DeviceIoControl(h, 0x220020, in, 5, out.data(), 16, &n, nullptr));
             EXPECT_EQ(5u, n);
             EXPECT_EQ((Bytes{0xFF, 0xFF, 0xDF, 0xFF, 0x00}), Bytes(out.begin(), out.begin() + 5));
             Os().CloseHandle(h);
         }},
        {"input report", true, "\"report\":3,\"length\":65,\"in\":\"" + jsonl::Hex(report) + "\",\"result\":1",
         "HidD_GetInputReport",
         [&](const std::wstring& path) {
             HANDLE h = Os().CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, kShare, nullptr, OPEN_EXISTING, 0,
                                         nullptr);
             Bytes b(65, 0);
             b[0] = 3;
             EXPECT_TRUE(Os().HidD_GetInputReport(h, b.data(), 65));
             EXPECT_EQ(report, b);
             Os().CloseHandle(h);
         }},
        {"output report", true, "\"report\":2,\"length\":65,\"out\":\"" + jsonl::Hex(output) + "\",\"result\":1",
         "HidD_SetOutputReport",
         [&](const std::wstring& path) {
             HANDLE h = Os().CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, kShare, nullptr, OPEN_EXISTING, 0,
                                         nullptr);
             Bytes b = output;
             EXPECT_TRUE(Os().HidD_SetOutputReport(h, b.data(), 65));
             Os().CloseHandle(h);
         }},
        {"output report the device refused", true,
         "\"report\":2,\"length\":65,\"out\":\"" + jsonl::Hex(output) + "\",\"result\":0,\"error\":1167",
         "HidD_SetOutputReport",
         [&](const std::wstring& path) {
             HANDLE h = Os().CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, kShare, nullptr, OPEN_EXISTING, 0,
                                         nullptr);
             Bytes b = output;
             ::SetLastError(kMarker);
             EXPECT_FALSE(Os().HidD_SetOutputReport(h, b.data(), 65));
             EXPECT_EQ(static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED), ::GetLastError());
             Os().CloseHandle(h);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sim::Reset();
        const std::wstring& path = c.onHid ? hid : usb;
        auto replay = Replay(Rec(1, c.call, path, c.record), path);
        ASSERT_EQ(1u, replay->RecordedCount());
        sim::Plug(c.onHid ? kHidSpec : kUsbSpec, replay);
        c.act(path);
        EXPECT_EQ("", replay->Verdict());
        EXPECT_EQ(1u, replay->ConsumedCount());
    }
}

TEST(ReplayModel, ARequestThatWentPendingGoesPendingAgainAndEndsWithTheRecordedReply) {
    const std::wstring path = PathOf(kHidSpec, sim::kGuidHid);
    const Bytes data = Counting(65, 0x90);
    const std::string text = Rec(1, "ReadFile", path, "\"length\":65,\"ov\":\"0x1000\",\"result\":0,\"error\":997") +
                             Rec(2, "OutputDebugStringW", L"", "\"text\":\"unrelated\"") +
                             Rec(40, "GetOverlappedResult", path,
                                 "\"op\":\"ReadFile\",\"length\":65,\"ov\":\"0x1000\",\"wait\":1,\"in\":\"" +
                                     jsonl::Hex(data) + "\",\"count\":65,\"result\":1,\"dur\":2");
    sim::DeviceTrace trace;
    std::string error;
    ASSERT_TRUE(sim::ParseDeviceTrace(text, path, &trace, &error)) << error;
    ASSERT_EQ(1u, trace.exchanges.size());
    EXPECT_TRUE(trace.exchanges[0].pending);
    EXPECT_EQ(41.0, trace.exchanges[0].pendingMs) << "from the request to the end of its completion";
    EXPECT_EQ(data, trace.exchanges[0].in);

    auto replay = std::make_shared<sim::ReplayDeviceModel>(trace);
    sim::Plug(kHidSpec, replay);
    HANDLE h = Os().CreateFileW(path.c_str(), GENERIC_READ, kShare, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    OVERLAPPED ov = {};
    ov.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    Bytes b(65, 0);
    ::SetLastError(kMarker);
    EXPECT_FALSE(Os().ReadFile(h, b.data(), 65, nullptr, &ov));
    EXPECT_EQ(static_cast<DWORD>(ERROR_IO_PENDING), ::GetLastError());
    DWORD n = 0;
    ASSERT_TRUE(Os().GetOverlappedResult(h, &ov, &n, TRUE));
    EXPECT_EQ(65u, n);
    EXPECT_EQ(data, b);
    Os().CloseHandle(h);
    ::CloseHandle(ov.hEvent);
    EXPECT_EQ("", replay->Verdict());
}

TEST(ReplayModel, ARequestTheDeviceNeverAnsweredStaysPendingUntilCancelled) {
    const std::wstring path = PathOf(kHidSpec, sim::kGuidHid);
    const std::string text = Rec(1, "ReadFile", path, "\"length\":65,\"ov\":\"0x2000\",\"result\":0,\"error\":997");
    auto replay = Replay(text, path);
    sim::SetTimeScale(0.01);
    sim::Plug(kHidSpec, replay);
    HANDLE h = Os().CreateFileW(path.c_str(), GENERIC_READ, kShare, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    OVERLAPPED ov = {};
    ov.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    Bytes b(65, 0);
    EXPECT_FALSE(Os().ReadFile(h, b.data(), 65, nullptr, &ov));
    EXPECT_EQ(static_cast<DWORD>(ERROR_IO_PENDING), ::GetLastError());
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), ::WaitForSingleObject(ov.hEvent, 100));
    EXPECT_TRUE(Os().CancelIo(h));
    DWORD n = 0;
    EXPECT_FALSE(Os().GetOverlappedResult(h, &ov, &n, TRUE));
    EXPECT_EQ(static_cast<DWORD>(ERROR_OPERATION_ABORTED), ::GetLastError());
    Os().CloseHandle(h);
    ::CloseHandle(ov.hEvent);
    EXPECT_EQ("", replay->Verdict()) << "it came as recorded";
}

TEST(ReplayModel, OnlyTheDevicesOwnDeliveredRequestsAreExpected) {
    const std::wstring path = L"\\\\?\\usb#vid_4a7e&pid_df00#sn0001#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
    std::wstring upper = path;
    for (wchar_t& c : upper) c = static_cast<wchar_t>(::towupper(c));
    const std::wstring other = L"\\\\?\\usb#vid_4a7e&pid_df01#sn0009#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
    const std::string in = SetupJson(192, 3, 0, 0, 6) + ",\"in\":\"000000000200\",\"count\":6,\"result\":1";
    const std::string text =
        Rec(1, "TraceStart", L"", "\"format\":1") +                                   // no device
        Rec(2, "WinUsb_ControlTransfer", path, in) +                                 // 1
        Rec(3, "WinUsb_ControlTransfer", other, in) +                                // another device
        Rec(4, "WinUsb_ControlTransfer", upper, in) +                                // 2: case does not matter
        Rec(5, "WinUsb_ControlTransfer", path, SetupJson(192, 3, 0, 0, 6) + ",\"result\":0,\"error\":87") +  // host
        Rec(6, "WinUsb_ControlTransfer", path, SetupJson(192, 3, 0, 0, 6) + ",\"result\":0,\"error\":6") +   // host
        Rec(7, "WM_DEVICECHANGE", path, "\"event\":\"arrival\"") +                   // already there: nothing
        Rec(8, "CreateFileW", path, "\"result\":1") +                                // not an exchange
        "\n" +                                                                       // blank lines are skipped
        Rec(9, "WinUsb_ControlTransfer", path, SetupJson(64, 1, 1, 0, 2) + ",\"out\":\"abcd\",\"count\":2,\"result\":1");
    sim::DeviceTrace trace;
    std::string error;
    ASSERT_TRUE(sim::ParseDeviceTrace(text, path, &trace, &error)) << error;
    ASSERT_EQ(3u, trace.exchanges.size());
    EXPECT_EQ(2u, trace.exchanges[0].line);
    EXPECT_EQ(4u, trace.exchanges[1].line);
    EXPECT_EQ(10u, trace.exchanges[2].line);
    EXPECT_EQ((Bytes{0xAB, 0xCD}), trace.exchanges[2].request.out);
    EXPECT_EQ(2u, trace.notDelivered);
    EXPECT_TRUE(trace.departures.empty());
}

TEST(ReplayModel, ABrokenTraceIsRefusedNamingItsLine) {
    const std::wstring path = L"\\\\?\\usb#vid_4a7e&pid_df00#sn0001#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
    const std::string good = Rec(1, "Sleep", L"", "\"ms\":20");
    struct Case {
        std::string line;
        std::string error;  // the start of the reason
    } cases[] = {
        {"{\"t\":1,\"call\":\"Sleep\"", "trace line 2: "},
        {"[1,2]\n", "trace line 2: not a JSON object"},
        {"{\"t\":1}\n", "trace line 2: a record without \"call\""},
        {Rec(2, "WinUsb_ControlTransfer", path, "\"result\":1"), "trace line 2: a control transfer without its setup"},
        {Rec(2, "WriteFile", path, "\"length\":1,\"out\":\"abc\",\"result\":1"), "trace line 2: \"out\" is not hex"},
        {Rec(2, "ReadFile", path, "\"length\":1,\"in\":\"zz\",\"result\":1"), "trace line 2: \"in\" is not hex"},
        {Rec(2, "DeviceIoControl", path, "\"length\":1,\"result\":1"), "trace line 2: an I/O control request without"},
        {Rec(2, "HidD_GetInputReport", path, "\"length\":65,\"result\":1"), "trace line 2: a HID report without"},
        {Rec(2, "ReadFile", path, "\"length\":4,\"result\":0"), "trace line 2: a failed request without its error"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        sim::DeviceTrace trace;
        std::string error;
        EXPECT_FALSE(sim::ParseDeviceTrace(good + c.line, path, &trace, &error));
        EXPECT_EQ(0u, error.find(c.error)) << error;
    }
}

namespace {

// A trace of three transfers on the WinUSB device: IN status, a 100-byte OUT
// block of bytes 0, 1, 2, ..., IN status.
struct ThreeTransfers {
    std::wstring path = PathOf(kUsbSpec, sim::kGuidUsbDevice);
    Bytes block = Counting(100, 0);
    std::string text = Rec(1, "WinUsb_ControlTransfer", path,
                           SetupJson(192, 3, 0, 0, 6) + ",\"in\":\"000000000200\",\"count\":6,\"result\":1") +
                       Rec(2, "WinUsb_ControlTransfer", path,
                           SetupJson(64, 1, 1, 0, 100) + ",\"out\":\"" + jsonl::Hex(block) +
                               "\",\"count\":100,\"result\":1") +
                       Rec(3, "WinUsb_ControlTransfer", path,
                           SetupJson(192, 3, 0, 0, 6) + ",\"in\":\"000000000500\",\"count\":6,\"result\":1");

    // Sends the first `count` of the three as recorded; what each call saw.
    std::vector<std::string> Send(int count) {
        UsbLink link(path);
        std::vector<std::string> seen;
        for (int i = 0; i < count; ++i) {
            Bytes data = i % 2 == 0 ? Bytes(6, 0) : block;
            seen.push_back(link.Transfer(i % 2 == 0 ? Packet(0xC0, 3, 0, 0, 6) : Packet(0x40, 1, 1, 0, 100), &data));
        }
        return seen;
    }
};

}  // namespace

TEST(ReplayModel, RecordedExchangesThatNeverCameAreReported) {
    ThreeTransfers t;
    auto replay = Replay(t.text, t.path);
    sim::Plug(kUsbSpec, replay);
    EXPECT_EQ((std::vector<std::string>{"1/6/-", "1/100/-"}), t.Send(2));
    EXPECT_FALSE(replay->Diverged());
    EXPECT_EQ(2u, replay->ConsumedCount());
    EXPECT_EQ("1 of the 3 recorded exchanges never came; the first of them is exchange 3 (trace line 3): "
              "WinUsb_ControlTransfer type 0xC0 request 0x03 value 0x0000 index 0x0000 length 6\n",
              replay->Verdict());
}

TEST(ReplayModel, RequestsBeyondTheTraceAreRefusedAndReported) {
    ThreeTransfers t;
    auto replay = Replay(t.text, t.path);
    sim::Plug(kUsbSpec, replay);
    const std::vector<std::string> seen = t.Send(3);
    UsbLink link(t.path);
    Bytes data(6, 0);
    EXPECT_EQ("0/0/31", link.Transfer(Packet(0xC0, 0x03, 0, 0, 6), &data)) << "a stall";
    Bytes more = {9};
    EXPECT_EQ("0/0/31", link.Transfer(Packet(0x40, 0x0E, 1, 0, 1), &more));
    EXPECT_EQ((std::vector<std::string>{"1/6/-", "1/100/-", "1/6/-"}), seen);
    EXPECT_TRUE(replay->Diverged());
    EXPECT_EQ("request 4 came after the last of the 3 recorded exchanges:\n"
              "  got      WinUsb_ControlTransfer type 0xC0 request 0x03 value 0x0000 index 0x0000 length 6\n"
              "1 more request(s) came after it and were refused.\n",
              replay->Verdict());
    EXPECT_EQ(5u, replay->Received().size());
}

TEST(ReplayModel, AChangedRequestIsRefusedAndDescribedByItsFirstDifference) {
    struct Case {
        const char* name;
        size_t number;
        std::function<void(sim::ReplayRequest&)> change;
        std::string expected;  // the report up to the line about what never came
    };
    const std::string blockLine =
        "  expected WinUsb_ControlTransfer type 0x40 request 0x01 value 0x0001 index 0x0000 length 100, 100 bytes out\n";
    const std::vector<Case> cases = {
        {"one byte of the block", 2, [](sim::ReplayRequest& r) { r.out[40] = 0xEE; },
         "exchange 2 of 3 (trace line 2) differs from the recorded one:\n" + blockLine +
             "  got      WinUsb_ControlTransfer type 0x40 request 0x01 value 0x0001 index 0x0000 length 100, 100 bytes out\n"
             "  bytes sent: expected 100, got 100; first difference at offset 0x0028 (40)\n"
             "    expected 0020: 20 21 22 23 24 25 26 27 28 29 2a 2b 2c 2d 2e 2f "
             "30 31 32 33 34 35 36 37 38 39 3a 3b 3c 3d 3e 3f ...\n"
             "    got      0020: 20 21 22 23 24 25 26 27 ee 29 2a 2b 2c 2d 2e 2f "
             "30 31 32 33 34 35 36 37 38 39 3a 3b 3c 3d 3e 3f ...\n"},
        {"a block one byte short", 2,
         [](sim::ReplayRequest& r) {
             r.out.pop_back();
             r.setup.Length = 99;
         },
         "exchange 2 of 3 (trace line 2) differs from the recorded one:\n" + blockLine +
             "  got      WinUsb_ControlTransfer type 0x40 request 0x01 value 0x0001 index 0x0000 length 99, 99 bytes out\n"
             "  differs in: length\n"
             "  bytes sent: expected 100, got 99; first difference at offset 0x0063 (99)\n"
             "    expected 0060: 60 61 62 63\n"
             "    got      0060: 60 61 62\n"},
        {"the value and index of a status request", 3,
         [](sim::ReplayRequest& r) {
             r.setup.Value = 1;
             r.setup.Index = 4;
         },
         "exchange 3 of 3 (trace line 3) differs from the recorded one:\n"
         "  expected WinUsb_ControlTransfer type 0xC0 request 0x03 value 0x0000 index 0x0000 length 6\n"
         "  got      WinUsb_ControlTransfer type 0xC0 request 0x03 value 0x0001 index 0x0004 length 6\n"
         "  differs in: value, index\n"},
        {"a status request that became a write", 1,
         [](sim::ReplayRequest& r) {
             r.kind = sim::ExchangeKind::Write;
             r.out = {1, 2};
             r.length = 2;
         },
         "exchange 1 of 3 (trace line 1) differs from the recorded one:\n"
         "  expected WinUsb_ControlTransfer type 0xC0 request 0x03 value 0x0000 index 0x0000 length 6\n"
         "  got      WriteFile length 2, 2 bytes out\n"
         "  a different call\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sim::Reset();
        ThreeTransfers t;
        auto replay = Replay(t.text, t.path);
        replay->AlterRequest(c.number, c.change);
        sim::Plug(kUsbSpec, replay);
        const std::vector<std::string> seen = t.Send(3);
        EXPECT_EQ("0/0/31", seen[c.number - 1]) << "the changed request is stalled";
        for (size_t i = c.number; i < seen.size(); ++i) {
            EXPECT_EQ("0/0/31", seen[i]) << "and so is what follows";
        }
        EXPECT_TRUE(replay->Diverged());
        const std::string verdict = replay->Verdict();
        EXPECT_EQ(0u, verdict.find(c.expected)) << verdict;
        EXPECT_NE(std::string::npos, verdict.find("recorded exchanges never came; the first of them is exchange " +
                                                  std::to_string(c.number) + " "))
            << verdict;
    }
}

TEST(ReplayModel, TheDeviceLeavesAndComesBackWhereTheTraceSaysSo) {
    const std::wstring path = PathOf(kUsbSpec, sim::kGuidUsbDevice);
    const std::string status = SetupJson(192, 3, 0, 0, 6) + ",\"in\":\"000000000700\",\"count\":6,\"result\":1";
    const std::string text =
        Rec(1, "WinUsb_ControlTransfer", path, SetupJson(64, 1, 1, 0, 0) + ",\"out\":\"\",\"count\":0,\"result\":1") +
        Rec(2, "WinUsb_ControlTransfer", path, status) +
        Rec(10, "WM_DEVICECHANGE", path, "\"event\":\"removal\"") +
        Rec(10.5, "WM_DEVICECHANGE", path, "\"event\":\"removal\"") +  // a second window: the same departure
        Rec(11, "WinUsb_ControlTransfer", path, SetupJson(192, 3, 0, 0, 6) + ",\"result\":0,\"error\":1167") +
        Rec(40, "WM_DEVICECHANGE", path, "\"event\":\"arrival\"") +
        Rec(41, "WinUsb_ControlTransfer", path, status);
    sim::DeviceTrace trace;
    std::string error;
    ASSERT_TRUE(sim::ParseDeviceTrace(text, path, &trace, &error)) << error;
    ASSERT_EQ(3u, trace.exchanges.size());
    EXPECT_EQ(1u, trace.notDelivered) << "sent while the device was away";
    ASSERT_EQ(1u, trace.departures.size());
    EXPECT_EQ(2u, trace.departures[0].afterExchange);
    EXPECT_TRUE(trace.departures[0].returns);
    EXPECT_EQ(30.0, trace.departures[0].absentMs);

    sim::SetTimeScale(0.01);
    auto replay = std::make_shared<sim::ReplayDeviceModel>(trace);
    const sim::DeviceId first = sim::Plug(kUsbSpec, replay);
    {
        UsbLink link(path);
        Bytes none, data(6, 0);
        EXPECT_EQ("1/0/-", link.Transfer(Packet(0x40, 1, 1, 0, 0), &none));
        EXPECT_TRUE(sim::IsPresent(first));
        EXPECT_EQ("1/6/-", link.Transfer(Packet(0xC0, 3, 0, 0, 6), &data));
        EXPECT_FALSE(sim::IsPresent(first)) << "gone right after the exchange before the removal";
        EXPECT_EQ("0/0/1167", link.Transfer(Packet(0xC0, 3, 0, 0, 6), &data)) << "as recorded, without the device";
    }
    ASSERT_TRUE(sim::WaitForIdle());
    const std::vector<sim::DeviceId> present = sim::PresentDevices();
    ASSERT_EQ(1u, present.size()) << "back on the bus";
    EXPECT_NE(first, present[0]);
    EXPECT_EQ(path, sim::InterfacePaths(present[0], sim::kGuidUsbDevice).at(0));
    {
        UsbLink link(path);
        Bytes data(6, 0);
        EXPECT_EQ("1/6/-", link.Transfer(Packet(0xC0, 3, 0, 0, 6), &data));
        EXPECT_EQ(7, data[4]);
    }
    EXPECT_EQ("", replay->Verdict());
}

namespace {

// Schedules its answer 1 ms ahead, then takes longer than that to return.
class SlowToReturn : public sim::DeviceModel {
public:
    void Read(const sim::IoRequestPtr& r) override {
        r->CompleteDataAfter(1, Bytes{0x42});
        ::Sleep(50);
    }
};

}  // namespace

// The replay sends what went pending on record as a completion for later;
// the code must see it pending however soon its time comes.
TEST(ReplayModel, ACompletionForLaterIsSeenPendingEvenWhenItsTimeComesDuringTheCall) {
    const sim::DeviceId d = sim::Plug(kHidSpec, std::make_shared<SlowToReturn>());
    const std::wstring path = sim::InterfacePaths(d, sim::kGuidHid).at(0);
    HANDLE h = Os().CreateFileW(path.c_str(), GENERIC_READ, kShare, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    OVERLAPPED ov = {};
    ov.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    BYTE b[65] = {};
    ::SetLastError(kMarker);
    EXPECT_FALSE(Os().ReadFile(h, b, 65, nullptr, &ov));
    EXPECT_EQ(static_cast<DWORD>(ERROR_IO_PENDING), ::GetLastError());
    DWORD n = 0;
    ASSERT_TRUE(Os().GetOverlappedResult(h, &ov, &n, TRUE));
    EXPECT_EQ(1u, n);
    EXPECT_EQ(0x42, b[0]);
    Os().CloseHandle(h);
    ::CloseHandle(ov.hEvent);
}
