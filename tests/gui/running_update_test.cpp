// A running update against what the operator and Windows do meanwhile: every
// command that could break the write is refused while it runs, and the update
// still ends with its success box and the device holding the file.
#include <windows.h>

#include <gtest/gtest.h>

#include <functional>

#include "app_state.h"
#include "dialog_harness.h"
#include "engine_harness.h"
#include "resource.h"
#include "scenario_worlds.h"
#include "update_guard.h"

namespace {

const wchar_t kSuccessText[] =
    L"Firmware Downloaded Successfully!\r\nDonot Reset the Device.\r\nDevice will boot automatically after "
    L"completing firmware update!";

size_t Count(const std::vector<sim::DialogCall>& calls, WORD id) {
    size_t n = 0;
    for (const auto& c : calls)
        if (c.templateId == id) ++n;
    return n;
}

size_t BoxesWith(const std::wstring& text) {
    size_t n = 0;
    for (const auto& b : sim::MessageBoxes())
        if (b.text == text) ++n;
    return n;
}

// A HID camera taking a two-part image; the device is slowed down (busy
// replies to every status request) so that the write lasts long enough to
// act on it.
struct RunningUpdate {
    DialogHarness h;
    CameraUpdateWorld world;
    std::vector<uint8_t> part1 = Pattern(20 * 1024 + 100, 31), part2 = Pattern(40 * 1024 + 200, 32);

    void Start() {
        world.cycle.firstKnobs.busyPollsPerBlock = 3;
        world.cycle.laterKnobs.busyPollsPerBlock = 3;
        world.Plug(L"SN12345678AB");
        h.Open();
        h.Select(0);
        AnswerWarningWithOk();
        sim::QueueOpenFileAnswer(WriteTempFile(TwoPartFile(2, part1, part2)));
        h.Click(IDC_BTN_BROWSE);
        ASSERT_TRUE(h.Enabled(IDC_BTN_FW_UPDATE));
        h.Click(IDC_BTN_FW_UPDATE);
    }

    // Part 2 is being written.
    void WaitForPart2() {
        const uint32_t part1Blocks = (static_cast<uint32_t>(part1.size()) + 1023) / 1024;
        ASSERT_TRUE(h.WaitFor([&] { return DialogUpdate().bDownloadInProgress.load() && DialogUpdate().dwBlocksSent > part1Blocks + 3; }, 30000));
    }

    void ExpectWrittenAndSucceeded() {
        ASSERT_TRUE(h.WaitFor([] { return UpdateEnded(); }, 60000));
        EXPECT_TRUE(IsWindow(h.dialog)) << "the program is still there";
        EXPECT_EQ(1u, BoxesWith(kSuccessText));
        EXPECT_FALSE(HasBox(L"Firmware Download Failed!"));
        EXPECT_EQ(part1, world.flash->image1);
        EXPECT_EQ(part2, world.flash->image2);
        EXPECT_EQ(0, world.flash->resets) << "no reset request reached the update-mode device";
    }
};

struct RefusalCase {
    const char* name;
    std::function<void(RunningUpdate&)> act;
    bool closing;  // the operator is told why in the status line, without a box that would hold the update
};

void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }

class RefusedDuringTheWrite : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(RefusedDuringTheWrite, AndTheUpdateEndsWritten) {
    RunningUpdate u;
    ASSERT_NO_FATAL_FAILURE(u.Start());
    ASSERT_NO_FATAL_FAILURE(u.WaitForPart2());
    const size_t warnings = Count(sim::DialogCalls(), IDD_UPDATE_WARNING);
    const size_t fileDialogs = sim::OpenFileCalls().size();
    const std::wstring pathBefore = u.h.Text(IDC_EDIT_FIRMWARE_PATH);
    // What the operator would get from a second file, should Browse read it.
    sim::QueueOpenFileAnswer(WriteTempFile(TwoPartFile(2, Pattern(20000, 77), Pattern(30000, 78))));

    GetParam().act(u);
    EXPECT_TRUE(DialogUpdate().bDownloadInProgress) << "the write goes on";
    EXPECT_EQ(0u, BoxesWith(kCloseRefusedText));
    EXPECT_EQ(GetParam().closing, u.h.Text(IDC_STATIC_STATUS) == kCloseRefusedText);
    EXPECT_TRUE(IsWindow(g_hMainWnd)) << "the owner window, which carries the taskbar button, is still there";
    EXPECT_EQ(warnings, Count(sim::DialogCalls(), IDD_UPDATE_WARNING)) << "no second update";
    EXPECT_EQ(fileDialogs, sim::OpenFileCalls().size()) << "no file chosen meanwhile";
    EXPECT_EQ(pathBefore, u.h.Text(IDC_EDIT_FIRMWARE_PATH));
    EXPECT_FALSE(g_bReadVersionRequested || g_bResetRequested) << "no command handed to the command thread";

    ASSERT_NO_FATAL_FAILURE(u.ExpectWrittenAndSucceeded());
    EXPECT_FALSE(HasBox(L"Please wait...Device Reset in progress"));
}

INSTANTIATE_TEST_SUITE_P(
    RunningUpdate, RefusedDuringTheWrite,
    ::testing::Values(RefusalCase{"CloseBox", [](RunningUpdate& u) { u.h.Send(WM_CLOSE, 0, 0); }, true},
                      RefusalCase{"SystemMenuClose", [](RunningUpdate& u) { u.h.Send(WM_SYSCOMMAND, SC_CLOSE, 0); },
                                  true},
                      RefusalCase{"Exit", [](RunningUpdate& u) { u.h.Click(IDC_BTN_EXIT); }, true},
                      RefusalCase{"Escape", [](RunningUpdate& u) { u.h.Key(VK_ESCAPE); }, true},
                      RefusalCase{"TaskbarCloseWindow",
                                  [](RunningUpdate&) { SendMessageW(g_hMainWnd, WM_SYSCOMMAND, SC_CLOSE, 0); }, true},
                      RefusalCase{"OwnerClose", [](RunningUpdate&) { SendMessageW(g_hMainWnd, WM_CLOSE, 0, 0); }, true},
                      RefusalCase{"Reset", [](RunningUpdate& u) { u.h.Click(IDC_BTN_RESET); }, false},
                      RefusalCase{"ReadVersion", [](RunningUpdate& u) { u.h.Click(IDC_BTN_READFW_VERSION); }, false},
                      RefusalCase{"Browse", [](RunningUpdate& u) { u.h.Click(IDC_BTN_BROWSE); }, false},
                      RefusalCase{"SelectionChange", [](RunningUpdate& u) { u.h.Select(0); }, false},
                      RefusalCase{"FirmwareUpdateAgain", [](RunningUpdate& u) { u.h.Click(IDC_BTN_FW_UPDATE); },
                                  false}),
    [](const ::testing::TestParamInfo<RefusalCase>& info) { return std::string(info.param.name); });

// Windows wants to end the session during the write: both top-level windows
// say no, the reason is registered on the thread that owns them and the
// system is kept awake; once the update is over all of it is given back.
TEST(RunningUpdate, EndOfSessionIsRefusedDuringTheUpdateAndAllowedAfter) {
    RunningUpdate u;
    ASSERT_NO_FATAL_FAILURE(u.Start());
    ASSERT_NO_FATAL_FAILURE(u.WaitForPart2());
    EXPECT_EQ(FALSE, SendMessageW(u.h.dialog, WM_QUERYENDSESSION, 0, ENDSESSION_CLOSEAPP));
    EXPECT_EQ(FALSE, SendMessageW(g_hMainWnd, WM_QUERYENDSESSION, 0, ENDSESSION_CLOSEAPP));
    std::vector<HWND> blocked = sim::ShutdownBlockedWindows();
    EXPECT_EQ(2u, blocked.size());
    for (HWND w : {u.h.dialog, g_hMainWnd})
        EXPECT_NE(blocked.end(), std::find(blocked.begin(), blocked.end(), w)) << "a reason for each window";
    EXPECT_TRUE(sim::SystemKeptAwake());
    const DWORD uiThread = GetCurrentThreadId();
    for (const auto& c : sim::PowerCalls()) {
        EXPECT_EQ(uiThread, c.threadId) << "on the thread that owns the windows";
        if (c.kind == sim::PowerCall::Kind::BlockReasonCreate) EXPECT_EQ(kShutdownBlockReason, c.reason);
        if (c.kind == sim::PowerCall::Kind::ExecutionState && c.flags != ES_CONTINUOUS)
            EXPECT_EQ(static_cast<EXECUTION_STATE>(ES_CONTINUOUS | ES_SYSTEM_REQUIRED), c.flags);
    }

    ASSERT_NO_FATAL_FAILURE(u.ExpectWrittenAndSucceeded());
    // The camera comes back in normal mode; then nothing runs any more.
    ASSERT_TRUE(u.h.WaitFor([] { return !UpdateIsBusy(); }, 30000));
    u.h.Settle();
    EXPECT_NE(FALSE, SendMessageW(u.h.dialog, WM_QUERYENDSESSION, 0, ENDSESSION_CLOSEAPP));
    EXPECT_NE(FALSE, SendMessageW(g_hMainWnd, WM_QUERYENDSESSION, 0, ENDSESSION_CLOSEAPP));
    EXPECT_TRUE(sim::ShutdownBlockedWindows().empty());
    EXPECT_FALSE(sim::SystemKeptAwake());
    EXPECT_TRUE(u.h.Enabled(IDC_BTN_EXIT));
}

}  // namespace
