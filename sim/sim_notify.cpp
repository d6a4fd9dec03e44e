// RegisterDeviceNotificationW for device-interface classes: the simulator
// records the window and its class and sends it WM_DEVICECHANGE for every
// interface of that class that arrives or leaves (sim_world.cpp delivers).
#include "sim_internal.h"

using namespace sim;
using namespace sim::detail;

namespace simos {

HDEVNOTIFY WINAPI RegisterDeviceNotificationW(HANDLE recipient, LPVOID filter, DWORD flags) {
    auto* header = static_cast<DEV_BROADCAST_HDR*>(filter);
    // Service recipients and handle notifications are not about simulated
    // devices.
    if ((flags & DEVICE_NOTIFY_SERVICE_HANDLE) || !header || header->dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE) {
        return Real().RegisterDeviceNotificationW(recipient, filter, flags);
    }
    if (header->dbch_size < sizeof(DEV_BROADCAST_DEVICEINTERFACE_W)) {
        ::SetLastError(ERROR_INVALID_DATA);
        return nullptr;
    }
    HWND window = static_cast<HWND>(recipient);
    if (!::IsWindow(window)) {
        ::SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    NotificationRecord r;
    r.window = window;
    r.allClasses = (flags & DEVICE_NOTIFY_ALL_INTERFACE_CLASSES) != 0;
    r.interfaceClass = static_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(filter)->dbcc_classguid;
    // Never freed: a change queued before an unregistration still names this
    // key, and a reused address would send it to somebody else.
    void* key = ::operator new(1);
    World& w = W();
    {
        std::lock_guard<std::mutex> lock(w.mu);
        w.registrations[key] = r;
    }
    ::SetLastError(ERROR_SUCCESS);
    return static_cast<HDEVNOTIFY>(key);
}

BOOL WINAPI UnregisterDeviceNotification(HDEVNOTIFY handle) {
    World& w = W();
    bool ours;
    {
        std::lock_guard<std::mutex> lock(w.mu);
        ours = w.registrations.erase(handle) != 0;
    }
    if (!ours) return Real().UnregisterDeviceNotification(handle);
    return TRUE;
}

}  // namespace simos
