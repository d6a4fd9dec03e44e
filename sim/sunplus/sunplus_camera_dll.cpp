// SunplusCamera.dll of the simulated build: a stand-in for the Sunplus chip
// vendor's library with the four entry points the updater calls, serving the
// V9 and Sunplus cameras of the simulated world through corvane_sim.dll. It
// records its loads, unloads and calls there, so tests can tell which copy of
// the library ran and what it was asked.
//
// The entry points are __cdecl with undecorated names (SunplusCamera.def), as
// sunplus_library.h declares them for the updater.
#include <windows.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sunplus_chip.h"
#include "sunplus_library.h"

namespace {

HMODULE g_module = nullptr;
std::mutex g_mutex;
std::shared_ptr<sim::SunplusChip> g_open;  // the camera SunplusCam_Init opened

std::wstring ModulePath() {
    wchar_t path[MAX_PATH] = L"";
    ::GetModuleFileNameW(g_module, path, MAX_PATH);
    return path;
}

void Record(sim::SunplusLibraryEvent::Kind kind, int result) { sim::RecordSunplusLibraryEvent(kind, ModulePath(), result); }

std::shared_ptr<sim::SunplusChip> Opened() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_open;
}

}  // namespace

extern "C" {

__declspec(dllexport) int SUNPLUS_CALL SunplusCam_Init(int) {
    auto chip = sim::FindSunplusChip();
    int result = sim::kSunplusNotFound;
    if (chip && chip->Open()) {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (g_open && g_open != chip) g_open->Close();
        g_open = chip;
        result = sim::kSunplusOk;
    }
    Record(sim::SunplusLibraryEvent::Kind::Init, result);
    return result;
}

__declspec(dllexport) int SUNPLUS_CALL SunplusCam_UnInit(int) {
    std::shared_ptr<sim::SunplusChip> chip;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        chip.swap(g_open);
    }
    if (chip) chip->Close();
    Record(sim::SunplusLibraryEvent::Kind::UnInit, 0);
    return 0;
}

__declspec(dllexport) int SUNPLUS_CALL Get_FlashType(unsigned char* flashType) {
    auto chip = Opened();
    const int result = chip ? chip->ReadFlashType(flashType) : sim::kSunplusNotOpen;
    Record(sim::SunplusLibraryEvent::Kind::FlashType, result);
    return result;
}

__declspec(dllexport) int SUNPLUS_CALL Download_FW_Verbose(unsigned char* image, unsigned int length, int flashType,
                                                           int arg4, int arg5, int arg6, int arg7, int arg8, int arg9,
                                                           SunplusProgressCallback progress, int arg11) {
    auto chip = Opened();
    int result = sim::kSunplusNotOpen;
    if (chip) {
        std::function<int(int)> report;
        if (progress != nullptr) report = [progress](int percent) { return progress(percent); };
        result = chip->Download(image, length, flashType, {arg4, arg5, arg6, arg7, arg8, arg9, arg11}, report);
    }
    Record(sim::SunplusLibraryEvent::Kind::Download, result);
    return result;
}

}  // extern "C"

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        g_module = instance;
        DisableThreadLibraryCalls(instance);
        Record(sim::SunplusLibraryEvent::Kind::Loaded, 0);
    } else if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
        // FreeLibrary, not the end of the process (corvane_sim.dll may be
        // gone by then).
        Record(sim::SunplusLibraryEvent::Kind::Unloaded, 0);
    }
    return TRUE;
}
