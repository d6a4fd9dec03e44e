// Simulated worlds of whole updates, shared by the dialog tests and the demo.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "camera_plug.h"
#include "dfu_device.h"
#include "resource.h"

// Dialog 130 answered with OK as the operator presses it: the real dialog
// procedure runs on a modeless copy of the dialog.
void AnswerWarningWithOk();

// Whether a message box with this text was shown.
bool HasBox(const std::wstring& text);

// A HID camera whose update-mode device comes back in update mode after its
// first download and as the camera after its second, with the firmware
// version that the first six bytes of the image it received carry.
struct CameraUpdateWorld {
    std::shared_ptr<sim::DfuFlash> flash = std::make_shared<sim::DfuFlash>();
    sim::PluggedCamera<sim::HidCameraModel> camera;

    void Plug(const std::wstring& serial, const std::wstring& name = L"Corvane_RX20");

private:
    std::shared_ptr<std::function<bool(const sim::DfuFlash&, bool, sim::UsbDeviceSpec*,
                                       std::shared_ptr<sim::DeviceModel>*)>>
        planKeeper_;  // the plan refers to itself through a weak reference
};
