// Whole updates through the real dialog, from F/W UPDATE to the last box,
// against the simulated update-mode device.
#include <windows.h>

#include <gtest/gtest.h>

#include "app_state.h"
#include "dfu_device.h"
#include "dialog_harness.h"
#include "engine_harness.h"
#include "resource.h"
#include "scenario_worlds.h"
#include "update_start.h"

namespace {

const wchar_t kSuccessText[] =
    L"Firmware Downloaded Successfully!\r\nDonot Reset the Device.\r\nDevice will boot automatically after "
    L"completing firmware update!";

struct UpdateModeWorld {
    std::shared_ptr<sim::DfuFlash> flash = std::make_shared<sim::DfuFlash>();
    sim::DeviceId device = 0;
    void Plug(USHORT pid) {
        auto model = std::make_shared<sim::DfuDeviceModel>(flash);
        device = sim::Plug(sim::WinUsbSpec(0x4A7E, pid, L"SN12345678AB", {3, 2}), model);
    }
};

size_t CountLines(const std::wstring& text) {
    size_t n = 0;
    for (const auto& line : sim::DebugLines())
        if (line.text == text) ++n;
    return n;
}

}  // namespace

TEST(UpdateScenario, DeviceAlreadyInUpdateModeTakesAPlainImage) {
    DialogHarness h;
    UpdateModeWorld world;
    world.Plug(0xDF00);
    h.Open();
    ASSERT_EQ(1u, h.ListItems().size());

    const auto image = Pattern(5000, 1);
    AnswerWarningWithOk();
    sim::QueueOpenFileAnswer(WriteTempFile(image));
    h.Click(IDC_BTN_BROWSE);
    EXPECT_FALSE(h.Text(IDC_EDIT_FIRMWARE_PATH).empty());
    ASSERT_TRUE(h.Enabled(IDC_BTN_FW_UPDATE));
    h.Click(IDC_BTN_FW_UPDATE);
    ASSERT_TRUE(h.WaitFor(UpdateEnded));
    EXPECT_EQ(kSuccessText, h.BoxTexts().back());
    EXPECT_EQ(image, world.flash->image2);
    // The done state: the file is cleared and the operator can start again.
    h.Pump(50);
    EXPECT_EQ(L"", h.Text(IDC_EDIT_FIRMWARE_PATH));
    EXPECT_TRUE(h.Enabled(IDC_BTN_BROWSE));
    EXPECT_TRUE(h.Enabled(IDC_BTN_EXIT));
    EXPECT_FALSE(DialogUpdate().bIsStartUpdatedFromDFU) << "cleared when the update ends";
}

TEST(UpdateScenario, Df01WithATwoPartImageWritesBothPartsAcrossItsRestart) {
    DialogHarness h;
    UpdateModeWorld world;
    world.Plug(0xDF01);
    h.Open();
    const auto part1 = Pattern(3000, 2), part2 = Pattern(2000, 3);
    AnswerWarningWithOk();
    sim::QueueOpenFileAnswer(WriteTempFile(TwoPartFile(2, part1, part2)));
    h.Click(IDC_BTN_BROWSE);
    h.Click(IDC_BTN_FW_UPDATE);
    EXPECT_TRUE(DialogUpdate().bForceFirstPart || DialogUpdate().bFirstPartWritten) << "the first part is forced";
    ASSERT_TRUE(h.WaitFor([&] { return world.flash->image1 == part1; }));
    EXPECT_EQ(1, world.flash->combinedErases);
    // The device restarts under the path it had before the update (its own
    // serial); the second part goes to it, not to the handle of the device
    // that left.
    ASSERT_TRUE(h.WaitFor([] { return HasBox(kSuccessText) || HasBox(L"Firmware Download Failed!") ||
                                      HasBox(L"USB Communication Failure!") || HasBox(L"Get Status Failed!"); },
                          30000));
    EXPECT_EQ(std::vector<std::wstring>{kSuccessText}, h.BoxTexts());
    EXPECT_EQ(part2, world.flash->image2);
    EXPECT_EQ(2, world.flash->downloads);
    EXPECT_FALSE(DialogUpdate().bIsStartUpdatedFromDFU);
}

TEST(UpdateScenario, HidArrivalDuringTheTransferChangesNothing) {
    DialogHarness h;
    UpdateModeWorld world;
    sim::DfuKnobs knobs;
    knobs.busyPollsPerBlock = 5;  // a slow device: the transfer lasts long enough
    auto model = std::make_shared<sim::DfuDeviceModel>(world.flash, knobs);
    world.device = sim::Plug(sim::WinUsbSpec(0x4A7E, 0xDF00, L"SN12345678AB", {3, 2}), model);
    h.Open();
    AnswerWarningWithOk();
    const auto image = Pattern(400 * 1024, 5);
    sim::QueueOpenFileAnswer(WriteTempFile(image));
    h.Click(IDC_BTN_BROWSE);
    h.Click(IDC_BTN_FW_UPDATE);
    ASSERT_TRUE(h.WaitFor([] { return DialogUpdate().bDownloadInProgress.load() && DialogUpdate().dwBlocksSent > 2; }));
    const auto itemsBefore = h.ListItems();
    const int selectionBefore = h.ListSelection();
    const size_t rebuildsBefore = CountLines(L"IDC_COMBO_DEVICELIST RemoveDeviceNameInCombbox\r\n");

    sim::CameraPlace place;
    place.serial = L"OTHERCAM01";
    place.ports = {4};
    const size_t arrivalsBefore = CountLines(L"DBT_DEVICEARRIVAL \r\n");
    sim::PlugHidCamera(place);
    // The camera raises a USB-device and a HID arrival.
    ASSERT_TRUE(h.WaitFor([&] { return CountLines(L"DBT_DEVICEARRIVAL \r\n") >= arrivalsBefore + 2; }));
    ASSERT_TRUE(DialogUpdate().bDownloadInProgress) << "the transfer is still running";
    EXPECT_EQ(itemsBefore, h.ListItems());
    EXPECT_EQ(selectionBefore, h.ListSelection());
    EXPECT_TRUE(DialogUpdate().bIsStartUpdatedFromDFU);
    EXPECT_EQ(rebuildsBefore, CountLines(L"IDC_COMBO_DEVICELIST RemoveDeviceNameInCombbox\r\n"))
        << "no handler rebuilt the list";

    ASSERT_TRUE(h.WaitFor([] { return HasBox(kSuccessText) || HasBox(L"Firmware Download Failed!"); }, 60000));
    EXPECT_EQ(std::vector<std::wstring>{kSuccessText}, h.BoxTexts());
    EXPECT_EQ(image, world.flash->image2);
}

TEST(UpdateScenario, DeletedFileIsReportedAfterOk) {
    DialogHarness h;
    UpdateModeWorld world;
    world.Plug(0xDF00);
    h.Open();
    AnswerWarningWithOk();
    const std::wstring path = WriteTempFile(Pattern(100, 4));
    sim::QueueOpenFileAnswer(path);
    h.Click(IDC_BTN_BROWSE);
    DeleteFileW(path.c_str());
    h.Click(IDC_BTN_FW_UPDATE);
    ASSERT_FALSE(sim::MessageBoxes().empty());
    EXPECT_EQ(L"Check File Path!", sim::MessageBoxes().back().text);
    EXPECT_EQ(L"Alert", sim::MessageBoxes().back().caption);
    EXPECT_TRUE(h.Enabled(IDC_BTN_FW_UPDATE)) << "the file stays chosen";
    EXPECT_TRUE(world.flash->image2.empty());
}

TEST(CommandThread, ResetOfAnUpdateModeDeviceSendsTheResetRequest) {
    DialogHarness h;
    UpdateModeWorld world;
    sim::DfuKnobs knobs;
    knobs.restartDelayMs = 600000;  // the device leaves long after the checks below
    auto model = std::make_shared<sim::DfuDeviceModel>(world.flash, knobs);
    world.device = sim::Plug(sim::WinUsbSpec(0x4A7E, 0xDF00, L"SN12345678AB", {3, 2}), model);
    h.Open();
    h.Click(IDC_BTN_RESET);
    ASSERT_TRUE(h.WaitFor([] { return !g_bResetRequested; }));
    ASSERT_TRUE(h.WaitFor([&] { return world.flash->resets == 1; }));
    const auto requests = model->Requests();
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(0x32, requests.back().request);
    EXPECT_EQ(4, requests.back().index);
    EXPECT_TRUE(h.Enabled(IDC_BTN_RESET)) << "RESET stays enabled";
    EXPECT_TRUE(h.BoxTexts().empty()) << "a reset shows no box";
}

TEST(CommandThread, VersionReadOfADeviceWithoutCommandInterfaceEndsQuietly) {
    DialogHarness h;
    UpdateModeWorld world;
    world.Plug(0xDF00);
    h.Open();
    EnableWindow(GetDlgItem(h.dialog, IDC_BTN_READFW_VERSION), TRUE);
    h.Click(IDC_BTN_READFW_VERSION);
    ASSERT_TRUE(h.WaitFor([] { return !g_bReadVersionRequested; }));
    h.Pump(20);
    EXPECT_TRUE(h.Enabled(IDC_BTN_READFW_VERSION)) << "enabled again after the read";
    EXPECT_TRUE(h.BoxTexts().empty());
}
