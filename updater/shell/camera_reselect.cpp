#include "camera_reselect.h"

#include "KivoFWSW.h"
#include "app_state.h"
#include "debug_print.h"
#include "device_lookup.h"
#include "device_table.h"
#include "resource.h"
#include <strsafe.h>

namespace {

void SelectItem(int i) {
    g_nPrevSelectedIndex = i;
    SendMessageW(g_hDeviceCombo, CB_SETCURSEL, static_cast<WPARAM>(i), 0);
}

}  // namespace

int MatchUniqueIDForUpdatedDeviceHID() {
    try {
        // An ID that could not be read matches nothing: it would equal every
        // camera whose ID cannot be read either.
        if (DialogUpdate().USBUniqueID[0] == L'\0') {
            DebugLine(L"MatchUniqueIDForUpdatedDeviceHID :: no unique ID to look for\r\n");
            return 0;
        }
        for (int i = 0; i < g_nDeviceCount && i < kMaxDevices; ++i) {
            DeinitExtensionUnit();
            // A camera whose HID interface does not bind (an extension-unit
            // camera, a camera of another kind) is compared all the same:
            // its ID comes from its USB parent, not from the binding, and the
            // camera looked for may be listed after it.
            InitExtensionUnit(g_szDevicePathList[i]);
            wchar_t uniqueId[11] = {};
            const int ok = EnumerateImageDevice(g_szDevicePathList[i], uniqueId);
            DebugLine(ok ? L"MatchUniqueIDForUpdatedDeviceHID :: EnumerateImageDevice for DFU Success\r\n"
                         : L"EnumerateImageDevice Failed\r\n");
            if (ok && uniqueId[0] != L'\0' && wmemcmp(uniqueId, DialogUpdate().USBUniqueID, 10) == 0) {
                DebugPrint(1, L"g_USBUniqueID Serial Number = %s\r\n", DialogUpdate().USBUniqueID);
                DebugPrint(1, L"uCameraUniqueID Serial Number = %s\r\n", uniqueId);
                SelectItem(i);
                g_nSelectedIndex = i;
                StringCchCopyW(g_szCurrentDevicePath, kPathChars, g_szDevicePathList[i]);
                StringCchCopyW(DialogUpdate().szUpdatedCameraPath, kPathChars, g_szDevicePathList[i]);
                return 1;
            }
        }
        return 0;
    } catch (...) {
        SetLastError(0x20000011);
        DebugLine(L"Exception MatchUniqueIDForUpdatedDeviceHID...\r\n");
        return 0;
    }
}

bool FollowUpdatedCamera() {
    if (DialogUpdate().szUpdatedCameraPath[0] == L'\0') return false;
    for (int i = 0; i < g_nDeviceCount && i < kMaxDevices; ++i) {
        if (!DevicePathsEqual(g_szDevicePathList[i], DialogUpdate().szUpdatedCameraPath)) continue;
        if (static_cast<int>(SendMessageW(g_hDeviceCombo, CB_GETCURSEL, 0, 0)) != i)
            DebugPrint(1, L"The updated camera stays selected: item %d\r\n", i);
        SelectItem(i);
        g_nSelectedIndex = i;
        StringCchCopyW(g_szCurrentDevicePath, kPathChars, g_szDevicePathList[i]);
        return true;
    }
    // It has left: the list follows its own rule again.
    DialogUpdate().szUpdatedCameraPath[0] = L'\0';
    return false;
}

void ForgetUpdatedCamera() { DialogUpdate().szUpdatedCameraPath[0] = L'\0'; }

int MatchUniqueIDForUpdatedDeviceDFU() {
    for (int i = 0; i < g_nDeviceCount; ++i) {
        if (IsInSnapshot(DialogUpdate(), g_szDevicePathList[i], L"DBT_DEVICEARRIVAL: MatchUniqueIDForUpdatedDeviceDFU :Device macthed\r\n",
                         L"DBT_DEVICEARRIVAL: MatchUniqueIDForUpdatedDeviceDFU :Device not macthed\r\n")) {
            SelectItem(i);
            break;
        }
    }
    return 1;
}

int UpdateDeviceRemoved() {
    try {
        for (int i = 0; i < g_nDeviceCount; ++i) {
            if (!DevicePathsEqual(g_szDevicePathList[i], g_szBrowseDevicePath)) continue;
            DebugPrint(1, L"DBT_REMOVED: UpdateDeviceRemoved :Device matched\r\n");
            SelectItem(i);
            const int bound = InitExtensionUnit(g_szDevicePathList[i]);
            EnableWindow(GetDlgItem(g_hMainDlg.load(), IDC_BTN_FW_UPDATE), TRUE);
            EnableWindow(GetDlgItem(g_hMainDlg.load(), IDC_BTN_READFW_VERSION), bound != 0);
            return 1;
        }
        g_bNoFilePending = true;
        EndDialog(g_hUpdateWarningDialog.load(), 0);
        SetDlgItemTextW(g_hMainDlg.load(), IDC_EDIT_FIRMWARE_PATH, L"");
        return 0;
    } catch (...) {
        SetLastError(0x20000011);
        DebugLine(L"Exception UpdateDeviceRemoved...\r\n");
        return 0;
    }
}
