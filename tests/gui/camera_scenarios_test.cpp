// A camera in its normal mode updated through the real dialog: it is sent
// into update mode, written in two runs across its restarts, and found again
// by its unique ID when it comes back with the new firmware.
#include <windows.h>

#include <gtest/gtest.h>

#include "app_state.h"
#include "camera_plug.h"
#include "dialog_harness.h"
#include "engine_harness.h"
#include "resource.h"
#include "scenario_worlds.h"

namespace {

const wchar_t kSuccessText[] =
    L"Firmware Downloaded Successfully!\r\nDonot Reset the Device.\r\nDevice will boot automatically after "
    L"completing firmware update!";

}  // namespace

TEST(CameraScenario, HidCameraTwoPartImageFromNormalModeBackToNormalMode) {
    DialogHarness h;
    CameraUpdateWorld world;
    world.Plug(L"SN12345678AB");
    // Another camera stays on the bus: the updated one comes back behind it.
    sim::CameraPlace other;
    other.serial = L"SN99999999AB";
    other.ports = {1};
    other.friendlyName = L"Corvane_RX30";
    sim::PlugHidCamera(other);
    h.Open();
    ASSERT_EQ(2u, h.ListItems().size());
    ASSERT_EQ(0u, h.ListItems()[0].find(L"Corvane_RX20"));
    h.Select(0);
    EXPECT_EQ(std::wstring(L"SN12345678"), DialogUpdate().USBUniqueID);

    h.Click(IDC_BTN_READFW_VERSION);
    ASSERT_TRUE(h.WaitFor([] { return HasBox(L"Firmware Version = 1.2.10.300\r\n"); }));

    // The new image carries version 2.3.0.7 in its first bytes.
    std::vector<uint8_t> part2 = Pattern(4000, 9);
    const uint8_t newVersion[6] = {2, 3, 0, 0, 0, 7};
    std::copy(newVersion, newVersion + 6, part2.begin());
    const std::vector<uint8_t> part1 = Pattern(2500, 8);
    AnswerWarningWithOk();
    wchar_t dir[MAX_PATH];
    GetTempPathW(MAX_PATH, dir);
    const std::wstring file = std::wstring(dir) + L"Corvane_RX20_fw.img";
    {
        FILE* f = _wfopen(file.c_str(), L"wb");
        const auto bytes = TwoPartFile(2, part1, part2);
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
    }
    sim::QueueOpenFileAnswer(file);
    h.Click(IDC_BTN_BROWSE);
    ASSERT_TRUE(h.Enabled(IDC_BTN_FW_UPDATE));
    h.Click(IDC_BTN_FW_UPDATE);
    EXPECT_EQ(std::vector<uint8_t>{2}, world.camera.model->UpdateKinds()) << "the image kind of the file";

    ASSERT_TRUE(h.WaitFor([] { return HasBox(kSuccessText) || HasBox(L"Firmware Download Failed!"); }, 30000));
    EXPECT_TRUE(HasBox(kSuccessText));
    EXPECT_EQ(part1, world.flash->image1);
    EXPECT_EQ(part2, world.flash->image2);

    // Back in normal mode: listed again, now second, and selected by its
    // unique ID (not the first item, not the item selected before).
    ASSERT_TRUE(h.WaitFor([&] {
        const auto items = h.ListItems();
        return items.size() == 2 && items[1].find(L"Corvane_RX20") == 0;
    }, 30000));
    h.Settle();
    EXPECT_EQ(1, h.ListSelection());
    EXPECT_EQ(std::wstring(L"SN12345678"), DialogUpdate().USBUniqueID);
    h.Click(IDC_BTN_READFW_VERSION);
    ASSERT_TRUE(h.WaitFor([] { return HasBox(L"Firmware Version = 2.3.0.7\r\n"); }));
    DeleteFileW(file.c_str());
}

TEST(CameraScenario, CameraThatNeverComesBackLetsTheOperatorLeaveAfterAMinute) {
    DialogHarness h;
    sim::CameraPlace place;
    place.serial = L"SN12345678AB";
    place.ports = {3, 2};
    place.friendlyName = L"Corvane_RX20";
    sim::HidCameraKnobs knobs;
    knobs.entersUpdateMode = false;  // accepts the request, then never shows up in update mode
    auto camera = sim::PlugHidCamera(place, knobs);
    h.Open();
    h.Select(0);
    AnswerWarningWithOk();
    sim::QueueOpenFileAnswer(WriteTempFile(TwoPartFile(2, Pattern(3000, 1), Pattern(3000, 2))));
    h.Click(IDC_BTN_BROWSE);
    // The file is named after no camera: the suitability question is answered Yes.
    h.Click(IDC_BTN_FW_UPDATE);
    EXPECT_EQ(std::vector<uint8_t>{2}, camera.model->UpdateKinds());
    EXPECT_FALSE(h.Enabled(IDC_BTN_EXIT)) << "EXIT waits while the camera changes mode";
    EXPECT_TRUE(g_bHDIssuePending);
    // Timer 2 (60 s) at time scale 0.01.
    ASSERT_TRUE(h.WaitFor([&] { return h.Enabled(IDC_BTN_EXIT); }, 10000));
    EXPECT_FALSE(HasBox(kSuccessText));
}

namespace {

// Chooses the file and presses F/W UPDATE with the camera of world selected;
// the file's name carries no model name, so the suitability question is
// answered Yes by default.
void StartUpdate(DialogHarness& h, const std::vector<uint8_t>& file) {
    sim::QueueOpenFileAnswer(WriteTempFile(file));
    h.Click(IDC_BTN_BROWSE);
    ASSERT_TRUE(h.Enabled(IDC_BTN_FW_UPDATE));
    h.Click(IDC_BTN_FW_UPDATE);
}

// The boxes that tell how the update ended (the suitability question left out).
std::vector<std::wstring> OutcomeBoxes() {
    std::vector<std::wstring> out;
    for (const auto& b : sim::MessageBoxes())
        if (b.text.find(L"might not be suitable") == std::wstring::npos) out.push_back(b.text);
    return out;
}

struct OneRunCase {
    const char* name;
    std::vector<uint8_t> file;
    std::vector<uint8_t> image2, mcu, fpga;  // what the flash must hold afterwards
};

void PrintTo(const OneRunCase& c, std::ostream* os) { *os << c.name; }

class OneRunUpdate : public ::testing::TestWithParam<OneRunCase> {};

std::vector<uint8_t> WithVersion(std::vector<uint8_t> image) {
    const uint8_t version[6] = {3, 1, 0, 0, 0, 42};
    std::copy(version, version + 6, image.begin());
    return image;
}

const std::vector<uint8_t> kImg = WithVersion(Pattern(3000, 21));
const std::vector<uint8_t> kMcu = McuLines(30, 100);
const std::vector<uint8_t> kFpga = Pattern(2500, 22);

}  // namespace

// Plain, MCU and FPGA files take one run: the camera goes to update mode,
// the whole file is written, and the camera returns with the new version.
TEST_P(OneRunUpdate, FromNormalModeBackToNormalMode) {
    const OneRunCase& c = GetParam();
    DialogHarness h;
    CameraUpdateWorld world;
    world.cycle.runs = 1;
    world.Plug(L"SN12345678AB");
    h.Open();
    h.Select(0);
    AnswerWarningWithOk();
    ASSERT_NO_FATAL_FAILURE(StartUpdate(h, c.file));
    ASSERT_TRUE(h.WaitFor(UpdateEnded, 30000));
    EXPECT_EQ(std::vector<std::wstring>{kSuccessText}, OutcomeBoxes());
    EXPECT_EQ(c.image2, world.flash->image2);
    EXPECT_EQ(c.mcu, world.flash->mcu);
    EXPECT_EQ(c.fpga, world.flash->fpga);
    EXPECT_TRUE(world.flash->image1.empty());
    ASSERT_TRUE(h.WaitFor([&] {
        const auto items = h.ListItems();
        return items.size() == 1 && items[0].find(L"Corvane_RX20") == 0;
    }, 30000));
    h.Settle();
    h.Click(IDC_BTN_READFW_VERSION);
    ASSERT_TRUE(h.WaitFor([] { return HasBox(L"Firmware Version = 3.1.0.42\r\n"); }));
}

INSTANTIATE_TEST_SUITE_P(
    Files, OneRunUpdate,
    ::testing::Values(OneRunCase{"Plain", kImg, kImg, {}, {}},
                      OneRunCase{"Mcu", Cat({ShortSection("orviMCU", kMcu), ShortSection("orviIMG", kImg)}), kImg,
                                 kMcu, {}},
                      OneRunCase{"Fpga", Cat({ShortSection("orviFPGA", kFpga), ShortSection("orviIMG", kImg)}), kImg,
                                 {}, kFpga}),
    [](const ::testing::TestParamInfo<OneRunCase>& info) { return std::string(info.param.name); });

namespace {

struct FaultCase {
    const char* name;
    bool inSecondRun;  // the knobs apply to the second appearance in update mode
    sim::DfuKnobs knobs;
    std::vector<std::wstring> boxes;
    // A failed state change leaves the update waiting for the camera's
    // update-mode device (it may still arrive); a failed download ends it.
    bool stillAwaitsTheCamera;
};

sim::DfuKnobs Leaves(int block) {
    sim::DfuKnobs k;
    k.leaveBusAtBlock = block;
    return k;
}

sim::DfuKnobs StatusStalls() {
    sim::DfuKnobs k;
    k.statusStalls = true;
    return k;
}

sim::DfuKnobs StallsAt(int block) {
    sim::DfuKnobs k;
    k.failBlock = block;
    return k;
}

void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }

class FaultyUpdate : public ::testing::TestWithParam<FaultCase> {};

}  // namespace

// A fault in either run of a two-part update ends with the failure box and
// the dialog reset; success is never reported and the operator can leave.
TEST_P(FaultyUpdate, EndsWithTheFailureOnly) {
    const FaultCase& c = GetParam();
    DialogHarness h;
    CameraUpdateWorld world;
    (c.inSecondRun ? world.cycle.laterKnobs : world.cycle.firstKnobs) = c.knobs;
    world.Plug(L"SN12345678AB");
    h.Open();
    h.Select(0);
    AnswerWarningWithOk();
    const auto part1 = Pattern(4000, 31), part2 = Pattern(5000, 32);
    ASSERT_NO_FATAL_FAILURE(StartUpdate(h, TwoPartFile(2, part1, part2)));
    ASSERT_TRUE(h.WaitFor(UpdateEnded, 30000));
    // The failure ending resets the dialog after its boxes.
    ASSERT_TRUE(h.WaitFor([&] { return OutcomeBoxes().size() >= c.boxes.size() && h.Enabled(IDC_BTN_EXIT); }));
    h.Pump(50);
    EXPECT_EQ(c.boxes, OutcomeBoxes());
    EXPECT_FALSE(HasBox(kSuccessText));
    EXPECT_TRUE(h.Enabled(IDC_BTN_EXIT));
    EXPECT_EQ(L"", h.Text(IDC_EDIT_FIRMWARE_PATH));
    EXPECT_FALSE(h.Visible(IDC_PROGRESS));
    EXPECT_EQ(c.stillAwaitsTheCamera, DialogUpdate().bUpdatedFromHIDMode.load());
    EXPECT_FALSE(DialogUpdate().bMatchUpdatedDeviceHID);
    EXPECT_FALSE(DialogUpdate().bDownloadInProgress);
    EXPECT_NE(part2, world.flash->image2);
    if (c.inSecondRun) {
        EXPECT_EQ(part1, world.flash->image1) << "the first run ended well";
    }
    if (!c.stillAwaitsTheCamera) return;

    // The operator plugs the camera in again, still in update mode and now
    // answering: the update goes on from the part it had reached.
    const sim::UsbDeviceSpec updateSpec = sim::WinUsbSpec(0x4A7E, 0xDF00, L"SN12345678AB", {3, 2});
    for (sim::DeviceId d : sim::PresentDevices())
        if (sim::SpecOf(d).pid == 0xDF00) sim::Unplug(d);
    h.Settle();  // the waiting update leaves the list alone
    sim::UpdateCycle again;
    again.flash = world.flash;
    sim::Plug(updateSpec, again.Start(updateSpec, world.camera.spec, sim::HidCameraCarryingImage));
    ASSERT_TRUE(h.WaitFor([] { return HasBox(kSuccessText) || HasBox(L"Firmware Download Failed!"); }, 30000));
    EXPECT_TRUE(HasBox(kSuccessText));
    EXPECT_EQ(part1, world.flash->image1);
    EXPECT_EQ(part2, world.flash->image2);
    EXPECT_EQ(2, world.flash->downloads) << "each part written once";
}

INSTANTIATE_TEST_SUITE_P(
    Faults, FaultyUpdate,
    ::testing::Values(FaultCase{"LeavesDuringPart1", false, Leaves(2), {L"Firmware Download Failed!"}, false},
                      FaultCase{"LeavesDuringPart2", true, Leaves(2), {L"Firmware Download Failed!"}, false},
                      FaultCase{"StallsABlockOfPart2", true, StallsAt(1), {L"Firmware Download Failed!"}, false},
                      FaultCase{"StatusFailsInPart1",
                                false,
                                StatusStalls(),
                                {L"Get Status Failed!", L"USB Communication Failure!"},
                                true},
                      FaultCase{"StatusFailsInPart2",
                                true,
                                StatusStalls(),
                                {L"Get Status Failed!", L"USB Communication Failure!"},
                                true}),
    [](const ::testing::TestParamInfo<FaultCase>& info) { return std::string(info.param.name); });

namespace {

// A Tessa camera: its extension unit sends it into update mode as 4A7E:DF01
// with its serial; the two-part image takes two runs; after the second the
// device stays until the operator unplugs it.
struct TessaWorld {
    sim::UpdateCycle cycle;
    sim::PluggedCamera<sim::XuCameraModel> camera;

    void Plug() {
        sim::CameraPlace place;
        place.serial = L"TS12345678AB";
        place.ports = {3, 1};
        place.friendlyName = L"Tessa Camera";
        camera = sim::PlugTessaCamera(place);
        cycle.laterKnobs.restartDelayMs = 3600000;  // after its update it stays on the bus
        const sim::UsbDeviceSpec updateSpec = sim::WinUsbSpec(0x4A7E, 0xDF01, place.serial, place.ports);
        camera.model->SetUpdateModePlan(updateSpec, cycle.Start(updateSpec, camera.spec, nullptr));
    }

    sim::DeviceId UpdateModeDeviceOnTheBus() const {
        for (sim::DeviceId d : sim::PresentDevices())
            if (sim::SpecOf(d).pid == 0xDF01) return d;
        return 0;
    }
};

void RunTessaUpdate(DialogHarness& h, TessaWorld& tessa, int* errorNotices, const std::vector<uint8_t>& file) {
    tessa.Plug();
    h.Open();
    ASSERT_EQ(1u, h.ListItems().size());
    h.Select(0);
    AnswerWarningWithOkAndCountErrorNotices(errorNotices);
    ASSERT_NO_FATAL_FAILURE(StartUpdate(h, file));
    ASSERT_EQ(1, tessa.camera.model->UpdateRequests());
    // The warning notice replaces the success box after the second run.
    ASSERT_TRUE(h.WaitFor([] { return g_hNoticeDialog.load() != nullptr && IsWindowVisible(g_hNoticeDialog.load()); },
                          30000));
}

}  // namespace

TEST(TessaScenario, WarningNoticeOkIsEnabledWhenTheCameraIsUnplugged) {
    DialogHarness h;
    TessaWorld tessa;
    int errorNotices = 0;
    const auto part1 = Pattern(3000, 41), part2 = Pattern(4100, 42);
    ASSERT_NO_FATAL_FAILURE(RunTessaUpdate(h, tessa, &errorNotices, TwoPartFile(2, part1, part2)));
    EXPECT_EQ(part1, tessa.cycle.flash->image1);
    EXPECT_EQ(part2, tessa.cycle.flash->image2);
    EXPECT_TRUE(OutcomeBoxes().empty()) << "no success box after a Tessa update";
    HWND notice = g_hNoticeDialog.load();
    HWND ok = GetDlgItem(notice, IDC_BTN_NOTICE_OK);
    h.Pump(50);
    EXPECT_FALSE(IsWindowEnabled(ok)) << "OK waits for the camera to leave";

    const sim::DeviceId device = tessa.UpdateModeDeviceOnTheBus();
    ASSERT_NE(0u, device);
    sim::Unplug(device);
    ASSERT_TRUE(h.WaitFor([&] { return IsWindowEnabled(ok) != FALSE; }));
    EXPECT_TRUE(h.ListItems().empty());
    PostMessageW(notice, WM_COMMAND, MAKEWPARAM(IDC_BTN_NOTICE_OK, BN_CLICKED), 0);
    ASSERT_TRUE(h.WaitFor([&] { return !IsWindow(notice) || !IsWindowVisible(notice); }));
    // Timer 4 was stopped: the error notice never follows.
    h.Pump(2500);
    EXPECT_EQ(0, errorNotices);
}

TEST(TessaScenario, ErrorNoticeFollowsWhenTheCameraStaysPlugged) {
    DialogHarness h;
    TessaWorld tessa;
    int errorNotices = 0;
    ASSERT_NO_FATAL_FAILURE(
        RunTessaUpdate(h, tessa, &errorNotices, TwoPartFile(2, Pattern(1500, 43), Pattern(2100, 44))));
    HWND notice = g_hNoticeDialog.load();
    // 180 s at time scale 0.01.
    ASSERT_TRUE(h.WaitFor([&] { return errorNotices == 1; }, 10000));
    ASSERT_TRUE(h.WaitFor([&] { return !IsWindow(notice) || !IsWindowVisible(notice); }));
    EXPECT_TRUE(OutcomeBoxes().empty());
}
