// Cameras with a boot loader of their own, through the real dialog: erased
// and reset over HID, they come back in the chip's boot loader, and the list
// rebuild that notices them sends the boot image.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>

#include "app_state.h"
#include "camera_plug.h"
#include "dialog_harness.h"
#include "engine_harness.h"
#include "fx3_bootloader.h"
#include "nxp_flashloader.h"
#include "nxp_rom.h"
#include "resource.h"
#include "scenario_worlds.h"

namespace {

const wchar_t kSuccessText[] =
    L"Firmware Downloaded Successfully!\r\nDonot Reset the Device.\r\nDevice will boot automatically after "
    L"completing firmware update!";

// A folder holding the program and its boot image.
std::wstring ProgramFolder(const wchar_t* name, const std::vector<uint8_t>& bytes) {
    wchar_t temp[MAX_PATH], dir[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    GetTempFileNameW(temp, L"prg", 0, dir);
    DeleteFileW(dir);
    CreateDirectoryW(dir, nullptr);
    const std::wstring folder = std::wstring(dir) + L"\\";
    FILE* f = _wfopen((folder + name).c_str(), L"wb");
    if (f != nullptr) {
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
    }
    return folder;
}

std::vector<uint8_t> BootImageOf(const std::vector<uint8_t>& program, uint32_t address) {
    std::vector<uint8_t> out = {'C', 'Y', 0x1C, 0xB0};
    const auto words = Le32(static_cast<uint32_t>(program.size() / 4)), at = Le32(address), end = Le32(0),
               entry = Le32(address);
    out.insert(out.end(), words.begin(), words.end());
    out.insert(out.end(), at.begin(), at.end());
    out.insert(out.end(), program.begin(), program.end());
    out.insert(out.end(), end.begin(), end.end());
    out.insert(out.end(), entry.begin(), entry.end());
    return out;
}

}  // namespace

TEST(BootLoaderScenario, Cx3CameraResetIntoTheFx3BootLoaderIsUpdatedByTheProgramItGets) {
    DialogHarness h;
    const std::vector<uint8_t> program = Pattern(10000, 5);
    const std::wstring folder = ProgramFolder(L"bootloader.img", BootImageOf(program, 0x40000000));
    sim::SetModuleFileName(folder + L"Corvane_FW_Updater.exe");

    sim::CameraPlace place;
    place.serial = L"CX3SERIAL001";
    place.ports = {3, 1};
    auto camera = sim::PlugCx3Camera(place);
    // Erased and reset, the camera comes back in the chip's boot loader; the
    // program it is given is the update-mode device, which takes the firmware
    // file and then restarts as the camera.
    sim::UpdateCycle cycle;
    cycle.runs = 1;
    const sim::UsbDeviceSpec updateSpec = sim::WinUsbSpec(0x4A7E, 0xDF00, place.serial, place.ports);
    auto fx3 = std::make_shared<sim::Fx3BootLoaderModel>();
    fx3->SetStartPlan(updateSpec, cycle.Start(updateSpec, camera.spec, [](const sim::DfuFlash&) {
        return std::make_shared<sim::Cx3CameraModel>();
    }));
    sim::UsbDeviceSpec loader = sim::WinUsbSpec(0x04B4, 0x00F3, L"", place.ports, L"Cypress FX3 USB BootLoader Device");
    loader.service = L"CYUSB3";
    camera.model->SetResetPlan(loader, fx3);

    h.Open();
    ASSERT_EQ(1u, h.ListItems().size());
    h.Select(0);
    AnswerWarningWithOk();
    const std::vector<uint8_t> image = Pattern(3000, 2);
    sim::QueueOpenFileAnswer(WriteTempFile(image));
    h.Click(IDC_BTN_BROWSE);
    ASSERT_TRUE(h.Enabled(IDC_BTN_FW_UPDATE));
    h.Click(IDC_BTN_FW_UPDATE);
    EXPECT_EQ(1, camera.model->Erases());

    ASSERT_TRUE(h.WaitFor([&] { return fx3->Started(); }, 30000)) << "the boot loader was not served";
    EXPECT_EQ(program, fx3->Memory(0x40000000, 10000));
    EXPECT_EQ(0x40000000u, fx3->EntryAddress());
    ASSERT_TRUE(h.WaitFor(UpdateEnded, 30000)) << "the update never ended";
    EXPECT_TRUE(HasBox(L"Firmware Downloaded Successfully!\r\nDonot Reset the Device.\r\nDevice will boot "
                       L"automatically after completing firmware update!"));
    EXPECT_EQ(image, cycle.flash->image2) << "the firmware file went to the program the boot loader started";
    // Then the camera is back in the list.
    ASSERT_TRUE(h.WaitFor([&] {
        const auto items = h.ListItems();
        return items.size() == 1 && items[0].find(L"CX3 SNI Camera") == 0;
    }, 30000));
    h.Settle();
    EXPECT_FALSE(DialogUpdate().bLoaderDownloadActive);
    EXPECT_FALSE(DialogUpdate().bUpdatedFromHIDMode) << "the update is over";
    for (const wchar_t* box : {L"Get Status Failed!", L"USB Communication Failure!", L"Firmware Download Failed!",
                               L"Could'nt Create Thread"})
        EXPECT_FALSE(HasBox(box)) << testing::PrintToString(std::wstring(box));
}

TEST(BootLoaderScenario, NxpRomThatArrivesGetsTheFlashLoaderAndStartsIt) {
    DialogHarness h;
    const std::vector<uint8_t> flashLoader = Pattern(86272, 6);
    const std::wstring folder = ProgramFolder(L"RT1060_Flashloader_nopadding.bin", flashLoader);
    sim::SetModuleFileName(folder + L"Corvane_FW_Updater.exe");
    h.Open();
    ASSERT_TRUE(h.ListItems().empty());

    auto rom = std::make_shared<sim::NxpRomModel>();
    auto loader = std::make_shared<sim::NxpFlashLoaderModel>();
    rom->SetJumpPlan(sim::NxpFlashLoaderSpec(L"", {4}), loader);
    const sim::DeviceId romDevice = sim::Plug(sim::HidDeviceSpec(0x1FC9, 0x0135, L"", {4}, sim::NxpRomCaps()), rom);

    ASSERT_TRUE(h.WaitFor([&] { return rom->Jumped(); }, 30000)) << "the ROM was not served";
    EXPECT_EQ(flashLoader, rom->Ram(0x20001000));
    ASSERT_TRUE(h.WaitFor([&] { return !sim::IsPresent(romDevice) && !DialogUpdate().bLoaderDownloadActive; }, 30000));
    h.Settle();
    EXPECT_TRUE(DialogUpdate().bNXPDevice) << "the next update goes over the flash loader";
    EXPECT_TRUE(loader->OutputReports().empty()) << "nothing is written before an update is started";
    for (const wchar_t* box : {L"Check File Path!", L"Could'nt Create Thread", L"USB Communication Failure!"})
        EXPECT_FALSE(HasBox(box)) << testing::PrintToString(std::wstring(box));
}

TEST(BootLoaderScenario, FlashLoaderDeviceIsUpdatedThroughTheDialog) {
    DialogHarness h;
    auto loader = std::make_shared<sim::NxpFlashLoaderModel>();
    sim::Plug(sim::NxpFlashLoaderSpec(L"", {3, 2}), loader);
    h.Open();
    ASSERT_EQ(1u, h.ListItems().size());
    h.Select(0);

    const std::vector<uint8_t> image = Pattern(7000, 4);
    AnswerWarningWithOk();
    sim::QueueOpenFileAnswer(WriteTempFile(image));
    h.Click(IDC_BTN_BROWSE);
    ASSERT_TRUE(h.Enabled(IDC_BTN_FW_UPDATE));
    h.Click(IDC_BTN_FW_UPDATE);
    ASSERT_TRUE(h.WaitFor(UpdateEnded, 30000));
    EXPECT_TRUE(HasBox(L"Firmware Downloaded Successfully!\r\nDonot Reset the Device.\r\nDevice will boot "
                       L"automatically after completing firmware update!"));
    EXPECT_EQ(image, loader->Flash(0x60001000, 7000));
    EXPECT_EQ((std::vector<uint32_t>{1012, 1012, 1012, 1012, 1012, 1012, 928}), loader->DataPacketLengths());
    EXPECT_TRUE(loader->Restarted());
}

// The R7 camera falls back to the controller's ROM; the list rebuild loads the
// flash loader into it; the flash loader's arrival starts the update thread,
// which writes the image over the flash loader.
TEST(BootLoaderScenario, KivoR7CameraIsUpdatedThroughTheRomAndTheFlashLoader) {
    DialogHarness h;
    const std::wstring folder = ProgramFolder(L"RT1060_Flashloader_nopadding.bin", Pattern(86272, 6));
    sim::SetModuleFileName(folder + L"Corvane_FW_Updater.exe");
    sim::CameraPlace place;
    place.serial = L"R7SERIAL01";
    place.ports = {2, 1};
    auto camera = sim::PlugKivoR7Camera(place);
    auto rom = std::make_shared<sim::NxpRomModel>();
    auto loader = std::make_shared<sim::NxpFlashLoaderModel>();
    rom->SetJumpPlan(sim::NxpFlashLoaderSpec(L"", place.ports), loader);
    camera.model->SetUpdateModePlan(sim::HidDeviceSpec(0x1FC9, 0x0135, L"", place.ports, sim::NxpRomCaps()), rom);
    h.Open();
    ASSERT_EQ(1u, h.ListItems().size());
    h.Select(0);

    const std::vector<uint8_t> image = Pattern(5000, 7);
    AnswerWarningWithOk();
    sim::QueueOpenFileAnswer(WriteTempFile(image));
    h.Click(IDC_BTN_BROWSE);
    ASSERT_TRUE(h.Enabled(IDC_BTN_FW_UPDATE));
    h.Click(IDC_BTN_FW_UPDATE);
    EXPECT_EQ(1, camera.model->UpdateRequests());
    ASSERT_TRUE(h.WaitFor(UpdateEnded, 60000)) << "the update never ended";
    EXPECT_TRUE(rom->Jumped());
    EXPECT_TRUE(HasBox(L"Firmware Downloaded Successfully!\r\nDonot Reset the Device.\r\nDevice will boot "
                       L"automatically after completing firmware update!"));
    EXPECT_EQ(image, loader->Flash(0x60001000, 5000));
}

// After a flash-loader update, a camera of the update-mode family updated in
// the same session goes through the update-mode engine again.
TEST(BootLoaderScenario, CameraUpdatedAfterAFlashLoaderUpdateGetsItsImage) {
    DialogHarness h;
    CameraUpdateWorld world;
    world.cycle.runs = 1;
    world.Plug(L"SN12345678AB");
    auto loader = std::make_shared<sim::NxpFlashLoaderModel>();
    sim::Plug(sim::NxpFlashLoaderSpec(L"", {4}), loader);
    h.Open();
    ASSERT_EQ(2u, h.ListItems().size());
    AnswerWarningWithOk();

    h.Select(1);
    const std::vector<uint8_t> loaderImage = Pattern(3000, 11);
    sim::QueueOpenFileAnswer(WriteTempFile(loaderImage));
    h.Click(IDC_BTN_BROWSE);
    h.Click(IDC_BTN_FW_UPDATE);
    ASSERT_TRUE(h.WaitFor(UpdateEnded, 30000));
    ASSERT_TRUE(DialogUpdate().bNXPDevice);
    EXPECT_EQ(loaderImage, loader->Flash(0x60001000, 3000));
    // The flash loader restarts the camera and leaves; the camera is left.
    ASSERT_TRUE(h.WaitFor([&] { return h.ListItems().size() == 1; }, 30000));
    h.Settle();

    const size_t boxesBefore = sim::MessageBoxes().size();
    h.Select(0);
    const std::vector<uint8_t> cameraImage = Pattern(5000, 12);
    sim::QueueOpenFileAnswer(WriteTempFile(cameraImage));
    h.Click(IDC_BTN_BROWSE);
    ASSERT_TRUE(h.Enabled(IDC_BTN_FW_UPDATE));
    h.Click(IDC_BTN_FW_UPDATE);
    ASSERT_TRUE(h.WaitFor([&] {
        const auto boxes = sim::MessageBoxes();
        for (size_t i = boxesBefore; i < boxes.size(); ++i)
            if (boxes[i].caption == L"Success" || boxes[i].caption == L"Error") return true;
        return false;
    }, 30000));
    EXPECT_EQ(kSuccessText, sim::MessageBoxes().back().text);
    EXPECT_EQ(cameraImage, world.flash->image2) << "the camera's image went to its update-mode device";
}
