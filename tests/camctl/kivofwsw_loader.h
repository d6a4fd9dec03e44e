// Loads a built KivoFWSW.dll by its full path and finds its exports by name,
// the way a program that links the library would reach them. The types come
// from the public header, so a changed signature breaks the tests' build.
#pragma once

#include <windows.h>

#include <string>

#include "KivoFWSW.h"

struct KivoFwSw {
    HMODULE module = nullptr;
    std::wstring missing;  // names GetProcAddress did not find, one per line

    decltype(&::GetVidPid) GetVidPid = nullptr;
    decltype(&::IsDFUDeviceVID) IsDFUDeviceVID = nullptr;
    decltype(&::IsDFUDevicePID) IsDFUDevicePID = nullptr;
    decltype(&::IsRestrictedCameraPID) IsRestrictedCameraPID = nullptr;
    decltype(&::IsTessaDeviceAvail) IsTessaDeviceAvail = nullptr;
    decltype(&::IsKivoR7DeviceAvail) IsKivoR7DeviceAvail = nullptr;
    decltype(&::IsKivoV9_DeviceAvail) IsKivoV9_DeviceAvail = nullptr;
    decltype(&::InitExtensionUnit) InitExtensionUnit = nullptr;
    decltype(&::Init_HIDHandle) Init_HIDHandle = nullptr;
    decltype(&::SetPreparseDataAndAttributes) SetPreparseDataAndAttributes = nullptr;
    decltype(&::DeinitExtensionUnit) DeinitExtensionUnit = nullptr;
    decltype(&::ReadFirmwareVersion) ReadFirmwareVersion = nullptr;
    decltype(&::GetCameraUniqueIDForHID) GetCameraUniqueIDForHID = nullptr;
    decltype(&::SendHIDCommandWithFirstByte) SendHIDCommandWithFirstByte = nullptr;
    decltype(&::FirmwareUpdate) FirmwareUpdate = nullptr;
    decltype(&::DevicestateCX3SNI) DevicestateCX3SNI = nullptr;
    decltype(&::GetHidReport) GetHidReport = nullptr;
    decltype(&::SetHidReport) SetHidReport = nullptr;
    decltype(&::sendNXPHidCmd) sendNXPHidCmd = nullptr;
    decltype(&::InitTessaExtensionUnit) InitTessaExtensionUnit = nullptr;
    decltype(&::InitKivoR7ExtensionUnit) InitKivoR7ExtensionUnit = nullptr;
    decltype(&::InitKivoV9ExtensionUnit) InitKivoV9ExtensionUnit = nullptr;
    decltype(&::SetExtensionUnitValueForTessa) SetExtensionUnitValueForTessa = nullptr;
    decltype(&::GetTessaFirmwareVersion) GetTessaFirmwareVersion = nullptr;
    decltype(&::GetKivoR7FirmwareVersion) GetKivoR7FirmwareVersion = nullptr;
    decltype(&::ResetKivoR7) ResetKivoR7 = nullptr;
    decltype(&::FallbacktoFWKivoR7) FallbacktoFWKivoR7 = nullptr;
    decltype(&::GetFirmwareVersionKivoV9) GetFirmwareVersionKivoV9 = nullptr;
    decltype(&::ResetDeviceV9) ResetDeviceV9 = nullptr;
    decltype(&::DeinitExtUnit) DeinitExtUnit = nullptr;

    bool complete() const { return module != nullptr && missing.empty(); }
};

// The library at path, loaded once per process (tests of one program share it).
const KivoFwSw& LoadKivoFwSw(const wchar_t* path);
