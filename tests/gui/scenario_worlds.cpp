#include "scenario_worlds.h"

#include "sim_world.h"

namespace {

// Dialog 130 answered with OK by its own procedure; false for other dialogs.
bool PressWarningOk(const sim::DialogCall& call, DLGPROC proc, INT_PTR* result) {
    if (call.templateId != IDD_UPDATE_WARNING) return false;
    HWND warning =
        CreateDialogParamW(call.instance, MAKEINTRESOURCEW(IDD_UPDATE_WARNING), call.parent, proc, call.initParam);
    SendMessageW(warning, WM_COMMAND, MAKEWPARAM(IDC_BTN_NOTICE_OK, BN_CLICKED), 0);
    DestroyWindow(warning);
    *result = IDC_BTN_NOTICE_OK;
    return true;
}

}  // namespace

void AnswerWarningWithOk() { sim::SetDialogHook(PressWarningOk); }

bool PressWarningOkFor(const sim::DialogCall& call, DLGPROC proc, INT_PTR* result) {
    return PressWarningOk(call, proc, result);
}

void AnswerWarningWithOkAfter(std::function<void()> meanwhile) {
    sim::SetDialogHook([meanwhile](const sim::DialogCall& call, DLGPROC proc, INT_PTR* result) {
        if (call.templateId != IDD_UPDATE_WARNING) return false;
        HWND warning =
            CreateDialogParamW(call.instance, MAKEINTRESOURCEW(IDD_UPDATE_WARNING), call.parent, proc, call.initParam);
        meanwhile();
        if (IsWindow(warning)) {
            SendMessageW(warning, WM_COMMAND, MAKEWPARAM(IDC_BTN_NOTICE_OK, BN_CLICKED), 0);
            DestroyWindow(warning);
        }
        *result = IDC_BTN_NOTICE_OK;
        return true;
    });
}

bool HasBox(const std::wstring& text) {
    for (const auto& b : sim::MessageBoxes())
        if (b.text == text) return true;
    return false;
}

bool UpdateEnded() {
    for (const auto& b : sim::MessageBoxes())
        if (b.caption == L"Success" || b.caption == L"Error") return true;
    return false;
}

void AnswerWarningWithOkAndCountErrorNotices(int* errorNotices) {
    sim::SetDialogHook([errorNotices](const sim::DialogCall& call, DLGPROC proc, INT_PTR* result) {
        if (call.templateId == IDD_ERROR_NOTICE) {
            ++*errorNotices;
            *result = IDOK;
            return true;
        }
        return PressWarningOk(call, proc, result);
    });
}

void CameraUpdateWorld::Plug(const std::wstring& serial, const std::wstring& name, std::vector<int> ports) {
    sim::CameraPlace place;
    place.serial = serial;
    place.ports = ports;
    place.friendlyName = name;
    camera = sim::PlugHidCamera(place, knobs);
    const sim::UsbDeviceSpec updateSpec = sim::WinUsbSpec(0x4A7E, 0xDF00, serial, ports);
    camera.model->SetUpdateModePlan(updateSpec, cycle.Start(updateSpec, camera.spec, sim::HidCameraCarryingImage));
}
