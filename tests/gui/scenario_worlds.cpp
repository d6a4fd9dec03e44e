#include "scenario_worlds.h"

#include "sim_world.h"

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

void CameraUpdateWorld::Plug(const std::wstring& serial, const std::wstring& name) {
    sim::CameraPlace place;
    place.serial = serial;
    place.ports = {3, 2};
    place.friendlyName = name;
    camera = sim::PlugHidCamera(place);
    const sim::UsbDeviceSpec cameraSpec = camera.spec;
    const sim::UsbDeviceSpec updateSpec = sim::WinUsbSpec(0x4A7E, 0xDF00, serial, {3, 2});
    auto flashRef = flash;
    auto plan = std::make_shared<sim::DfuDeviceModel::RestartPlan>();
    std::weak_ptr<sim::DfuDeviceModel::RestartPlan> weakPlan = plan;
    *plan = [cameraSpec, updateSpec, flashRef, weakPlan](const sim::DfuFlash& f, bool, sim::UsbDeviceSpec* next,
                                                          std::shared_ptr<sim::DeviceModel>* model) {
        if (f.downloads >= 2) {
            sim::HidCameraKnobs knobs;
            for (size_t i = 0; i < 6 && i < f.image2.size(); ++i) knobs.version[i] = f.image2[i];
            *next = cameraSpec;
            *model = std::make_shared<sim::HidCameraModel>(knobs);
            return true;
        }
        auto again = std::make_shared<sim::DfuDeviceModel>(flashRef);
        if (auto p = weakPlan.lock()) again->SetRestartPlan(*p);
        *next = updateSpec;
        *model = again;
        return true;
    };
    auto dfu = std::make_shared<sim::DfuDeviceModel>(flash);
    dfu->SetRestartPlan(*plan);
    planKeeper_ = plan;
    camera.model->SetUpdateModePlan(updateSpec, dfu);
}
