// The updater's view of USB IDs: cutting the VID and PID texts out of device
// strings and comparing them (rules in common/id_text.h).
//
// These live in namespace updater because the camera-control library exports
// a C function of the same name and signature (its GetVidPid, which writes no
// diagnostics); a file that includes both headers would not compile otherwise.
#pragma once

#include <cstddef>

#include "id_text.h"

namespace updater {

// Upper-cases path in place and copies the four characters after "VID_" and
// after "PID_" into vid and pid (fields of kIdFieldCap characters), each left
// unchanged when its marker is absent. Writes "GetVidPid ++" and
// "GetVidPid --" to the debugger output.
void GetVidPid(wchar_t* path, wchar_t* vid, wchar_t* pid);

// The video enumeration's cut: path is left as it is, and vid and pid
// (kIdFieldCap characters) receive the four characters after "vid_" and
// "pid_" of the lower-cased path, so they come out in lower case.
void GetVidPidLowerCase(const wchar_t* path, wchar_t* vid, wchar_t* pid);

// The one ID comparison of the updater: upper-cases the stored ID text in
// place (a field of kIdFieldCap characters) and compares it exactly with text,
// whose letters count as upper case ("c05c" equals "C05C", "C05" does not).
bool IsSameId(wchar_t* id, const wchar_t* text);

}  // namespace updater
