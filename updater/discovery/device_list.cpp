#include "device_list.h"

#include <dshow.h>

#include "KivoFWSW.h"
#include "debug_print.h"
#include "device_id.h"
#include "device_table.h"
#include "os_api.h"
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

