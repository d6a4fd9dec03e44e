// KivoFWSW: the camera-control library's exported interface.
//
// Plain C functions with the default C calling convention, exported by name
// (KivoFWSW.def keeps the names undecorated on 32-bit builds too). Strings are
// the caller's writable, zero-terminated UTF-16 buffers (Windows wchar_t); the
// library upper-cases in place every string it is handed, so callers get their
// buffers back in upper case. Results are 1 for yes/success and 0 for
// no/failure; no exception leaves an export.
#ifndef KIVOFWSW_H
#define KIVOFWSW_H

#include <wchar.h>

#ifdef KIVOFWSW_BUILD
#define KIVOFWSW_API __declspec(dllexport)
#else
#define KIVOFWSW_API __declspec(dllimport)
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* --- identification ---------------------------------------------------- */

/* Copies the four characters after "VID_" into vid and after "PID_" into pid
   (buffers of at least 10 characters, each left untouched when its marker is
   absent), after upper-casing s in place. */
KIVOFWSW_API void GetVidPid(wchar_t* s, wchar_t* vid, wchar_t* pid);

/* 1 when vid is a vendor ID of the camera family (4A7E, 0614, 04B4). */
KIVOFWSW_API int IsDFUDeviceVID(wchar_t* vid);

/* 1 when pid is one of the family's camera or update-mode product IDs. */
KIVOFWSW_API int IsDFUDevicePID(wchar_t* pid);

/* 1 when pid is a restricted camera, which the updater never lists. */
KIVOFWSW_API int IsRestrictedCameraPID(wchar_t* pid);

/* Model tests on a device path or instance ID. */
KIVOFWSW_API int IsTessaDeviceAvail(wchar_t* path);   /* 4A7E with C123 or C129 */
KIVOFWSW_API int IsKivoR7DeviceAvail(wchar_t* path);  /* 4A7E with C05C */
KIVOFWSW_API int IsKivoV9_DeviceAvail(wchar_t* path); /* 4A7E with C181, or 1BCF with 0B12 */

#ifdef __cplusplus
}
#endif

#endif /* KIVOFWSW_H */
