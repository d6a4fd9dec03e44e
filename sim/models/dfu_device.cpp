#include "dfu_device.h"

namespace sim {

namespace {

constexpr uint8_t kOut = 0x40;
constexpr uint8_t kIn = 0xC0;

constexpr uint8_t kStateAppIdle = 0;
constexpr uint8_t kStateIdle = 2;
constexpr uint8_t kStateDnloadSync = 3;
constexpr uint8_t kStateDnBusy = 4;
constexpr uint8_t kStateDnloadIdle = 5;
constexpr uint8_t kStateManifestSync = 6;
constexpr uint8_t kStateManifest = 7;
constexpr uint8_t kStateError = 10;
constexpr uint8_t kStatusErrWrite = 0x03;

}  // namespace

DfuDeviceModel::DfuDeviceModel(std::shared_ptr<DfuFlash> flash, DfuKnobs knobs)
    : flash_(flash ? std::move(flash) : std::make_shared<DfuFlash>()), knobs_(knobs), state_(knobs.startState) {}

void DfuDeviceModel::SetRestartPlan(RestartPlan plan) {
    std::lock_guard<std::mutex> lock(mutex_);
    plan_ = std::move(plan);
}

std::vector<DfuRequestRecord> DfuDeviceModel::Requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

uint8_t DfuDeviceModel::State() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_;
}

DfuDeviceModel::RestartPlan DfuDeviceModel::ComeBackAs(UsbDeviceSpec spec) {
    return [spec](const DfuFlash&, bool, UsbDeviceSpec* next, std::shared_ptr<DeviceModel>*) {
        *next = spec;  // the model stays empty: Restart makes one with the same flash
        return true;
    };
}

void DfuDeviceModel::Attached(DeviceId device) {
    std::lock_guard<std::mutex> lock(mutex_);
    device_ = device;
    state_ = knobs_.startState;
}

void DfuDeviceModel::EndBlock(size_t length, bool firstOfPart) {
    lastBlockLength_ = length;
    state_ = kStateDnloadSync;
    busyLeft_ = knobs_.busyPollsPerBlock;
    if (firstOfPart) statusFailuresLeft_ = knobs_.failedStatusAfterFirstBlock;
    if (blockInPart_ == knobs_.failedStatusAtBlock) ++statusFailuresLeft_;
    if (blockInPart_ == knobs_.errorStateAtBlock) {
        state_ = kStateError;
        status_ = kStatusErrWrite;
    }
    ++blockInPart_;
}

bool DfuDeviceModel::HandleOut(const WINUSB_SETUP_PACKET& s, const std::vector<uint8_t>& data, DWORD* transferred) {
    *transferred = 0;
    switch (s.Request) {
        case 0x00:  // DETACH: the application-idle device enters its DFU idle state
            if (state_ == kStateAppIdle && !knobs_.ignoresStateChange) state_ = kStateIdle;
            return true;
        case 0x01:  // DNLOAD
            if (s.Length == 0) {
                if (state_ != kStateDnloadIdle) return false;  // nothing to manifest: stall
                // The host pads a last block that is a whole number of 64-byte
                // packets with one 0xFF; it is not part of the image.
                if (lastBlockLength_ >= 65 && lastBlockLength_ % 64 == 1 && !session_.empty() &&
                    session_.back() == 0xFF)
                    session_.pop_back();
                if (eraseArmed_) {
                    flash_->image1.swap(session_);
                    eraseArmed_ = false;
                } else {
                    flash_->image2.swap(session_);
                }
                ++flash_->downloads;
                std::vector<uint8_t>().swap(session_);
                blockInPart_ = 0;
                lastBlockLength_ = 0;
                state_ = kStateManifest;
                return true;
            }
            if (state_ == kStateAppIdle || state_ == kStateError) return false;
            if (blockInPart_ == knobs_.failBlock) return false;
            session_.insert(session_.end(), data.begin(), data.end());
            *transferred = static_cast<DWORD>(data.size()) - (blockInPart_ == knobs_.shortCountAtBlock ? 1 : 0);
            EndBlock(data.size(), session_.size() == data.size());
            return true;
        case 0x04:  // CLRSTATUS
            if (state_ == kStateError && !knobs_.ignoresStateChange) {
                state_ = kStateIdle;
                status_ = 0;
            }
            return true;
        case 0x06:  // ABORT
            if (state_ != kStateError && state_ != kStateAppIdle && !knobs_.ignoresStateChange) {
                state_ = kStateIdle;
                session_.clear();
                blockInPart_ = 0;
            }
            return true;
        case 0x0B:  // MCU data
        case 0x0F: {  // FPGA data
            if (state_ == kStateAppIdle || state_ == kStateError) return false;
            if (blockInPart_ == knobs_.failBlock) return false;
            std::vector<uint8_t>& region = s.Request == 0x0B ? flash_->mcu : flash_->fpga;
            const bool first = region.empty();
            region.insert(region.end(), data.begin(), data.end());
            *transferred = static_cast<DWORD>(data.size()) - (blockInPart_ == knobs_.shortCountAtBlock ? 1 : 0);
            EndBlock(data.size(), first);
            if (s.Request == 0x0B) mcuVerified_ = false;
            return true;
        }
        case 0x0C:
            mcuVerifyAsked_ = true;
            return true;
        case 0x0E:  // erase the combined image: the next download is image 1
            if (knobs_.eraseFails) return false;
            flash_->image1.clear();
            flash_->image2.clear();
            ++flash_->combinedErases;
            eraseArmed_ = true;
            return true;
        case 0x10:
            fpgaVerifyAsked_ = true;
            return true;
        case 0x32:
            return s.Index == 4;
        default:
            return false;
    }
}

bool DfuDeviceModel::HandleIn(const WINUSB_SETUP_PACKET& s, std::vector<uint8_t>* reply, bool* timesOut) {
    if (s.Length < 6) return false;
    uint8_t status = status_, state = state_;
    switch (s.Request) {
        case 0x03:  // GETSTATUS
            if (knobs_.statusStalls) return false;
            if (statusFailuresLeft_ > 0) {
                --statusFailuresLeft_;  // still erasing: the device does not answer
                *timesOut = knobs_.failedStatusMs > 0;
                return false;
            }
            if ((state_ == kStateDnloadSync || state_ == kStateDnBusy) && lastBlockLength_ > 0) {
                if (knobs_.stayBusy || busyLeft_ > 0) {
                    if (busyLeft_ > 0) --busyLeft_;
                    state_ = kStateDnBusy;
                } else {
                    state_ = kStateDnloadIdle;
                }
                state = state_;
            } else if (state_ == kStateManifestSync && !knobs_.ignoresStateChange) {
                state_ = kStateIdle;  // reported once, then idle
            }
            break;
        case 0x0D:
            if (mcuVerifyAsked_) {
                status = knobs_.mcuVerifyStatus;
                state = knobs_.mcuVerifyState;
                mcuVerified_ = status != 0 && state == 13;
                mcuVerifyAsked_ = false;
                state_ = kStateIdle;
            }
            break;
        case 0x11:
            if (fpgaVerifyAsked_) {
                status = knobs_.fpgaVerifyStatus;
                state = knobs_.fpgaVerifyState;
                fpgaVerifyAsked_ = false;
                state_ = kStateIdle;
            }
            break;
        default:
            return false;
    }
    *reply = {status, 0, 0, 0, state, 0};
    if (knobs_.statusShort) reply->pop_back();
    return true;
}

void DfuDeviceModel::ControlTransfer(const IoRequestPtr& request) {
    const WINUSB_SETUP_PACKET s = request->setup();
    const std::vector<uint8_t> data(request->input().begin(), request->input().end());
    bool ok = false, leave = false, restart = false, reset = false, timesOut = false;
    DWORD transferred = 0, timeoutMs = 0;
    std::vector<uint8_t> reply;
    DeviceId device;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        device = device_;
        const bool dataRequest = s.RequestType == kOut && s.Length > 0 &&
                                 (s.Request == 0x01 || s.Request == 0x0B || s.Request == 0x0F);
        if (dataRequest && blockInPart_ == knobs_.leaveBusAtBlock) {
            leave = true;
        } else if (s.RequestType == kOut) {
            const uint8_t before = state_;
            ok = HandleOut(s, data, &transferred);
            restart = ok && s.Request == 0x01 && s.Length == 0 && before == kStateDnloadIdle;
            reset = ok && s.Request == 0x32;
            if (reset) ++flash_->resets;
        } else if (s.RequestType == kIn) {
            ok = HandleIn(s, &reply, &timesOut);
            timeoutMs = knobs_.failedStatusMs;
        }
        requests_.push_back({s.RequestType, s.Request, s.Value, s.Index, s.Length, data, ok, SimulatedNowMs()});
        if ((restart || reset) && restarting_) restart = reset = false;
        if (restart || reset) restarting_ = true;
    }
    if (leave) {
        Unplug(device);
        request->Fail(ERROR_DEVICE_NOT_CONNECTED);
        return;
    }
    if (timesOut) {
        // No answer at all: the transfer ends when the pipe's time-out runs out.
        request->CompleteBytesAfter(timeoutMs, 0, ERROR_SEM_TIMEOUT);
    } else if (!ok) {
        request->Fail(ERROR_GEN_FAILURE);  // the device stalls endpoint 0
    } else if (s.RequestType == kIn) {
        request->CompleteData(reply.data(), static_cast<DWORD>(reply.size()));
    } else {
        request->CompleteBytes(transferred);
    }
    if (restart || reset) Restart(reset);
}

void DfuDeviceModel::Restart(bool afterReset) {
    RestartPlan plan;
    DeviceId device;
    DfuKnobs knobs;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        plan = plan_;
        device = device_;
        knobs = knobs_;
    }
    UsbDeviceSpec next = SpecOf(device);
    std::shared_ptr<DeviceModel> model;
    bool comeBack = true;
    if (plan) comeBack = plan(*flash_, afterReset, &next, &model);
    if (!comeBack) {
        UnplugAfter(knobs.restartDelayMs, device);
        return;
    }
    if (!model) {
        // Back in update mode: the same flash, a fresh state machine.
        DfuKnobs fresh = DfuKnobs();
        fresh.restartDelayMs = knobs.restartDelayMs;
        fresh.reappearDelayMs = knobs.reappearDelayMs;
        auto again = std::make_shared<DfuDeviceModel>(flash_, fresh);
        again->SetRestartPlan(plan);
        model = again;
    }
    Reenumerate(device, knobs.restartDelayMs, knobs.reappearDelayMs, next, model);
}

}  // namespace sim
