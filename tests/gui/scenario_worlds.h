// Simulated worlds of whole updates, shared by the dialog tests and the demo.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "camera_plug.h"
#include "dfu_device.h"
#include "update_cycle.h"
#include "resource.h"

// Dialog 130 answered with OK as the operator presses it: the real dialog
// procedure runs on a modeless copy of the dialog.
void AnswerWarningWithOk();
// The same as a piece of a dialog hook of one's own: true (and the dialog
// answered) for dialog 130, false for any other.
bool PressWarningOkFor(const sim::DialogCall& call, DLGPROC proc, INT_PTR* result);

// The same, with meanwhile run while dialog 130 is open, before OK (the
// operator takes a moment; devices come and go).
void AnswerWarningWithOkAfter(std::function<void()> meanwhile);

// Whether a message box with this text was shown.
bool HasBox(const std::wstring& text);
// Whether the update ended with its success or an error box.
bool UpdateEnded();

// The answer of the update thread's notices (dialogs 143 and 144): the real
// modal dialog runs unless a hook answers it. With this, dialog 144 is
// recorded and answered with OK at once (the user-interface thread, which
// shows it, must keep serving the test); dialog 130 is answered with OK.
void AnswerWarningWithOkAndCountErrorNotices(int* errorNotices);

// A HID camera in normal mode whose update-mode device (same serial) comes
// back in update mode after each download until cycle.runs downloads were
// made, and then as the camera, with the firmware version that the first six
// bytes of the image it received carry. Knobs and runs are set before Plug.
struct CameraUpdateWorld {
    sim::UpdateCycle cycle;
    std::shared_ptr<sim::DfuFlash> flash = cycle.flash;
    sim::PluggedCamera<sim::HidCameraModel> camera;
    sim::HidCameraKnobs knobs;

    void Plug(const std::wstring& serial, const std::wstring& name = L"Corvane_RX20", std::vector<int> ports = {3, 2});
};
