#include "camera_hid.h"
#include "camera_restart.h"
#include "model_text.h"

#include <algorithm>

namespace sim {

namespace {

constexpr size_t kReportLength = 65;
// The HID class driver keeps this many input reports for readers to come.
constexpr size_t kInputBufferReports = 32;

constexpr BYTE kCmdEnterUpdate = 0x30;
constexpr BYTE kCmdWithByte = 0x32;
constexpr BYTE kCmdVersion = 0x40;
constexpr BYTE kCmdUniqueId = 0x41;
constexpr BYTE kResetByte = 0x04;

}  // namespace

HidCameraModel::HidCameraModel(HidCameraKnobs knobs) : knobs_(knobs) {}

void HidCameraModel::SetUpdateModePlan(UsbDeviceSpec next, std::shared_ptr<DeviceModel> model) {
    std::lock_guard<std::mutex> lock(mutex_);
    updateSpec_ = std::move(next);
    updateModel_ = std::move(model);
    haveUpdatePlan_ = true;
}

std::vector<HidOpenRecord> HidCameraModel::Opens() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return opens_;
}

std::vector<HidWriteRecord> HidCameraModel::Writes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return writes_;
}

int HidCameraModel::ReadsIssued() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return readsIssued_;
}

int HidCameraModel::PendingReads() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(pendingReads_.size());
}

std::vector<uint8_t> HidCameraModel::UpdateKinds() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return updateKinds_;
}

int HidCameraModel::HeldWrites() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return heldWrites_;
}

int HidCameraModel::Resets() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return resets_;
}

DeviceId HidCameraModel::device() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return device_;
}

void HidCameraModel::Attached(DeviceId device) {
    std::lock_guard<std::mutex> lock(mutex_);
    device_ = device;
    leaving_ = false;
    handshakeAccepted_ = false;
    pendingReads_.clear();
    buffered_.clear();
}

DWORD HidCameraModel::Open(const OpenContext& context) {
    std::lock_guard<std::mutex> lock(mutex_);
    HidOpenRecord r;
    r.interfaceNumber = context.interfaceNumber;
    r.access = context.access;
    r.flags = context.flags;
    r.result = context.kind == FunctionKind::Hid ? knobs_.openError : ERROR_SUCCESS;
    opens_.push_back(r);
    return r.result;
}

void HidCameraModel::Read(const IoRequestPtr& request) {
    if (request->context().kind != FunctionKind::Hid) {
        request->Fail(ERROR_INVALID_FUNCTION);
        return;
    }
    const int itf = request->context().interfaceNumber;
    std::unique_lock<std::mutex> lock(mutex_);
    ++readsIssued_;
    auto it = std::find_if(buffered_.begin(), buffered_.end(), [&](const auto& b) { return b.first == itf; });
    if (it == buffered_.end()) {
        pendingReads_.push_back(request);
        return;
    }
    std::vector<BYTE> report = std::move(it->second);
    buffered_.erase(it);
    lock.unlock();
    request->CompleteData(report);
}

void HidCameraModel::Cancelled(const IoRequestPtr& request) {
    std::lock_guard<std::mutex> lock(mutex_);
    pendingReads_.erase(std::remove(pendingReads_.begin(), pendingReads_.end(), request), pendingReads_.end());
}

void HidCameraModel::Deliver(int interfaceNumber, std::vector<BYTE> report) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        auto it = std::find_if(pendingReads_.begin(), pendingReads_.end(),
                               [&](const IoRequestPtr& r) { return r->context().interfaceNumber == interfaceNumber; });
        if (it == pendingReads_.end()) break;
        IoRequestPtr reader = *it;
        pendingReads_.erase(it);
        lock.unlock();
        // A read cancelled in the meantime does not take it.
        if (reader->CompleteData(report)) return;
        lock.lock();
    }
    buffered_.emplace_back(interfaceNumber, std::move(report));
    size_t mine = 0;
    for (const auto& b : buffered_) mine += b.first == interfaceNumber ? 1 : 0;
    if (mine > kInputBufferReports) {
        // A full ring drops its oldest report.
        auto oldest = std::find_if(buffered_.begin(), buffered_.end(), [&](const auto& b) { return b.first == interfaceNumber; });
        buffered_.erase(oldest);
    }
}

void HidCameraModel::ReplyLater(int interfaceNumber, std::vector<BYTE> report, DWORD delayMs) {
    if (delayMs == 0) {
        Deliver(interfaceNumber, std::move(report));
        return;
    }
    std::weak_ptr<HidCameraModel> self = weak_from_this();
    After(delayMs, [self, interfaceNumber, report]() mutable {
        if (auto model = self.lock()) model->Deliver(interfaceNumber, std::move(report));
    });
}

void HidCameraModel::Write(const IoRequestPtr& request) {
    if (request->context().kind != FunctionKind::Hid) {
        request->Fail(ERROR_INVALID_FUNCTION);
        return;
    }
    const std::vector<BYTE> bytes = request->input();
    const int itf = request->context().interfaceNumber;
    if (bytes.size() == kReportLength && bytes[1] == kCmdEnterUpdate && !ReportHandshake(device())) return;
    std::vector<BYTE> reply;
    bool leave = false, update = false, reset = false;
    std::wstring refusal;
    DWORD delay;
    DeviceId device;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (knobs_.holdWritesFromCommand >= 0 && commands_ >= knobs_.holdWritesFromCommand) {
            ++heldWrites_;
            return;  // kept pending: the request is neither completed nor failed
        }
        writes_.push_back({itf, bytes});
        const int index = commands_++;
        device = device_;
        delay = knobs_.replyDelayMs;
        if (index == knobs_.leaveBusAtCommand) {
            leave = true;
        } else if (bytes.size() == kReportLength) {
            const BYTE code = bytes[1];
            const BYTE parameter = bytes[2];
            const BYTE answer = knobs_.replyCode >= 0 ? static_cast<BYTE>(knobs_.replyCode) : code;
            switch (code) {
                case kCmdVersion:
                    reply = {0x00, answer};
                    reply.insert(reply.end(), knobs_.version, knobs_.version + 6);
                    break;
                case kCmdUniqueId:
                    reply = {0x00, answer};
                    reply.insert(reply.end(), knobs_.uniqueId, knobs_.uniqueId + 4);
                    break;
                case kCmdEnterUpdate:
                    reply = {0x00, knobs_.replyCode >= 0 ? answer : kCmdWithByte};
                    handshakeAccepted_ = !knobs_.noReply && reply[1] == kCmdWithByte;
                    break;
                case kCmdWithByte:
                    if (handshakeAccepted_) {
                        handshakeAccepted_ = false;
                        updateKinds_.push_back(parameter);
                        update = true;
                    } else if (parameter == kResetByte) {
                        ++resets_;
                        reset = true;
                    } else {
                        refusal = L"an image kind without an accepted update request before it";
                    }
                    break;
                default:
                    refusal = L"no such command";
                    break;
            }
            if (knobs_.noReply) reply.clear();
            if (!reply.empty()) reply.resize(kReportLength, 0);
        }
    }
    if (leave) {
        Unplug(device);
        request->Fail(ERROR_DEVICE_NOT_CONNECTED);
        return;
    }
    // The class driver takes only whole output reports (the world checks
    // their length before a model sees them).
    if (bytes.size() != kReportLength) {
        request->Fail(ERROR_INVALID_USER_BUFFER);
        return;
    }
    // The camera takes the report and ignores a command it does not know.
    if (!refusal.empty())
        RecordRefusal(device, L"camera", L"command 0x" + HexText(bytes[1]) + L" with 0x" + HexText(bytes[2]), refusal);
    request->CompleteBytes(static_cast<DWORD>(bytes.size()));
    if (!reply.empty()) ReplyLater(itf, std::move(reply), delay);
    if (update) Restart(true);
    if (reset) Restart(false);
}

void HidCameraModel::Restart(bool updateMode) {
    DeviceId device;
    HidCameraKnobs knobs;
    UsbDeviceSpec next;
    std::shared_ptr<DeviceModel> nextModel;
    bool plan;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (leaving_) return;
        if (updateMode && !knobs_.entersUpdateMode) return;
        leaving_ = true;
        device = device_;
        knobs = knobs_;
        plan = haveUpdatePlan_;
        next = updateSpec_;
        nextModel = updateModel_;
    }
    RestartCamera(device, knobs.leaveMs, knobs.arriveMs, updateMode, plan, next, nextModel, shared_from_this());
}

}  // namespace sim
