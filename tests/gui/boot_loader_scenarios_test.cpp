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
#include "resource.h"
#include "scenario_worlds.h"

namespace {

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

TEST(BootLoaderScenario, Cx3CameraResetIntoTheFx3BootLoaderGetsItsBootImage) {
    DialogHarness h;
    const std::vector<uint8_t> program = Pattern(10000, 5);
    const std::wstring folder = ProgramFolder(L"bootloader.img", BootImageOf(program, 0x40000000));
    sim::SetModuleFileName(folder + L"Corvane_FW_Updater.exe");

    sim::CameraPlace place;
    place.serial = L"CX3SERIAL001";
    place.ports = {3, 1};
    auto camera = sim::PlugCx3Camera(place);
    // Reset, the camera comes back in the chip's boot loader; the program it
    // is given comes back as the camera.
    auto fx3 = std::make_shared<sim::Fx3BootLoaderModel>();
    fx3->SetStartPlan(camera.spec, std::make_shared<sim::Cx3CameraModel>());
    sim::UsbDeviceSpec loader = sim::WinUsbSpec(0x04B4, 0x00F3, L"", place.ports, L"Cypress FX3 USB BootLoader Device");
    loader.service = L"CYUSB3";
    camera.model->SetResetPlan(loader, fx3);

    h.Open();
    ASSERT_EQ(1u, h.ListItems().size());
    h.Select(0);
    AnswerWarningWithOk();
    sim::QueueOpenFileAnswer(WriteTempFile(Pattern(3000, 2)));
    h.Click(IDC_BTN_BROWSE);
    ASSERT_TRUE(h.Enabled(IDC_BTN_FW_UPDATE));
    h.Click(IDC_BTN_FW_UPDATE);
    EXPECT_EQ(1, camera.model->Erases());

    ASSERT_TRUE(h.WaitFor([&] { return fx3->Started(); }, 30000)) << "the boot loader was not served";
    EXPECT_EQ(program, fx3->Memory(0x40000000, 10000));
    EXPECT_EQ(0x40000000u, fx3->EntryAddress());
    // The camera is back in the list.
    ASSERT_TRUE(h.WaitFor([&] {
        const auto items = h.ListItems();
        return items.size() == 1 && items[0].find(L"CX3 SNI Camera") == 0;
    }, 30000));
    h.Settle();
    EXPECT_FALSE(g_bLoaderDownloadActive);
    EXPECT_FALSE(g_bUpdatedFromHIDMode) << "the update is over";
    // The camera's return starts no update thread against it.
    for (const wchar_t* box : {L"Get Status Failed!", L"USB Communication Failure!", L"Firmware Download Failed!",
                               L"Could'nt Create Thread"})
        EXPECT_FALSE(HasBox(box)) << testing::PrintToString(std::wstring(box));
    EXPECT_EQ(1u, sim::PresentDevices().size());
}
