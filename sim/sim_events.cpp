// Labels, triggers, timeline events and the record of refused requests.
#include "sim_internal.h"
#include "sim_events.h"

#include <set>

namespace sim {

namespace detail {
namespace {

struct Registered {
    Trigger trigger;
    std::function<void()> action;
    bool fired = false;
};

struct Events {
    std::mutex mu;
    std::vector<Registered> triggers;
    std::set<std::wstring> started;  // devices whose update started (label, or "#id")
    std::vector<Refusal> refusals;
};

Events& E() {
    static Events* e = new Events;  // used by threads that may outlive static destruction
    return *e;
}

bool Matches(const Trigger& t, TriggerKind kind, const std::wstring& label, int part, int block) {
    if (t.kind != kind) return false;
    if (!t.device.empty() && !EqualsNoCase(t.device, label)) return false;
    if (kind != TriggerKind::Block) return true;
    return (t.part == 0 || t.part == part) && t.block == block;
}

bool Fire(TriggerKind kind, DeviceId device, int part, int block) {
    const std::wstring label = LabelOf(device);
    std::vector<std::pair<DWORD, std::function<void()>>> due;
    {
        Events& e = E();
        std::lock_guard<std::mutex> lock(e.mu);
        for (Registered& r : e.triggers) {
            if (r.fired || !Matches(r.trigger, kind, label, part, block)) continue;
            r.fired = true;
            due.emplace_back(r.trigger.afterMs, r.action);
        }
    }
    for (auto& d : due) {
        if (d.first == 0) {
            d.second();
        } else {
            After(d.first, d.second);
        }
    }
    return IsPresent(device);
}

std::wstring Number(unsigned long long v) { return std::to_wstring(v); }

}  // namespace

void ResetEvents() {
    Events& e = E();
    std::lock_guard<std::mutex> lock(e.mu);
    e.triggers.clear();
    e.started.clear();
    e.refusals.clear();
}

}  // namespace detail

using namespace detail;

void SetLabel(DeviceId device, const std::wstring& label) {
    World& w = W();
    std::lock_guard<std::mutex> lock(w.mu);
    auto it = w.connections.find(device);
    if (it != w.connections.end()) it->second->label = label;
}

std::wstring LabelOf(DeviceId device) {
    World& w = W();
    std::lock_guard<std::mutex> lock(w.mu);
    auto it = w.connections.find(device);
    return it == w.connections.end() ? std::wstring() : it->second->label;
}

DeviceId PresentDeviceLabelled(const std::wstring& label) {
    World& w = W();
    std::lock_guard<std::mutex> lock(w.mu);
    for (auto& c : w.connections) {
        if (c.second->state == Connection::State::Present && !label.empty() && EqualsNoCase(c.second->label, label))
            return c.first;
    }
    return 0;
}

std::vector<DeviceId> DevicesLabelled(const std::wstring& label) {
    World& w = W();
    std::lock_guard<std::mutex> lock(w.mu);
    std::vector<DeviceId> out;
    for (auto& c : w.connections)
        if (!label.empty() && EqualsNoCase(c.second->label, label)) out.push_back(c.first);
    return out;  // the map's order is the order of the ids, which are handed out as devices are plugged
}

void When(const Trigger& trigger, std::function<void()> action) {
    if (trigger.kind == TriggerKind::At) {
        After(static_cast<DWORD>(trigger.atMs), std::move(action));
        return;
    }
    Events& e = E();
    std::lock_guard<std::mutex> lock(e.mu);
    e.triggers.push_back({trigger, std::move(action), false});
}

std::wstring TriggerText(const Trigger& t) {
    std::wstring s;
    switch (t.kind) {
        case TriggerKind::At: return L"at=" + Number(t.atMs);
        case TriggerKind::Handshake: s = L"when=handshake"; break;
        case TriggerKind::UpdateStart: s = L"when=update-start"; break;
        case TriggerKind::Block:
            s = L"when=block:" + Number(static_cast<unsigned long long>(t.block));
            if (t.part != 0) s += L" part=" + Number(static_cast<unsigned long long>(t.part));
            break;
    }
    if (!t.device.empty()) s += L" of=" + t.device;
    if (t.afterMs != 0) s += L" after=" + Number(t.afterMs);
    return s;
}

bool ReportHandshake(DeviceId device) { return Fire(TriggerKind::Handshake, device, 0, 0); }

bool ReportUpdateRequest(DeviceId device) {
    const std::wstring label = LabelOf(device);
    const std::wstring key = label.empty() ? L"#" + Number(device) : AsciiUpper(label);
    bool first;
    {
        Events& e = E();
        std::lock_guard<std::mutex> lock(e.mu);
        first = e.started.insert(key).second;
    }
    return first ? Fire(TriggerKind::UpdateStart, device, 0, 0) : IsPresent(device);
}

bool ReportBlock(DeviceId device, int part, int block) { return Fire(TriggerKind::Block, device, part, block); }

bool UnplugLabelled(const std::wstring& label, DWORD backAfterMs) {
    World& w = W();
    DeviceId present = 0;
    std::shared_ptr<Connection> comingBack;  // the arrival that was due, or the device that was there
    {
        std::lock_guard<std::mutex> lock(w.mu);
        for (auto& c : w.connections) {
            if (label.empty() || !EqualsNoCase(c.second->label, label)) continue;
            if (c.second->state == Connection::State::Present) {
                present = c.first;
                if (!comingBack) comingBack = c.second;
            } else if (c.second->state == Connection::State::Scheduled) {
                // Pulled out while it restarts: the device it was about to
                // become never arrives.
                c.second->state = Connection::State::Gone;
                if (!comingBack || comingBack->state != Connection::State::Gone || comingBack->id < c.first)
                    comingBack = c.second;
            }
        }
    }
    if (present) Unplug(present);
    if (!comingBack) return false;
    if (backAfterMs > 0) {
        const DeviceId again = PlugAfter(backAfterMs, comingBack->spec, comingBack->model);
        SetLabel(again, label);
    }
    return true;
}

void Schedule(const TimelineEvent& event) {
    const std::wstring label = event.device;
    const DWORD back = event.backAfterMs;
    When(event.when, [label, back] { UnplugLabelled(label, back); });
}

std::wstring StatementOf(const TimelineEvent& event) {
    // In an unplug statement the trigger watches the unplugged device unless
    // "of=" names another one ("of=*": any device).
    Trigger when = event.when;
    std::wstring any;
    if (when.kind != TriggerKind::At) {
        if (EqualsNoCase(when.device, event.device)) {
            when.device.clear();
        } else if (when.device.empty()) {
            any = L" of=*";
        }
    }
    std::wstring s = L"unplug device=" + event.device + L" " + TriggerText(when) + any;
    if (event.backAfterMs != 0) s += L" back-after=" + Number(event.backAfterMs);
    return s;
}

void RecordRefusal(DeviceId device, const std::wstring& by, const std::wstring& request, const std::wstring& reason) {
    Refusal r;
    r.device = device;
    r.label = LabelOf(device);
    r.by = by;
    r.request = request;
    r.reason = reason;
    r.atMs = SimulatedNowMs();
    EchoToLog(L"[simulator] refused by the " + by + (r.label.empty() ? L"" : L" of " + r.label) + L": " + request +
              L": " + reason);
    Events& e = E();
    std::lock_guard<std::mutex> lock(e.mu);
    e.refusals.push_back(std::move(r));
}

std::vector<Refusal> Refusals() {
    Events& e = E();
    std::lock_guard<std::mutex> lock(e.mu);
    return e.refusals;
}

std::wstring RefusalsText() {
    std::wstring out;
    for (const Refusal& r : Refusals()) {
        out += L"  " + Number(r.atMs) + L" ms, " + r.by + (r.label.empty() ? L"" : L" of " + r.label) + L": " +
               r.request + L": " + r.reason + L"\n";
    }
    return out.empty() ? L"  (nothing refused)\n" : out;
}

}  // namespace sim
