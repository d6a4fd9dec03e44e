// Inside corvane_sim.dll: the world's data and the pieces the OS-table
// implementations share. Not exported.
#pragma once

#include "sim_world.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <set>
#include <mutex>
#include <thread>

namespace sim {
namespace detail {

// ---------------------------------------------------------------- names

std::wstring AsciiUpper(std::wstring s);
std::wstring AsciiLower(std::wstring s);
bool EqualsNoCase(const std::wstring& a, const std::wstring& b);
std::wstring GuidText(const GUID& guid);  // {65E8773D-8F56-11D0-A3B9-00A0C9223196}
bool SameGuid(const GUID& a, const GUID& b);

enum class NodeKind { RootHub, Hub, UsbDevice, UsbInterface, HidCollection };

struct InterfaceEntry {
    GUID interfaceClass{};
    std::wstring path;
};

// A device node (devnode). Nodes stay in the world after their device left
// the bus (phantoms, as in the registry); a device with the same instance ID
// that comes back revives its node.
struct Node {
    DWORD devinst = 0;
    NodeKind kind = NodeKind::UsbDevice;
    std::wstring instanceId;
    std::wstring parentInstanceId;
    DWORD parent = 0;
    GUID setupClass{};
    std::wstring description;
    std::wstring friendlyName;
    std::wstring service;
    std::wstring locationInfo;
    std::vector<std::wstring> hardwareIds;
    std::vector<std::wstring> compatibleIds;
    std::vector<std::wstring> locationPaths;
    std::vector<InterfaceEntry> interfaces;
    bool present = false;
    DeviceId device = 0;
    int interfaceNumber = -1;
    FunctionKind function = FunctionKind::Other;
    HidCaps hid;
    unsigned long long order = 0;
};

// The hub chain above a device: root hub first.
std::vector<Node> HubChainNodes(const std::vector<int>& ports);
// The nodes of a device, USB device node first, in arrival order. The
// instance ID of the USB node uses the serial unless forceMadeUp.
std::vector<Node> DeviceNodes(const UsbDeviceSpec& spec, bool forceMadeUp);

// ---------------------------------------------------------------- I/O bookkeeping

struct SimFile;

struct IoState {
    enum class Phase { Dispatch, Pending, Done };
    Phase phase = Phase::Dispatch;
    DWORD error = ERROR_SUCCESS;
    DWORD transferred = 0;
    void* output = nullptr;
    OVERLAPPED* overlapped = nullptr;
    HANDLE overlappedEvent = nullptr;
    HANDLE fileEvent = nullptr;
    HANDLE file = nullptr;
    DWORD threadId = 0;
    std::weak_ptr<IoRequest> self;

    static IoState* Of(IoRequest& r) { return r.state_; }
    static void SetIoctl(IoRequest& r, DWORD code) { r.ioctlCode_ = code; }
    static void SetSetup(IoRequest& r, const WINUSB_SETUP_PACKET& s) { r.setup_ = s; }
    static void SetInput(IoRequest& r, const void* data, DWORD length);
    static void SetOutput(IoRequest& r, void* buffer, DWORD capacity) {
        r.outputCapacity_ = buffer ? capacity : 0;
        r.state_->output = buffer;
    }
};

struct SimFile {
    HANDLE handle = nullptr;  // a real event of our own: never collides with a real handle
    OpenContext context;
    DWORD devinst = 0;
    std::shared_ptr<DeviceModel> model;
    bool overlapped = false;
    DWORD share = 0;   // dwShareMode of CreateFileW
    bool gone = false;  // the device left the bus after the open
    std::vector<IoRequestPtr> pending;
};

struct SetDevice {
    DWORD devinst = 0;
    GUID setupClass{};
};
struct SetInterface {
    GUID interfaceClass{};
    std::wstring path;
    DWORD devinst = 0;
};
struct DevInfoSet {
    std::vector<SetDevice> devices;
    std::vector<SetInterface> interfaces;
};

struct Connection {
    enum class State { Scheduled, Present, Gone };
    DeviceId id = 0;
    UsbDeviceSpec spec;
    std::shared_ptr<DeviceModel> model;
    State state = State::Scheduled;
    unsigned long long arrival = 0;  // order of arrival on the bus
    std::vector<DWORD> nodes;  // USB device node first
    DWORD openFailure = 0;
    std::wstring label;  // the physical device it is (passed on by Reenumerate)
};

struct DeviceChange {
    bool arrival = true;
    GUID interfaceClass{};
    std::wstring path;
    std::vector<void*> registrations;  // those matching when the change happened
};

struct TimelineItem {
    double due = 0;  // simulated ms
    unsigned long long seq = 0;
    std::function<void()> fn;
};

// ---------------------------------------------------------------- the world

class World {
public:
    std::mutex mu;
    std::condition_variable ioDone;  // any request completed

    // devices
    std::vector<std::unique_ptr<Node>> nodes;  // creation order
    std::map<DWORD, Node*> nodeByDevinst;
    std::map<DeviceId, std::shared_ptr<Connection>> connections;
    DeviceId nextDevice = 1;
    DWORD nextDevinst = 1;
    unsigned long long nextOrder = 1;
    unsigned long long nextArrival = 1;
    EnumerationOrder order = EnumerationOrder::Insertion;
    ArrivalOrder arrivalOrder = ArrivalOrder::UsbDeviceFirst;

    // handles and sets
    std::map<void*, std::unique_ptr<DevInfoSet>> sets;
    std::map<HANDLE, std::shared_ptr<SimFile>> files;
    std::map<void*, HidCaps> preparsed;
    std::map<void*, HANDLE> winusb;  // interface handle -> file handle
    std::map<HANDLE, DWORD> fakeProcesses;

    // notifications
    std::map<void*, NotificationRecord> registrations;
    std::deque<DeviceChange> changes;
    bool delivering = false;
    std::condition_variable changesCv;

    // timeline
    std::vector<TimelineItem> timeline;  // a heap on (due, seq)
    unsigned long long nextSeq = 1;
    bool running = false;
    std::condition_variable timelineCv;
    bool threadsStarted = false;

    // knobs
    DWORD versionMajor = 10, versionMinor = 0, versionBuild = 19045;
    Wow64 wow64 = Wow64::Real;
    bool devicePropertyApi = true;
    std::wstring moduleFileName;
    enum class ProcessMode { PassThrough, Fail, ExitCode } processMode = ProcessMode::PassThrough;
    DWORD processValue = 0;
    CoCreateHook coCreateHook;

    // records and answers
    std::vector<ProcessCall> processCalls;
    std::deque<int> messageBoxAnswers;
    std::function<int(const MessageBoxCall&)> messageBoxHook;
    std::vector<MessageBoxCall> messageBoxes;
    std::deque<std::wstring> openFileAnswers;
    std::vector<OpenFileCall> openFileCalls;
    DialogHook dialogHook;
    std::vector<DialogCall> dialogCalls;
    std::vector<DebugLine> debugLines;
    std::vector<PowerCall> powerCalls;
    std::vector<std::wstring> taskbarCalls;
    bool foregroundAnswered = false;  // a test says which window is in the foreground
    HWND foregroundAnswer = nullptr;
    std::set<HWND> blockedWindows;
    std::map<DWORD, EXECUTION_STATE> continuousState;  // thread -> last ES_CONTINUOUS request
    HANDLE debugLog = INVALID_HANDLE_VALUE;
    bool interactive = false;

    // the clock (its own lock: Sleep and waits must not contend with devices)
    std::mutex clockMu;
    double factor = 1.0;
    std::chrono::steady_clock::time_point realAnchor;
    double simAnchor = 0;  // ms

    World();

    // All below: called with mu held unless said otherwise.
    Node* FindNode(DWORD devinst);
    Node* FindNodeByInstance(const std::wstring& instanceId);
    Node* AddOrReviveNode(Node blueprint);
    void PlugLocked(const std::shared_ptr<Connection>& c);
    // Collects the requests aborted by the removal (to tell the model outside the lock).
    void UnplugLocked(const std::shared_ptr<Connection>& c, std::vector<IoRequestPtr>* aborted);
    void QueueChanges(const Node& node, bool arrival);
    void Schedule(double simulatedDelayMs, std::function<void()> fn);
    void StartThreadsLocked();
    std::vector<const Node*> OrderedNodes();

    // Completion of a request; false when it was already done.
    bool Complete(IoRequest& r, DWORD error, DWORD transferred, const void* data, DWORD length);
    void SignalLocked(IoState& s);

    // clock (takes clockMu)
    double SimNow();
    DWORD RealMs(DWORD simulatedMs);  // INFINITE stays INFINITE
    void SetFactor(double f);

    void TimelineThread();
    void DeliveryThread();
};

World& W();

// Forgets the Sunplus chips and the stand-in library's records (models/sunplus_chip.cpp).
void ResetSunplus();
// Forgets the triggers, the update starts seen and the refusals (sim_events.cpp).
void ResetEvents();
// Writes a line to the CORVANE_SIM_DEBUGLOG file, if one is open (sim_dialogs.cpp).
void EchoToLog(const std::wstring& text);

// NTSTATUS of a Win32 error as it lands in OVERLAPPED::Internal, and back.
ULONG_PTR StatusOfError(DWORD error);
DWORD ErrorOfStatus(ULONG_PTR status);

// Keeps a call's last error as it was on entry (our own locks may touch it).
class LastErrorGuard {
public:
    LastErrorGuard() : saved_(::GetLastError()) {}
    ~LastErrorGuard() { ::SetLastError(saved_); }

private:
    DWORD saved_;
};

// Real entry points.
inline const OsApi& Real() { return *CorvaneRealOsApi(); }

// CoCreateInstance of CLSID_TaskbarList: a recording taskbar list object.
bool ServeTaskbarList(REFCLSID clsid, REFIID iid, LPVOID* object, HRESULT* result);

}  // namespace detail
}  // namespace sim

// The simulated table's entries, by file.
namespace simos {
// setupapi
HDEVINFO WINAPI SetupDiGetClassDevsW(const GUID*, PCWSTR, HWND, DWORD);
BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO, PSP_DEVINFO_DATA, const GUID*, DWORD, PSP_DEVICE_INTERFACE_DATA);
BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO, DWORD, PSP_DEVINFO_DATA);
BOOL WINAPI SetupDiGetDeviceRegistryPropertyW(HDEVINFO, PSP_DEVINFO_DATA, DWORD, PDWORD, PBYTE, DWORD, PDWORD);
BOOL WINAPI SetupDiGetDeviceInterfaceDetailW(HDEVINFO, PSP_DEVICE_INTERFACE_DATA, PSP_DEVICE_INTERFACE_DETAIL_DATA_W,
                                             DWORD, PDWORD, PSP_DEVINFO_DATA);
BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO);
CONFIGRET WINAPI CM_Get_Parent(PDEVINST, DEVINST, ULONG);
CONFIGRET WINAPI CM_Get_Device_IDW(DEVINST, PWSTR, ULONG, ULONG);
BOOL WINAPI SetupDiGetDevicePropertyW(HDEVINFO, PSP_DEVINFO_DATA, const DEVPROPKEY*, DEVPROPTYPE*, PBYTE, DWORD,
                                      PDWORD, DWORD);
// files, HID, WinUSB
HANDLE WINAPI CreateFileW(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
BOOL WINAPI ReadFile(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);
BOOL WINAPI WriteFile(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);
BOOL WINAPI DeviceIoControl(HANDLE, DWORD, LPVOID, DWORD, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);
BOOL WINAPI CancelIo(HANDLE);
BOOL WINAPI GetOverlappedResult(HANDLE, LPOVERLAPPED, LPDWORD, BOOL);
BOOL WINAPI CloseHandle(HANDLE);
BOOL WINAPI GetFileSizeEx(HANDLE, PLARGE_INTEGER);
BOOLEAN WINAPI HidD_GetPreparsedData(HANDLE, PHIDP_PREPARSED_DATA*);
BOOLEAN WINAPI HidD_FreePreparsedData(PHIDP_PREPARSED_DATA);
BOOLEAN WINAPI HidD_GetAttributes(HANDLE, PHIDD_ATTRIBUTES);
NTSTATUS WINAPI HidP_GetCaps(PHIDP_PREPARSED_DATA, PHIDP_CAPS);
BOOLEAN WINAPI HidD_GetInputReport(HANDLE, PVOID, ULONG);
BOOLEAN WINAPI HidD_SetOutputReport(HANDLE, PVOID, ULONG);
BOOL WINAPI WinUsb_Initialize(HANDLE, PWINUSB_INTERFACE_HANDLE);
BOOL WINAPI WinUsb_ControlTransfer(WINUSB_INTERFACE_HANDLE, WINUSB_SETUP_PACKET, PUCHAR, ULONG, PULONG, LPOVERLAPPED);
BOOL WINAPI WinUsb_Free(WINUSB_INTERFACE_HANDLE);
// notifications
HDEVNOTIFY WINAPI RegisterDeviceNotificationW(HANDLE, LPVOID, DWORD);
BOOL WINAPI UnregisterDeviceNotification(HDEVNOTIFY);
// system, modules, processes, COM
FARPROC WINAPI GetProcAddress(HMODULE, LPCSTR);
DWORD WINAPI GetModuleFileNameW(HMODULE, LPWSTR, DWORD);
BOOL WINAPI GetVersionExW(LPOSVERSIONINFOW);
BOOL WINAPI CreateProcessW(LPCWSTR, LPWSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD, LPVOID, LPCWSTR,
                           LPSTARTUPINFOW, LPPROCESS_INFORMATION);
BOOL WINAPI GetExitCodeProcess(HANDLE, LPDWORD);
HRESULT WINAPI CoCreateInstance(REFCLSID, LPUNKNOWN, DWORD, REFIID, LPVOID*);
// time
void WINAPI Sleep(DWORD);
DWORD WINAPI WaitForSingleObject(HANDLE, DWORD);
UINT_PTR WINAPI SetTimer(HWND, UINT_PTR, UINT, TIMERPROC);
DWORD WINAPI GetTickCount(void);
DWORD WINAPI MsgWaitForMultipleObjects(DWORD, const HANDLE*, BOOL, DWORD, DWORD);
// session end and sleep
BOOL WINAPI ShutdownBlockReasonCreate(HWND, LPCWSTR);
BOOL WINAPI ShutdownBlockReasonDestroy(HWND);
EXECUTION_STATE WINAPI SetThreadExecutionState(EXECUTION_STATE);
// the taskbar
BOOL WINAPI FlashWindowEx(PFLASHWINFO);
HWND WINAPI GetForegroundWindow(void);
// dialogs, diagnostics
int WINAPI MessageBoxW(HWND, LPCWSTR, LPCWSTR, UINT);
BOOL WINAPI GetOpenFileNameW(LPOPENFILENAMEW);
INT_PTR WINAPI DialogBoxParamW(HINSTANCE, LPCWSTR, HWND, DLGPROC, LPARAM);
void WINAPI OutputDebugStringW(LPCWSTR);
// closing a fake process handle (CloseHandle of a non-device handle)
bool CloseFakeProcess(HANDLE h);
}  // namespace simos
