#include "dfu_device.h"

#include <cstdarg>
#include <cwchar>

namespace sim {

namespace {

constexpr uint8_t kOut = 0x40;
constexpr uint8_t kIn = 0xC0;

constexpr uint8_t kReqDetach = 0x00;
constexpr uint8_t kReqDnload = 0x01;
constexpr uint8_t kReqGetStatus = 0x03;
constexpr uint8_t kReqClrStatus = 0x04;
constexpr uint8_t kReqAbort = 0x06;
constexpr uint8_t kReqMcuData = 0x0B;
constexpr uint8_t kReqMcuVerify = 0x0C;
constexpr uint8_t kReqMcuVerifyStatus = 0x0D;
constexpr uint8_t kReqEraseCombined = 0x0E;
constexpr uint8_t kReqFpgaData = 0x0F;
constexpr uint8_t kReqFpgaVerify = 0x10;
constexpr uint8_t kReqFpgaVerifyStatus = 0x11;
constexpr uint8_t kReqReset = 0x32;

constexpr uint8_t kStateAppIdle = 0;
constexpr uint8_t kStateAppDetach = 1;
constexpr uint8_t kStateIdle = 2;
constexpr uint8_t kStateDnloadSync = 3;
constexpr uint8_t kStateDnBusy = 4;
constexpr uint8_t kStateDnloadIdle = 5;
constexpr uint8_t kStateManifestSync = 6;
constexpr uint8_t kStateManifest = 7;
constexpr uint8_t kStateManifestWaitReset = 8;
constexpr uint8_t kStateError = 10;
constexpr uint8_t kStatusErrWrite = 0x03;

// The device's transfer size: no data stage is longer.
constexpr uint16_t kTransferSize = 1024;
constexpr size_t kStatusRecord = 6;

// The waits the device needs before it takes the next request.
constexpr double kAfterStatusMs = 20;
constexpr double kAfterMcuPacketMs = 50;
constexpr double kAfterEraseMs = 50;
constexpr double kMcuVerifyMs = 10000;

std::wstring Printf(const wchar_t* format, ...) {
    wchar_t text[256];
    va_list args;
    va_start(args, format);
    std::vswprintf(text, 256, format, args);
    va_end(args);
    return text;
}

std::wstring RequestText(const WINUSB_SETUP_PACKET& s) {
    return Printf(L"request type 0x%02X request 0x%02X value %u index %u length %u", s.RequestType, s.Request, s.Value,
                  s.Index, s.Length);
}

bool NoDataRequest(uint8_t r) {
    return r == kReqDetach || r == kReqClrStatus || r == kReqAbort || r == kReqMcuVerify || r == kReqEraseCombined ||
           r == kReqFpgaVerify || r == kReqReset;
}

}  // namespace

bool DfuFlash::Holds(const std::vector<uint8_t>& region, const std::vector<uint8_t>& image) {
    if (region.size() < image.size()) return false;
    for (size_t i = 0; i < image.size(); ++i)
        if (region[i] != image[i]) return false;
    for (size_t i = image.size(); i < region.size(); ++i)
        if (region[i] != 0xFF) return false;
    return true;
}

DfuDeviceModel::DfuDeviceModel(std::shared_ptr<DfuFlash> flash, DfuKnobs knobs)
    : flash_(flash ? std::move(flash) : std::make_shared<DfuFlash>()), knobs_(knobs), state_(knobs.startState) {}

void DfuDeviceModel::SetRestartPlan(RestartPlan plan) {
    std::lock_guard<std::mutex> lock(mutex_);
    plan_ = std::move(plan);
}

DfuKnobs DfuDeviceModel::knobs() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return knobs_;
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
    // Powered up afresh: no session, no wait.
    state_ = knobs_.startState;
    session_.clear();
    blockInPart_ = 0;
    blockInSession_ = 0;
    sessionPart_ = 0;
    awaitingStatus_ = false;
    restarting_ = false;
    waitMs_ = 0;
}

bool DfuDeviceModel::BlockFault(int knob) const {
    return knob >= 0 && blockInPart_ == knob && (knobs_.blockFaultPart == 0 || knobs_.blockFaultPart == sessionPart_);
}

void DfuDeviceModel::SetWait(double from, double ms, const wchar_t* after) {
    waitFrom_ = from;
    waitMs_ = ms;
    waitAfter_ = after;
}

void DfuDeviceModel::EndBlock(size_t length, bool firstOfPart) {
    (void)length;
    state_ = kStateDnloadSync;
    awaitingStatus_ = true;
    busyLeft_ = knobs_.busyPollsPerBlock;
    if (firstOfPart) statusFailuresLeft_ = knobs_.failedStatusAfterFirstBlock;
    if (blockInSession_ == knobs_.failedStatusAtBlock) ++statusFailuresLeft_;
    if (BlockFault(knobs_.errorStateAtBlock)) {
        state_ = kStateError;
        status_ = kStatusErrWrite;
        awaitingStatus_ = false;
    }
    ++blockInPart_;
    ++blockInSession_;
}

// Why the device refuses the request (lock held); empty when it takes it.
std::wstring DfuDeviceModel::Refusal(const WINUSB_SETUP_PACKET& s, const std::vector<uint8_t>& data,
                                     double now) const {
    const bool out = s.RequestType == kOut;
    if (!out && s.RequestType != kIn) return L"the device takes vendor requests addressed to the device only";
    if (waitMs_ > 0 && ClearlyTooEarly(now - waitFrom_, waitMs_))
        return Printf(L"it came %.0f ms after ", now - waitFrom_) + waitAfter_ +
               Printf(L"; the device takes the next request %.0f ms after it", waitMs_);
    if (!out) {
        if (s.Request != kReqGetStatus && s.Request != kReqMcuVerifyStatus && s.Request != kReqFpgaVerifyStatus)
            return L"no such request";
        if (s.Value != 0 || s.Index != 0) return L"a status request carries value 0 and index 0";
        if (s.Length != kStatusRecord) return L"the status record is 6 bytes";
        if (s.Request == kReqMcuVerifyStatus && mcuVerifyAsked_ && ClearlyTooEarly(now - mcuVerifyAskedAt_, kMcuVerifyMs))
            return Printf(L"it came %.0f ms after the MCU verify request; the device verifies its flash for %.0f ms",
                          now - mcuVerifyAskedAt_, kMcuVerifyMs);
        return L"";
    }
    const bool data_ = s.Request == kReqDnload || s.Request == kReqMcuData || s.Request == kReqFpgaData;
    if (!data_ && !NoDataRequest(s.Request)) return L"no such request";
    if (s.Value != 1) return L"an out request carries value 1";
    if (s.Index != (s.Request == kReqReset ? 4 : 0))
        return s.Request == kReqReset ? L"the reset request carries index 4" : L"an out request carries index 0";
    if (NoDataRequest(s.Request) && s.Length != 0) return L"the request has no data stage";
    if (data_ && s.Length > kTransferSize) return L"longer than the device's transfer size of 1024 bytes";
    if (data.size() != s.Length) return Printf(L"a data stage of %u bytes", static_cast<unsigned>(data.size()));
    if ((s.Request == kReqMcuData || s.Request == kReqFpgaData) && s.Length == 0) return L"a data request without data";
    switch (s.Request) {
        case kReqDetach:
            if (state_ != kStateAppIdle) return Printf(L"DETACH in state %u: only an application-idle device detaches", state_);
            break;
        case kReqClrStatus:
            if (state_ != kStateError) return Printf(L"CLRSTATUS in state %u: there is no error to clear", state_);
            break;
        case kReqAbort:
            if (state_ == kStateAppIdle || state_ == kStateAppDetach || state_ == kStateDnBusy ||
                state_ == kStateManifest || state_ == kStateManifestWaitReset || state_ == kStateError)
                return Printf(L"ABORT in state %u", state_);
            break;
        case kReqDnload:
        case kReqMcuData:
        case kReqFpgaData:
            if (s.Request == kReqDnload && s.Length == 0) {
                if (state_ != kStateDnloadIdle || awaitingStatus_)
                    return Printf(L"the zero-length request in state %u: no download to end", state_);
                break;
            }
            if (state_ == kStateAppIdle) return L"data before the device left its application-idle state";
            if (state_ == kStateError) return L"data in the error state";
            if (awaitingStatus_) return L"a block before the device reported the last one taken";
            break;
        case kReqMcuVerify:
            // Without MCU data there is nothing to compare: the device
            // reports its MCU flash verified (as it is).
            if (awaitingStatus_) return L"MCU verify before the device reported the last packet taken";
            break;
        case kReqEraseCombined:
            if (awaitingStatus_ || !session_.empty()) return L"erase in the middle of a download";
            break;
        case kReqFpgaVerify:
            if (awaitingStatus_) return L"FPGA verify before the device reported the last block taken";
            break;
        default:
            break;
    }
    return L"";
}

bool DfuDeviceModel::HandleOut(const WINUSB_SETUP_PACKET& s, const std::vector<uint8_t>& data, DWORD* transferred) {
    *transferred = 0;
    switch (s.Request) {
        case kReqDetach:  // the application-idle device enters its DFU idle state
            if (!knobs_.ignoresStateChange) state_ = kStateIdle;
            return true;
        case kReqDnload:
            if (s.Length == 0) {
                // Everything received goes to flash as it came, a pad byte
                // included: nothing tells the device which bytes the host
                // added.
                if (eraseArmed_) {
                    flash_->image1.swap(session_);
                    eraseArmed_ = false;
                } else {
                    flash_->image2.swap(session_);
                }
                ++flash_->downloads;
                std::vector<uint8_t>().swap(session_);
                blockInPart_ = 0;
                blockInSession_ = 0;
                sessionPart_ = 0;
                state_ = kStateManifest;
                return true;
            }
            if (BlockFault(knobs_.failBlock)) return false;
            session_.insert(session_.end(), data.begin(), data.end());
            *transferred = static_cast<DWORD>(data.size()) - (BlockFault(knobs_.shortCountAtBlock) ? 1 : 0);
            EndBlock(data.size(), blockInPart_ == 0);
            return true;
        case kReqClrStatus:
            if (!knobs_.ignoresStateChange) {
                state_ = kStateIdle;
                status_ = 0;
            }
            return true;
        case kReqAbort:
            if (!knobs_.ignoresStateChange) {
                state_ = kStateIdle;
                session_.clear();
                blockInPart_ = 0;
                blockInSession_ = 0;
                sessionPart_ = 0;
                awaitingStatus_ = false;
            }
            return true;
        case kReqMcuData:
        case kReqFpgaData: {
            if (BlockFault(knobs_.failBlock)) return false;
            std::vector<uint8_t>& region = s.Request == kReqMcuData ? flash_->mcu : flash_->fpga;
            region.insert(region.end(), data.begin(), data.end());
            *transferred = static_cast<DWORD>(data.size()) - (BlockFault(knobs_.shortCountAtBlock) ? 1 : 0);
            EndBlock(data.size(), blockInPart_ == 0);
            if (s.Request == kReqMcuData) {
                mcuVerified_ = false;
            }
            return true;
        }
        case kReqMcuVerify:
            mcuVerifyAsked_ = true;
            return true;
        case kReqEraseCombined:  // erase the combined image: the next download is image 1
            if (knobs_.eraseFails) return false;
            flash_->image1.clear();
            flash_->image2.clear();
            ++flash_->combinedErases;
            eraseArmed_ = true;
            return true;
        case kReqFpgaVerify:
            fpgaVerifyAsked_ = true;
            return true;
        case kReqReset:
            return true;
        default:
            return false;
    }
}

bool DfuDeviceModel::HandleIn(const WINUSB_SETUP_PACKET& s, std::vector<uint8_t>* reply, bool* unanswered) {
    uint8_t status = status_, state = state_;
    switch (s.Request) {
        case kReqGetStatus:
            if (knobs_.statusStalls) return false;
            if (statusFailuresLeft_ > 0) {
                --statusFailuresLeft_;  // still erasing: the device does not answer
                *unanswered = true;
                return true;
            }
            if ((state_ == kStateDnloadSync || state_ == kStateDnBusy) && awaitingStatus_) {
                if (knobs_.stayBusy || busyLeft_ > 0) {
                    if (busyLeft_ > 0) --busyLeft_;
                    state_ = kStateDnBusy;
                } else {
                    state_ = kStateDnloadIdle;
                    awaitingStatus_ = false;
                }
                state = state_;
            } else if (state_ == kStateManifestSync && !knobs_.ignoresStateChange) {
                state_ = kStateIdle;  // reported once, then idle
            }
            break;
        case kReqMcuVerifyStatus:
            if (mcuVerifyAsked_) {
                status = knobs_.mcuVerifyStatus;
                state = knobs_.mcuVerifyState;
                mcuVerified_ = status != 0 && state == 13;
                mcuVerifyAsked_ = false;
                state_ = kStateIdle;
            }
            break;
        case kReqFpgaVerifyStatus:
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
    DeviceId device;
    const bool dataRequest =
        s.RequestType == kOut && s.Length > 0 && (s.Request == kReqDnload || s.Request == kReqMcuData || s.Request == kReqFpgaData);
    int part = 0, block = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        device = device_;
        if (dataRequest) {
            part = s.Request == kReqDnload && !eraseArmed_ ? 2 : 1;
            block = (sessionPart_ == part ? blockInPart_ : 0) + 1;
        }
    }
    // A trigger may take the device off the bus right here: the request has
    // then failed as one in flight when the device left.
    if (!ReportUpdateRequest(device)) return;
    if (dataRequest && !ReportBlock(device, part, block)) return;

    const double now = static_cast<double>(SimulatedNowMs());
    bool ok = false, leave = false, restart = false, reset = false, unanswered = false;
    DWORD transferred = 0, delay = 0, unansweredMs = 0;
    std::vector<uint8_t> reply;
    std::wstring refusal;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        delay = knobs_.replyDelayMs;
        unansweredMs = knobs_.unansweredMs;
        if (dataRequest && sessionPart_ != part) {
            sessionPart_ = part;
            blockInPart_ = 0;
        }
        refusal = Refusal(s, data, now);
        if (!refusal.empty()) {
            ok = false;
        } else if (dataRequest && BlockFault(knobs_.leaveBusAtBlock)) {
            leave = true;
        } else {
            waitMs_ = 0;  // the wait, if any, was kept
            if (s.RequestType == kOut) {
                const uint8_t before = state_;
                ok = HandleOut(s, data, &transferred);
                restart = ok && s.Request == kReqDnload && s.Length == 0 && before == kStateDnloadIdle;
                reset = ok && s.Request == kReqReset;
                if (reset) ++flash_->resets;
                if (ok && s.Request == kReqMcuData) SetWait(now + delay, kAfterMcuPacketMs, L"the MCU packet");
                if (ok && s.Request == kReqEraseCombined) SetWait(now + delay, kAfterEraseMs, L"the combined-image erase");
                if (ok && s.Request == kReqMcuVerify) mcuVerifyAskedAt_ = now + delay;
            } else {
                ok = HandleIn(s, &reply, &unanswered);
                if (ok && !unanswered && s.Request == kReqGetStatus && reply.size() == kStatusRecord)
                    SetWait(now + delay, kAfterStatusMs, L"the status reply");
            }
        }
        DfuRequestRecord record{s.RequestType, s.Request, s.Value, s.Index, s.Length, data, ok && !unanswered};
        record.refusal = refusal;
        record.atMs = static_cast<ULONGLONG>(now);
        requests_.push_back(std::move(record));
        if ((restart || reset) && restarting_) restart = reset = false;
        if (restart || reset) restarting_ = true;
    }
    if (!refusal.empty()) RecordRefusal(device, L"update-mode device", RequestText(s), refusal);
    if (leave) {
        Unplug(device);
        request->Fail(ERROR_DEVICE_NOT_CONNECTED);
        return;
    }
    if (unanswered) {
        // The device NAKs until the driver gives up on the transfer.
        request->CompleteBytesAfter(unansweredMs, 0, ERROR_SEM_TIMEOUT);
    } else if (!ok) {
        request->Fail(ERROR_GEN_FAILURE);  // the device stalls endpoint 0
    } else if (s.RequestType == kIn) {
        if (delay > 0) {
            request->CompleteDataAfter(delay, reply);
        } else {
            request->CompleteData(reply.data(), static_cast<DWORD>(reply.size()));
        }
    } else if (delay > 0) {
        request->CompleteBytesAfter(delay, transferred);
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
        // Back in update mode: the same flash, a fresh state machine, the
        // same timing.
        DfuKnobs fresh = DfuKnobs();
        fresh.restartDelayMs = knobs.restartDelayMs;
        fresh.reappearDelayMs = knobs.reappearDelayMs;
        fresh.replyDelayMs = knobs.replyDelayMs;
        fresh.unansweredMs = knobs.unansweredMs;
        auto again = std::make_shared<DfuDeviceModel>(flash_, fresh);
        again->SetRestartPlan(plan);
        model = again;
    }
    Reenumerate(device, knobs.restartDelayMs, knobs.reappearDelayMs, next, model);
}

}  // namespace sim
