#include "device_id.h"

#include "os_api.h"

namespace updater {

// Paths and hardware IDs reach these functions in the updater's fixed
// buffers of MAX_PATH characters.
constexpr std::size_t kPathCap = MAX_PATH;

void GetVidPid(wchar_t* path, wchar_t* vid, wchar_t* pid) {
    Os().OutputDebugStringW(L"GetVidPid ++\r\n");
    IdCutVidPidUpper(path, kPathCap, vid, kIdFieldCap, pid, kIdFieldCap);
    Os().OutputDebugStringW(L"GetVidPid --\r\n");
}

void GetVidPidLowerCase(const wchar_t* path, wchar_t* vid, wchar_t* pid) {
    IdCutVidPidLower(path, kPathCap, vid, kIdFieldCap, pid, kIdFieldCap);
}

bool IsSameId(wchar_t* id, const wchar_t* text) { return IdEqualsText(id, kIdFieldCap, text); }

}  // namespace updater
