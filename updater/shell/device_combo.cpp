#include "device_combo.h"

#include "KivoFWSW.h"
#include "app_state.h"
#include "boot_loaders.h"
#include "debug_print.h"
#include "id_text.h"
#include "image_file.h"
#include "usb_requests.h"
#include <strsafe.h>

namespace {

void StartLoaderThread(CameraUpdate& u, WorkerKind kind, LPTHREAD_START_ROUTINE proc) {
    u.bLoaderThreadStarted = true;
    HANDLE thread = u.StartWorker(kind, proc, &u);
    u.hUpdateThread = thread;
    if (thread == nullptr) {
        // No download runs: the next rebuild may serve the boot loader again.
        u.bLoaderDownloadActive = false;
        u.Report(UpdateReport::Trouble, L"Could'nt Create Thread", L"Error", MB_OK, false);
    }
}

void ShowPath(const wchar_t* path) {
    StringCchCopyW(g_szCurrentDevicePath, kPathChars, path);
    DebugLine(g_szCurrentDevicePath);
}

// The started boot loader has left the bus: the next one there (also on the
// same port) is served.
void ForgetABootLoaderThatLeft(int count) {
    CameraUpdate& u = DialogUpdate();
    if (!u.bBootLoaderStarted) return;
    for (int i = 0; i < count && i < kMaxDevices; ++i)
        if (DevicePathsEqual(g_szDevicePathList[i], u.szBootLoaderPath)) return;
    u.bBootLoaderStarted = false;
}

// Returns false when the rebuild must stop listing here.
bool ServeCypressBootLoader(int i) {
    CameraUpdate& u = DialogUpdate();
    if (u.bLoaderDownloadActive) return false;
    // The boot loader whose program was started is on its way off the bus:
    // a rebuild meanwhile (a bystander's arrival) must not serve it again.
    if (u.bBootLoaderStarted && DevicePathsEqual(g_szDevicePathList[i], u.szBootLoaderPath)) {
        DebugLine(L"The boot loader's program was started already: it is not served again\r\n");
        return true;
    }
    u.bBootLoaderStarted = false;
    StringCchCopyW(u.szBootLoaderPath, kPathChars, g_szDevicePathList[i]);
    // Taken before the boot image is read: a second rebuild must neither
    // start another download nor replace the image under this one.
    u.bLoaderDownloadActive = true;
    ReadBootloaderImage(u);
    ReleaseUpdateModeDevice(u);
    ShowPath(g_szDevicePathList[i]);
    // The download writes to whatever this open leaves in the update's
    // opened device file:
    // never to a handle of an earlier device.
    u.hOpenedDeviceFile = nullptr;
    Initialize_USBHanlde(u, g_szCurrentDevicePath);
    DebugPrint(1, L"\r\n***Device In Cypress BootLoader ***\r\n");
    StartLoaderThread(u, WorkerKind::Fx3Download, DoDownloadCypress);
    return true;
}

bool ServeNxpBootLoader(int i) {
    CameraUpdate& u = DialogUpdate();
    if (u.bLoaderDownloadActive) return false;
    u.bLoaderDownloadActive = true;
    ShowPath(g_szDevicePathList[i]);
    ReadFlashloaderImage(u);
    DeinitExtensionUnit();
    ShowPath(g_szDevicePathList[i]);
    if (Init_HIDHandle(g_szCurrentDevicePath) == 0) {
        DebugPrint(1, L"\rInit_HIDHandle Failed\r\n");
        // No download runs: the next rebuild may try this boot loader again.
        ReleaseLoaderImage(u);
        u.bLoaderDownloadActive = false;
        return true;
    }
    DebugPrint(1, L"\r\n***Device In Cypress BootLoader ***\r\n");
    StartLoaderThread(u, WorkerKind::RomDownload, DoDownloadNXPCypress);
    return true;
}

void Rebuild(bool withCypress) {
    try {
        DebugPrint(1, L"IDC_COMBO_DEVICELIST AddDeviceNameInCombbox\r\n");
        SendMessageW(g_hDeviceCombo, CB_RESETCONTENT, 0, 0);
        const int count = g_nDeviceCount;
        ForgetABootLoaderThatLeft(count);
        for (int i = 0; i < count && i < kMaxDevices; ++i) {
            wchar_t work[kPathChars] = L"";
            const bool cypress = IdEqualsText(g_szPIDList[i], kIdFieldChars, L"00F3") &&
                                 IdEqualsText(g_szVIDList[i], kIdFieldChars, L"04B4");
            const bool nxp = IdEqualsText(g_szPIDList[i], kIdFieldChars, L"0135") &&
                             IdEqualsText(g_szVIDList[i], kIdFieldChars, L"1FC9");
            if (cypress && withCypress) {
                if (!ServeCypressBootLoader(i)) break;
            } else if (nxp) {
                if (!ServeNxpBootLoader(i)) break;
            } else {
                StringCchPrintfW(work, kPathChars, L"%s(VID_%s,PID_%s_%d)", g_szDeviceNameList[i], g_szVIDList[i],
                                 g_szPIDList[i], i);
            }
            DebugLine(work);
            DebugLine(work);
            SendMessageW(g_hDeviceCombo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(work));
        }
        g_nPrevSelectedIndex = 0;
        SendMessageW(g_hDeviceCombo, CB_SETCURSEL, 0, 0);
        g_nSelectedIndex = static_cast<int>(SendMessageW(g_hDeviceCombo, CB_GETCURSEL, 0, 0));
        DebugPrint(1, L"Current selected index = %d \r\n", g_nSelectedIndex.load());
        const int sel = g_nSelectedIndex;
        // With nothing listed the operator works on no device.
        ShowPath(sel >= 0 && sel < kMaxDevices && sel < count ? g_szDevicePathList[sel] : L"");
    } catch (...) {
        SetLastError(0x20000011);
        DebugLine(L"Exception AddDeviceNameInCombbox...\r\n");
    }
}

}  // namespace

void AddDeviceNameInCombbox() { Rebuild(true); }
void AddDeviceNameInCombboxNXP() { Rebuild(false); }

void RemoveDeviceNameInCombbox() {
    DebugPrint(1, L"IDC_COMBO_DEVICELIST RemoveDeviceNameInCombbox\r\n");
    SendMessageW(g_hDeviceCombo, CB_RESETCONTENT, 0, 0);
}
