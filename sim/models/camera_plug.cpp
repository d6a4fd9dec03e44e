#include "camera_plug.h"

#include "com_video_devices.h"

namespace sim {

namespace {

struct Defaults {
    USHORT vid;
    USHORT pid;
    const wchar_t* name;
    std::vector<int> hid;
};

UsbDeviceSpec SpecFor(const CameraPlace& place, const Defaults& d) {
    UsbDeviceSpec spec = CameraSpec(place.vid ? place.vid : d.vid, place.pid ? place.pid : d.pid, place.serial,
                                    place.ports, place.friendlyName.empty() ? d.name : place.friendlyName,
                                    place.hidInterfaces.empty() ? d.hid : place.hidInterfaces);
    spec.interfacePrefix = place.interfacePrefix;
    return spec;
}

template <typename Model>
PluggedCamera<Model> PlugWith(const UsbDeviceSpec& spec, std::shared_ptr<Model> model) {
    // The system device enumerator lists every camera plugged from here on.
    ServeVideoDevices();
    PluggedCamera<Model> cam;
    cam.spec = spec;
    cam.model = model;
    cam.device = Plug(spec, model);
    const std::vector<std::wstring> video = InterfacePaths(cam.device, kGuidKsCategoryCapture);
    if (!video.empty()) cam.videoPath = video.front();
    cam.hidPaths = InterfacePaths(cam.device, kGuidHid);
    return cam;
}

// The update-mode device a camera comes back as: same serial, same port.
UsbDeviceSpec UpdateModeSpec(const UsbDeviceSpec& camera, USHORT pid) {
    return WinUsbSpec(0x4A7E, pid, camera.serial, camera.ports);
}

PluggedCamera<HidCameraModel> PlugHidKind(const CameraPlace& place, const HidCameraKnobs& knobs, const Defaults& d) {
    const UsbDeviceSpec spec = SpecFor(place, d);
    auto model = std::make_shared<HidCameraModel>(knobs);
    model->SetUpdateModePlan(UpdateModeSpec(spec, 0xDF00), std::make_shared<DfuDeviceModel>(nullptr));
    return PlugWith(spec, model);
}

PluggedCamera<XuCameraModel> PlugXuKind(XuCameraKind kind, const CameraPlace& place, const XuCameraKnobs& knobs,
                                        const Defaults& d) {
    const UsbDeviceSpec spec = SpecFor(place, d);
    auto model = std::make_shared<XuCameraModel>(kind, knobs);
    if (kind == XuCameraKind::Tessa) {
        model->SetUpdateModePlan(UpdateModeSpec(spec, 0xDF01), std::make_shared<DfuDeviceModel>(nullptr));
    } else if (kind == XuCameraKind::KivoR7) {
        // The R7's update runs through the NXP ROM's serial download over HID.
        model->SetUpdateModePlan(HidDeviceSpec(0x1FC9, 0x0135, spec.serial, spec.ports), nullptr);
    }
    return PlugWith(spec, model);
}

}  // namespace

PluggedCamera<HidCameraModel> PlugHidCamera(const CameraPlace& place, const HidCameraKnobs& knobs) {
    return PlugHidKind(place, knobs, {0x4A7E, 0xC110, L"Kivo HID Camera", {2}});
}

PluggedCamera<HidCameraModel> PlugStereoCamera(const CameraPlace& place, const HidCameraKnobs& knobs) {
    return PlugHidKind(place, knobs, {0x4A7E, 0xC114, L"Kivo Stereo Camera", {2, 3}});
}

PluggedCamera<Cx3CameraModel> PlugCx3Camera(const CameraPlace& place, const Cx3CameraKnobs& knobs) {
    UsbDeviceSpec spec = SpecFor(place, {0x04B4, 0xC1D0, L"CX3 SNI Camera", {2}});
    for (FunctionSpec& f : spec.functions) {
        if (f.kind != FunctionKind::Hid) continue;
        f.hid.inputReportLength = knobs.reportLength;
        f.hid.outputReportLength = knobs.reportLength;
    }
    auto model = std::make_shared<Cx3CameraModel>(knobs);
    UsbDeviceSpec loader = WinUsbSpec(0x04B4, 0x00F3, L"", spec.ports, L"Cypress FX3 USB BootLoader Device");
    loader.service = L"CYUSB3";
    model->SetResetPlan(loader, nullptr);
    return PlugWith(spec, model);
}

PluggedCamera<XuCameraModel> PlugTessaCamera(const CameraPlace& place, const XuCameraKnobs& knobs) {
    return PlugXuKind(XuCameraKind::Tessa, place, knobs, {0x4A7E, 0xC123, L"Tessa Camera", {}});
}

PluggedCamera<XuCameraModel> PlugKivoR7Camera(const CameraPlace& place, const XuCameraKnobs& knobs) {
    return PlugXuKind(XuCameraKind::KivoR7, place, knobs, {0x4A7E, 0xC05C, L"Kivo R7", {}});
}

PluggedCamera<XuCameraModel> PlugKivoV9Camera(const CameraPlace& place, const XuCameraKnobs& knobs) {
    return PlugXuKind(XuCameraKind::KivoV9, place, knobs, {0x4A7E, 0xC181, L"Kivo V9", {}});
}

PluggedCamera<XuCameraModel> PlugSunplusCamera(const CameraPlace& place, const XuCameraKnobs& knobs) {
    return PlugXuKind(XuCameraKind::KivoV9, place, knobs, {0x1BCF, 0x0B12, L"Sunplus Camera", {}});
}

}  // namespace sim
