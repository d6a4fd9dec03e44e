#include "camera_cx3.h"

#include <algorithm>
#include <cstring>

namespace sim {

namespace {

constexpr BYTE kStateReady = 0;
constexpr BYTE kStateResetRefused = 3;
constexpr BYTE kStateBusy = 8;

constexpr BYTE kCmdFlash = 0xAA;
constexpr BYTE kFlashErase = 0x01;
constexpr BYTE kFlashReset = 0x02;
constexpr BYTE kCmdCx3Version = 0xBB;
constexpr BYTE kCmdIspVersion = 0xCC;

// Bytes after the payload of an input report: whatever the firmware's buffer
// held, never zero, so that a reader that takes more than the length byte
// says is caught.
constexpr BYTE kStale = 0xEE;

// A zero-terminated text in a field of 8 bytes.
void PutText(std::vector<BYTE>* out, const std::string& text) {
    for (size_t i = 0; i < 8; ++i) out->push_back(i < text.size() && i < 7 ? static_cast<BYTE>(text[i]) : 0);
}

}  // namespace

Cx3CameraModel::Cx3CameraModel(Cx3CameraKnobs knobs) : knobs_(knobs), payload_{kStateReady} {
    busyLeft_ = knobs_.busyAtStart;
    refusalsLeft_ = knobs_.resetRefusals;
}

void Cx3CameraModel::SetResetPlan(UsbDeviceSpec next, std::shared_ptr<DeviceModel> model) {
    std::lock_guard<std::mutex> lock(mutex_);
    resetSpec_ = std::move(next);
    resetModel_ = std::move(model);
    haveResetPlan_ = true;
}

std::vector<std::vector<BYTE>> Cx3CameraModel::OutputReports() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return outputs_;
}

int Cx3CameraModel::InputReportsServed() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return served_;
}

int Cx3CameraModel::Erases() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return erases_;
}

int Cx3CameraModel::Resets() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return resets_;
}

DeviceId Cx3CameraModel::device() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return device_;
}

void Cx3CameraModel::Attached(DeviceId device) {
    std::lock_guard<std::mutex> lock(mutex_);
    device_ = device;
    leaving_ = false;
}

DWORD Cx3CameraModel::Open(const OpenContext& context) {
    std::lock_guard<std::mutex> lock(mutex_);
    return context.kind == FunctionKind::Hid ? knobs_.openError : ERROR_SUCCESS;
}

DWORD Cx3CameraModel::GetInputReport(const OpenContext& context, BYTE* report, ULONG length) {
    if (context.kind != FunctionKind::Hid) return ERROR_INVALID_FUNCTION;
    std::lock_guard<std::mutex> lock(mutex_);
    ++served_;
    if (knobs_.inputReportError != ERROR_SUCCESS) return knobs_.inputReportError;
    std::vector<BYTE> payload = payload_;
    if (knobs_.staysBusy || busyLeft_ > 0) {
        payload = {kStateBusy};
        if (busyLeft_ > 0) --busyLeft_;
    } else {
        erasing_ = false;
    }
    const ULONG n = std::min<ULONG>(length, knobs_.reportLength);
    std::memset(report, kStale, n);
    report[0] = 0;
    // The length byte counts the payload (state and data), as the host's
    // output reports count theirs.
    if (n > 1) report[1] = knobs_.lengthByte >= 0 ? static_cast<BYTE>(knobs_.lengthByte) : static_cast<BYTE>(payload.size());
    for (size_t i = 0; i < payload.size() && 2 + i < n; ++i) report[2 + i] = payload[i];
    return ERROR_SUCCESS;
}

DWORD Cx3CameraModel::SetOutputReport(const OpenContext& context, const BYTE* report, ULONG length) {
    if (context.kind != FunctionKind::Hid) return ERROR_INVALID_FUNCTION;
    if (knobs_.outputReportError != ERROR_SUCCESS) return knobs_.outputReportError;
    if (length > 3 && report[1] >= 2 && report[2] == kCmdFlash && report[3] == kFlashErase && !ReportHandshake(device()))
        return ERROR_DEVICE_NOT_CONNECTED;
    bool reset = false;
    std::wstring refusal;
    DeviceId device;
    Cx3CameraKnobs knobs;
    UsbDeviceSpec next;
    std::shared_ptr<DeviceModel> nextModel;
    bool plan;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        outputs_.emplace_back(report, report + length);
        device = device_;
        const BYTE n = length > 1 ? report[1] : 0;
        BYTE command = length > 2 ? report[2] : 0;
        const BYTE detail = length > 3 && n > 1 ? report[3] : 0;
        if (n == 0 || length < 3) {
            refusal = L"a report without a payload";
        } else if (n > length - 2) {
            refusal = L"a payload length beyond the report";
        } else if (command == kCmdFlash && n < 2) {
            refusal = L"a flash command without its second byte";
        } else if (command == kCmdFlash && detail == kFlashReset && erasing_) {
            refusal = L"a reset while the flash erase runs";
        }
        if (!refusal.empty()) command = 0;
        switch (command) {
            case 0:
                break;
            case kCmdFlash:
                if (detail == kFlashErase) {
                    ++erases_;
                    busyLeft_ = knobs_.erasePolls;
                    erasing_ = busyLeft_ > 0;
                    payload_ = {kStateReady};
                } else if (detail == kFlashReset) {
                    if (refusalsLeft_ > 0) {
                        --refusalsLeft_;
                        payload_ = {kStateResetRefused};
                    } else if (!leaving_) {
                        ++resets_;
                        leaving_ = true;
                        reset = true;
                    }
                }
                break;
            case kCmdCx3Version:
                payload_ = {kStateReady};
                payload_.insert(payload_.end(), knobs_.cx3Version, knobs_.cx3Version + 5);
                break;
            case kCmdIspVersion:
                payload_ = {kStateReady, knobs_.ispVersion[0], knobs_.ispVersion[1]};
                PutText(&payload_, knobs_.ispBuildDate);
                PutText(&payload_, knobs_.ispBuildTime);
                break;
            default:
                refusal = L"no such command";
                break;
        }
        knobs = knobs_;
        plan = haveResetPlan_;
        next = resetSpec_;
        nextModel = resetModel_;
    }
    // The camera takes the report and does nothing with what it refuses.
    if (!refusal.empty())
        RecordRefusal(device, L"camera", L"output report with payload length " + std::to_wstring(length > 1 ? report[1] : 0) +
                                             L", command " + std::to_wstring(length > 2 ? report[2] : 0),
                      refusal);
    if (reset) {
        // The camera restarts in its boot loader: gone before the host's
        // next poll.
        if (plan) {
            Reenumerate(device, knobs.leaveMs, knobs.arriveMs, next, nextModel);
        } else {
            UnplugAfter(knobs.leaveMs, device);
        }
    }
    return ERROR_SUCCESS;
}

}  // namespace sim
