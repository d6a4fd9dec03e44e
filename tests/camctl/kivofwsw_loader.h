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

    bool complete() const { return module != nullptr && missing.empty(); }
};

// The library at path, loaded once per process (tests of one program share it).
const KivoFwSw& LoadKivoFwSw(const wchar_t* path);
