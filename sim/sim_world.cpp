// The world: devices and their nodes, the timeline, the delivery of
// device-change messages, the simulated clock, knobs and records.
#include "sim_internal.h"

#include <algorithm>
#include <cmath>

namespace sim {
namespace detail {

World& W() {
    // Never destroyed: its threads may still run while the process ends, and
    // nothing of it may be torn down under the loader lock.
    static World* world = new World();
    return *world;
}

World::World() {
    realAnchor = std::chrono::steady_clock::now();
    simAnchor = static_cast<double>(::GetTickCount());
    wchar_t buf[64];
    DWORD n = ::GetEnvironmentVariableW(L"CORVANE_SIM_TIME_SCALE", buf, 64);
    if (n > 0 && n < 64) {
        double f = wcstod(buf, nullptr);
        if (f > 0) factor = f;
    }
    n = ::GetEnvironmentVariableW(L"CORVANE_SIM_INTERACTIVE", buf, 64);
    interactive = n > 0 && n < 64 && buf[0] == L'1';
    wchar_t path[MAX_PATH];
    n = ::GetEnvironmentVariableW(L"CORVANE_SIM_DEBUGLOG", path, MAX_PATH);
    if (n > 0 && n < MAX_PATH) {
        debugLog = ::CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    }
}

Node* World::FindNode(DWORD devinst) {
    auto it = nodeByDevinst.find(devinst);
    return it == nodeByDevinst.end() ? nullptr : it->second;
}

Node* World::FindNodeByInstance(const std::wstring& instanceId) {
    for (auto& n : nodes) {
        if (EqualsNoCase(n->instanceId, instanceId)) return n.get();
    }
    return nullptr;
}

Node* World::AddOrReviveNode(Node blueprint) {
    Node* parent = blueprint.parentInstanceId.empty() ? nullptr : FindNodeByInstance(blueprint.parentInstanceId);
    blueprint.parent = parent ? parent->devinst : 0;
    Node* existing = FindNodeByInstance(blueprint.instanceId);
    if (existing) {
        // The registry keeps a node's identity and place; the device brings
        // its properties afresh.
        blueprint.devinst = existing->devinst;
        blueprint.order = existing->order;
        *existing = std::move(blueprint);
        existing->present = true;
        return existing;
    }
    blueprint.devinst = 0x5A000000u | nextDevinst++;
    blueprint.order = nextOrder++;
    blueprint.present = true;
    nodes.push_back(std::make_unique<Node>(std::move(blueprint)));
    Node* n = nodes.back().get();
    nodeByDevinst[n->devinst] = n;
    return n;
}

void World::PlugLocked(const std::shared_ptr<Connection>& c) {
    for (Node& hub : HubChainNodes(c->spec.ports)) {
        Node* existing = FindNodeByInstance(hub.instanceId);
        if (!existing || !existing->present) AddOrReviveNode(std::move(hub));
    }
    std::vector<Node> blueprints = DeviceNodes(c->spec, false);
    Node* clash = FindNodeByInstance(blueprints.front().instanceId);
    if (clash && clash->present) {
        // A second device with the same serial: Windows names it by its port.
        blueprints = DeviceNodes(c->spec, true);
    }
    c->nodes.clear();
    for (Node& b : blueprints) {
        Node* n = AddOrReviveNode(std::move(b));
        n->device = c->id;
        c->nodes.push_back(n->devinst);
    }
    c->state = Connection::State::Present;
    c->arrival = nextArrival++;
    if (arrivalOrder == ArrivalOrder::FunctionsFirst) {
        for (auto it = c->nodes.rbegin(); it != c->nodes.rend(); ++it) QueueChanges(*FindNode(*it), true);
    } else {
        for (DWORD d : c->nodes) QueueChanges(*FindNode(d), true);
    }
}

void World::UnplugLocked(const std::shared_ptr<Connection>& c, std::vector<IoRequestPtr>* aborted) {
    c->state = Connection::State::Gone;
    for (auto it = c->nodes.rbegin(); it != c->nodes.rend(); ++it) {
        Node* n = FindNode(*it);
        if (!n || n->device != c->id || !n->present) continue;
        n->present = false;
        QueueChanges(*n, false);
    }
    for (auto& entry : files) {
        SimFile& f = *entry.second;
        if (f.context.device != c->id || f.gone) continue;
        f.gone = true;
        std::vector<IoRequestPtr> pending = f.pending;
        for (const IoRequestPtr& r : pending) {
            IoState& s = *IoState::Of(*r);
            if (s.phase == IoState::Phase::Done) continue;
            s.error = ERROR_DEVICE_NOT_CONNECTED;
            s.transferred = 0;
            bool inDispatch = s.phase == IoState::Phase::Dispatch;
            s.phase = IoState::Phase::Done;
            if (!inDispatch) SignalLocked(s);
            aborted->push_back(r);
        }
        f.pending.clear();
    }
    ioDone.notify_all();
}

void World::QueueChanges(const Node& node, bool arrival) {
    for (const InterfaceEntry& itf : node.interfaces) {
        DeviceChange change;
        change.arrival = arrival;
        change.interfaceClass = itf.interfaceClass;
        change.path = itf.path;
        for (auto& r : registrations) {
            if (r.second.allClasses || SameGuid(r.second.interfaceClass, itf.interfaceClass)) {
                change.registrations.push_back(r.first);
            }
        }
        if (change.registrations.empty()) continue;
        changes.push_back(std::move(change));
    }
    if (!changes.empty()) {
        StartThreadsLocked();
        changesCv.notify_all();
    }
}

std::vector<const Node*> World::OrderedNodes() {
    std::vector<const Node*> out;
    for (auto& n : nodes) out.push_back(n.get());
    if (order == EnumerationOrder::Reverse) std::reverse(out.begin(), out.end());
    return out;
}

void World::Schedule(double simulatedDelayMs, std::function<void()> fn) {
    TimelineItem item;
    item.due = SimNow() + simulatedDelayMs;
    item.seq = nextSeq++;
    item.fn = std::move(fn);
    timeline.push_back(std::move(item));
    auto later = [](const TimelineItem& a, const TimelineItem& b) {
        return a.due != b.due ? a.due > b.due : a.seq > b.seq;
    };
    std::push_heap(timeline.begin(), timeline.end(), later);
    StartThreadsLocked();
    timelineCv.notify_all();
}

void World::StartThreadsLocked() {
    if (threadsStarted) return;
    threadsStarted = true;
    std::thread([this] { TimelineThread(); }).detach();
    std::thread([this] { DeliveryThread(); }).detach();
}

void World::TimelineThread() {
    auto later = [](const TimelineItem& a, const TimelineItem& b) {
        return a.due != b.due ? a.due > b.due : a.seq > b.seq;
    };
    std::unique_lock<std::mutex> lock(mu);
    for (;;) {
        if (timeline.empty()) {
            timelineCv.wait(lock);
            continue;
        }
        double now = SimNow();
        const TimelineItem& next = timeline.front();
        if (next.due > now) {
            double simWait = next.due - now;
            double realWait;
            {
                std::lock_guard<std::mutex> c(clockMu);
                realWait = simWait * factor;
            }
            auto wait = std::chrono::microseconds(static_cast<long long>(std::ceil(realWait * 1000.0)) + 1);
            timelineCv.wait_for(lock, wait);
            continue;
        }
        std::pop_heap(timeline.begin(), timeline.end(), later);
        TimelineItem item = std::move(timeline.back());
        timeline.pop_back();
        running = true;
        lock.unlock();
        item.fn();
        lock.lock();
        running = false;
    }
}

void World::DeliveryThread() {
    std::unique_lock<std::mutex> lock(mu);
    for (;;) {
        if (changes.empty()) {
            changesCv.wait(lock);
            continue;
        }
        DeviceChange change = std::move(changes.front());
        changes.pop_front();
        delivering = true;
        for (void* key : change.registrations) {
            auto it = registrations.find(key);
            if (it == registrations.end()) continue;  // unregistered meanwhile
            HWND window = it->second.window;
            lock.unlock();
            // DEV_BROADCAST_DEVICEINTERFACE_W with the path inline, as the
            // system builds it.
            size_t bytes = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name) + (change.path.size() + 1) * sizeof(wchar_t);
            std::vector<BYTE> buffer(bytes, 0);
            auto* b = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(buffer.data());
            b->dbcc_size = static_cast<DWORD>(bytes);
            b->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
            b->dbcc_classguid = change.interfaceClass;
            memcpy(b->dbcc_name, change.path.c_str(), (change.path.size() + 1) * sizeof(wchar_t));
            // Windows sends these synchronously; a handler that blocks holds
            // up the next one.
            ::SendMessageW(window, WM_DEVICECHANGE, change.arrival ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE,
                           reinterpret_cast<LPARAM>(b));
            lock.lock();
        }
        delivering = false;
    }
}

double World::SimNow() {
    std::lock_guard<std::mutex> c(clockMu);
    double elapsed = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - realAnchor).count();
    return simAnchor + elapsed / factor;
}

DWORD World::RealMs(DWORD simulatedMs) {
    if (simulatedMs == INFINITE || simulatedMs == 0) return simulatedMs;
    double f;
    {
        std::lock_guard<std::mutex> c(clockMu);
        f = factor;
    }
    double real = std::ceil(simulatedMs * f);
    if (real < 1) real = 1;
    if (real >= static_cast<double>(INFINITE)) real = INFINITE - 1;
    return static_cast<DWORD>(real);
}

void World::SetFactor(double f) {
    if (!(f > 0)) return;
    double now = SimNow();
    {
        std::lock_guard<std::mutex> c(clockMu);
        simAnchor = now;
        realAnchor = std::chrono::steady_clock::now();
        factor = f;
    }
    // The timeline may be sleeping for a real time computed with the old factor.
    timelineCv.notify_all();
}

ULONG_PTR StatusOfError(DWORD error) {
    switch (error) {
        case ERROR_SUCCESS: return 0;
        case ERROR_OPERATION_ABORTED: return 0xC0000120;     // STATUS_CANCELLED
        case ERROR_DEVICE_NOT_CONNECTED: return 0xC000009D;  // STATUS_DEVICE_NOT_CONNECTED
        case ERROR_GEN_FAILURE: return 0xC0000001;           // STATUS_UNSUCCESSFUL
        case ERROR_INVALID_FUNCTION: return 0xC0000010;      // STATUS_INVALID_DEVICE_REQUEST
        case ERROR_SEM_TIMEOUT: return 0xC00000B5;           // STATUS_IO_TIMEOUT
        default: return 0xC0070000u | (error & 0xFFFF);      // FACILITY_WIN32
    }
}

DWORD ErrorOfStatus(ULONG_PTR status) {
    switch (static_cast<DWORD>(status)) {
        case 0: return ERROR_SUCCESS;
        case 0xC0000120: return ERROR_OPERATION_ABORTED;
        case 0xC000009D: return ERROR_DEVICE_NOT_CONNECTED;
        case 0xC0000001: return ERROR_GEN_FAILURE;
        case 0xC0000010: return ERROR_INVALID_FUNCTION;
        case 0xC00000B5: return ERROR_SEM_TIMEOUT;
        default:
            if ((status & 0xFFFF0000u) == 0xC0070000u) return static_cast<DWORD>(status & 0xFFFF);
            return ERROR_GEN_FAILURE;
    }
}

}  // namespace detail

using namespace detail;

// ---------------------------------------------------------------- devices

DeviceId Plug(const UsbDeviceSpec& spec, std::shared_ptr<DeviceModel> model) {
    World& w = W();
    auto c = std::make_shared<Connection>();
    c->spec = spec;
    c->model = std::move(model);
    {
        std::lock_guard<std::mutex> lock(w.mu);
        c->id = w.nextDevice++;
        w.connections[c->id] = c;
        w.PlugLocked(c);
    }
    if (c->model) c->model->Attached(c->id);
    return c->id;
}

namespace {

void PlugScheduled(const std::shared_ptr<Connection>& c) {
    World& w = W();
    {
        std::lock_guard<std::mutex> lock(w.mu);
        if (c->state != Connection::State::Scheduled) return;
        w.PlugLocked(c);
    }
    if (c->model) c->model->Attached(c->id);
}

}  // namespace

DeviceId PlugAfter(DWORD simulatedMs, const UsbDeviceSpec& spec, std::shared_ptr<DeviceModel> model) {
    World& w = W();
    auto c = std::make_shared<Connection>();
    c->spec = spec;
    c->model = std::move(model);
    std::lock_guard<std::mutex> lock(w.mu);
    c->id = w.nextDevice++;
    w.connections[c->id] = c;
    w.Schedule(simulatedMs, [c] { PlugScheduled(c); });
    return c->id;
}

bool Unplug(DeviceId device) {
    World& w = W();
    std::shared_ptr<Connection> c;
    std::vector<IoRequestPtr> aborted;
    {
        std::lock_guard<std::mutex> lock(w.mu);
        auto it = w.connections.find(device);
        if (it == w.connections.end()) return false;
        c = it->second;
        if (c->state == Connection::State::Scheduled) {
            c->state = Connection::State::Gone;  // never arrives
            return false;
        }
        if (c->state != Connection::State::Present) return false;
        w.UnplugLocked(c, &aborted);
    }
    for (const IoRequestPtr& r : aborted) {
        if (auto m = c->model) m->Cancelled(r);
    }
    if (c->model) c->model->Detached(c->id);
    return true;
}

void UnplugAfter(DWORD simulatedMs, DeviceId device) {
    World& w = W();
    std::lock_guard<std::mutex> lock(w.mu);
    w.Schedule(simulatedMs, [device] { Unplug(device); });
}

DeviceId Reenumerate(DeviceId device, DWORD leaveMs, DWORD arriveMs, const UsbDeviceSpec& next,
                     std::shared_ptr<DeviceModel> model) {
    World& w = W();
    auto c = std::make_shared<Connection>();
    c->spec = next;
    c->model = std::move(model);
    std::lock_guard<std::mutex> lock(w.mu);
    c->id = w.nextDevice++;
    // The same physical device, in another mode.
    auto old = w.connections.find(device);
    if (old != w.connections.end()) c->label = old->second->label;
    w.connections[c->id] = c;
    w.Schedule(leaveMs, [device, arriveMs, c] {
        Unplug(device);
        World& world = W();
        std::lock_guard<std::mutex> l(world.mu);
        world.Schedule(arriveMs, [c] { PlugScheduled(c); });
    });
    return c->id;
}

bool IsPresent(DeviceId device) {
    World& w = W();
    std::lock_guard<std::mutex> lock(w.mu);
    auto it = w.connections.find(device);
    return it != w.connections.end() && it->second->state == Connection::State::Present;
}

std::wstring InstanceId(DeviceId device) {
    World& w = W();
    std::lock_guard<std::mutex> lock(w.mu);
    auto it = w.connections.find(device);
    if (it == w.connections.end() || it->second->nodes.empty()) return std::wstring();
    Node* n = w.FindNode(it->second->nodes.front());
    return n ? n->instanceId : std::wstring();
}

std::vector<std::wstring> InterfacePaths(DeviceId device, const GUID& interfaceClass) {
    World& w = W();
    std::lock_guard<std::mutex> lock(w.mu);
    std::vector<std::wstring> out;
    auto it = w.connections.find(device);
    if (it == w.connections.end()) return out;
    for (DWORD d : it->second->nodes) {
        Node* n = w.FindNode(d);
        if (!n) continue;
        for (const InterfaceEntry& i : n->interfaces) {
            if (SameGuid(i.interfaceClass, interfaceClass)) out.push_back(i.path);
        }
    }
    return out;
}

UsbDeviceSpec SpecOf(DeviceId device) {
    World& w = W();
    std::lock_guard<std::mutex> lock(w.mu);
    auto it = w.connections.find(device);
    return it == w.connections.end() ? UsbDeviceSpec() : it->second->spec;
}

std::shared_ptr<DeviceModel> ModelOf(DeviceId device) {
    World& w = W();
    std::lock_guard<std::mutex> lock(w.mu);
    auto it = w.connections.find(device);
    return it == w.connections.end() ? nullptr : it->second->model;
}

std::vector<DeviceId> PresentDevices() {
    World& w = W();
    std::lock_guard<std::mutex> lock(w.mu);
    std::vector<std::pair<unsigned long long, DeviceId>> arrived;
    for (auto& c : w.connections) {
        if (c.second->state == Connection::State::Present) arrived.emplace_back(c.second->arrival, c.first);
    }
    std::sort(arrived.begin(), arrived.end());
    std::vector<DeviceId> out;
    for (auto& a : arrived) out.push_back(a.second);
    return out;
}

void SetOpenFailure(DeviceId device, DWORD error) {
    World& w = W();
    std::lock_guard<std::mutex> lock(w.mu);
    auto it = w.connections.find(device);
    if (it != w.connections.end()) it->second->openFailure = error;
}

void SetEnumerationOrder(EnumerationOrder order) {
    World& w = W();
    std::lock_guard<std::mutex> lock(w.mu);
    w.order = order;
}

void SetArrivalOrder(ArrivalOrder order) {
    World& w = W();
    std::lock_guard<std::mutex> lock(w.mu);
    w.arrivalOrder = order;
}

// ---------------------------------------------------------------- timeline

void After(DWORD simulatedMs, std::function<void()> fn) {
    World& w = W();
    std::lock_guard<std::mutex> lock(w.mu);
    w.Schedule(simulatedMs, std::move(fn));
}

bool WaitForIdle(DWORD realTimeoutMs) {
    World& w = W();
    const ULONGLONG start = ::GetTickCount64();
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(w.mu);
            if (w.timeline.empty() && !w.running && w.changes.empty() && !w.delivering) return true;
        }
        if (::GetTickCount64() - start >= realTimeoutMs) return false;
        // Messages sent to this thread's windows (device changes included)
        // must be served, or the delivery would wait for us forever.
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 2, QS_SENDMESSAGE);
        MSG msg;
        ::PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
}

// ---------------------------------------------------------------- time

void SetTimeScale(double factor) { W().SetFactor(factor); }

double TimeScale() {
    World& w = W();
    std::lock_guard<std::mutex> c(w.clockMu);
    return w.factor;
}

ULONGLONG SimulatedNowMs() { return static_cast<ULONGLONG>(W().SimNow()); }

// ---------------------------------------------------------------- knobs

void SetWindowsVersion(DWORD major, DWORD minor, DWORD build) {
    World& w = W();
    std::lock_guard<std::mutex> lock(w.mu);
    w.versionMajor = major;
    w.versionMinor = minor;
    w.versionBuild = build;
}

void SetWow64(Wow64 mode) {
    World& w = W();
    std::lock_guard<std::mutex> lock(w.mu);
    w.wow64 = mode;
}

void SetDevicePropertyApiPresent(bool present) {
    World& w = W();
    std::lock_guard<std::mutex> lock(w.mu);
    w.devicePropertyApi = present;
}

void SetModuleFileName(const std::wstring& path) {
    World& w = W();
    std::lock_guard<std::mutex> lock(w.mu);
    w.moduleFileName = path;
}

void SetCreateProcessPassThrough() {
    World& w = W();
    std::lock_guard<std::mutex> lock(w.mu);
    w.processMode = World::ProcessMode::PassThrough;
}

void SetCreateProcessFailure(DWORD error) {
    World& w = W();
    std::lock_guard<std::mutex> lock(w.mu);
    w.processMode = World::ProcessMode::Fail;
    w.processValue = error;
}

void SetCreateProcessExitCode(DWORD exitCode) {
    World& w = W();
    std::lock_guard<std::mutex> lock(w.mu);
    w.processMode = World::ProcessMode::ExitCode;
    w.processValue = exitCode;
}

std::vector<ProcessCall> ProcessCalls() {
    World& w = W();
    std::lock_guard<std::mutex> lock(w.mu);
    return w.processCalls;
}

void SetCoCreateInstanceHook(CoCreateHook hook) {
    World& w = W();
    std::lock_guard<std::mutex> lock(w.mu);
    w.coCreateHook = std::move(hook);
}

void QueueMessageBoxAnswer(int answer) {
    World& w = W();
    std::lock_guard<std::mutex> lock(w.mu);
    w.messageBoxAnswers.push_back(answer);
}

void SetMessageBoxHook(std::function<int(const MessageBoxCall&)> hook) {
    World& w = W();
    std::lock_guard<std::mutex> lock(w.mu);
    w.messageBoxHook = std::move(hook);
}

std::vector<MessageBoxCall> MessageBoxes() {
    World& w = W();
    std::lock_guard<std::mutex> lock(w.mu);
    return w.messageBoxes;
}

void QueueOpenFileAnswer(const std::wstring& path) {
    World& w = W();
    std::lock_guard<std::mutex> lock(w.mu);
    w.openFileAnswers.push_back(path);
}

std::vector<OpenFileCall> OpenFileCalls() {
    World& w = W();
    std::lock_guard<std::mutex> lock(w.mu);
    return w.openFileCalls;
}

void SetDialogHook(DialogHook hook) {
    World& w = W();
    std::lock_guard<std::mutex> lock(w.mu);
    w.dialogHook = std::move(hook);
}

std::vector<DialogCall> DialogCalls() {
    World& w = W();
    std::lock_guard<std::mutex> lock(w.mu);
    return w.dialogCalls;
}

std::vector<DebugLine> DebugLines() {
    World& w = W();
    std::lock_guard<std::mutex> lock(w.mu);
    return w.debugLines;
}

std::wstring DebugText() {
    World& w = W();
    std::lock_guard<std::mutex> lock(w.mu);
    std::wstring all;
    for (const DebugLine& l : w.debugLines) all += l.text;
    return all;
}

void ClearDebugLines() {
    World& w = W();
    std::lock_guard<std::mutex> lock(w.mu);
    w.debugLines.clear();
}

std::vector<NotificationRecord> Registrations() {
    World& w = W();
    std::lock_guard<std::mutex> lock(w.mu);
    std::vector<NotificationRecord> out;
    for (auto& r : w.registrations) out.push_back(r.second);
    return out;
}

void Reset() {
    World& w = W();
    std::vector<std::pair<std::shared_ptr<Connection>, std::vector<IoRequestPtr>>> gone;
    {
        std::lock_guard<std::mutex> lock(w.mu);
        w.timeline.clear();
        w.changes.clear();
        w.registrations.clear();  // before the removals: nobody is told
        for (auto& c : w.connections) {
            if (c.second->state == Connection::State::Present) {
                std::vector<IoRequestPtr> aborted;
                w.UnplugLocked(c.second, &aborted);
                gone.emplace_back(c.second, std::move(aborted));
            }
            c.second->state = Connection::State::Gone;
        }
        w.changes.clear();
        w.connections.clear();
        w.nodeByDevinst.clear();
        w.nodes.clear();
        w.order = EnumerationOrder::Insertion;
        w.arrivalOrder = ArrivalOrder::UsbDeviceFirst;
        w.versionMajor = 10;
        w.versionMinor = 0;
        w.versionBuild = 19045;
        w.wow64 = Wow64::Real;
        w.devicePropertyApi = true;
        w.moduleFileName.clear();
        w.processMode = World::ProcessMode::PassThrough;
        w.coCreateHook = nullptr;
        w.processCalls.clear();
        w.messageBoxAnswers.clear();
        w.messageBoxHook = nullptr;
        w.messageBoxes.clear();
        w.openFileAnswers.clear();
        w.openFileCalls.clear();
        w.dialogHook = nullptr;
        w.dialogCalls.clear();
        w.debugLines.clear();
        w.powerCalls.clear();
        w.taskbarCalls.clear();
        w.foregroundAnswered = false;
        w.blockedWindows.clear();
        w.continuousState.clear();
    }
    w.SetFactor(1.0);
    detail::ResetEvents();
    for (auto& g : gone) {
        for (const IoRequestPtr& r : g.second) {
            if (g.first->model) g.first->model->Cancelled(r);
        }
        if (g.first->model) g.first->model->Detached(g.first->id);
    }
    detail::ResetSunplus();
}

}  // namespace sim
