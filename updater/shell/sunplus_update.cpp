#include "sunplus_update.h"
#include <initializer_list>

#include "app_state.h"
#include "debug_print.h"
#include "os_api.h"
#include "update_outcome.h"
#include "resource.h"
#include "update_guard.h"
#include "update_start.h"
#include <strsafe.h>

HMODULE g_hSunplusDll{};
PFN_SunplusCam_Init g_pfnSunplusCam_Init{};
PFN_SunplusCam_UnInit g_pfnSunplusCam_UnInit{};
PFN_Download_FW_Verbose g_pfnDownload_FW_Verbose{};
PFN_Get_FlashType g_pfnGet_FlashType{};
uint8_t g_byFlashType{};
uint8_t* g_pSunplusImage{};
DWORD g_dwSunplusImageSize{};
std::atomic<bool> g_bSunplusDownloadActive{false};

namespace {

constexpr wchar_t kLibraryName[] = L"SunplusCamera.dll";
constexpr wchar_t kErasing[] = L"Erasing Memory...Please Wait...";

HWND Dlg() { return g_hMainDlg.load(); }
HWND Item(int id) { return GetDlgItem(Dlg(), id); }
void SetStatusErasing() { SetDlgItemTextW(Dlg(), IDC_STATIC_STATUS, kErasing); }

// The controls that could start another update, or change the camera it
// runs on, while a download runs. They are disabled for the download and
// given back as they were when it started.
constexpr int kHeldControls[] = {IDC_BTN_FW_UPDATE, IDC_BTN_BROWSE, IDC_COMBO_DEVICELIST};
bool g_bHeldEnabled[sizeof(kHeldControls) / sizeof(kHeldControls[0])]{};

void HoldControls() {
    for (size_t i = 0; i < sizeof(kHeldControls) / sizeof(kHeldControls[0]); ++i) {
        g_bHeldEnabled[i] = IsWindowEnabled(Item(kHeldControls[i])) != FALSE;
        EnableWindow(Item(kHeldControls[i]), FALSE);
    }
}

void GiveBackControls() {
    for (size_t i = 0; i < sizeof(kHeldControls) / sizeof(kHeldControls[0]); ++i)
        if (g_bHeldEnabled[i]) EnableWindow(Item(kHeldControls[i]), TRUE);
}

// The image buffer has pages of its own: a firmware file is several
// megabytes, and a failed allocation must come back as nothing, not as an
// exception.
uint8_t* AllocateImage(DWORD size) {
    return static_cast<uint8_t*>(VirtualAlloc(nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
}

void ReleaseImage() {
    if (g_pSunplusImage != nullptr) VirtualFree(g_pSunplusImage, 0, MEM_RELEASE);
    g_pSunplusImage = nullptr;
    g_dwSunplusImageSize = 0;
}

void ForgetEntryPoints() {
    g_pfnSunplusCam_Init = nullptr;
    g_pfnSunplusCam_UnInit = nullptr;
    g_pfnDownload_FW_Verbose = nullptr;
    g_pfnGet_FlashType = nullptr;
}

void UnloadLibrary() {
    if (g_hSunplusDll != nullptr) {
        Os().FreeLibrary(g_hSunplusDll);
        g_hSunplusDll = nullptr;
    }
}

// Closes the connection of the last Sunplus update and unloads the library.
// A library that was loaded but found no camera is unloaded too, so that
// every update starts from one fresh load.
void CloseEarlierConnection() {
    if (g_pfnSunplusCam_UnInit != nullptr) {
        g_pfnSunplusCam_UnInit(0);
        ForgetEntryPoints();
        UnloadLibrary();
        DebugLine(L"Sunplus camera uninitial ok.\r\n");
        DebugLine(L"UnInited Device  Successfully   \r\n");
    } else {
        DebugLine(L"Sunplus camera not initial.\r\n");
        ForgetEntryPoints();
        UnloadLibrary();
    }
}

// "<program folder>\SunplusCamera.dll"; false when it does not fit.
bool LibraryPath(wchar_t* path) {
    const int cut = g_nExeDirLength.load() + 1;
    if (cut <= 0 || cut >= kPathChars) return false;
    if (FAILED(StringCchCopyNW(path, kPathChars, g_szExePath, static_cast<size_t>(cut)))) return false;
    return SUCCEEDED(StringCchCatW(path, kPathChars, kLibraryName));
}

// Loads the library from the program's folder only. A bare name would take a
// SunplusCamera.dll from the current folder (a document folder, a download
// folder) and run it inside the updater; the full path with a search that
// leaves the current folder out cannot. Systems without the restricted search
// flags (Windows 7 without its loader update) refuse them as an invalid
// parameter; the altered search path then still starts from the library's
// own folder.
HMODULE LoadFromProgramFolder() {
    wchar_t path[kPathChars];
    if (!LibraryPath(path)) return nullptr;
    HMODULE lib = Os().LoadLibraryExW(path, nullptr, LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (lib == nullptr && GetLastError() == ERROR_INVALID_PARAMETER)
        lib = Os().LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    return lib;
}

template <typename Fn>
Fn Lookup(const char* name) {
    return reinterpret_cast<Fn>(Os().GetProcAddress(g_hSunplusDll, name));
}

// Loads the library and opens the camera through it.
void OpenCameraThroughLibrary() {
    g_hSunplusDll = LoadFromProgramFolder();
    if (g_hSunplusDll == nullptr) {
        DebugLine(L"Load Failed!\r\n");
        return;
    }
    g_pfnSunplusCam_Init = Lookup<PFN_SunplusCam_Init>("SunplusCam_Init");
    if (g_pfnSunplusCam_Init != nullptr && g_pfnSunplusCam_Init(0) == 0) {
        DebugLine(L"Sunplus camera is found, init function pointer.\r\n");
        g_pfnSunplusCam_UnInit = Lookup<PFN_SunplusCam_UnInit>("SunplusCam_UnInit");
        g_pfnDownload_FW_Verbose = Lookup<PFN_Download_FW_Verbose>("Download_FW_Verbose");
        g_pfnGet_FlashType = Lookup<PFN_Get_FlashType>("Get_FlashType");
    } else {
        DebugLine(L"Sunplus camera is NOT found\r\n");
    }
}

enum class ReadResult { Ok, CannotOpen, Empty, TooLarge, ReadFailed };

// Reads the whole firmware file into g_pSunplusImage. The earlier image is
// released once the new file is known to be usable, before the new one is
// read.
ReadResult ReadImageFile() {
    // Shared for writing too, like the firmware file read at Browse.
    HANDLE file = Os().CreateFileW(DialogUpdate().szFirmwareFilePath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return ReadResult::CannotOpen;
    LARGE_INTEGER length{};
    if (!Os().GetFileSizeEx(file, &length)) {
        Os().CloseHandle(file);
        return ReadResult::ReadFailed;
    }
    if (length.QuadPart <= 0) {
        Os().CloseHandle(file);
        return ReadResult::Empty;
    }
    if (length.QuadPart > static_cast<LONGLONG>(kMaxSunplusImageBytes)) {
        Os().CloseHandle(file);
        return ReadResult::TooLarge;
    }
    const DWORD size = static_cast<DWORD>(length.QuadPart);
    ReleaseImage();
    uint8_t* image = AllocateImage(size);
    if (image == nullptr) {
        Os().CloseHandle(file);
        return ReadResult::TooLarge;
    }
    DWORD done = 0;
    while (done < size) {
        DWORD got = 0;
        if (!Os().ReadFile(file, image + done, size - done, &got, nullptr) || got == 0) break;
        done += got;
    }
    Os().CloseHandle(file);
    if (done != size) {
        // A part of a file must never be written as the whole image.
        VirtualFree(image, 0, MEM_RELEASE);
        return ReadResult::ReadFailed;
    }
    g_pSunplusImage = image;
    g_dwSunplusImageSize = size;
    return ReadResult::Ok;
}

// What the failed download leaves: the file is dropped, EXIT is usable, and
// the progress display is gone.
void ShowDownloadFailed() {
    SetDlgItemTextW(Dlg(), IDC_EDIT_FIRMWARE_PATH, L"");
    EnableWindow(Item(IDC_BTN_EXIT), TRUE);
    for (int id : {IDC_EDIT_FIRMWARE_PATH, IDC_STATIC_SELECT_FILE, IDC_BTN_READFW_VERSION})
        EnableWindow(Item(id), FALSE);
    for (int id : {IDC_STATIC_UPDATING, IDC_STATIC_ENTERING_UPDATE, IDC_STATIC_STATUS, IDC_PROGRESS})
        ShowWindow(Item(id), SW_HIDE);
    DialogUpdate().Report(UpdateReport::Failed, L"Firmware Download Failed!", L"Error", MB_ICONERROR);
}

}  // namespace

void StartSunplusUpdate() {
    // The running download uses the library and the image: neither may be
    // closed or freed under it.
    if (g_bSunplusDownloadActive) {
        DebugLine(L"StartSunplusUpdate :: a download is still running\r\n");
        DialogUpdate().Report(UpdateReport::Failed, L"A firmware download is still running. Please wait until it has finished.",
                         L"Alert", MB_ICONEXCLAMATION);
        return;
    }
    CloseEarlierConnection();
    OpenCameraThroughLibrary();

    g_byFlashType = 0;
    DebugLine(L"Entered into Download Firmware\r\n");
    if (g_pfnGet_FlashType != nullptr) {
        DebugLine(L"getSFtype is True\r\n");
        if (g_pfnGet_FlashType(&g_byFlashType) != 0) {
            DebugLine(L"Get flash type fail\r\n");
            SetStatusErasing();
            return;
        }
    } else {
        DebugLine(L"The function pointer of Get_FlashType() is NULL\r\n");
    }

    switch (ReadImageFile()) {
        case ReadResult::Ok:
            break;
        case ReadResult::CannotOpen:
            SetStatusErasing();
            return;
        case ReadResult::ReadFailed:
            DebugLine(L"Reading from file failed....\r\n");
            SetStatusErasing();
            return;
        case ReadResult::Empty:
            DebugLine(L"StartSunplusUpdate :: the firmware file is empty\r\n");
            DialogUpdate().Report(UpdateReport::Failed, L"The firmware file is empty.", L"Error", MB_ICONERROR);
            return;
        case ReadResult::TooLarge:
            DebugLine(L"Memory Allocation FAiled..\r\n");
            DialogUpdate().Report(UpdateReport::Failed, L"The firmware file is too large for this camera.", L"Error", MB_ICONERROR);
            return;
    }

    HoldControls();
    g_bSunplusDownloadActive = true;
    HANDLE thread = DialogUpdate().StartWorker(WorkerKind::Sunplus, DownloadThread, nullptr);
    if (thread == nullptr) {
        g_bSunplusDownloadActive = false;
        GiveBackControls();
        DialogUpdate().Report(UpdateReport::Failed, L"Could'nt Create Thread", L"Error", MB_OK, false);
        return;
    }
    CloseHandle(thread);
    DebugLine(L" DownloadKIVOV9Firmware Successfull  \r\n");
    SetStatusErasing();
}

DWORD WINAPI DownloadThread(LPVOID) {
    try {
        DebugLine(L"Entered into DownloadThread \r\n");
        int result = -1;  // no entry point: a failed download
        if (g_pfnDownload_FW_Verbose != nullptr)
            result = g_pfnDownload_FW_Verbose(g_pSunplusImage, g_dwSunplusImageSize, g_byFlashType, 0, 0, 0, 0, 1, 0,
                                              SunplusProgress, 0);
        if (result == 0) {
            DebugLine(L"download ok\r\n");
        } else {
            DebugLine(L"download fail\r\n");
            ShowDownloadFailed();
        }
        DebugLine(L"Download progress finished,\r\n you need re-init device before access.\r\n");
        if (result == 0)
            DialogUpdate().Report(UpdateReport::Succeeded,
                             L"Firmware Downloaded Successfully!\r\nDonot Reset the Device.\r\nDevice will boot "
                             L"automatically after completing firmware update!",
                             L"Success", MB_ICONEXCLAMATION);
    } catch (...) {
        DebugLine(L"DownloadThread exception...\r\n");
    }
    GiveBackControls();
    g_bSunplusDownloadActive = false;
    return 0;
}

int SUNPLUS_CALL SunplusProgress(int percent) {
    const WPARAM value = static_cast<WPARAM>(static_cast<INT_PTR>(percent) + 1);
    return static_cast<int>(SendMessageW(Dlg(), WM_FW_PROGRESS_PERCENT, value, 0));
}
