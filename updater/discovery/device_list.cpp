#include "device_list.h"

#include <dshow.h>

#include "KivoFWSW.h"
#include "app_state.h"
#include "boot_loaders.h"
#include "debug_print.h"
#include "device_id.h"
#include "image_file.h"
#include "os_api.h"
#include "update_outcome.h"
#include "update_guard.h"
#include "usb_requests.h"
#include <strsafe.h>

namespace {

// Reads a string property of a property bag into out (260 characters).
bool ReadBagString(IPropertyBag* bag, const wchar_t* name, wchar_t* out) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BSTR;
    const HRESULT hr = bag->Read(name, &v, nullptr);
    const bool ok = SUCCEEDED(hr) && v.vt == VT_BSTR && v.bstrVal != nullptr;
    if (ok) StringCchCopyW(out, kPathChars, v.bstrVal);
    VariantClear(&v);
    return ok;
}

void StartLoaderThread(WorkerKind kind, LPTHREAD_START_ROUTINE proc) {
    g_bLoaderThreadStarted = true;
    HANDLE thread = StartWorkerThread(kind, proc, nullptr);
    g_hUpdateThread = thread;
    if (thread == nullptr) {
        // No download runs: the next rebuild may serve the boot loader again.
        g_bLoaderDownloadActive = false;
        ReportUpdate(UpdateReport::Trouble, L"Could'nt Create Thread", L"Error", MB_OK, false);
    }
}

void ShowPath(const wchar_t* path) {
    StringCchCopyW(g_szCurrentDevicePath, kPathChars, path);
    DebugLine(g_szCurrentDevicePath);
}

// Returns false when the rebuild must stop listing here.
bool ServeCypressBootLoader(int i) {
    if (g_bLoaderDownloadActive) return false;
    // Taken before the boot image is read: a second rebuild must neither
    // start another download nor replace the image under this one.
    g_bLoaderDownloadActive = true;
    ReadBootloaderImage();
    ReleaseUpdateModeDevice();
    ShowPath(g_szDevicePathList[i]);
    // The download writes to whatever this open leaves in g_hOpenedDeviceFile:
    // never to a handle of an earlier device.
    g_hOpenedDeviceFile = nullptr;
    Initialize_USBHanlde(g_szCurrentDevicePath);
    DebugPrint(1, L"\r\n***Device In Cypress BootLoader ***\r\n");
    StartLoaderThread(WorkerKind::Fx3Download, DoDownloadCypress);
    return true;
}

bool ServeNxpBootLoader(int i) {
    if (g_bLoaderDownloadActive) return false;
    g_bLoaderDownloadActive = true;
    ShowPath(g_szDevicePathList[i]);
    ReadFlashloaderImage();
    DeinitExtensionUnit();
    ShowPath(g_szDevicePathList[i]);
    if (Init_HIDHandle(g_szCurrentDevicePath) == 0) {
        DebugPrint(1, L"\rInit_HIDHandle Failed\r\n");
        // No download runs: the next rebuild may try this boot loader again.
        ReleaseLoaderImage();
        g_bLoaderDownloadActive = false;
        return true;
    }
    DebugPrint(1, L"\r\n***Device In Cypress BootLoader ***\r\n");
    StartLoaderThread(WorkerKind::RomDownload, DoDownloadNXPCypress);
    return true;
}

void Rebuild(bool withCypress) {
    try {
        DebugPrint(1, L"IDC_COMBO_DEVICELIST AddDeviceNameInCombbox\r\n");
        SendMessageW(g_hDeviceCombo, CB_RESETCONTENT, 0, 0);
        const int count = g_nDeviceCount;
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

int GetAvailableDevices() {
    int result = 0;
    ICreateDevEnum* devEnum = nullptr;
    IEnumMoniker* enumMoniker = nullptr;
    try {
        wchar_t vid[kIdFieldCap] = L"", pid[kIdFieldCap] = L"";
        if (FAILED(Os().CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER, IID_ICreateDevEnum,
                                         reinterpret_cast<void**>(&devEnum)))) {
            DebugLine(L"CLSID_SystemDeviceEnum failed....\r\n");
            return 0;
        }
        const HRESULT hr = devEnum->CreateClassEnumerator(CLSID_VideoInputDeviceCategory, &enumMoniker, 0);
        devEnum->Release();
        devEnum = nullptr;
        if (hr != S_OK || enumMoniker == nullptr) return 0;
        enumMoniker->Reset();
        IMoniker* moniker = nullptr;
        while (enumMoniker->Next(1, &moniker, nullptr) == S_OK) {
            wchar_t path[kPathChars] = L"";
            IPropertyBag* bag = nullptr;
            if (FAILED(moniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag, reinterpret_cast<void**>(&bag)))) {
                moniker->Release();
                enumMoniker->Release();
                return 0;
            }
            if (!ReadBagString(bag, L"DevicePath", path) || path[0] == L'\0') {
                bag->Release();
                moniker->Release();
                continue;
            }
            for (wchar_t* c = path; *c != L'\0'; ++c)
                if (*c >= L'A' && *c <= L'Z') *c = static_cast<wchar_t>(*c - L'A' + L'a');
            DebugPrint(1, L"Available Imaging DevicePath = %s\r\n", path);
            wchar_t cutVid[kIdFieldCap] = L"", cutPid[kIdFieldCap] = L"";
            updater::GetVidPidLowerCase(path, cutVid, cutPid);
            if (cutVid[0] != L'\0') {
                StringCchCopyW(vid, kIdFieldCap, cutVid);
                DebugPrint(1, L"extrctd_vid = %s\r\n", vid);
            }
            if (cutPid[0] != L'\0') {
                StringCchCopyW(pid, kIdFieldCap, cutPid);
                DebugPrint(1, L"extrctd_pid = %s\r\n", pid);
            }
            const int n = g_nDeviceCount;
            if (n >= kMaxDevices) {
                DebugLine(L"Device table is full: camera not listed\r\n");
                bag->Release();
                moniker->Release();
                continue;
            }
            StringCchCopyW(g_szVIDList[n], kIdFieldChars, vid);
            StringCchCopyW(g_szPIDList[n], kIdFieldChars, pid);
            bool keep;
            if (IsDFUDeviceVID(g_szVIDList[n])) {
                keep = IsRestrictedCameraPID(g_szPIDList[n]) == 0;
            } else {
                keep = IdEqualsText(g_szVIDList[n], kIdFieldChars, L"1BCF") &&
                       IdEqualsText(g_szPIDList[n], kIdFieldChars, L"0B12");
                if (keep) g_bSunplusDeviceFound = true;
                DebugPrint(1, L"Imaging  \r\n");
            }
            if (keep) {
                DebugPrint(1, L"Available Imaging DevicePath = %s\r\n", path);
                StringCchCopyW(g_szDevicePathList[n], kPathChars, path);
                wchar_t name[kPathChars] = L"";
                if (ReadBagString(bag, L"FriendlyName", name)) {
                    wchar_t work[kPathChars];
                    StringCchPrintfW(work, kPathChars, L"FriendlyName =%s\r\n", name);
                    DebugLine(work);
                    StringCchCopyW(g_szDeviceNameList[n], kPathChars, name);
                    DebugLine(g_szDeviceNameList[n]);
                    g_nDeviceCount = n + 1;
                    DebugPrint(1, L" Number of Device available = %d\r\n", n + 1);
                }
                result = 1;
            }
            bag->Release();
            moniker->Release();
        }
        enumMoniker->Release();
        return result;
    } catch (...) {
        if (devEnum != nullptr) devEnum->Release();
        DebugPrint(1, L"GetAvailableDevices gets Failed....\r\n");
        return 0;
    }
}

void AddDeviceNameInCombbox() { Rebuild(true); }
void AddDeviceNameInCombboxNXP() { Rebuild(false); }

void RemoveDeviceNameInCombbox() {
    DebugPrint(1, L"IDC_COMBO_DEVICELIST RemoveDeviceNameInCombbox\r\n");
    SendMessageW(g_hDeviceCombo, CB_RESETCONTENT, 0, 0);
}
