// Helpers of the simulator tests: the reference world, GUID and multi-string
// text, and a window with its own message loop that records device changes.
#pragma once

#include "sim_world.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace simtest {

// Set before a call so that a call that forgets to set the last error shows.
constexpr DWORD kMarker = 0x0BADF00D;

std::wstring GuidString(const GUID& g);
// REG_MULTI_SZ / DEVPROP_TYPE_STRING_LIST bytes as a list.
std::vector<std::wstring> MultiSz(const BYTE* data, DWORD bytes);

// The reference world: the composite camera of the naming rules (serial
// SN12345678AB on port 2 of a hub on root port 3, fixed made-up parts so the
// exact Windows strings can be compared), a camera without a serial on root
// port 1, the update-mode device DF00 on WinUSB, and the NXP ROM 1FC9:0135.
struct ReferenceWorld {
    sim::DeviceId camera = 0;
    sim::DeviceId cameraNoSerial = 0;
    sim::DeviceId dfu = 0;
    sim::DeviceId nxp = 0;
};
sim::UsbDeviceSpec ReferenceCameraSpec();
ReferenceWorld PlugReferenceWorld();

// Everything the product reads about one interface, each read done the way
// the product does it (size query first), with the size queries checked.
struct InterfaceFacts {
    std::wstring path;
    std::wstring instanceId;      // CM_Get_Device_IDW of the device
    std::wstring parentId;        // CM_Get_Parent + CM_Get_Device_IDW
    std::wstring devpropParent;   // SetupDiGetDevicePropertyW(DEVPKEY_Device_Parent)
    std::vector<std::wstring> hardwareIds;
    std::vector<std::wstring> locationPaths;  // empty when the node has none
    std::wstring description;
};
std::vector<InterfaceFacts> EnumerateClass(const GUID& interfaceClass);

// One WM_DEVICECHANGE as a window got it.
struct DeviceChangeSeen {
    WPARAM event = 0;
    DWORD deviceType = 0;
    GUID interfaceClass{};
    std::wstring name;
    bool sent = false;  // InSendMessage(): it came through SendMessageW from another thread
    DWORD threadId = 0;
};

// A top-level window on a thread of its own with a message loop, registered
// through the OS table for one interface class.
class NotificationWindow {
public:
    explicit NotificationWindow(const GUID& interfaceClass);
    ~NotificationWindow();
    HWND hwnd() const { return hwnd_; }
    DWORD threadId() const { return threadId_; }
    std::vector<DeviceChangeSeen> Seen();
    bool registered() const { return notify_ != nullptr; }

private:
    static LRESULT CALLBACK Proc(HWND, UINT, WPARAM, LPARAM);
    void Run(GUID interfaceClass);

    std::thread thread_;
    HANDLE ready_ = nullptr;
    HWND hwnd_ = nullptr;
    HDEVNOTIFY notify_ = nullptr;
    DWORD threadId_ = 0;
    std::mutex mu_;
    std::vector<DeviceChangeSeen> seen_;
};

}  // namespace simtest
