// The base of every simulated device: what a model of a camera, an update-mode
// device or a boot loader overrides, and the I/O request it is handed.
//
// A model is called without any simulator lock held, from whichever thread
// issued the call (or from the simulator's timeline thread for scheduled
// work), so a model guards its own state. It may call back into the world
// (re-enumerate, schedule) from any of its methods.
#pragma once

#include "sim_api.h"

#include "os_api.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace sim {

// One plugged device: a USB device from its arrival until it leaves the bus.
// A device that comes back (even with the same serial) is a new DeviceId.
using DeviceId = unsigned;

enum class FunctionKind { Video, Hid, Other };

// Which interface of which device a handle was opened on.
struct OpenContext {
    DeviceId device = 0;
    int interfaceNumber = -1;  // MI_xx of a composite device, -1 for the device itself
    FunctionKind kind = FunctionKind::Other;
    bool usbDeviceInterface = false;  // opened through GUID_DEVINTERFACE_USB_DEVICE
    std::wstring path;                // the interface path as the simulator names it
    DWORD access = 0;                 // dwDesiredAccess of CreateFileW
    DWORD flags = 0;                  // dwFlagsAndAttributes of CreateFileW
};

class IoRequest;
using IoRequestPtr = std::shared_ptr<IoRequest>;

namespace detail {
struct IoState;
}

// One ReadFile / WriteFile / DeviceIoControl / WinUsb_ControlTransfer. The
// model completes it at once (inside the call that handed it over), or keeps
// the pointer and completes it later from any thread; a request that was
// cancelled, or whose device left the bus, ignores later completions.
class CORVANE_SIM_API IoRequest {
public:
    enum class Kind { Read, Write, DeviceIoControl, ControlTransfer };

    Kind kind() const { return kind_; }
    const OpenContext& context() const { return context_; }
    DWORD ioctlCode() const { return ioctlCode_; }
    const WINUSB_SETUP_PACKET& setup() const { return setup_; }
    // Bytes the caller sent: WriteFile data, DeviceIoControl input buffer,
    // data stage of an OUT control transfer. A copy, valid after the call.
    const std::vector<BYTE>& input() const { return input_; }
    // Room for the reply: ReadFile length, DeviceIoControl output size,
    // data stage length of an IN control transfer.
    DWORD outputCapacity() const { return outputCapacity_; }
    bool IsPending() const;

    // Completes with reply bytes (cut to outputCapacity()); the transferred
    // count is the number of bytes copied. Returns false when the request was
    // already completed, cancelled or aborted.
    bool CompleteData(const void* data, DWORD length, DWORD error = ERROR_SUCCESS);
    bool CompleteData(const std::vector<BYTE>& data, DWORD error = ERROR_SUCCESS) {
        return CompleteData(data.data(), static_cast<DWORD>(data.size()), error);
    }
    // Completes a request without reply data (writes, OUT transfers).
    bool CompleteBytes(DWORD transferred, DWORD error = ERROR_SUCCESS);
    bool Fail(DWORD error) { return CompleteBytes(0, error); }
    // Completes after simulatedMs of simulated time, from the timeline thread.
    void CompleteDataAfter(DWORD simulatedMs, std::vector<BYTE> data, DWORD error = ERROR_SUCCESS);
    void CompleteBytesAfter(DWORD simulatedMs, DWORD transferred, DWORD error = ERROR_SUCCESS);

    IoRequest(Kind kind, OpenContext context);
    ~IoRequest();
    IoRequest(const IoRequest&) = delete;
    IoRequest& operator=(const IoRequest&) = delete;

private:
    friend struct detail::IoState;
    Kind kind_;
    OpenContext context_;
    DWORD ioctlCode_ = 0;
    WINUSB_SETUP_PACKET setup_{};
    std::vector<BYTE> input_;
    DWORD outputCapacity_ = 0;
    detail::IoState* state_ = nullptr;  // owned; the simulator's bookkeeping
};

// Base of the device models. Every method has a "not supported" default, so a
// model overrides only what its device does.
class CORVANE_SIM_API DeviceModel {
public:
    DeviceModel();
    virtual ~DeviceModel();
    DeviceModel(const DeviceModel&) = delete;
    DeviceModel& operator=(const DeviceModel&) = delete;

    // The device arrived on the bus / left it (after its removal was
    // recorded; pending I/O has already been failed).
    virtual void Attached(DeviceId device) {}
    virtual void Detached(DeviceId device) {}

    // CreateFileW on one of the device's interfaces: ERROR_SUCCESS to allow,
    // or the error the open fails with (e.g. ERROR_ACCESS_DENIED).
    virtual DWORD Open(const OpenContext& context) { return ERROR_SUCCESS; }
    virtual void Close(const OpenContext& context) {}

    // Defaults fail with ERROR_INVALID_FUNCTION (the driver does not serve
    // the request); control transfers fail with ERROR_GEN_FAILURE (a stall).
    virtual void Read(const IoRequestPtr& request);
    virtual void Write(const IoRequestPtr& request);
    virtual void DeviceIoControl(const IoRequestPtr& request);
    virtual void ControlTransfer(const IoRequestPtr& request);
    // A request the model kept was cancelled (CancelIo, CloseHandle) or
    // aborted because the device left; the model forgets it.
    virtual void Cancelled(const IoRequestPtr& request) {}

    // HidD_GetInputReport / HidD_SetOutputReport: ERROR_SUCCESS or the error
    // the call fails with. The buffer holds the report ID in byte 0.
    virtual DWORD GetInputReport(const OpenContext& context, BYTE* report, ULONG length);
    virtual DWORD SetOutputReport(const OpenContext& context, const BYTE* report, ULONG length);
};

}  // namespace sim
