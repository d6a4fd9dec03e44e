// What an update waits for, and how each wait ends: a camera that never takes
// the handshake or never comes back, a second arrival while an arrival
// handler waits, and a Tessa camera that leaves the bus before its notice is
// up.
#include <windows.h>

#include <gtest/gtest.h>

#include "app_state.h"
#include "camera_plug.h"
#include "dialog_harness.h"
#include "engine_harness.h"
#include "resource.h"
#include "scenario_worlds.h"
#include "command_thread.h"
#include "ui_wait.h"
#include "update_guard.h"

namespace {

const wchar_t kSuccessText[] =
    L"Firmware Downloaded Successfully!\r\nDonot Reset the Device.\r\nDevice will boot automatically after "
    L"completing firmware update!";

size_t CountLines(const std::wstring& text) {
    size_t n = 0;
    for (const auto& line : sim::DebugLines())
        if (line.text == text) ++n;
    return n;
}

sim::CameraPlace Place(const wchar_t* serial, std::vector<int> ports, const wchar_t* name = L"Corvane_RX20") {
    sim::CameraPlace place;
    place.serial = serial;
    place.ports = std::move(ports);
    place.friendlyName = name;
    return place;
}

// The last debugger lines, for a failure that needs them.
std::string DebugTail() {
    std::wstring tail;
    const auto lines = sim::DebugLines();
    for (size_t i = lines.size() > 120 ? lines.size() - 120 : 0; i < lines.size(); ++i)
        tail += L"[" + std::to_wstring(lines[i].threadId) + L"] " + lines[i].text;
    return std::string(tail.begin(), tail.end());
}

void ChooseFileAndUpdate(DialogHarness& h, const std::vector<uint8_t>& file) {
    AnswerWarningWithOk();
    sim::QueueOpenFileAnswer(WriteTempFile(file));
    h.Click(IDC_BTN_BROWSE);
    ASSERT_TRUE(h.Enabled(IDC_BTN_FW_UPDATE));
    h.Click(IDC_BTN_FW_UPDATE);
}

// After the wait's bound the operator has the program back: EXIT works, the
// end of the session is no longer held.
void ExpectTheWaitEnded(DialogHarness& h) {
    ASSERT_TRUE(h.WaitFor([&] { return h.Enabled(IDC_BTN_EXIT) && !UpdateIsBusy(); }, 20000));
    EXPECT_EQ(1u, CountLines(L"UpdateFirmware :: the camera did not come back within 60 s\r\n"));
    EXPECT_NE(FALSE, SendMessageW(h.dialog, WM_QUERYENDSESSION, 0, 0));
    EXPECT_TRUE(sim::ShutdownBlockedWindows().empty());
    std::wstring boxes;
    for (const auto& b : h.BoxTexts()) boxes += b + L" | ";
    EXPECT_FALSE(UpdateEnded()) << "no success and no failure box: " << std::string(boxes.begin(), boxes.end());
}

}  // namespace

// The camera takes no report at all: the handshake gives up on its write
// instead of holding the update start for good, and the update then waits
// for a camera that does not come.
TEST(UpdateWaits, HandshakeTheCameraNeverTakes) {
    DialogHarness h;
    sim::HidCameraKnobs knobs;
    knobs.holdWritesFromCommand = 0;
    auto camera = sim::PlugHidCamera(Place(L"SN12345678AB", {3, 2}), knobs);
    h.Open();
    h.Select(0);
    ASSERT_NO_FATAL_FAILURE(ChooseFileAndUpdate(h, TwoPartFile(2, Pattern(2000, 1), Pattern(2000, 2))));
    EXPECT_EQ(1, camera.model->HeldWrites());
    EXPECT_EQ(1u, CountLines(L"KivoFwSw: the device did not take the report in time\r\n"));
    EXPECT_EQ(1u, CountLines(L"Alert : Check FirmwareUpdate\r\n"));
    EXPECT_FALSE(h.Enabled(IDC_BTN_EXIT)) << "the camera may still be on its way";
    ASSERT_NO_FATAL_FAILURE(ExpectTheWaitEnded(h));
}

// An R7 camera is sent to its ROM with no timer of its own to give EXIT back;
// when the ROM never shows up, the wait's bound does.
TEST(UpdateWaits, R7CameraThatNeverComesBack) {
    DialogHarness h;
    sim::XuCameraKnobs knobs;
    knobs.arriveMs = 3600000;  // its ROM shows up an hour later
    sim::PlugKivoR7Camera(Place(L"R7SERIAL01", {2, 1}, L"Kivo R7"), knobs);
    h.Open();
    h.Select(0);
    ASSERT_NO_FATAL_FAILURE(ChooseFileAndUpdate(h, Pattern(3000, 3)));
    EXPECT_FALSE(h.Enabled(IDC_BTN_EXIT));
    EXPECT_TRUE(UpdateIsBusy());
    ASSERT_NO_FATAL_FAILURE(ExpectTheWaitEnded(h));
}

// The camera comes back in update mode only after the wait's bound: the
// operator got EXIT back and was told, and the update still goes on with the
// camera that arrives. While its arrival is held (a handler pauses) the wait
// does not run out.
TEST(UpdateWaits, CameraBackAfterTheWaitsBoundGoesOnWithItsUpdate) {
    for (const bool held : {false, true}) {
        SCOPED_TRACE(held ? "arrival held past the bound" : "arrival after the bound");
        DialogHarness h;
        CameraUpdateWorld world;
        world.cycle.runs = 1;
        world.knobs.arriveMs = held ? 50000 : 70000;
        world.Plug(L"SN12345678AB");
        h.Open();
        h.Select(0);
        const auto image = Pattern(3000, 6);
        ASSERT_NO_FATAL_FAILURE(ChooseFileAndUpdate(h, image));
        if (held) {
            MessageHold hold;
            h.Pump(1000);  // 100 s of simulated time: the arrival comes and is kept
            EXPECT_TRUE(DeviceChangesKept());
            EXPECT_TRUE(UpdateIsBusy()) << "the wait does not run out behind a held arrival";
        } else {
            ASSERT_TRUE(h.WaitFor([&] { return h.Enabled(IDC_BTN_EXIT) && !UpdateIsBusy(); }, 20000));
            EXPECT_EQ(kCameraNotBackText, h.Text(IDC_STATIC_STATUS));
        }
        ASSERT_TRUE(h.WaitFor(UpdateEnded, 30000)) << DebugTail();
        EXPECT_TRUE(HasBox(kSuccessText));
        EXPECT_EQ(image, world.flash->image2);
    }
}

// The dialog's guard where it was found to fail.
TEST(UpdateWaits, GuardHoles) {
    {
        SCOPED_TRACE("a second OK of the warning while a device in update mode is written");
        DialogHarness h;
        auto flash = std::make_shared<sim::DfuFlash>();
        sim::DfuKnobs knobs;
        knobs.busyPollsPerBlock = 3;
        sim::Plug(sim::WinUsbSpec(0x4A7E, 0xDF00, L"SN12345678AB", {3, 2}),
                  std::make_shared<sim::DfuDeviceModel>(flash, knobs));
        h.Open();
        sim::SetDialogHook([](const sim::DialogCall& call, DLGPROC proc, INT_PTR* result) {
            if (call.templateId != IDD_UPDATE_WARNING) return false;
            HWND warning = CreateDialogParamW(call.instance, MAKEINTRESOURCEW(IDD_UPDATE_WARNING), call.parent, proc, 0);
            for (int i = 0; i < 2; ++i) SendMessageW(warning, WM_COMMAND, MAKEWPARAM(IDC_BTN_NOTICE_OK, BN_CLICKED), 0);
            DestroyWindow(warning);
            *result = IDC_BTN_NOTICE_OK;
            return true;
        });
        const auto image = Pattern(20000, 7);
        sim::QueueOpenFileAnswer(WriteTempFile(image));
        h.Click(IDC_BTN_BROWSE);
        h.Click(IDC_BTN_FW_UPDATE);
        ASSERT_TRUE(h.WaitFor(UpdateEnded, 30000));
        EXPECT_TRUE(HasBox(kSuccessText));
        EXPECT_EQ(image, flash->image2);
    }
    {
        SCOPED_TRACE("READ F/W VERSION without a command thread");
        DialogHarness h;
        CameraUpdateWorld world;
        world.Plug(L"SN12345678AB");
        h.Open();
        h.Select(0);
        _threadUpdateUI();
        h.Click(IDC_BTN_READFW_VERSION);
        AnswerWarningWithOk();
        sim::QueueOpenFileAnswer(WriteTempFile(Pattern(3000, 8)));
        h.Click(IDC_BTN_BROWSE);
        h.Click(IDC_BTN_FW_UPDATE);
        EXPECT_FALSE(HasBox(L"Please wait...ReadFirmwarVersion in progress"));
        EXPECT_EQ(1u, world.camera.model->UpdateKinds().size()) << "the update starts";
    }
    {
        SCOPED_TRACE("a device change kept behind an EXIT that ends the program");
        DialogHarness h;
        h.Open();
        // The command event is named: one the case before left signalled
        // would wake the new command thread, whose ending clears the flag
        // this case sets. Let it have done so first.
        if (g_hCommandEvent != nullptr) ResetEvent(g_hCommandEvent);
        h.Pump(100);
        SetCommandActive(true);
        h.Click(IDC_BTN_EXIT);
        sim::PlugHidCamera(Place(L"SN12345678AB", {3, 2}));
        h.Pump(200);
        ASSERT_TRUE(IsWindow(h.dialog)) << "both wait for the command";
        const size_t arrivals = CountLines(L"DBT_DEVICEARRIVAL \r\n");
        SetCommandActive(false);
        SendMessageW(h.dialog, WM_FW_COMMAND_DONE, 0, 0);
        EXPECT_FALSE(IsWindow(h.dialog)) << "EXIT ended the program";
        EXPECT_EQ(arrivals, CountLines(L"DBT_DEVICEARRIVAL \r\n")) << "nothing handled after the end";
        h.dialog = nullptr;
    }
}

// A device in update mode that does not answer at the update's start: after
// the failure the operator may leave with EXIT, as it is shown, or the device
// comes back (here while the failing thread's box is still open) and its
// update goes on.
TEST(UpdateWaits, AfterACommunicationFailure) {
    for (const bool comesBack : {false, true}) {
        SCOPED_TRACE(comesBack ? "the device comes back" : "EXIT");
        DialogHarness h;
        auto flash = std::make_shared<sim::DfuFlash>();
        sim::DfuKnobs stalls;
        stalls.statusStalls = true;
        const sim::UsbDeviceSpec spec = sim::WinUsbSpec(0x4A7E, 0xDF00, L"SN12345678AB", {3, 2});
        const sim::DeviceId first = sim::Plug(spec, std::make_shared<sim::DfuDeviceModel>(flash, stalls));
        h.Open();
        sim::SetMessageBoxHook([&](const sim::MessageBoxCall& box) {
            if (comesBack && box.text == L"USB Communication Failure!") {
                sim::Unplug(first);
                sim::Plug(spec, std::make_shared<sim::DfuDeviceModel>(flash));
                for (int i = 0; i < 500 && !DialogUpdate().bThreadStartPending; ++i) Sleep(10);
            }
            return 0;
        });
        const auto image = Pattern(3000, 9);
        ASSERT_NO_FATAL_FAILURE(ChooseFileAndUpdate(h, image));
        ASSERT_TRUE(h.WaitFor([] { return HasBox(L"USB Communication Failure!"); }, 30000));
        if (comesBack) {
            ASSERT_TRUE(h.WaitFor([] { return HasBox(kSuccessText); }, 30000)) << DebugTail();
            EXPECT_EQ(image, flash->image2);
        } else {
            ASSERT_TRUE(h.WaitFor([&] { return h.Enabled(IDC_BTN_EXIT); }));
            h.Click(IDC_BTN_EXIT);
            EXPECT_FALSE(IsWindow(h.dialog)) << "EXIT, shown enabled, ends the program";
            h.dialog = nullptr;
        }
    }
}

// While the arrival handler of the update-mode device waits its 2 s, another
// camera arrives: the update-mode device gets one update thread, written
// through to the end, and the newcomer is listed once the update is over.
TEST(UpdateWaits, SecondUsbArrivalDuringTheArrivalWait) {
    DialogHarness h;
    CameraUpdateWorld world;
    world.cycle.runs = 1;
    world.Plug(L"SN12345678AB");
    h.Open();
    // Coarser time, so that the newcomer lands well inside the wait.
    sim::SetTimeScale(0.1);
    h.Select(0);
    const auto image = Pattern(30000, 4);
    ASSERT_NO_FATAL_FAILURE(ChooseFileAndUpdate(h, image));
    // The update-mode device arrives about 500 ms after the handshake, and
    // its handler waits until about 2500 ms.
    sim::After(1500, [] { sim::PlugHidCamera(Place(L"NEWCOMER01AB", {4})); });
    ASSERT_TRUE(h.WaitFor(UpdateEnded, 60000));
    EXPECT_TRUE(HasBox(kSuccessText));
    EXPECT_FALSE(HasBox(L"Firmware Download Failed!"));
    EXPECT_EQ(image, world.flash->image2);
    EXPECT_EQ(1u, CountLines(L"UpdateFirmware::THreadCreated++++   ++\n")) << "one update thread";
    ASSERT_TRUE(h.WaitFor([&] { return h.ListItems().size() == 2; }, 30000));
}

namespace {

struct TessaCase {
    const char* name;
    bool leavesAtOnce;     // the camera leaves the bus right after its last request
    bool anotherCamera;    // another camera stays plugged
};

void PrintTo(const TessaCase& c, std::ostream* os) { *os << c.name; }

class TessaNotice : public ::testing::TestWithParam<TessaCase> {};

}  // namespace

// After a Tessa camera's update the warning notice waits for the camera to
// leave. Its OK is enabled however the removal comes: before the notice is
// up (its removal reaches the dialog while the update thread still finishes),
// or with other devices still listed.
TEST_P(TessaNotice, OkIsEnabledWhenTheUpdatedCameraHasLeft) {
    const TessaCase& c = GetParam();
    DialogHarness h;
    if (c.anotherCamera) sim::PlugHidCamera(Place(L"OTHERCAM01AB", {4}));
    const sim::CameraPlace place = Place(L"TS12345678AB", {3, 1}, L"Tessa Camera");
    auto tessa = sim::PlugTessaCamera(place);
    sim::UpdateCycle cycle;
    cycle.laterKnobs.restartDelayMs = c.leavesAtOnce ? 0 : 3600000;
    const sim::UsbDeviceSpec updateSpec = sim::WinUsbSpec(0x4A7E, 0xDF01, place.serial, place.ports);
    tessa.model->SetUpdateModePlan(updateSpec, cycle.Start(updateSpec, tessa.spec, nullptr));
    int errorNotices = 0;
    h.Open();
    int index = -1;
    for (int i = 0; i < g_nDeviceCount; ++i)
        if (lstrcmpiW(g_szDevicePathList[i], tessa.videoPath.c_str()) == 0) index = i;
    ASSERT_GE(index, 0);
    h.Select(index);
    sim::SetDialogHook([&](const sim::DialogCall& call, DLGPROC proc, INT_PTR* result) {
        if (call.templateId == IDD_ERROR_NOTICE) {
            ++errorNotices;
            *result = IDOK;
            return true;
        }
        if (call.templateId == IDD_WARNING_NOTICE) {
            // The notice comes up only after every device change so far was
            // handled: a camera that left at once has been seen leaving.
            sim::WaitForIdle();
            return false;
        }
        return PressWarningOkFor(call, proc, result);
    });
    sim::QueueOpenFileAnswer(WriteTempFile(TwoPartFile(2, Pattern(3000, 41), Pattern(4100, 42))));
    h.Click(IDC_BTN_BROWSE);
    h.Click(IDC_BTN_FW_UPDATE);
    ASSERT_TRUE(h.WaitFor([] { return g_hNoticeDialog.load() != nullptr && IsWindowVisible(g_hNoticeDialog.load()); },
                          30000))
        << DebugTail();
    HWND notice = g_hNoticeDialog.load();
    HWND ok = GetDlgItem(notice, IDC_BTN_NOTICE_OK);
    if (!c.leavesAtOnce) {
        h.Pump(50);
        EXPECT_FALSE(IsWindowEnabled(ok)) << "OK waits for the camera to leave";
        for (sim::DeviceId d : sim::PresentDevices())
            if (sim::SpecOf(d).pid == 0xDF01) sim::Unplug(d);
    }
    ASSERT_TRUE(h.WaitFor([&] { return IsWindowEnabled(ok) != FALSE; }, 5000)) << DebugTail();
    PostMessageW(notice, WM_COMMAND, MAKEWPARAM(IDC_BTN_NOTICE_OK, BN_CLICKED), 0);
    ASSERT_TRUE(h.WaitFor([&] { return !IsWindow(notice) || !IsWindowVisible(notice); }));
    h.Pump(2500);  // past the notice's 180 s at this time scale
    EXPECT_EQ(0, errorNotices);
}

INSTANTIATE_TEST_SUITE_P(UpdateWaits, TessaNotice,
                         ::testing::Values(TessaCase{"LeavesBeforeTheNoticeIsUp", true, false},
                                           TessaCase{"LeavesBeforeTheNoticeIsUpBesideAnotherCamera", true, true},
                                           TessaCase{"UnpluggedBesideAnotherCamera", false, true}),
                         [](const ::testing::TestParamInfo<TessaCase>& info) { return std::string(info.param.name); });
