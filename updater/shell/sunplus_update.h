// The V9 camera's update: its Sunplus image processor is written through the
// chip vendor's SunplusCamera.dll on a thread of its own, whose progress drives
// the main dialog's percentage display. StartSunplusUpdate (update_start.h)
// is the branch of the update start that runs it.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

#include "sunplus_library.h"

// The library while loaded, and its entry points. g_pfnSunplusCam_UnInit is
// set only after a successful open, so it also marks an open camera
// connection. Written on the user-interface thread before DownloadThread
// starts, read only by it.
extern HMODULE g_hSunplusDll;
extern PFN_SunplusCam_Init g_pfnSunplusCam_Init;
extern PFN_SunplusCam_UnInit g_pfnSunplusCam_UnInit;
extern PFN_Download_FW_Verbose g_pfnDownload_FW_Verbose;
extern PFN_Get_FlashType g_pfnGet_FlashType;
// The flash type the camera reported; 0 until asked.
extern uint8_t g_byFlashType;
// The whole firmware file, kept after the download until the next Sunplus
// update replaces it.
extern uint8_t* g_pSunplusImage;
extern DWORD g_dwSunplusImageSize;
// Set from the start of DownloadThread until it has ended. While it is set,
// the library and the image are in use and a further Sunplus update is refused.
extern std::atomic<bool> g_bSunplusDownloadActive;

// The largest firmware file taken into memory: the largest serial flash these
// cameras carry. A larger file cannot be an image for them.
constexpr DWORD kMaxSunplusImageBytes = 32u * 1024u * 1024u;

// Thread procedure of the download; no argument, returns 0.
DWORD WINAPI DownloadThread(LPVOID);

// The progress callback handed to Download_FW_Verbose: sends
// WM_FW_PROGRESS_PERCENT (percent + 1) to the main dialog and returns its answer.
int SUNPLUS_CALL SunplusProgress(int percent);
