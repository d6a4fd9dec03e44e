// A camera in its normal mode updated through the real dialog: it is sent
// into update mode, written in two runs across its restarts, and found again
// by its unique ID when it comes back with the new firmware.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>

#include "app_state.h"
#include "camera_plug.h"
#include "dialog_harness.h"
#include "engine_harness.h"
#include "resource.h"
#include "scenario_worlds.h"
#include "station_record.h"
#include "update_history.h"

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

namespace {

// The history file's rows, each split into its fields (RFC 4180 quoting).
std::vector<std::vector<std::string>> HistoryRows() {
    std::vector<std::vector<std::string>> rows;
    FILE* f = _wfopen(UpdateHistoryPath().c_str(), L"rb");
    if (f == nullptr) return rows;
    std::string text;
    for (int c; (c = std::fgetc(f)) != EOF;) text += static_cast<char>(c);
    std::fclose(f);
    std::vector<std::string> row(1);
    bool quoted = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted && c == '"' && i + 1 < text.size() && text[i + 1] == '"') row.back() += text[i++];
        else if (c == '"') quoted = !quoted;
        else if (!quoted && c == ',') row.emplace_back();
        else if (!quoted && c == '\n') rows.push_back(std::move(row)), row.assign(1, std::string());
        else if (quoted || c != '\r') row.back() += c;
    }
    return rows;
}

struct DeskCase {
    const char* name;
    bool fails;         // a block of the second part stalls
    bool background;    // another window is in the foreground meanwhile
    bool historyLocked; // another program holds the history file open
    std::vector<std::wstring> states;  // the taskbar's states and flashes, in order
};

void PrintTo(const DeskCase& c, std::ostream* os) { *os << c.name; }

class DeskUpdate : public ::testing::TestWithParam<DeskCase> {};

}  // namespace

// The taskbar button follows the update (indeterminate while the camera
// restarts, the progress while it is written, the error state after a
// failure, nothing at the end) and flashes when the update ends in the
// background; every update is a row of the history file, and a history file
// that cannot be written is said without stopping the update.
TEST_P(DeskUpdate, ShowsOnTheTaskbarAndIsRemembered) {
    const DeskCase& c = GetParam();
    DeleteFileW(UpdateHistoryPath().c_str());
    DialogHarness h;
    CameraUpdateWorld world;
    if (c.fails) world.cycle.laterKnobs = StallsAt(1);
    world.Plug(L"SN12345678AB");
    h.Open();
    h.Select(0);
    AnswerWarningWithOk();
    HANDLE lock = INVALID_HANDLE_VALUE;
    if (c.historyLocked) {
        CreateDirectoryW(UpdateHistoryPath().substr(0, UpdateHistoryPath().rfind(L'\\')).c_str(), nullptr);
        lock = CreateFileW(UpdateHistoryPath().c_str(), GENERIC_READ, 0, nullptr, OPEN_ALWAYS, 0, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, lock);
    }
    const auto file = TwoPartFile(2, Pattern(4000, 31), Pattern(5000, 32));
    ASSERT_NO_FATAL_FAILURE(StartUpdate(h, file));
    // The window in the foreground when the update ends: the dialog, or
    // another program's.
    HWND other = CreateWindowExW(0, L"STATIC", L"another program", WS_POPUP, 0, 0, 50, 50, nullptr, nullptr,
                                 nullptr, nullptr);
    sim::AnswerForegroundWindow(c.background ? other : h.dialog);
    ASSERT_TRUE(h.WaitFor(UpdateEnded, 30000));
    ASSERT_TRUE(h.WaitFor([] { return !UpdateIsBusy(); }, 30000));
    h.Pump(50);
    DestroyWindow(other);

    std::vector<std::wstring> states;
    std::wstring lastValue;
    for (const auto& call : sim::TaskbarCalls())
        if (call.rfind(L"value ", 0) == 0) lastValue = call;
        else states.push_back(call);
    EXPECT_EQ(c.states, states);
    if (!c.fails) {
        EXPECT_EQ(L"value 9/9", lastValue) << "both parts' nine blocks";
    }

    if (lock != INVALID_HANDLE_VALUE) {
        CloseHandle(lock);
        EXPECT_EQ(kHistoryUnwritableText, h.Text(IDC_STATIC_STATUS));
        EXPECT_TRUE(HasBox(L"Firmware Downloaded Successfully!\r\nDonot Reset the Device.\r\nDevice will boot "
                           L"automatically after completing firmware update!"));
        EXPECT_TRUE(HistoryRows().empty());
        return;
    }
    const auto rows = HistoryRows();
    ASSERT_EQ(2u, rows.size()) << "a header and the update";
    EXPECT_EQ("firmware_sha256", rows[0][4]);
    const auto& row = rows[1];
    ASSERT_EQ(station::kColumns, row.size());
    EXPECT_EQ(station::Sha256Hex(file.data(), file.size()), row[4]);
    EXPECT_EQ("Corvane_RX20", row[5]);
    EXPECT_EQ("4A7E:C110", row[6]);
    EXPECT_EQ("SN12345678", row[7]);
    EXPECT_NE(std::string::npos, row[8].find("Port_#0002")) << row[8];
    EXPECT_EQ(c.fails ? "failed" : "passed", row[11]);
    EXPECT_EQ(c.fails ? "Firmware Download Failed!" : "", row[12]);
}

INSTANTIATE_TEST_SUITE_P(
    Desk, DeskUpdate,
    ::testing::Values(DeskCase{"Passes", false, false, false, {L"state 0x1", L"state 0x2", L"state 0x1", L"state 0x0"}},
                      DeskCase{"FailsInTheBackground", true, true, false,
                               {L"state 0x1", L"state 0x2", L"state 0x4", L"state 0x0", L"flash 0xF"}},
                      DeskCase{"HistoryLocked", false, false, true,
                               {L"state 0x1", L"state 0x2", L"state 0x1", L"state 0x0"}}),
    [](const ::testing::TestParamInfo<DeskCase>& info) { return std::string(info.param.name); });
