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
    h.Open();
    ASSERT_EQ(1u, h.ListItems().size());
    h.Select(0);
    EXPECT_EQ(std::wstring(L"SN12345678"), g_USBUniqueID);

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

    // Back in normal mode: listed again and selected by its unique ID.
    ASSERT_TRUE(h.WaitFor([&] {
        const auto items = h.ListItems();
        return items.size() == 1 && items[0].find(L"Corvane_RX20") == 0;
    }, 30000));
    h.Settle();
    EXPECT_EQ(0, h.ListSelection());
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
