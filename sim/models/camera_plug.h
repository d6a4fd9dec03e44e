// Plugging each kind of camera into the world with its model, the device it
// becomes in update mode or after a reset into its boot loader, and the
// DirectShow objects that list it (tests, the demo, manual runs).
//
//   auto cam = sim::PlugHidCamera();                      // 4A7E:C110, HID MI_02
//   auto r7  = sim::PlugKivoR7Camera({L"R7SERIAL01", {2, 1}});
//   InitExtensionUnit(&Path(cam.videoPath)[0]);          // the library under test
#pragma once

#include "camera_cx3.h"
#include "camera_hid.h"
#include "camera_xu.h"
#include "dfu_device.h"
#include "sim_world.h"

#include <memory>
#include <string>
#include <vector>

namespace sim {

// Where and as what a camera is plugged. Zero IDs, an empty name and empty
// HID interfaces take the kind's defaults.
struct CameraPlace {
    std::wstring serial;         // empty: Windows makes up the instance ID
    std::vector<int> ports = {1};
    std::wstring friendlyName;
    USHORT vid = 0;
    USHORT pid = 0;
    std::vector<int> hidInterfaces;
    std::wstring interfacePrefix;  // fixed "6&...&0" part of the interface nodes
};

enum class CameraKind { Hid, Stereo, Cx3, Tessa, KivoR7, KivoV9, Sunplus };

// The camera as it shows on the bus, as the Plug functions below plug it
// (the CX3 camera's HID reports have reportLength bytes).
CORVANE_SIM_API UsbDeviceSpec CameraSpecOf(CameraKind kind, const CameraPlace& place, USHORT reportLength = 512);

template <typename Model>
struct PluggedCamera {
    DeviceId device = 0;
    std::shared_ptr<Model> model;
    UsbDeviceSpec spec;
    std::wstring videoPath;              // the capture interface: DirectShow's "DevicePath"
    std::vector<std::wstring> hidPaths;  // HID collections, by interface number
};

// A camera with a HID command interface, 4A7E:C110 "Kivo HID Camera" on
// MI_02. An accepted handshake brings it back as the update-mode device
// 4A7E:DF00 with the same serial (a DfuDeviceModel with a fresh flash).
CORVANE_SIM_API PluggedCamera<HidCameraModel> PlugHidCamera(const CameraPlace& place = CameraPlace(),
                                                            const HidCameraKnobs& knobs = HidCameraKnobs());
// The stereo camera 4A7E:C114 "Kivo Stereo Camera": command interface MI_02
// and IMU interface MI_03.
CORVANE_SIM_API PluggedCamera<HidCameraModel> PlugStereoCamera(const CameraPlace& place = CameraPlace(),
                                                               const HidCameraKnobs& knobs = HidCameraKnobs());
// The CX3 camera 04B4:C1D0 "CX3 SNI Camera" on MI_02 (512-byte reports). A
// reset brings it back as the FX3 boot loader 04B4:00F3 on the Cypress
// driver.
CORVANE_SIM_API PluggedCamera<Cx3CameraModel> PlugCx3Camera(const CameraPlace& place = CameraPlace(),
                                                            const Cx3CameraKnobs& knobs = Cx3CameraKnobs());
// Tessa 4A7E:C123 (back as the update-mode device 4A7E:DF01), Kivo R7
// 4A7E:C05C (back as the NXP ROM boot loader 1FC9:0135), Kivo V9 4A7E:C181,
// and the Sunplus camera 1BCF:0B12 (a V9). None has a HID interface.
CORVANE_SIM_API PluggedCamera<XuCameraModel> PlugTessaCamera(const CameraPlace& place = CameraPlace(),
                                                             const XuCameraKnobs& knobs = XuCameraKnobs());
CORVANE_SIM_API PluggedCamera<XuCameraModel> PlugKivoR7Camera(const CameraPlace& place = CameraPlace(),
                                                              const XuCameraKnobs& knobs = XuCameraKnobs());
CORVANE_SIM_API PluggedCamera<XuCameraModel> PlugKivoV9Camera(const CameraPlace& place = CameraPlace(),
                                                              const XuCameraKnobs& knobs = XuCameraKnobs());
CORVANE_SIM_API PluggedCamera<XuCameraModel> PlugSunplusCamera(const CameraPlace& place = CameraPlace(),
                                                               const XuCameraKnobs& knobs = XuCameraKnobs());

}  // namespace sim
