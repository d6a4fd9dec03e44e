// The device list across arrivals and removals, with simulated cameras.
#include <windows.h>

#include <gtest/gtest.h>

#include "app_state.h"
#include "camera_plug.h"
#include "dialog_harness.h"
#include "resource.h"

namespace {

sim::CameraPlace Place(const wchar_t* serial, std::vector<int> ports, const wchar_t* name, USHORT vid = 0,
                       USHORT pid = 0) {
    sim::CameraPlace p;
    p.serial = serial;
    p.ports = std::move(ports);
    p.friendlyName = name;
    p.vid = vid;
    p.pid = pid;
    return p;
}

}  // namespace

TEST(Discovery, RestrictedCamerasAreNeverListedAndSunplusIsAccepted) {
    DialogHarness h;
    sim::PlugHidCamera(Place(L"SNA", {1}, L"Restricted", 0x4A7E, 0xC05A));
    sim::PlugHidCamera(Place(L"SNB", {2}, L"Other 1BCF", 0x1BCF, 0x0C05));
    sim::PlugHidCamera(Place(L"SNC", {3}, L"Corvane_RX20"));
    sim::PlugSunplusCamera(Place(L"SND", {4}, L"Sunplus Cam"));
    h.Open();
    const auto items = h.ListItems();
    ASSERT_EQ(2u, items.size());
    EXPECT_EQ(L"Corvane_RX20(VID_4A7E,PID_C110_0)", items[0]);
    EXPECT_EQ(L"Sunplus Cam(VID_1BCF,PID_0B12_1)", items[1]);
    EXPECT_TRUE(g_bSunplusDeviceFound) << "kept until a V9 binding at start-up reads it";
}

TEST(Discovery, SunplusCameraAtStartUpDoesNotEnableTheVersionRead) {
    DialogHarness h;
    sim::PlugSunplusCamera(Place(L"SND", {4}, L"Sunplus Cam"));
    h.Open();
    ASSERT_EQ(1u, h.ListItems().size());
    EXPECT_FALSE(h.Enabled(IDC_BTN_READFW_VERSION));
    EXPECT_FALSE(g_bSunplusDeviceFound) << "read and cleared by the start-up scan";
}

TEST(Discovery, TwoCamerasOfOneModelDifferOnlyInTheirIndex) {
    DialogHarness h;
    sim::PlugHidCamera(Place(L"SN00000001", {1}, L"Corvane_RX20"));
    sim::PlugHidCamera(Place(L"", {2}, L"Corvane_RX20"));
    h.Open();
    const auto items = h.ListItems();
    ASSERT_EQ(2u, items.size());
    EXPECT_EQ(L"Corvane_RX20(VID_4A7E,PID_C110_0)", items[0]);
    EXPECT_EQ(L"Corvane_RX20(VID_4A7E,PID_C110_1)", items[1]);
    h.Select(1);
    EXPECT_EQ(std::wstring(L"00"), DialogUpdate().USBUniqueID) << "a made-up instance ID gives 00";
    h.Select(0);
    EXPECT_EQ(std::wstring(L"SN00000001"), DialogUpdate().USBUniqueID);
}

TEST(Discovery, UnpluggingTheFilesCameraDropsTheFileAndAnotherKeepsIt) {
    DialogHarness h;
    auto first = sim::PlugHidCamera(Place(L"SN00000001", {1}, L"Corvane_RX20"));
    sim::PlugHidCamera(Place(L"SN00000002", {2}, L"Corvane_RX30"));
    auto third = sim::PlugHidCamera(Place(L"SN00000003", {3}, L"Corvane_RX40"));
    h.Open();
    ASSERT_EQ(3u, h.ListItems().size());
    h.Select(2);
    const std::wstring chosen = L"C:\\fw\\Corvane_RX40.img";
    SetDlgItemTextW(h.dialog, IDC_EDIT_FIRMWARE_PATH, chosen.c_str());
    wcscpy(g_szBrowseDevicePath, g_szDevicePathList[2]);
    g_bNoFilePending = false;

    // Another camera leaves: the choice stays and its camera, now the second
    // item (neither the first nor the item selected before), is selected again.
    sim::Unplug(first.device);
    ASSERT_TRUE(h.WaitFor([&] { return h.ListItems().size() == 2; }));
    h.Settle();
    EXPECT_EQ(chosen, h.Text(IDC_EDIT_FIRMWARE_PATH));
    EXPECT_EQ(1, h.ListSelection());
    EXPECT_EQ(0u, h.ListItems()[1].find(L"Corvane_RX40"));
    EXPECT_FALSE(g_bNoFilePending);
    EXPECT_TRUE(h.Enabled(IDC_BTN_FW_UPDATE));

    // The file's camera leaves: the choice is dropped.
    sim::Unplug(third.device);
    ASSERT_TRUE(h.WaitFor([&] { return h.ListItems().size() == 1; }));
    h.Settle();
    EXPECT_EQ(L"", h.Text(IDC_EDIT_FIRMWARE_PATH));
    EXPECT_TRUE(g_bNoFilePending);
}

namespace {

// Boot loaders are served by the rebuild and shown as empty items at their
// place in the table; the cameras before them keep their item numbers.
void ExpectEmptyItemForTheLoader(const sim::UsbDeviceSpec& loader) {
    DialogHarness h;
    sim::PlugHidCamera(Place(L"SNA", {1}, L"Corvane_RX20"));
    sim::PlugHidCamera(Place(L"SNB", {3}, L"Corvane_RX40"));
    sim::Plug(loader);
    h.Open();
    // Video devices first at start-up, then the update-mode and boot-loader devices.
    EXPECT_EQ((std::vector<std::wstring>{L"Corvane_RX20(VID_4A7E,PID_C110_0)", L"Corvane_RX40(VID_4A7E,PID_C110_1)",
                                         L""}),
              h.ListItems());
    EXPECT_EQ(3, g_nDeviceCount.load());
    EXPECT_EQ(0, h.ListSelection());
    // No loader file is beside the program: nothing is sent and the download
    // ends, so the next rebuild may serve the loader again.
    EXPECT_TRUE(h.WaitFor([] { return !DialogUpdate().bLoaderDownloadActive; }));
}

}  // namespace

TEST(Discovery, Fx3BootLoaderIsAnEmptyItemAtItsIndex) {
    sim::UsbDeviceSpec fx3 = sim::WinUsbSpec(0x04B4, 0x00F3, L"", {2}, L"Cypress FX3 USB BootLoader Device");
    fx3.service = L"CYUSB3";
    ExpectEmptyItemForTheLoader(fx3);
}

TEST(Discovery, NxpRomIsAnEmptyItemAtItsIndex) {
    ExpectEmptyItemForTheLoader(sim::HidDeviceSpec(0x1FC9, 0x0135, L"", {2}));
}
