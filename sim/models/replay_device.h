// A device that answers from a recorded trace: each request gets the answer
// the recorded device gave to the same request, in the recorded order, and
// the device leaves the bus and comes back where the trace shows it did.
//
// Every request is checked against the recorded one (setup fields, I/O
// control code, report ID, lengths, bytes sent). The first request that
// differs, or that comes after the last recorded one, is refused with a stall
// and described (expected versus got, in hex); so is everything after it,
// since a conversation that left the trace cannot be answered from it. At the
// end a test asks for the verdict: every recorded exchange came, and nothing
// else did.
#pragma once

#include "replay_trace.h"

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace sim {

class CORVANE_SIM_API ReplayDeviceModel : public DeviceModel {
public:
    explicit ReplayDeviceModel(DeviceTrace trace);

    // The model for one device of a trace file; null (and the reason) when
    // the trace cannot be read.
    static std::shared_ptr<ReplayDeviceModel> Load(const std::wstring& traceFile, const std::wstring& devicePath,
                                                   std::string* error);

    // For tests of the replay itself: the request that arrives as number
    // `number` (counted from 1, as the reports count) is changed before it
    // is checked, as if the code had sent something else.
    void AlterRequest(size_t number, std::function<void(ReplayRequest&)> change);

    size_t RecordedCount() const;
    size_t ConsumedCount() const;
    // A request differed from the recorded one or came after the last one.
    bool Diverged() const;
    // Empty when every recorded exchange came as recorded and nothing else
    // came; otherwise what went wrong, the first difference first.
    std::string Verdict() const;
    // Every request as it arrived (after any alteration), in order.
    std::vector<ReplayRequest> Received() const;

    void Attached(DeviceId device) override;
    void Read(const IoRequestPtr& request) override;
    void Write(const IoRequestPtr& request) override;
    void DeviceIoControl(const IoRequestPtr& request) override;
    void ControlTransfer(const IoRequestPtr& request) override;
    void Cancelled(const IoRequestPtr& request) override;
    DWORD GetInputReport(const OpenContext& context, BYTE* report, ULONG length) override;
    DWORD SetOutputReport(const OpenContext& context, const BYTE* report, ULONG length) override;

private:
    struct Answer {
        bool matched = false;
        RecordedExchange exchange;
        bool departs = false;
        RecordedDeparture departure;
    };
    Answer Take(ReplayRequest request);
    void Serve(const IoRequestPtr& request, ReplayRequest got);
    void Depart(const RecordedDeparture& departure);

    mutable std::mutex mutex_;
    DeviceTrace trace_;
    size_t next_ = 0;  // the recorded exchange the next request must match
    DeviceId device_ = 0;
    std::vector<ReplayRequest> received_;
    std::vector<std::pair<size_t, std::function<void(ReplayRequest&)>>> alterations_;
    std::string firstDifference_;
    size_t afterDivergence_ = 0;  // requests refused after the first difference
    std::vector<IoRequestPtr> held_;  // requests the recorded device never answered
};

}  // namespace sim
