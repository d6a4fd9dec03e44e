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
    return lib;
}

}  // namespace

const KivoFwSw& LoadKivoFwSw(const wchar_t* path) {
    static const KivoFwSw lib = Load(path);
    return lib;
}
