// KivoFWSW: the camera-control library's exported interface.
//
// Plain C functions with the default C calling convention, exported by name
// (KivoFWSW.def keeps the names undecorated on 32-bit builds too). Strings are
// the caller's writable, zero-terminated UTF-16 buffers (Windows wchar_t); the
// library upper-cases in place every string it is handed, so callers get their
// buffers back in upper case. Results are 1 for yes/success and 0 for
// no/failure unless said otherwise; failure detail is the thread's last error
// (the system's code, or one of the library's own codes below). No exception
// leaves an export.
//
// The library serves one camera at a time: one HID binding (InitExtensionUnit
// or Init_HIDHandle, released by DeinitExtensionUnit) and one extension-unit
// binding (Init...ExtensionUnit, released by DeinitExtUnit). Calls must not
// overlap: every export works on the one process-wide state.
#ifndef KIVOFWSW_H
#define KIVOFWSW_H

#include <wchar.h>

#ifdef KIVOFWSW_BUILD
#define KIVOFWSW_API __declspec(dllexport)
#else
#define KIVOFWSW_API __declspec(dllimport)
#endif

/* The library's own last-error codes (bit 29 set). */
#define KIVOFWSW_ERROR_NOT_BOUND 0x20000010u     /* no camera bound: the command was not sent */
#define KIVOFWSW_ERROR_WRITE_FAILED 0x20000005u  /* a write failed and the system gave no code */
#define KIVOFWSW_ERROR_EXCEPTION 0x20000011u     /* an exception was caught inside the library */
#define KIVOFWSW_ERROR_NO_REPLY 0x20000012u      /* sendNXPHidCmd: the report was written, its reply could not be read */

/* Result of FirmwareUpdate when the camera accepted the switch to update mode. */
#define KIVOFWSW_UPDATE_ACCEPTED 50

/* Results of DevicestateCX3SNI besides the camera's own state byte. */
#define KIVOFWSW_CX3_BUSY 8
#define KIVOFWSW_CX3_NO_REPORT 160

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

/* --- HID binding --------------------------------------------------------- */

/* Finds the HID command interface ("MI_02") that is a sibling of the camera's
   video interface (path as the video enumeration reports it) and opens it.
   The stereo camera (4A7E:C114) binds its command and IMU interfaces. */
KIVOFWSW_API int InitExtensionUnit(wchar_t* path);

/* Binds the HID interface whose parent device carries the VID and PID named
   in s ("VID_xxxx", "PID_xxxx"): boot loaders and update-mode devices that
   are not composite. */
KIVOFWSW_API int Init_HIDHandle(wchar_t* s);

/* Reopens the last HID interface examined for reading and writing and reads
   its preparsed data, attributes and capabilities (report lengths). */
KIVOFWSW_API int SetPreparseDataAndAttributes(void);

/* Closes the HID handles and the event of the binding. Non-zero when the
   event was closed, 0 when there was none. */
KIVOFWSW_API int DeinitExtensionUnit(void);

/* --- HID commands (65-byte reports) ------------------------------------- */

/* Command 0x40: the four version numbers of the camera's firmware. */
KIVOFWSW_API int ReadFirmwareVersion(unsigned char* first, unsigned char* second, unsigned short* third,
                                     unsigned short* fourth);

/* Command 0x41: the camera's four-byte unique ID. */
KIVOFWSW_API int GetCameraUniqueIDForHID(unsigned char* id);

/* Command 0x32 with the low byte of b as its parameter (4: reset). */
KIVOFWSW_API int SendHIDCommandWithFirstByte(int b);

/* The 0x30/0x32 handshake that switches the camera to its update mode:
   KIVOFWSW_UPDATE_ACCEPTED when the camera accepted and the image kind was
   sent, 1 when the camera answered otherwise, 0 on failure (including a
   camera that never answers within about a minute). */
KIVOFWSW_API int FirmwareUpdate(unsigned char imageKind);

/* --- CX3 camera reports (length-prefixed HID input and output reports) --- */

/* Polls the camera's input report while it is busy: its state byte (0
   ready), KIVOFWSW_CX3_BUSY when still busy after the last poll,
   KIVOFWSW_CX3_NO_REPORT when no report could be read. buf (at least the
   input report's length) receives the report from its length byte on. */
KIVOFWSW_API int DevicestateCX3SNI(unsigned char* buf);

/* One input report into buf as above. */
KIVOFWSW_API int GetHidReport(unsigned char* buf);

/* Sends n payload bytes (at most 510, and what the output report holds). */
KIVOFWSW_API int SetHidReport(const unsigned char* payload, int n);

/* --- raw HID transport for the NXP boot ROM and flash loader -------------- */

/* Writes a complete report of length bytes; when the low byte of wait is
   non-zero, waits for the write and then for a reply (5 s each). 1 when the
   report was written and, if asked, a reply came or a wait ran out. 0 when
   it was not written (the last error says why), or when it was written but
   the reply could not be read or was empty (last error
   KIVOFWSW_ERROR_NO_REPLY). */
KIVOFWSW_API int sendNXPHidCmd(const unsigned char* report, int length, int wait);

/* --- UVC extension units ------------------------------------------------- */

/* Bind the extension unit of the camera whose video path is given. */
KIVOFWSW_API int InitTessaExtensionUnit(wchar_t* path);
KIVOFWSW_API int InitKivoR7ExtensionUnit(wchar_t* path);
KIVOFWSW_API int InitKivoV9ExtensionUnit(wchar_t* path);

/* Tessa: sets a control (2 bytes: value, 0) / reads 4 bytes of a control. */
KIVOFWSW_API int SetExtensionUnitValueForTessa(int selector, int value);
KIVOFWSW_API int GetTessaFirmwareVersion(int selector, unsigned char* out);

/* Kivo R7: the four EEPROM bytes year, month, day, version; reset; switch to
   the firmware-update boot loader. */
KIVOFWSW_API int GetKivoR7FirmwareVersion(unsigned char* out);
KIVOFWSW_API int ResetKivoR7(void);
KIVOFWSW_API int FallbacktoFWKivoR7(void);

/* Kivo V9: major, minor and 16-bit build number; reset (returns after 5 s). */
KIVOFWSW_API int GetFirmwareVersionKivoV9(unsigned char* major, unsigned char* minor, unsigned short* build);
KIVOFWSW_API int ResetDeviceV9(void);

/* Releases the extension-unit binding. 1; 0 after an exception. */
KIVOFWSW_API int DeinitExtUnit(void);

#ifdef __cplusplus
}
#endif

#endif /* KIVOFWSW_H */
