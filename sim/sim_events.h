// What happens in the world on a timeline or on a trigger, and what the
// devices refused.
//
// Labels name a physical device across its appearances on the bus: a camera
// that restarts as its update-mode device, its boot loader or itself again
// (Reenumerate) passes its label on, so "unplug SN12345678AB" finds it in
// whatever mode it is.
//
// Triggers fire once, at a simulated time or at a moment a device reports:
// the handshake that sends a camera to update mode, the first request of its
// update (the update starts), a block of an image part. A trigger that fires
// with no delay runs its action inside the device's own call, before the
// device answers, so "the camera leaves at block 37" lands exactly there; a
// delayed one runs on the timeline. World files (models/scenario_file.h) are
// the text form of the same triggers and events.
//
// Every request a device or Windows refuses is recorded with the reason, so
// that a test can show why something failed and that nothing was refused.
#pragma once

#include "sim_api.h"
#include "sim_device_model.h"

#include <functional>
#include <string>
#include <vector>

namespace sim {

// ---------------------------------------------------------------- labels

CORVANE_SIM_API void SetLabel(DeviceId device, const std::wstring& label);
CORVANE_SIM_API std::wstring LabelOf(DeviceId device);
// The device with the label that is on the bus now; 0 when none is.
CORVANE_SIM_API DeviceId PresentDeviceLabelled(const std::wstring& label);
// Every device that carried the label, present or gone, in the order they
// were plugged (a camera, its update-mode device, the camera again, ...).
CORVANE_SIM_API std::vector<DeviceId> DevicesLabelled(const std::wstring& label);

// ---------------------------------------------------------------- triggers

enum class TriggerKind {
    At,           // a simulated time
    Handshake,    // a camera got the request that sends it to update mode
    UpdateStart,  // the first request of a device's update (update mode or boot loader)
    Block,        // a device took a block (data request, data packet, memory write) of an image part
};

struct Trigger {
    TriggerKind kind = TriggerKind::At;
    ULONGLONG atMs = 0;   // At: simulated ms after When() was called
    std::wstring device;  // the other kinds: only the device with this label (empty: any device)
    int part = 0;         // Block: image part 1 or 2 (0: either)
    int block = 0;        // Block: counted from 1 within the part
    DWORD afterMs = 0;    // the other kinds: the action runs this long after the moment
};

// Runs action once when the trigger fires. Actions run without any simulator
// lock held and may plug, unplug or schedule.
CORVANE_SIM_API void When(const Trigger& trigger, std::function<void()> action);
// The trigger in a world file's words: "at=1500", "when=block:37 part=2
// of=SN1 after=10".
CORVANE_SIM_API std::wstring TriggerText(const Trigger& trigger);

// Device models report the moments triggers wait for. Each returns whether
// the device is still on the bus afterwards (a trigger may have unplugged
// it, and then the request at hand has already failed).
CORVANE_SIM_API bool ReportHandshake(DeviceId device);
// Every request an update-mode device or boot loader gets; the first one of
// a labelled device (of any appearance) is its update start.
CORVANE_SIM_API bool ReportUpdateRequest(DeviceId device);
CORVANE_SIM_API bool ReportBlock(DeviceId device, int part, int block);

// ---------------------------------------------------------------- timeline events

// A device taken off the bus as an operator pulls its cable: it leaves in
// whatever mode it is (an arrival it was about to make does not happen), and
// with backAfterMs it is plugged in again that long after, as the device it
// was (its model keeps its memory).
struct TimelineEvent {
    Trigger when;
    std::wstring device;  // the label
    DWORD backAfterMs = 0;  // 0: stays away
};
CORVANE_SIM_API void Schedule(const TimelineEvent& event);
// The world-file statement that schedules the event: "unplug device=SN1
// when=block:37 part=2 back-after=2000".
CORVANE_SIM_API std::wstring StatementOf(const TimelineEvent& event);
// Unplugs the labelled device now, as Schedule does when the event fires.
CORVANE_SIM_API bool UnplugLabelled(const std::wstring& label, DWORD backAfterMs = 0);

// ---------------------------------------------------------------- refusals

struct Refusal {
    DeviceId device = 0;
    std::wstring label;
    std::wstring by;       // "update-mode device", "HID class driver", ...
    std::wstring request;  // the request as it came, e.g. "DNLOAD value 0 index 0 length 1024"
    std::wstring reason;   // why it was refused
    ULONGLONG atMs = 0;    // simulated time
};
CORVANE_SIM_API void RecordRefusal(DeviceId device, const std::wstring& by, const std::wstring& request,
                                   const std::wstring& reason);
CORVANE_SIM_API std::vector<Refusal> Refusals();
// One line per refusal, for a test's failure message.
CORVANE_SIM_API std::wstring RefusalsText();

// The strict checks of the protocol's waits: a request that comes clearly
// before the wait it needs (by the simulated clock; Wine's timers are coarse,
// so a tick early is not refused). waitMs is the wait, elapsedMs what the
// host left.
inline bool ClearlyTooEarly(double elapsedMs, double waitMs) {
    const double slack = waitMs / 4 > 2 ? waitMs / 4 : 2;
    return elapsedMs < waitMs - slack;
}

}  // namespace sim
