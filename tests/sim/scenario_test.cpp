// Worlds described in a scenario file: what each statement plugs, the errors
// that keep a world from being built, and the triggers and events it sets.
#include "sim_test_support.h"

#include "dfu_device.h"
#include "os_api.h"
#include "scenario_file.h"

#include <algorithm>

namespace {

struct Present {
    USHORT vid, pid;
    std::wstring serial;
    std::wstring label;
    bool operator==(const Present& o) const {
        return vid == o.vid && pid == o.pid && serial == o.serial && label == o.label;
    }
};

void PrintTo(const Present& p, std::ostream* os) {
    *os << std::hex << p.vid << ":" << p.pid << " " << testing::PrintToString(p.serial) << " label "
        << testing::PrintToString(p.label);
}

std::vector<Present> PresentSpecs() {
    std::vector<Present> out;
    for (sim::DeviceId d : sim::PresentDevices()) {
        const sim::UsbDeviceSpec s = sim::SpecOf(d);
        out.push_back({s.vid, s.pid, s.serial, sim::LabelOf(d)});
    }
    return out;
}

std::wstring Errors(const std::vector<sim::ScenarioError>& errors) {
    std::wstring out;
    for (const auto& e : errors) out += sim::ErrorText(e) + L"\n";
    return out;
}

TEST(SimScenario, EachStatementPlugsItsDevice) {
    struct Case {
        const wchar_t* text;
        Present device;
    } cases[] = {
        {L"camera kind=hid serial=SN12345678AB name=Corvane_RX20 ports=3,2", {0x4A7E, 0xC110, L"SN12345678AB", L"SN12345678AB"}},
        {L"camera kind=stereo serial=ST1 label=left", {0x4A7E, 0xC114, L"ST1", L"left"}},
        {L"camera kind=cx3 serial=CX1", {0x04B4, 0xC1D0, L"CX1", L"CX1"}},
        {L"camera kind=tessa serial=TS1 ports=2 replug-ms=3000", {0x4A7E, 0xC123, L"TS1", L"TS1"}},
        {L"camera kind=r7 serial=R71", {0x4A7E, 0xC05C, L"R71", L"R71"}},
        {L"camera kind=v9 serial=V91 fault=fail-at-percent:40", {0x4A7E, 0xC181, L"V91", L"V91"}},
        {L"camera kind=sunplus serial=SP1", {0x1BCF, 0x0B12, L"SP1", L"SP1"}},
        {L"update-mode-device pid=DF01 serial=UM1 ports=4", {0x4A7E, 0xDF01, L"UM1", L"UM1"}},
        {L"  update-mode-device pid=df00 serial=UM2 becomes=hid  # a comment\r", {0x4A7E, 0xDF00, L"UM2", L"UM2"}},
        {L"update-mode-device pid=DF02 label=loader becomes=r7", {0x4A7E, 0xDF02, L"", L"loader"}},
        {L"boot-loader kind=fx3 serial=CX2 label=stuck", {0x04B4, 0x00F3, L"", L"stuck"}},
        {L"boot-loader kind=nxp-rom label=rom", {0x1FC9, 0x0135, L"", L"rom"}},
    };
    for (const Case& c : cases) {
        sim::Reset();
        EXPECT_EQ(L"", Errors(sim::LoadScenario(c.text))) << c.text;
        EXPECT_EQ(std::vector<Present>{c.device}, PresentSpecs()) << c.text;
    }
}

TEST(SimScenario, ErrorsNameTheirLineAndNothingIsBuilt) {
    ::SetEnvironmentVariableW(L"CORVANE_TEST_FOLDER", L"C:\\fw");
    struct Case {
        const wchar_t* line;
        const wchar_t* message;
    } cases[] = {
        {L"plug everything", L"unknown statement \"plug\""},
        {L"camera kind=webcam serial=X", L"unknown camera kind \"webcam\""},
        {L"camera kind=hid colour=red", L"unknown key \"colour\""},
        {L"camera kind=hid serial", L"expected key=value, found \"serial\""},
        {L"camera kind=hid serial=A serial=B", L"the key serial is given twice"},
        {L"camera kind=hid fault=melts", L"unknown fault \"melts\""},
        {L"camera kind=hid fault=rom-no-reply", L"the fault \"rom-no-reply\" does not apply to a hid camera"},
        {L"camera kind=hid fault=stall-at-block", L"fault stall-at-block needs a block"},
        {L"camera kind=hid fault=stall-at-block:0", L"out of range"},
        {L"camera kind=hid fault=stay-busy:3", L"fault stay-busy takes no value"},
        {L"camera kind=hid fault=stall-at-block:3:1 fault=leave-at-block:9:2", L"hit one image part"},
        {L"camera kind=hid ports=3,x", L"ports: \"x\" is not a number"},
        {L"camera kind=hid version=1.2.3", L"needs 4 numbers"},
        {L"camera kind=v9 unique-id=12345678", L"unique-id= does not apply to a v9 camera"},
        {L"camera kind=hid when=soon", L"a trigger is handshake, update-start or block:N"},
        {L"camera kind=hid at=10 when=handshake", L"at= and when= together"},
        {L"update-mode-device pid=DF05", L"an update-mode device is DF00, DF01 or DF02"},
        {L"update-mode-device pid=DF01 becomes=hid", L"becomes=hid does not apply to DF01"},
        {L"boot-loader kind=fx3 fault=loader-no-reply", L"does not apply to the fx3 boot loader"},
        {L"message-box answer=maybe", L"answer=maybe: ok, cancel, yes or no"},
        {L"open-file", L"needs path="},
        {L"open-file path=%CORVANE_NOT_SET%\\a.img", L"the environment variable CORVANE_NOT_SET is not set"},
        {L"unplug device=SN1", L"needs at= or when="},
    };
    for (const Case& c : cases) {
        sim::Reset();
        // The bad statement on line 3, between good ones that are not built.
        const std::wstring text = std::wstring(L"# a world\ncamera kind=hid serial=OK1\n") + c.line +
                                  L"\nopen-file path=%CORVANE_TEST_FOLDER%\\a.img\n";
        const auto errors = sim::LoadScenario(text);
        ASSERT_EQ(1u, errors.size()) << c.line << "\n" << testing::PrintToString(Errors(errors));
        EXPECT_EQ(3u, errors[0].line) << c.line;
        const std::wstring said = sim::ErrorText(errors[0]);
        EXPECT_EQ(0u, said.find(L"line 3: ")) << testing::PrintToString(said);
        EXPECT_NE(std::wstring::npos, said.find(c.message)) << testing::PrintToString(said);
        EXPECT_TRUE(sim::PresentDevices().empty()) << c.line;
        wchar_t file[MAX_PATH] = L"";
        OPENFILENAMEW ofn = {};
        ofn.lStructSize = sizeof(ofn);
        ofn.lpstrFile = file;
        ofn.nMaxFile = MAX_PATH;
        EXPECT_FALSE(Os().GetOpenFileNameW(&ofn)) << "no answer was queued";
    }
}

TEST(SimScenario, AnswersAreQueuedForTheOperatorDialogs) {
    sim::Reset();
    ::SetEnvironmentVariableW(L"CORVANE_TEST_FOLDER", L"C:\\fw");
    ASSERT_TRUE(sim::LoadScenario(L"open-file path=%CORVANE_TEST_FOLDER%\\a.img\nmessage-box answer=no\n"
                                  L"message-box answer=cancel\nprogram-folder path=C:\\tools\\\n")
                    .empty());
    EXPECT_EQ(IDNO, Os().MessageBoxW(nullptr, L"q1", L"c", MB_YESNO));
    EXPECT_EQ(IDCANCEL, Os().MessageBoxW(nullptr, L"q2", L"c", MB_OKCANCEL));
    wchar_t file[MAX_PATH] = L"";
    OPENFILENAMEW ofn = {};
    ofn.lStructSize = sizeof(ofn);
    ofn.lpstrFile = file;
    ofn.nMaxFile = MAX_PATH;
    ASSERT_TRUE(Os().GetOpenFileNameW(&ofn));
    EXPECT_STREQ(L"C:\\fw\\a.img", file);
    wchar_t program[MAX_PATH] = L"";
    Os().GetModuleFileNameW(nullptr, program, MAX_PATH);
    EXPECT_EQ(0, std::wstring(program).find(L"C:\\tools\\")) << testing::PrintToString(std::wstring(program));
}

// The update-mode device driven as the engine drives it, by hand.
class Dfu {
public:
    explicit Dfu(sim::DeviceId device) {
        const std::wstring path = sim::InterfacePaths(device, sim::kGuidUsbDevice).at(0);
        file_ = Os().CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        Os().WinUsb_Initialize(file_, &usb_);
    }
    ~Dfu() {
        Os().WinUsb_Free(usb_);
        Os().CloseHandle(file_);
    }
    DWORD Status(BYTE* state) {
        BYTE record[6] = {};
        ULONG n = 0;
        const DWORD error = Transfer({0xC0, 0x03, 0, 0, 6}, record, &n);
        *state = record[4];
        Os().Sleep(20);
        return error;
    }
    DWORD Block(size_t length) {
        std::vector<BYTE> data(length, 0x5A);
        ULONG n = 0;
        return Transfer({0x40, 0x01, 1, 0, static_cast<USHORT>(length)}, data.data(), &n);
    }
    DWORD Transfer(WINUSB_SETUP_PACKET s, BYTE* data, ULONG* n) {
        return Os().WinUsb_ControlTransfer(usb_, s, data, s.Length, n, nullptr) ? ERROR_SUCCESS : ::GetLastError();
    }

private:
    HANDLE file_ = INVALID_HANDLE_VALUE;
    WINUSB_INTERFACE_HANDLE usb_ = nullptr;
};

TEST(SimScenario, AnUnplugOnABlockTriggerLandsInThatBlock) {
    sim::Reset();
    sim::SetTimeScale(0.01);
    ASSERT_EQ(L"", Errors(sim::LoadScenario(L"update-mode-device pid=DF00 serial=UM1\n"
                                            L"unplug device=UM1 when=block:3 part=2 back-after=500\n")));
    const sim::DeviceId first = sim::PresentDeviceLabelled(L"UM1");
    ASSERT_NE(0u, first);
    {
        Dfu dfu(first);
        BYTE state = 0;
        for (int block = 1; block <= 2; ++block) {
            ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), dfu.Block(1024)) << block;
            ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), dfu.Status(&state));
            EXPECT_EQ(5, state);
        }
        EXPECT_EQ(static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED), dfu.Block(1024)) << "block 3 is lost on the way";
        EXPECT_FALSE(sim::IsPresent(first));
    }
    // Plugged in again as what it was.
    ASSERT_TRUE(sim::WaitForIdle());
    const sim::DeviceId again = sim::PresentDeviceLabelled(L"UM1");
    ASSERT_NE(0u, again);
    EXPECT_NE(first, again);
    EXPECT_EQ(0xDF00, sim::SpecOf(again).pid);
    auto model = std::dynamic_pointer_cast<sim::DfuDeviceModel>(sim::ModelOf(again));
    ASSERT_NE(nullptr, model);
    EXPECT_EQ(2, model->State()) << "powered up afresh";
    EXPECT_EQ(L"  (nothing refused)\n", sim::RefusalsText());
}

TEST(SimScenario, DevicesArriveOnTheirTriggers) {
    sim::Reset();
    sim::SetTimeScale(0.01);
    // The second camera arrives 100 ms after the update of the first started;
    // the third at 5 s.
    ASSERT_EQ(L"", Errors(sim::LoadScenario(L"update-mode-device pid=DF00 serial=UM1\n"
                                            L"camera kind=hid serial=B when=update-start of=UM1 after=100\n"
                                            L"camera kind=tessa serial=C at=5000\n")));
    EXPECT_EQ(1u, sim::PresentDevices().size());
    {
        Dfu dfu(sim::PresentDeviceLabelled(L"UM1"));
        BYTE state = 0;
        ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), dfu.Status(&state));
    }
    const auto labels = [] {
        std::vector<std::wstring> present;
        for (const Present& p : PresentSpecs()) present.push_back(p.label);
        return present;
    };
    // (A device is named by its label a moment after it is plugged.)
    const std::vector<std::wstring> expected{L"UM1", L"B"};
    const ULONGLONG start = sim::SimulatedNowMs();
    while (labels() != expected && sim::SimulatedNowMs() - start < 3000) Os().Sleep(10);
    EXPECT_EQ(expected, labels());
    ASSERT_TRUE(sim::WaitForIdle());
    EXPECT_EQ(3u, sim::PresentDevices().size());
}

TEST(SimScenario, FaultCountsStartAtOneAndBlockFaultsKeepTheirPart) {
    sim::Reset();
    ASSERT_EQ(L"", Errors(sim::LoadScenario(L"update-mode-device pid=DF00 serial=UM1 fault=stall-at-block:37 part=2 "
                                            L"fault=busy-polls:3 timeout-ms=250 reply-ms=4\n")));
    auto model = std::dynamic_pointer_cast<sim::DfuDeviceModel>(sim::ModelOf(sim::PresentDeviceLabelled(L"UM1")));
    ASSERT_NE(nullptr, model);
    const sim::DfuKnobs k = model->knobs();
    EXPECT_EQ(36, k.failBlock) << "block 37 is the 37th";
    EXPECT_EQ(2, k.blockFaultPart);
    EXPECT_EQ(3, k.busyPollsPerBlock);
    EXPECT_EQ(250u, k.unansweredMs);
    EXPECT_EQ(4u, k.replyDelayMs);
}

TEST(SimScenario, TimelineEventsWriteTheStatementsThatScheduleThem) {
    struct Case {
        sim::TimelineEvent event;
        const wchar_t* text;
    } cases[] = {
        {{{sim::TriggerKind::At, 1500}, L"SN1", 0}, L"unplug device=SN1 at=1500"},
        {{{sim::TriggerKind::Block, 0, L"SN1", 2, 37}, L"SN1", 2000},
         L"unplug device=SN1 when=block:37 part=2 back-after=2000"},
        {{{sim::TriggerKind::Handshake, 0, L"", 0, 0, 40}, L"SN1", 0}, L"unplug device=SN1 when=handshake after=40 of=*"},
        {{{sim::TriggerKind::UpdateStart, 0, L"OTHER"}, L"SN1", 0}, L"unplug device=SN1 when=update-start of=OTHER"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.text, sim::StatementOf(c.event));
        sim::Reset();
        EXPECT_EQ(L"", Errors(sim::LoadScenario(sim::StatementOf(c.event)))) << c.text;
    }
}

}  // namespace
