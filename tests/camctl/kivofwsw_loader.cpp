#include "kivofwsw_loader.h"

#include <cstring>

namespace {

template <typename Fn>
void Find(KivoFwSw& lib, Fn& fn, const char* name) {
    fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(lib.module, name)));
    if (fn == nullptr) lib.missing += std::wstring(name, name + strlen(name)) + L"\n";
}

KivoFwSw Load(const wchar_t* path) {
    KivoFwSw lib;
    lib.module = ::LoadLibraryW(path);
    if (lib.module == nullptr) return lib;
    Find(lib, lib.GetVidPid, "GetVidPid");
    Find(lib, lib.IsDFUDeviceVID, "IsDFUDeviceVID");
    Find(lib, lib.IsDFUDevicePID, "IsDFUDevicePID");
    Find(lib, lib.IsRestrictedCameraPID, "IsRestrictedCameraPID");
    Find(lib, lib.IsTessaDeviceAvail, "IsTessaDeviceAvail");
    Find(lib, lib.IsKivoR7DeviceAvail, "IsKivoR7DeviceAvail");
    Find(lib, lib.IsKivoV9_DeviceAvail, "IsKivoV9_DeviceAvail");
    Find(lib, lib.InitExtensionUnit, "InitExtensionUnit");
    Find(lib, lib.Init_HIDHandle, "Init_HIDHandle");
    Find(lib, lib.SetPreparseDataAndAttributes, "SetPreparseDataAndAttributes");
    Find(lib, lib.DeinitExtensionUnit, "DeinitExtensionUnit");
    Find(lib, lib.ReadFirmwareVersion, "ReadFirmwareVersion");
    Find(lib, lib.GetCameraUniqueIDForHID, "GetCameraUniqueIDForHID");
    Find(lib, lib.SendHIDCommandWithFirstByte, "SendHIDCommandWithFirstByte");
    Find(lib, lib.FirmwareUpdate, "FirmwareUpdate");
    Find(lib, lib.DevicestateCX3SNI, "DevicestateCX3SNI");
    Find(lib, lib.GetHidReport, "GetHidReport");
    Find(lib, lib.SetHidReport, "SetHidReport");
    Find(lib, lib.sendNXPHidCmd, "sendNXPHidCmd");
    Find(lib, lib.InitTessaExtensionUnit, "InitTessaExtensionUnit");
    Find(lib, lib.InitKivoR7ExtensionUnit, "InitKivoR7ExtensionUnit");
    Find(lib, lib.InitKivoV9ExtensionUnit, "InitKivoV9ExtensionUnit");
    Find(lib, lib.SetExtensionUnitValueForTessa, "SetExtensionUnitValueForTessa");
    Find(lib, lib.GetTessaFirmwareVersion, "GetTessaFirmwareVersion");
    Find(lib, lib.GetKivoR7FirmwareVersion, "GetKivoR7FirmwareVersion");
    Find(lib, lib.ResetKivoR7, "ResetKivoR7");
    Find(lib, lib.FallbacktoFWKivoR7, "FallbacktoFWKivoR7");
    Find(lib, lib.GetFirmwareVersionKivoV9, "GetFirmwareVersionKivoV9");
    Find(lib, lib.ResetDeviceV9, "ResetDeviceV9");
    Find(lib, lib.DeinitExtUnit, "DeinitExtUnit");
    return lib;
}

}  // namespace

const KivoFwSw& LoadKivoFwSw(const wchar_t* path) {
    static const KivoFwSw lib = Load(path);
    return lib;
}
