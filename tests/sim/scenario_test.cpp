// Worlds described in a scenario file: what each statement plugs or queues,
// and the statements that are refused.
#include "sim_test_support.h"

#include "os_api.h"
#include "scenario_file.h"

#include <algorithm>

namespace {

struct Present {
    USHORT vid, pid;
    std::wstring serial;
    bool operator==(const Present& o) const { return vid == o.vid && pid == o.pid && serial == o.serial; }
};

std::vector<Present> PresentSpecs() {
    std::vector<Present> out;
    for (sim::DeviceId d : sim::PresentDevices()) {
        const sim::UsbDeviceSpec s = sim::SpecOf(d);
        out.push_back({s.vid, s.pid, s.serial});
    }
    return out;
}

TEST(SimScenario, EachStatementPlugsItsDevice) {
    sim::Reset();
    struct Case {
        const wchar_t* text;
        Present device;
    } cases[] = {
        {L"camera kind=hid serial=SN12345678AB name=Corvane_RX20 ports=3,2", {0x4A7E, 0xC110, L"SN12345678AB"}},
        {L"camera kind=stereo serial=ST1", {0x4A7E, 0xC114, L"ST1"}},
        {L"camera kind=cx3 serial=CX1", {0x04B4, 0xC1D0, L"CX1"}},
        {L"camera kind=tessa serial=TS1 ports=2", {0x4A7E, 0xC123, L"TS1"}},
        {L"camera kind=r7 serial=R71", {0x4A7E, 0xC05C, L"R71"}},
        {L"camera kind=v9 serial=V91", {0x4A7E, 0xC181, L"V91"}},
        {L"camera kind=sunplus serial=SP1", {0x1BCF, 0x0B12, L"SP1"}},
        {L"update-mode-device pid=DF01 serial=UM1 ports=4", {0x4A7E, 0xDF01, L"UM1"}},
        {L"  update-mode-device pid=DF00 serial=UM2   # a comment\r", {0x4A7E, 0xDF00, L"UM2"}},
    };
    for (const Case& c : cases) {
        sim::Reset();
        EXPECT_TRUE(sim::LoadScenario(c.text).empty()) << c.text;
        EXPECT_EQ(std::vector<Present>{c.device}, PresentSpecs()) << c.text;
    }
}

TEST(SimScenario, TheNameIsTheCamerasFriendlyName) {
    sim::Reset();
    ASSERT_TRUE(sim::LoadScenario(L"camera kind=hid serial=A1 name=Corvane_RX20_Left").empty());
    const auto devices = sim::PresentDevices();
    ASSERT_EQ(1u, devices.size());
    std::vector<std::wstring> names;
    for (const auto& f : sim::SpecOf(devices[0]).functions)
        if (!f.friendlyName.empty()) names.push_back(f.friendlyName);
    EXPECT_EQ(std::vector<std::wstring>{L"Corvane_RX20_Left"}, names);
}

TEST(SimScenario, UnknownStatementsAreRefusedAndTheRestLoads) {
    sim::Reset();
    const auto rejected = sim::LoadScenario(
        L"# a world\n"
        L"camera kind=webcam serial=X\n"
        L"camera kind=hid serial=OK1\n"
        L"update-mode-device pid=DF05\n"
        L"message-box answer=maybe\n"
        L"open-file\n"
        L"camera kind=hid serial\n"
        L"plug everything\n");
    EXPECT_EQ((std::vector<std::wstring>{L"camera kind=webcam serial=X", L"update-mode-device pid=DF05",
                                         L"message-box answer=maybe", L"open-file", L"camera kind=hid serial",
                                         L"plug everything"}),
              rejected);
    EXPECT_EQ((std::vector<Present>{{0x4A7E, 0xC110, L"OK1"}}), PresentSpecs());
    const auto lines = sim::DebugText();
    EXPECT_NE(std::wstring::npos, lines.find(L"scenario: not understood: plug everything\r\n"));
}

TEST(SimScenario, AnswersAreQueuedForTheOperatorDialogs) {
    sim::Reset();
    ASSERT_TRUE(sim::LoadScenario(L"open-file path=C:\\fw\\a.img\nmessage-box answer=no\nmessage-box answer=cancel\n")
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
}

}  // namespace
