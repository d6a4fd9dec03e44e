// Record and replay of every kind of exchange: a conversation with scripted
// devices (HID reports and an interrupt read, an I/O control request that
// goes pending, writes, control transfers with a stall) is traced, then held
// again against replay models made from the trace. The code sees the same.
#include "trace_test_support.h"

#include "os_api.h"

#include <functional>

using namespace tracetest;

namespace {

const sim::UsbDeviceSpec kUsbSpec = sim::WinUsbSpec(0x4A7E, 0xDF00, L"SN0001", {1});
// A HID collection with report IDs: output report 2, input report 1.
sim::UsbDeviceSpec HidSpec() {
    sim::HidCaps caps;
    caps.outputReportIds = {2};
    caps.inputReportIds = {1};
    return sim::HidDeviceSpec(0x1FC9, 0x0135, L"SN0002", {2}, caps);
}
const sim::UsbDeviceSpec kHidSpec = HidSpec();

std::string Seen(const char* what, BOOL ok, DWORD count, const BYTE* data, size_t n) {
    std::string s = std::string(what) + " " + std::to_string(ok) + " " + std::to_string(count);
    s += ok ? " " + jsonl::Hex(Bytes(data, data + n)) : " error " + std::to_string(::GetLastError());
    return s;
}

// The conversation; answerHeld lets the recorded device answer what it holds
// (the replay answers on its own).
std::vector<std::string> Converse(const std::wstring& hidPath, const std::wstring& usbPath,
                                  const std::function<void(const Bytes&)>& answerHeld) {
    std::vector<std::string> seen;
    HANDLE h = Os().CreateFileW(hidPath.c_str(), GENERIC_READ | GENERIC_WRITE, kShare, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED, nullptr);
    OVERLAPPED ov = {};
    ov.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD n = 0;

    Bytes command(65, 0);
    command[0] = 0x02;
    command[1] = 0x30;  // a command and its argument, as a HID command report
    command[2] = 0x01;
    BOOL ok = Os().HidD_SetOutputReport(h, command.data(), 65);
    seen.push_back(Seen("output report", ok, 65, nullptr, 0));
    Bytes reply(65, 0);
    reply[0] = 0x01;
    ok = Os().HidD_GetInputReport(h, reply.data(), 65);
    seen.push_back(Seen("input report", ok, 65, reply.data(), reply.size()));

    Bytes interrupt(65, 0);
    ok = Os().ReadFile(h, interrupt.data(), 65, nullptr, &ov);
    seen.push_back(Seen("read", ok, 0, nullptr, 0));
    answerHeld(Bytes(65, 0x71));
    ok = Os().GetOverlappedResult(h, &ov, &n, TRUE);
    seen.push_back(Seen("read result", ok, n, interrupt.data(), n));

    // A memory write as a boot loader takes it: address, length, data.
    Bytes write = {0x00, 0x00, 0x00, 0x40, 0x08, 0x00, 0x00, 0x00, 1, 2, 3, 4, 5, 6, 7, 8};
    Bytes answer(16, 0);
    ok = Os().DeviceIoControl(h, 0x220020, write.data(), static_cast<DWORD>(write.size()), answer.data(), 16, nullptr,
                              &ov);
    seen.push_back(Seen("ioctl", ok, 0, nullptr, 0));
    answerHeld(Bytes());
    ok = Os().GetOverlappedResult(h, &ov, &n, TRUE);
    seen.push_back(Seen("ioctl result", ok, n, answer.data(), n));

    Bytes data(65, 0);
    data[0] = 0x02;
    data[1] = 0xAA;
    data[2] = 0xBB;
    data[3] = 0xCC;
    ok = Os().WriteFile(h, data.data(), 65, nullptr, &ov);
    seen.push_back(Seen("write", ok, static_cast<DWORD>(ov.InternalHigh), nullptr, 0));
    Os().CloseHandle(h);
    ::CloseHandle(ov.hEvent);

    HANDLE u = Os().CreateFileW(usbPath.c_str(), GENERIC_READ | GENERIC_WRITE, kShare, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED, nullptr);
    WINUSB_INTERFACE_HANDLE ifh = nullptr;
    Os().WinUsb_Initialize(u, &ifh);
    BYTE in[6] = {};
    ULONG count = 0;
    ok = Os().WinUsb_ControlTransfer(ifh, Packet(0xC0, 0x03, 0, 0, 6), in, 6, &count, nullptr);
    seen.push_back(Seen("control in", ok, count, in, count));
    BYTE out[4] = {9, 8, 7, 6};
    ok = Os().WinUsb_ControlTransfer(ifh, Packet(0x40, 0x01, 1, 0, 4), out, 4, &count, nullptr);
    seen.push_back(Seen("control out", ok, count, nullptr, 0));
    ok = Os().WinUsb_ControlTransfer(ifh, Packet(0x40, 0x7F, 0, 0, 0), nullptr, 0, &count, nullptr);
    seen.push_back(Seen("stall", ok, count, nullptr, 0));
    Os().WinUsb_Free(ifh);
    Os().CloseHandle(u);
    return seen;
}

}  // namespace

TEST(RecordAndReplay, EveryKindOfExchangeComesBackTheSame) {
    TracedProcess trace;
    auto scripted = std::make_shared<ScriptedDevice>();
    const sim::DeviceId hid = sim::Plug(kHidSpec, scripted);
    const sim::DeviceId usb = sim::Plug(kUsbSpec, scripted);
    const std::wstring hidPath = sim::InterfacePaths(hid, sim::kGuidHid).at(0);
    const std::wstring usbPath = sim::InterfacePaths(usb, sim::kGuidUsbDevice).at(0);
    const std::vector<std::string> recorded =
        Converse(hidPath, usbPath, [&](const Bytes& reply) { EXPECT_TRUE(scripted->AnswerHeld(reply)); });
    ASSERT_EQ(10u, recorded.size());
    EXPECT_EQ("read 0 0 error 997", recorded[2]) << "the read went pending";
    EXPECT_EQ("stall 0 0 error 31", recorded[9]);

    std::string error;
    auto hidReplay = sim::ReplayDeviceModel::Load(trace.path(), hidPath, &error);
    ASSERT_NE(nullptr, hidReplay) << error;
    auto usbReplay = sim::ReplayDeviceModel::Load(trace.path(), usbPath, &error);
    ASSERT_NE(nullptr, usbReplay) << error;
    EXPECT_EQ(5u, hidReplay->RecordedCount());
    EXPECT_EQ(3u, usbReplay->RecordedCount());

    sim::Reset();
    sim::Plug(kHidSpec, hidReplay);
    sim::Plug(kUsbSpec, usbReplay);
    const std::vector<std::string> replayed = Converse(hidPath, usbPath, [](const Bytes&) {});
    EXPECT_EQ(recorded, replayed);
    EXPECT_EQ("", hidReplay->Verdict());
    EXPECT_EQ("", usbReplay->Verdict());
    ASSERT_EQ(1u, scripted->outputReports.size());
}
