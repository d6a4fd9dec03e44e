#include "replay_device.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace sim {

namespace {

std::string Offset(size_t at) {
    char b[16];
    std::snprintf(b, sizeof b, "%04zx", at);
    return b;
}

// "0010: 5c 1e 8a ..." for bytes [from, to) of b.
std::string Window(const std::vector<uint8_t>& b, size_t from, size_t to) {
    std::string s = Offset(from) + ":";
    if (from >= b.size()) return s + " (no bytes here)";
    const size_t end = std::min(to, b.size());
    for (size_t i = from; i < end; ++i) {
        char h[4];
        std::snprintf(h, sizeof h, " %02x", b[i]);
        s += h;
    }
    if (end < b.size()) s += " ...";
    return s;
}

// The lengths of both byte strings, where they first differ, and the bytes
// around that place from both; empty when they are the same.
std::string BytesDiff(const std::vector<uint8_t>& expected, const std::vector<uint8_t>& got) {
    const size_t common = std::min(expected.size(), got.size());
    size_t first = 0;
    while (first < common && expected[first] == got[first]) ++first;
    if (first == common && expected.size() == got.size()) return std::string();
    std::string s = "  bytes sent: expected " + std::to_string(expected.size()) + ", got " + std::to_string(got.size()) +
                    "; first difference at offset 0x" + Offset(first) + " (" + std::to_string(first) + ")\n";
    // Short payloads whole; long ones as 32 bytes from the line of the difference.
    size_t from = 0, to = std::max(expected.size(), got.size());
    if (to > 32) {
        from = first & ~static_cast<size_t>(15);
        to = from + 32;
    }
    s += "    expected " + Window(expected, from, to) + "\n";
    s += "    got      " + Window(got, from, to) + "\n";
    return s;
}

// What differs between two requests, one line per kind of difference.
std::string Compare(const ReplayRequest& expected, const ReplayRequest& got) {
    if (expected.kind != got.kind) return "  a different call\n";
    std::vector<const char*> fields;
    switch (expected.kind) {
        case ExchangeKind::ControlTransfer:
            if (expected.setup.RequestType != got.setup.RequestType) fields.push_back("type");
            if (expected.setup.Request != got.setup.Request) fields.push_back("request");
            if (expected.setup.Value != got.setup.Value) fields.push_back("value");
            if (expected.setup.Index != got.setup.Index) fields.push_back("index");
            if (expected.setup.Length != got.setup.Length) fields.push_back("length");
            break;
        case ExchangeKind::DeviceIoControl:
            if (expected.ioctl != got.ioctl) fields.push_back("code");
            if (expected.length != got.length) fields.push_back("output size");
            break;
        case ExchangeKind::GetInputReport:
        case ExchangeKind::SetOutputReport:
            if (expected.reportId != got.reportId) fields.push_back("report ID");
            if (expected.length != got.length) fields.push_back("length");
            break;
        case ExchangeKind::Read:
            if (expected.length != got.length) fields.push_back("length");
            break;
        case ExchangeKind::Write:
            break;
    }
    std::string s;
    if (!fields.empty()) {
        s = "  differs in:";
        for (size_t i = 0; i < fields.size(); ++i) s += std::string(i ? ", " : " ") + fields[i];
        s += "\n";
    }
    return s + BytesDiff(expected.out, got.out);
}

bool HasReply(const ReplayRequest& r) {
    switch (r.kind) {
        case ExchangeKind::Read:
        case ExchangeKind::DeviceIoControl:
            return true;
        case ExchangeKind::ControlTransfer:
            return (r.setup.RequestType & 0x80) != 0;
        default:
            return false;
    }
}

DWORD SimulatedMs(double ms) { return ms <= 0 ? 0 : static_cast<DWORD>(std::ceil(ms)); }

}  // namespace

ReplayDeviceModel::ReplayDeviceModel(DeviceTrace trace) : trace_(std::move(trace)) {}

std::shared_ptr<ReplayDeviceModel> ReplayDeviceModel::Load(const std::wstring& traceFile,
                                                           const std::wstring& devicePath, std::string* error) {
    DeviceTrace trace;
    if (!LoadDeviceTrace(traceFile, devicePath, &trace, error)) return nullptr;
    return std::make_shared<ReplayDeviceModel>(std::move(trace));
}

void ReplayDeviceModel::AlterRequest(size_t number, std::function<void(ReplayRequest&)> change) {
    std::lock_guard<std::mutex> lock(mutex_);
    alterations_.emplace_back(number, std::move(change));
}

size_t ReplayDeviceModel::RecordedCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return trace_.exchanges.size();
}

size_t ReplayDeviceModel::ConsumedCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return next_;
}

bool ReplayDeviceModel::Diverged() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return !firstDifference_.empty();
}

std::vector<ReplayRequest> ReplayDeviceModel::Received() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

std::string ReplayDeviceModel::Verdict() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string v = firstDifference_;
    if (afterDivergence_ > 0) {
        v += std::to_string(afterDivergence_) + " more request(s) came after it and were refused.\n";
    }
    const size_t total = trace_.exchanges.size();
    if (next_ < total) {
        const RecordedExchange& x = trace_.exchanges[next_];
        v += std::to_string(total - next_) + " of the " + std::to_string(total) +
             " recorded exchanges never came; the first of them is exchange " + std::to_string(next_ + 1) +
             " (trace line " + std::to_string(x.line) + "): " + DescribeRequest(x.request) + "\n";
    }
    return v;
}

void ReplayDeviceModel::Attached(DeviceId device) {
    std::lock_guard<std::mutex> lock(mutex_);
    device_ = device;
}

ReplayDeviceModel::Answer ReplayDeviceModel::Take(ReplayRequest got) {
    std::lock_guard<std::mutex> lock(mutex_);
    const size_t number = received_.size() + 1;
    for (auto& a : alterations_) {
        if (a.first == number) a.second(got);
    }
    received_.push_back(got);
    Answer answer;
    if (!firstDifference_.empty()) {
        ++afterDivergence_;
        return answer;
    }
    const size_t total = trace_.exchanges.size();
    if (next_ >= total) {
        firstDifference_ = "request " + std::to_string(number) + " came after the last of the " +
                           std::to_string(total) + " recorded exchanges:\n  got      " + DescribeRequest(got) + "\n";
        return answer;
    }
    const RecordedExchange& x = trace_.exchanges[next_];
    const std::string diff = Compare(x.request, got);
    if (!diff.empty()) {
        firstDifference_ = "exchange " + std::to_string(next_ + 1) + " of " + std::to_string(total) + " (trace line " +
                           std::to_string(x.line) + ") differs from the recorded one:\n  expected " +
                           DescribeRequest(x.request) + "\n  got      " + DescribeRequest(got) + "\n" + diff;
        return answer;
    }
    ++next_;
    answer.matched = true;
    answer.exchange = x;
    for (const RecordedDeparture& d : trace_.departures) {
        if (d.afterExchange == next_) {
            answer.departs = true;
            answer.departure = d;
            break;
        }
    }
    return answer;
}

void ReplayDeviceModel::Depart(const RecordedDeparture& departure) {
    DeviceId device;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        device = device_;
    }
    // The world holds this model; the next appearance is served by it too.
    std::shared_ptr<DeviceModel> self = ModelOf(device);
    const UsbDeviceSpec spec = SpecOf(device);
    Unplug(device);
    if (departure.returns && self) PlugAfter(SimulatedMs(departure.absentMs), spec, self);
}

void ReplayDeviceModel::Serve(const IoRequestPtr& request, ReplayRequest got) {
    const bool reply = HasReply(got);
    const Answer a = Take(std::move(got));
    if (!a.matched) {
        request->Fail(ERROR_GEN_FAILURE);  // the device stalls what it does not know
        return;
    }
    const RecordedExchange& x = a.exchange;
    if (x.error == ERROR_IO_PENDING || (x.pending && x.error == ERROR_OPERATION_ABORTED)) {
        // The recorded device never answered it (the code gave up on it):
        // it stays pending until the code cancels it.
        std::lock_guard<std::mutex> lock(mutex_);
        held_.push_back(request);
    } else if (!x.pending) {
        if (reply) {
            request->CompleteData(x.in.data(), static_cast<DWORD>(x.in.size()), x.error);
        } else {
            request->CompleteBytes(x.count, x.error);
        }
    } else {
        // It went pending on the recorded device: it does here too, for as
        // long (recorded milliseconds taken as simulated ones).
        const DWORD delay = SimulatedMs(x.pendingMs);
        if (reply) {
            request->CompleteDataAfter(delay, x.in, x.error);
        } else {
            request->CompleteBytesAfter(delay, x.count, x.error);
        }
        if (a.departs) {
            const RecordedDeparture d = a.departure;
            std::shared_ptr<DeviceModel> self;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                self = ModelOf(device_);
            }
            // Scheduled after the completion, so the device answers first.
            After(delay, [self, d] { static_cast<ReplayDeviceModel*>(self.get())->Depart(d); });
            return;
        }
    }
    if (a.departs) Depart(a.departure);
}

void ReplayDeviceModel::Read(const IoRequestPtr& request) {
    ReplayRequest got;
    got.kind = ExchangeKind::Read;
    got.length = request->outputCapacity();
    Serve(request, std::move(got));
}

void ReplayDeviceModel::Write(const IoRequestPtr& request) {
    ReplayRequest got;
    got.kind = ExchangeKind::Write;
    got.out.assign(request->input().begin(), request->input().end());
    got.length = static_cast<DWORD>(got.out.size());
    Serve(request, std::move(got));
}

void ReplayDeviceModel::DeviceIoControl(const IoRequestPtr& request) {
    ReplayRequest got;
    got.kind = ExchangeKind::DeviceIoControl;
    got.ioctl = request->ioctlCode();
    got.length = request->outputCapacity();
    got.out.assign(request->input().begin(), request->input().end());
    Serve(request, std::move(got));
}

void ReplayDeviceModel::ControlTransfer(const IoRequestPtr& request) {
    ReplayRequest got;
    got.kind = ExchangeKind::ControlTransfer;
    got.setup = request->setup();
    got.length = got.setup.Length;
    got.out.assign(request->input().begin(), request->input().end());
    Serve(request, std::move(got));
}

void ReplayDeviceModel::Cancelled(const IoRequestPtr& request) {
    std::lock_guard<std::mutex> lock(mutex_);
    held_.erase(std::remove(held_.begin(), held_.end(), request), held_.end());
}

DWORD ReplayDeviceModel::GetInputReport(const OpenContext&, BYTE* report, ULONG length) {
    ReplayRequest got;
    got.kind = ExchangeKind::GetInputReport;
    got.reportId = report[0];
    got.length = length;
    const Answer a = Take(std::move(got));
    if (!a.matched) return ERROR_GEN_FAILURE;
    const RecordedExchange& x = a.exchange;
    // A report request is synchronous: one the recorded device never
    // answered cannot be held, it times out.
    const DWORD error = x.error == ERROR_IO_PENDING ? ERROR_SEM_TIMEOUT : x.error;
    if (error == ERROR_SUCCESS) std::memcpy(report, x.in.data(), std::min<size_t>(length, x.in.size()));
    if (a.departs) Depart(a.departure);
    return error;
}

DWORD ReplayDeviceModel::SetOutputReport(const OpenContext&, const BYTE* report, ULONG length) {
    ReplayRequest got;
    got.kind = ExchangeKind::SetOutputReport;
    got.reportId = report[0];
    got.length = length;
    got.out.assign(report, report + length);
    const Answer a = Take(std::move(got));
    if (!a.matched) return ERROR_GEN_FAILURE;
    const DWORD error = a.exchange.error == ERROR_IO_PENDING ? ERROR_SEM_TIMEOUT : a.exchange.error;
    if (a.departs) Depart(a.departure);
    return error;
}

}  // namespace sim
