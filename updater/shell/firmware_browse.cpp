#include "firmware_browse.h"

#include "app_state.h"
#include "image_file.h"
#include "os_api.h"
#include "resource.h"

int SelectFirmwareFile() {
    CameraUpdate& u = DialogUpdate();
    u.bCombinedImage = false;

    wchar_t path[kPathChars] = L"";
    OPENFILENAMEW ofn{};
    ofn.lStructSize = sizeof(ofn);
    ofn.hwndOwner = g_hMainDlg.load();
    ofn.lpstrFilter = u.bNXPDevice ? L"Binary Files (*.BIN)\0*.bin\0Binary Files (*.IMG)\0*.img\0"
                                   : L"Binary Files (*.IMG)\0*.img\0Binary Files (*.BIN)\0*.bin\0";
    ofn.nFilterIndex = 1;
    ofn.lpstrFile = path;
    ofn.nMaxFile = kPathChars;
    ofn.lpstrFileTitle = u.szFirmwareFileName;
    ofn.nMaxFileTitle = kPathChars;
    ofn.Flags = OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR;
    if (!Os().GetOpenFileNameW(&ofn)) return 2;

    SetDlgItemTextW(g_hMainDlg.load(), IDC_EDIT_FIRMWARE_PATH, path);
    return ReadFirmwareFile(u, path);
}
