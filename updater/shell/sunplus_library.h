// The entry points of the Sunplus chip vendor's SunplusCamera.dll as this
// program calls them. The library is loaded at run time and its four entry
// points are found by name.
//
// Calling convention: every entry point and the progress callback are
// __cdecl, with undecorated export names. On x86_64 there is only one
// convention; on i686 a library built otherwise would corrupt the stack, so a
// stand-in library must export exactly these types (the simulator's stand-in
// includes this header for that reason). Integers are 32-bit.
#pragma once

#if defined(_MSC_VER) || defined(__MINGW32__)
#define SUNPLUS_CALL __cdecl
#else
#define SUNPLUS_CALL
#endif

extern "C" {

// Called on the thread that called Download_FW_Verbose with the download's
// progress in percent; its result is handed back to the library.
typedef int(SUNPLUS_CALL* SunplusProgressCallback)(int percent);

// Opens the first Sunplus camera found: 0 when one was found and opened.
typedef int(SUNPLUS_CALL* PFN_SunplusCam_Init)(int reserved);
// Closes the connection that SunplusCam_Init opened; its result means nothing.
typedef int(SUNPLUS_CALL* PFN_SunplusCam_UnInit)(int reserved);
// Fills *flashType with the camera's flash type: 0 on success.
typedef int(SUNPLUS_CALL* PFN_Get_FlashType)(unsigned char* flashType);
// Writes a whole firmware image: 0 on success, anything else is a failed
// download. The program passes (image, length, flash type, 0, 0, 0, 0, 1, 0,
// callback, 0).
typedef int(SUNPLUS_CALL* PFN_Download_FW_Verbose)(unsigned char* image, unsigned int length, int flashType,
                                                   int arg4, int arg5, int arg6, int arg7, int arg8, int arg9,
                                                   SunplusProgressCallback progress, int arg11);

}  // extern "C"
