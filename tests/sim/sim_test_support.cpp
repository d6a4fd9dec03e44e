#include "sim_test_support.h"

#include "os_api.h"

#include <objbase.h>

namespace simtest {

std::wstring GuidString(const GUID& g) {
    wchar_t text[64] = {};
    ::StringFromGUID2(g, text, 64);
    return text;
}

std::vector<std::wstring> MultiSz(const BYTE* data, DWORD bytes) {
    std::vector<std::wstring> out;
    const wchar_t* p = reinterpret_cast<const wchar_t*>(data);
    const wchar_t* end = p + bytes / sizeof(wchar_t);
    while (p < end && *p) {
        std::wstring s;
        while (p < end && *p) s.push_back(*p++);
        out.push_back(s);
        ++p;
    }
    return out;
}

sim::UsbDeviceSpec ReferenceCameraSpec() {
    sim::UsbDeviceSpec s = sim::CameraSpec(0x4A7E, 0xC05C, L"SN12345678AB", {3, 2}, L"Kivo Camera C05C");
    s.interfacePrefix = L"6&173BB4E8&0";
    s.hidCollectionPrefix = L"7&2A8F41C&0";
    return s;
}

ReferenceWorld PlugReferenceWorld() {
    ReferenceWorld w;
    w.camera = sim::Plug(ReferenceCameraSpec());
    w.cameraNoSerial = sim::Plug(sim::CameraSpec(0x4A7E, 0xC05C, L"", {1}, L"Kivo Camera C05C"));
    w.dfu = sim::Plug(sim::WinUsbSpec(0x4A7E, 0xDF00, L"SN12345678AB", {3, 2}, L"orviDFU"));
    w.nxp = sim::Plug(sim::HidDeviceSpec(0x1FC9, 0x0135, L"", {4}));
    return w;
}

namespace {

// A registry property read as the product reads it: a size query that must
// fail with ERROR_INSUFFICIENT_BUFFER and name the size, then the read.
// Returns false when the node does not have it (ERROR_INVALID_DATA).
bool ReadRegistryProperty(HDEVINFO set, SP_DEVINFO_DATA* dev, DWORD property, DWORD expectedType,
                          std::vector<BYTE>* out) {
    DWORD type = 0, required = 0;
    ::SetLastError(kMarker);
    BOOL ok = Os().SetupDiGetDeviceRegistryPropertyW(set, dev, property, &type, nullptr, 0, &required);
    DWORD error = ::GetLastError();
    EXPECT_FALSE(ok);
    if (error == ERROR_INVALID_DATA) return false;
    EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), error) << "property " << property;
    EXPECT_EQ(expectedType, type) << "property " << property;
    EXPECT_GT(required, 0u);
    out->assign(required, 0xCC);
    DWORD again = 0;
    ::SetLastError(kMarker);
    ok = Os().SetupDiGetDeviceRegistryPropertyW(set, dev, property, &type, out->data(), required, &again);
    EXPECT_TRUE(ok) << "property " << property << " error " << ::GetLastError();
    EXPECT_EQ(required, again);
    return ok != FALSE;
}

std::wstring DeviceId(DEVINST devinst) {
    wchar_t buffer[MAX_DEVICE_ID_LEN] = {};
    CONFIGRET cr = Os().CM_Get_Device_IDW(devinst, buffer, MAX_DEVICE_ID_LEN, 0);
    EXPECT_EQ(CR_SUCCESS, cr);
    return buffer;
}

}  // namespace

std::vector<InterfaceFacts> EnumerateClass(const GUID& cls) {
    std::vector<InterfaceFacts> out;
    HDEVINFO set = Os().SetupDiGetClassDevsW(&cls, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    EXPECT_NE(INVALID_HANDLE_VALUE, set);
    if (set == INVALID_HANDLE_VALUE) return out;
    HMODULE setupapi = Os().GetModuleHandleW(L"Setupapi.dll");
    auto getProperty =
        reinterpret_cast<PFN_SetupDiGetDevicePropertyW>(Os().GetProcAddress(setupapi, "SetupDiGetDevicePropertyW"));
    EXPECT_NE(nullptr, getProperty);
    for (DWORD index = 0;; ++index) {
        SP_DEVICE_INTERFACE_DATA itf = {};
        itf.cbSize = sizeof(itf);
        ::SetLastError(kMarker);
        if (!Os().SetupDiEnumDeviceInterfaces(set, nullptr, &cls, index, &itf)) {
            EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_ITEMS), ::GetLastError());
            break;
        }
        EXPECT_TRUE(IsEqualGUID(cls, itf.InterfaceClassGuid));
        InterfaceFacts facts;

        DWORD required = 0;
        SP_DEVINFO_DATA dev = {};
        dev.cbSize = sizeof(dev);
        ::SetLastError(kMarker);
        EXPECT_FALSE(Os().SetupDiGetDeviceInterfaceDetailW(set, &itf, nullptr, 0, &required, nullptr));
        EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), ::GetLastError());
        std::vector<BYTE> detailBytes(required);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(detailBytes.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        ::SetLastError(kMarker);
        EXPECT_TRUE(Os().SetupDiGetDeviceInterfaceDetailW(set, &itf, detail, required, nullptr, &dev));
        facts.path = detail->DevicePath;
        // What the size query asked for is exactly the path and its head.
        EXPECT_EQ(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) + (facts.path.size() + 1) * sizeof(wchar_t),
                  required);

        // The device of the same index is the interface's device.
        SP_DEVINFO_DATA byIndex = {};
        byIndex.cbSize = sizeof(byIndex);
        EXPECT_TRUE(Os().SetupDiEnumDeviceInfo(set, index, &byIndex));
        EXPECT_EQ(dev.DevInst, byIndex.DevInst);

        facts.instanceId = DeviceId(dev.DevInst);
        DEVINST parent = 0;
        if (Os().CM_Get_Parent(&parent, dev.DevInst, 0) == CR_SUCCESS) facts.parentId = DeviceId(parent);

        std::vector<BYTE> bytes;
        if (ReadRegistryProperty(set, &dev, SPDRP_HARDWAREID, REG_MULTI_SZ, &bytes)) {
            facts.hardwareIds = MultiSz(bytes.data(), static_cast<DWORD>(bytes.size()));
        }
        if (ReadRegistryProperty(set, &dev, SPDRP_LOCATION_PATHS, REG_MULTI_SZ, &bytes)) {
            facts.locationPaths = MultiSz(bytes.data(), static_cast<DWORD>(bytes.size()));
        }
        if (ReadRegistryProperty(set, &dev, SPDRP_DEVICEDESC, REG_SZ, &bytes)) {
            facts.description = reinterpret_cast<const wchar_t*>(bytes.data());
        }
        if (getProperty) {
            DEVPROPTYPE type = 0;
            wchar_t buffer[260] = {};
            ::SetLastError(kMarker);
            if (getProperty(set, &dev, &sim::kDevPKeyDeviceParent, &type, reinterpret_cast<PBYTE>(buffer),
                            sizeof(buffer), &required, 0)) {
                EXPECT_EQ(static_cast<DEVPROPTYPE>(DEVPROP_TYPE_STRING), type);
                facts.devpropParent = buffer;
            }
        }
        out.push_back(facts);
    }
    ::SetLastError(kMarker);
    EXPECT_TRUE(Os().SetupDiDestroyDeviceInfoList(set));
    return out;
}

// ---------------------------------------------------------------- NotificationWindow

NotificationWindow::NotificationWindow(const GUID& interfaceClass) {
    ready_ = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    thread_ = std::thread([this, interfaceClass] { Run(interfaceClass); });
    ::WaitForSingleObject(ready_, 10000);
}

NotificationWindow::~NotificationWindow() {
    if (hwnd_) ::PostMessageW(hwnd_, WM_CLOSE, 0, 0);
    if (thread_.joinable()) thread_.join();
    ::CloseHandle(ready_);
}

std::vector<DeviceChangeSeen> NotificationWindow::Seen() {
    std::lock_guard<std::mutex> lock(mu_);
    return seen_;
}

LRESULT CALLBACK NotificationWindow::Proc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<NotificationWindow*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (msg == WM_DEVICECHANGE && self) {
        DeviceChangeSeen seen;
        seen.event = wParam;
        seen.sent = ::InSendMessage() != FALSE;
        seen.threadId = ::GetCurrentThreadId();
        auto* header = reinterpret_cast<DEV_BROADCAST_HDR*>(lParam);
        if (header) {
            seen.deviceType = header->dbch_devicetype;
            if (header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE) {
                auto* b = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(lParam);
                seen.interfaceClass = b->dbcc_classguid;
                seen.name = b->dbcc_name;
                // The record is as long as its size says, name included.
                EXPECT_EQ(offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name) + (seen.name.size() + 1) * sizeof(wchar_t),
                          static_cast<size_t>(b->dbcc_size));
            }
        }
        std::lock_guard<std::mutex> lock(self->mu_);
        self->seen_.push_back(seen);
        return TRUE;
    }
    if (msg == WM_CLOSE) {
        ::DestroyWindow(hwnd);
        return 0;
    }
    if (msg == WM_DESTROY) {
        ::PostQuitMessage(0);
        return 0;
    }
    return ::DefWindowProcW(hwnd, msg, wParam, lParam);
}

void NotificationWindow::Run(GUID interfaceClass) {
    static ATOM atom = [] {
        WNDCLASSW wc = {};
        wc.lpfnWndProc = &NotificationWindow::Proc;
        wc.hInstance = ::GetModuleHandleW(nullptr);
        wc.lpszClassName = L"CorvaneSimTestWindow";
        return ::RegisterClassW(&wc);
    }();
    (void)atom;
    threadId_ = ::GetCurrentThreadId();
    hwnd_ = ::CreateWindowExW(0, L"CorvaneSimTestWindow", L"sim test", WS_OVERLAPPEDWINDOW, 0, 0, 10, 10, nullptr,
                              nullptr, ::GetModuleHandleW(nullptr), nullptr);
    ::SetWindowLongPtrW(hwnd_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    DEV_BROADCAST_DEVICEINTERFACE_W filter = {};
    filter.dbcc_size = sizeof(filter);
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = interfaceClass;
    notify_ = Os().RegisterDeviceNotificationW(hwnd_, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    ::SetEvent(ready_);
    MSG msg;
    while (::GetMessageW(&msg, nullptr, 0, 0) > 0) {
        ::TranslateMessage(&msg);
        ::DispatchMessageW(&msg);
    }
    if (notify_) Os().UnregisterDeviceNotification(notify_);
}

}  // namespace simtest
