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

namespace {

const wchar_t kSuccessText[] =
    L"Firmware Downloaded Successfully!\r\nDonot Reset the Device.\r\nDevice will boot automatically after "
    L"completing firmware update!";

void AnswerWarningWithOk() {
    sim::SetDialogHook([](const sim::DialogCall& call, DLGPROC proc, INT_PTR* result) {
        if (call.templateId != IDD_UPDATE_WARNING) return false;
        HWND warning = CreateDialogParamW(call.instance, MAKEINTRESOURCEW(IDD_UPDATE_WARNING), call.parent, proc,
                                          call.initParam);
        SendMessageW(warning, WM_COMMAND, MAKEWPARAM(IDC_BTN_NOTICE_OK, BN_CLICKED), 0);
        DestroyWindow(warning);
        *result = IDC_BTN_NOTICE_OK;
        return true;
    });
}

bool HasBox(const std::wstring& text) {
    for (const auto& b : sim::MessageBoxes())
        if (b.text == text) return true;
    return false;
}

// The update-mode device of one camera: after its first download it comes
// back in update mode, after its second as the camera again, whose firmware
// version is the first six bytes of the image it received.
struct CameraUpdateWorld {
    std::shared_ptr<sim::DfuFlash> flash = std::make_shared<sim::DfuFlash>();
    sim::PluggedCamera<sim::HidCameraModel> camera;

    void Plug(const std::wstring& serial) {
        sim::CameraPlace place;
        place.serial = serial;
        place.ports = {3, 2};
        place.friendlyName = L"Corvane_RX20";
        camera = sim::PlugHidCamera(place);
        const sim::UsbDeviceSpec cameraSpec = camera.spec;
        const sim::UsbDeviceSpec updateSpec = sim::WinUsbSpec(0x4A7E, 0xDF00, serial, {3, 2});
        auto flashRef = flash;
        auto plan = std::make_shared<sim::DfuDeviceModel::RestartPlan>();
        *plan = [cameraSpec, updateSpec, flashRef, plan](const sim::DfuFlash& f, bool, sim::UsbDeviceSpec* next,
                                                        std::shared_ptr<sim::DeviceModel>* model) {
            if (f.downloads >= 2) {
                sim::HidCameraKnobs knobs;
                for (int i = 0; i < 6 && i < static_cast<int>(f.image2.size()); ++i) knobs.version[i] = f.image2[i];
                *next = cameraSpec;
                *model = std::make_shared<sim::HidCameraModel>(knobs);
                return true;
            }
            auto again = std::make_shared<sim::DfuDeviceModel>(flashRef);
            again->SetRestartPlan(*plan);
            *next = updateSpec;
            *model = again;
            return true;
        };
        auto dfu = std::make_shared<sim::DfuDeviceModel>(flash);
        dfu->SetRestartPlan(*plan);
        camera.model->SetUpdateModePlan(updateSpec, dfu);
    }
};

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
