#include "camera_plug.h"

#include "com_video_devices.h"
#include "nxp_rom.h"

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
        // The ROM, like a real one, carries no serial: Windows names it by
        // its port.
        model->SetUpdateModePlan(HidDeviceSpec(0x1FC9, 0x0135, L"", spec.ports, NxpRomCaps()), nullptr);
    }
    return PlugWith(spec, model);
}

const Defaults& DefaultsOf(CameraKind kind) {
    static const Defaults hid{0x4A7E, 0xC110, L"Kivo HID Camera", {2}};
    static const Defaults stereo{0x4A7E, 0xC114, L"Kivo Stereo Camera", {2, 3}};
    static const Defaults cx3{0x04B4, 0xC1D0, L"CX3 SNI Camera", {2}};
    static const Defaults tessa{0x4A7E, 0xC123, L"Tessa Camera", {}};
    static const Defaults r7{0x4A7E, 0xC05C, L"Kivo R7", {}};
    static const Defaults v9{0x4A7E, 0xC181, L"Kivo V9", {}};
    static const Defaults sunplus{0x1BCF, 0x0B12, L"Sunplus Camera", {}};
    switch (kind) {
        case CameraKind::Hid: return hid;
        case CameraKind::Stereo: return stereo;
        case CameraKind::Cx3: return cx3;
        case CameraKind::Tessa: return tessa;
        case CameraKind::KivoR7: return r7;
        case CameraKind::KivoV9: return v9;
        case CameraKind::Sunplus: return sunplus;
    }
    return hid;
}

}  // namespace

UsbDeviceSpec CameraSpecOf(CameraKind kind, const CameraPlace& place, USHORT reportLength) {
    UsbDeviceSpec spec = SpecFor(place, DefaultsOf(kind));
    if (kind == CameraKind::Cx3) {
        for (FunctionSpec& f : spec.functions) {
            if (f.kind != FunctionKind::Hid) continue;
            f.hid.inputReportLength = reportLength;
            f.hid.outputReportLength = reportLength;
        }
    }
    return spec;
}

PluggedCamera<HidCameraModel> PlugHidCamera(const CameraPlace& place, const HidCameraKnobs& knobs) {
    return PlugHidKind(place, knobs, DefaultsOf(CameraKind::Hid));
}

PluggedCamera<HidCameraModel> PlugStereoCamera(const CameraPlace& place, const HidCameraKnobs& knobs) {
    return PlugHidKind(place, knobs, DefaultsOf(CameraKind::Stereo));
}

PluggedCamera<Cx3CameraModel> PlugCx3Camera(const CameraPlace& place, const Cx3CameraKnobs& knobs) {
    const UsbDeviceSpec spec = CameraSpecOf(CameraKind::Cx3, place, knobs.reportLength);
    auto model = std::make_shared<Cx3CameraModel>(knobs);
    UsbDeviceSpec loader = WinUsbSpec(0x04B4, 0x00F3, L"", spec.ports, L"Cypress FX3 USB BootLoader Device");
    loader.service = L"CYUSB3";
    model->SetResetPlan(loader, nullptr);
    return PlugWith(spec, model);
}

PluggedCamera<XuCameraModel> PlugTessaCamera(const CameraPlace& place, const XuCameraKnobs& knobs) {
    return PlugXuKind(XuCameraKind::Tessa, place, knobs, DefaultsOf(CameraKind::Tessa));
}

PluggedCamera<XuCameraModel> PlugKivoR7Camera(const CameraPlace& place, const XuCameraKnobs& knobs) {
    return PlugXuKind(XuCameraKind::KivoR7, place, knobs, DefaultsOf(CameraKind::KivoR7));
}

PluggedCamera<XuCameraModel> PlugKivoV9Camera(const CameraPlace& place, const XuCameraKnobs& knobs) {
    return PlugXuKind(XuCameraKind::KivoV9, place, knobs, DefaultsOf(CameraKind::KivoV9));
}

PluggedCamera<XuCameraModel> PlugSunplusCamera(const CameraPlace& place, const XuCameraKnobs& knobs) {
    return PlugXuKind(XuCameraKind::KivoV9, place, knobs, DefaultsOf(CameraKind::Sunplus));
}

}  // namespace sim
