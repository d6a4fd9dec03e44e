// The simulated world of corvane_sim.dll: USB devices on ports, the device
// nodes and interface paths Windows would give them, hot-plug timelines, the
// simulated clock, and the records and answers of operator dialogs.
//
// One world per process, shared by every module that takes its OS table from
// SimOsApi(). All functions are thread-safe.
#pragma once

#include "sim_api.h"
#include "sim_device_model.h"
#include "sim_events.h"

#include "os_api.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

extern "C" CORVANE_SIM_API const OsApi* SimOsApi(void);

namespace sim {

// ---------------------------------------------------------------- devices

// Interface class GUIDs the simulator exposes.
CORVANE_SIM_API extern const GUID kGuidUsbDevice;        // {A5DCBF10-6530-11D2-901F-00C04FB951ED}
CORVANE_SIM_API extern const GUID kGuidHid;              // {4D1E55B2-F16F-11CF-88CB-001111000030}
CORVANE_SIM_API extern const GUID kGuidKsCategoryCapture;  // {65E8773D-8F56-11D0-A3B9-00A0C9223196}
CORVANE_SIM_API extern const GUID kGuidKsCategoryVideo;    // {6994AD05-93EF-11D0-A3CC-00A0C9223196}
CORVANE_SIM_API extern const DEVPROPKEY kDevPKeyDeviceParent;  // {4340A6C5-...-7B648008A5A7}, 8

// HID capabilities of one top-level collection (HidP_GetCaps).
struct HidCaps {
    USHORT usagePage = 0xFF00;
    USHORT usage = 0x0001;
    USHORT inputReportLength = 65;   // with the report ID byte
    USHORT outputReportLength = 65;
    USHORT featureReportLength = 0;
    // Report IDs the collection declares; empty: it has none, and byte 0 of
    // every report is 0.
    std::vector<BYTE> inputReportIds;
    std::vector<BYTE> outputReportIds;
};

// One function of a USB device. On a composite device it is an interface node
// MI_xx; on a non-composite HID device the one HID function describes the HID
// collection under the USB device node.
struct FunctionSpec {
    FunctionKind kind = FunctionKind::Other;
    int interfaceNumber = 0;
    std::wstring description;   // SPDRP_DEVICEDESC of the interface node (default by kind)
    std::wstring friendlyName;  // SPDRP_FRIENDLYNAME of the interface node; empty: none
    HidCaps hid;                // HID functions
    // Third hardware ID of the HID collection; empty: HID_DEVICE_UP:pppp_U:uuuu.
    std::wstring hidClassHardwareId;
    std::wstring hidDescription;  // SPDRP_DEVICEDESC of the HID collection
};

// A USB device as it shows on the bus.
struct UsbDeviceSpec {
    USHORT vid = 0;
    USHORT pid = 0;
    USHORT bcdDevice = 0x0100;
    // Empty (or unusable in an instance ID): Windows makes up an ID from the port.
    std::wstring serial;
    std::vector<int> ports = {1};  // root port first, then hub ports: {3, 2}
    std::wstring description;      // SPDRP_DEVICEDESC of the USB device node (default by kind)
    std::wstring friendlyName;     // SPDRP_FRIENDLYNAME of the USB device node; empty: none
    std::wstring service;          // SPDRP_SERVICE of the USB device node (default by kind)
    bool composite = false;
    std::vector<FunctionSpec> functions;
    // Fixed made-up instance parts, for worlds that must show exact strings;
    // empty: derived deterministically from the parent's instance ID.
    std::wstring madeUpInstance;       // e.g. "5&2F3C1A0&0&3" (no serial)
    std::wstring interfacePrefix;      // e.g. "6&173BB4E8&0" (MI nodes)
    std::wstring hidCollectionPrefix;  // e.g. "7&2A8F41C&0"
};

// A composite camera: video MI_00 (KSCATEGORY_CAPTURE and _VIDEO) and HID
// command interfaces (MI_02 by default; a stereo camera has {2, 3}).
CORVANE_SIM_API UsbDeviceSpec CameraSpec(USHORT vid, USHORT pid, const std::wstring& serial,
                                         std::vector<int> ports, const std::wstring& friendlyName,
                                         std::vector<int> hidInterfaces = {2});
// A non-composite device on WinUSB, such as the update-mode device ("orviDFU").
CORVANE_SIM_API UsbDeviceSpec WinUsbSpec(USHORT vid, USHORT pid, const std::wstring& serial,
                                         std::vector<int> ports, const std::wstring& description = L"orviDFU");
// A non-composite HID device (NXP ROM, flash loader): its HID collection is a
// child of the USB device node.
CORVANE_SIM_API UsbDeviceSpec HidDeviceSpec(USHORT vid, USHORT pid, const std::wstring& serial,
                                            std::vector<int> ports, HidCaps caps = HidCaps());

// Plugs a device in now: its nodes become present and arrivals are sent to
// the registered windows (asynchronously, in order). model may be null (a
// device nobody talks to).
CORVANE_SIM_API DeviceId Plug(const UsbDeviceSpec& spec, std::shared_ptr<DeviceModel> model = nullptr);
// Plugs it in after simulatedMs; the id is valid at once, the device is not
// present until then.
CORVANE_SIM_API DeviceId PlugAfter(DWORD simulatedMs, const UsbDeviceSpec& spec,
                                   std::shared_ptr<DeviceModel> model = nullptr);
// The device leaves the bus: open handles fail with ERROR_DEVICE_NOT_CONNECTED,
// pending I/O completes with it, removals are sent. False if it was not present.
CORVANE_SIM_API bool Unplug(DeviceId device);
CORVANE_SIM_API void UnplugAfter(DWORD simulatedMs, DeviceId device);
// The device leaves the bus after leaveMs and comes back as another device
// (e.g. a camera restarting as the update-mode device) arriveMs after that.
// Returns the id of the new device.
CORVANE_SIM_API DeviceId Reenumerate(DeviceId device, DWORD leaveMs, DWORD arriveMs, const UsbDeviceSpec& next,
                                     std::shared_ptr<DeviceModel> model);
CORVANE_SIM_API bool IsPresent(DeviceId device);
// Instance ID of the device's USB node (empty before it was plugged).
CORVANE_SIM_API std::wstring InstanceId(DeviceId device);
// Interface paths of the device's nodes for an interface class, in node order.
CORVANE_SIM_API std::vector<std::wstring> InterfacePaths(DeviceId device, const GUID& interfaceClass);
// The spec the device was plugged with.
CORVANE_SIM_API UsbDeviceSpec SpecOf(DeviceId device);
// The model serving the device (null for a device plugged without one).
CORVANE_SIM_API std::shared_ptr<DeviceModel> ModelOf(DeviceId device);
// The devices on the bus now, in the order they arrived.
CORVANE_SIM_API std::vector<DeviceId> PresentDevices();

// Open of one device fails with this error (0: opens normally).
CORVANE_SIM_API void SetOpenFailure(DeviceId device, DWORD error);

enum class EnumerationOrder { Insertion, Reverse, ByPath };
// Order of device-information sets (default: the order nodes were created).
CORVANE_SIM_API void SetEnumerationOrder(EnumerationOrder order);

// In which order a device's arrival notifications go out: its USB-device
// interface first, then its functions' (video, HID), as Windows usually
// sends them (the default); or the functions' first.
enum class ArrivalOrder { UsbDeviceFirst, FunctionsFirst };
CORVANE_SIM_API void SetArrivalOrder(ArrivalOrder order);

// ---------------------------------------------------------------- timeline

// Runs fn on the timeline thread after simulatedMs. Scheduled work and
// device-change messages run one at a time, in order.
CORVANE_SIM_API void After(DWORD simulatedMs, std::function<void()> fn);
// Waits (real time) until no scheduled work is left and every device-change
// message was delivered. Dispatches messages sent to this thread's windows
// while it waits. False on time-out.
CORVANE_SIM_API bool WaitForIdle(DWORD realTimeoutMs = 10000);

// ---------------------------------------------------------------- time

// Factor from simulated to real time: 1.0 real time, 0.01 a hundred times
// faster. Scales Sleep, WaitForSingleObject time-outs, SetTimer periods,
// GetTickCount and the timeline.
CORVANE_SIM_API void SetTimeScale(double factor);
CORVANE_SIM_API double TimeScale();
// The simulated clock in ms (what GetTickCount returns through the table).
CORVANE_SIM_API ULONGLONG SimulatedNowMs();

// ---------------------------------------------------------------- system

CORVANE_SIM_API void SetWindowsVersion(DWORD major, DWORD minor, DWORD build);
// GetProcAddress(kernel32, "IsWow64Process"): the real one, none, or one that
// answers TRUE / FALSE.
enum class Wow64 { Real, Absent, True, False };
CORVANE_SIM_API void SetWow64(Wow64 mode);
// GetProcAddress(setupapi, "SetupDiGetDevicePropertyW") finds the simulator's
// implementation, or nothing (an older system).
CORVANE_SIM_API void SetDevicePropertyApiPresent(bool present);
// GetModuleFileNameW of the program (hModule NULL); empty: the real one.
CORVANE_SIM_API void SetModuleFileName(const std::wstring& path);

struct ProcessCall {
    std::wstring applicationName;  // lpApplicationName, empty when NULL
    std::wstring commandLine;      // lpCommandLine, empty when NULL
    std::wstring currentDirectory; // lpCurrentDirectory, empty when NULL
    DWORD creationFlags = 0;
    DWORD threadId = 0;
};
// CreateProcessW: pass through (default), fail with an error, or pretend that a
// process ran and ended with exitCode (its handles are signalled at once and
// GetExitCodeProcess reports the code).
CORVANE_SIM_API void SetCreateProcessPassThrough();
CORVANE_SIM_API void SetCreateProcessFailure(DWORD error);
CORVANE_SIM_API void SetCreateProcessExitCode(DWORD exitCode);
CORVANE_SIM_API std::vector<ProcessCall> ProcessCalls();

// CoCreateInstance: a hook that may serve the call (return true and set *result)
// or leave it to the real one (return false). The system device enumerator is
// served here once its objects exist.
using CoCreateHook = std::function<bool(REFCLSID, LPUNKNOWN, DWORD, REFIID, LPVOID*, HRESULT* result)>;
CORVANE_SIM_API void SetCoCreateInstanceHook(CoCreateHook hook);

// ---------------------------------------------------------------- dialogs

struct MessageBoxCall {
    HWND owner = nullptr;
    std::wstring text;
    std::wstring caption;
    UINT type = 0;
    int answer = 0;
    DWORD threadId = 0;
};
// Answers the next message box (FIFO). With no answer queued a box answers
// IDOK, IDYES for MB_YESNO / MB_YESNOCANCEL, IDRETRY for MB_RETRYCANCEL,
// IDABORT for MB_ABORTRETRYIGNORE, IDCONTINUE for MB_CANCELTRYCONTINUE.
CORVANE_SIM_API void QueueMessageBoxAnswer(int answer);
// Hook called (on the calling thread, no lock held) before the queue is
// consulted; returns the answer, or 0 to leave the box to the queue.
CORVANE_SIM_API void SetMessageBoxHook(std::function<int(const MessageBoxCall&)> hook);
CORVANE_SIM_API std::vector<MessageBoxCall> MessageBoxes();

struct OpenFileCall {
    HWND owner = nullptr;
    std::vector<std::wstring> filter;  // lpstrFilter pairs, in order
    DWORD flags = 0;
    std::wstring initialDir;
    std::wstring title;
    std::wstring defaultExtension;
    DWORD maxFile = 0;
    bool accepted = false;   // a path was handed back
    std::wstring answer;
};
// The next open-file dialog chooses this path (FIFO); with none queued the
// operator cancels.
CORVANE_SIM_API void QueueOpenFileAnswer(const std::wstring& path);
CORVANE_SIM_API std::vector<OpenFileCall> OpenFileCalls();

struct DialogCall {
    HINSTANCE instance = nullptr;
    std::wstring templateName;  // a string template
    WORD templateId = 0;        // a MAKEINTRESOURCE template
    HWND parent = nullptr;
    LPARAM initParam = 0;
    DWORD threadId = 0;
};
// DialogBoxParamW runs the real dialog unless the hook answers it: the hook
// returns true and sets *result.
using DialogHook = std::function<bool(const DialogCall&, DLGPROC, INT_PTR* result)>;
CORVANE_SIM_API void SetDialogHook(DialogHook hook);
CORVANE_SIM_API std::vector<DialogCall> DialogCalls();

// ---------------------------------------------------------------- diagnostics

struct DebugLine {
    DWORD threadId = 0;
    std::wstring text;  // exactly what was passed, line ends included
};
CORVANE_SIM_API std::vector<DebugLine> DebugLines();
// All captured texts one after another.
CORVANE_SIM_API std::wstring DebugText();
CORVANE_SIM_API void ClearDebugLines();

// ---------------------------------------------------------------- session end and sleep

// ShutdownBlockReasonCreate / ShutdownBlockReasonDestroy and
// SetThreadExecutionState, in the order they were called.
struct PowerCall {
    enum class Kind { BlockReasonCreate, BlockReasonDestroy, ExecutionState } kind = Kind::ExecutionState;
    HWND window = nullptr;     // the block-reason calls
    std::wstring reason;       // BlockReasonCreate
    EXECUTION_STATE flags = 0; // ExecutionState
    DWORD threadId = 0;
};
CORVANE_SIM_API std::vector<PowerCall> PowerCalls();
// The windows that hold a shutdown block reason now, and the execution state
// each thread asked for last (ES_CONTINUOUS requests only).
CORVANE_SIM_API std::vector<HWND> ShutdownBlockedWindows();
CORVANE_SIM_API bool SystemKeptAwake();

// ---------------------------------------------------------------- the taskbar

// What the program told the taskbar, in order: the taskbar list object's
// "state 0x<TBPFLAG>" and "value <done>/<total>", and FlashWindowEx's
// "flash 0x<flags>".
CORVANE_SIM_API std::vector<std::wstring> TaskbarCalls();
// GetForegroundWindow answers window from now on (until Reset), whatever
// other programs on the test desktop do.
CORVANE_SIM_API void AnswerForegroundWindow(HWND window);

// ---------------------------------------------------------------- notifications

struct NotificationRecord {
    HWND window = nullptr;
    bool allClasses = false;
    GUID interfaceClass{};
};
// Registrations made through RegisterDeviceNotificationW and still active.
CORVANE_SIM_API std::vector<NotificationRecord> Registrations();

// ---------------------------------------------------------------- world

// Removes every device, registration, record, queued answer and knob (time
// scale 1.0). Handles still open fail as on a device that left the bus.
CORVANE_SIM_API void Reset();

}  // namespace sim
