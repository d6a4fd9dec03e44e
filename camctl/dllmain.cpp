#include <windows.h>

#include "cam_state.h"

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    switch (reason) {
        case DLL_PROCESS_ATTACH:
            return CamStateLoad() ? TRUE : FALSE;
        case DLL_PROCESS_DETACH:
            // At process exit (reserved set) other modules may be gone already:
            // only an explicit FreeLibrary gives the memory back.
            if (reserved == nullptr) CamStateUnload();
            break;
        default:
            break;
    }
    return TRUE;
}
