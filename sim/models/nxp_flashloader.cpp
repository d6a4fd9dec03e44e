#include "nxp_flashloader.h"

#include "camera_restart.h"
#include "model_text.h"

namespace sim {

const uint32_t kNxpFlashBase = 0x60000000;

namespace {

constexpr size_t kReport = 1016;
constexpr uint32_t kFlashWindow = 0x01000000;  // 16 MiB of serial NOR behind the FlexSPI window
constexpr uint8_t kTagEraseRegion = 0x02;
constexpr uint8_t kTagWriteMemory = 0x04;
constexpr uint8_t kTagFillMemory = 0x05;
constexpr uint8_t kTagGetProperty = 0x07;
constexpr uint8_t kTagReset = 0x0B;
constexpr uint8_t kTagSetProperty = 0x0C;
constexpr uint8_t kTagConfigureMemory = 0x11;
constexpr uint8_t kTagGenericResponse = 0xA0;
constexpr uint8_t kTagPropertyResponse = 0xA7;
constexpr uint32_t kStatusSuccess = 0;
constexpr uint32_t kStatusInvalidArgument = 105;
constexpr uint32_t kStatusUnknownCommand = 10000;
constexpr uint32_t kStatusNotConfigured = 10204;
constexpr uint32_t kStatusUnknownProperty = 10300;
constexpr uint32_t kMemoryFlexSpiNor = 9;
constexpr uint32_t kRestartProperty = 0x3204;
// The time the loader needs to program the flash behind one data packet.
constexpr double kDataPacketGapMs = 50;

uint16_t Le16(const std::vector<BYTE>& b, size_t at) { return static_cast<uint16_t>(b[at] | b[at + 1] << 8); }
uint32_t Le32(const std::vector<BYTE>& b, size_t at) {
    return static_cast<uint32_t>(b[at]) | static_cast<uint32_t>(b[at + 1]) << 8 |
           static_cast<uint32_t>(b[at + 2]) << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

std::vector<BYTE> Response(uint8_t tag, const std::vector<uint32_t>& parameters) {
    std::vector<BYTE> r(kReport, 0);
    r[0] = 3;
    const size_t length = 4 + 4 * parameters.size();
    r[2] = static_cast<BYTE>(length);
    r[3] = static_cast<BYTE>(length >> 8);
    r[4] = tag;
    r[7] = static_cast<BYTE>(parameters.size());
    for (size_t k = 0; k < parameters.size(); ++k)
        for (int i = 0; i < 4; ++i) r[8 + 4 * k + i] = static_cast<BYTE>(parameters[k] >> (8 * i));
    return r;
}

bool InFlash(uint32_t address, uint32_t bytes) {
    return address >= kNxpFlashBase && address - kNxpFlashBase <= kFlashWindow &&
           bytes <= kFlashWindow - (address - kNxpFlashBase);
}

}  // namespace

HidCaps NxpFlashLoaderCaps() {
    HidCaps caps;
    caps.inputReportLength = static_cast<USHORT>(kReport);
    caps.outputReportIds = {1, 2};
    caps.inputReportIds = {3};
    caps.outputReportLength = static_cast<USHORT>(kReport);
    return caps;
}

UsbDeviceSpec NxpFlashLoaderSpec(const std::wstring& serial, std::vector<int> ports, USHORT vid, USHORT pid) {
    UsbDeviceSpec spec = HidDeviceSpec(vid, pid, serial, std::move(ports), NxpFlashLoaderCaps());
    return spec;
}

NxpFlashLoaderModel::NxpFlashLoaderModel(NxpFlashLoaderKnobs knobs) : knobs_(knobs) {}

void NxpFlashLoaderModel::SetRestartPlan(UsbDeviceSpec next, std::shared_ptr<DeviceModel> model) {
    std::lock_guard<std::mutex> lock(mutex_);
    restartPlan_ = {true, std::move(next), std::move(model), nullptr};
}

void NxpFlashLoaderModel::SetRestartPlan(UsbDeviceSpec next, std::function<std::shared_ptr<DeviceModel>()> make) {
    std::lock_guard<std::mutex> lock(mutex_);
    restartPlan_ = {true, std::move(next), nullptr, std::move(make)};
}

std::vector<std::vector<BYTE>> NxpFlashLoaderModel::OutputReports() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return outputs_;
}

std::vector<NxpLoaderCommand> NxpFlashLoaderModel::Commands() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return commands_;
}

std::vector<uint32_t> NxpFlashLoaderModel::DataPacketLengths() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return dataLengths_;
}

std::vector<NxpEraseRecord> NxpFlashLoaderModel::Erases() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return erases_;
}

std::vector<uint8_t> NxpFlashLoaderModel::Flash(uint32_t address, uint32_t n) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<uint8_t> out(n);
    for (uint32_t i = 0; i < n; ++i) out[i] = FlashByte(address + i);
    return out;
}

uint32_t NxpFlashLoaderModel::BytesProgrammed() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return programmed_;
}

bool NxpFlashLoaderModel::FlashConfigured() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return configured_;
}

bool NxpFlashLoaderModel::Restarted() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return restarted_;
}

DeviceId NxpFlashLoaderModel::device() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return device_;
}

void NxpFlashLoaderModel::Attached(DeviceId device) {
    std::lock_guard<std::mutex> lock(mutex_);
    device_ = device;
    // Started afresh: nothing configured, no data phase; the flash keeps
    // what was written.
    restarted_ = false;
    configured_ = false;
    inDataPhase_ = false;
    lastDataAt_ = -1;
    input_.Clear();
}

uint8_t NxpFlashLoaderModel::FlashByte(uint32_t address) const {
    const uint32_t at = address - kNxpFlashBase;
    return at < flash_.size() ? flash_[at] : knobs_.initialFlash;
}

void NxpFlashLoaderModel::SetFlashByte(uint32_t address, uint8_t value) {
    const uint32_t at = address - kNxpFlashBase;
    if (at >= flash_.size()) flash_.resize(static_cast<size_t>(at) + 1, knobs_.initialFlash);
    flash_[at] = value;
}

uint32_t NxpFlashLoaderModel::RamWord(uint32_t address) const {
    uint32_t v = 0;
    for (uint32_t i = 0; i < 4; ++i) {
        auto it = ram_.find(address + i);
        v |= static_cast<uint32_t>(it == ram_.end() ? 0 : it->second) << (8 * i);
    }
    return v;
}

void NxpFlashLoaderModel::Read(const IoRequestPtr& request) {
    if (request->context().kind != FunctionKind::Hid) {
        request->Fail(ERROR_INVALID_FUNCTION);
        return;
    }
    if (knobs_.replyReadsFail) {
        request->Fail(ERROR_GEN_FAILURE);
        return;
    }
    input_.Read(request);
}

void NxpFlashLoaderModel::Cancelled(const IoRequestPtr& request) { input_.Cancelled(request); }

void NxpFlashLoaderModel::Reply(std::vector<BYTE> report, DWORD delayMs) {
    std::weak_ptr<NxpFlashLoaderModel> self = weak_from_this();
    After(delayMs, [self, report]() mutable {
        if (auto model = self.lock()) model->input_.Deliver(std::move(report));
    });
}

// Runs one command (lock held); returns its status.
uint32_t NxpFlashLoaderModel::Command(const NxpLoaderCommand& c, bool* restart, std::vector<uint32_t>* values) {
    const auto& p = c.parameters;
    auto need = [&](size_t n) { return p.size() >= n; };
    switch (c.tag) {
        case kTagGetProperty:
            if (!need(1)) return kStatusInvalidArgument;
            if (p[0] == 1) {
                values->push_back(0x4B010800);  // current version: K1.8.0
            } else if (p[0] == 0x0B) {
                values->push_back(1012);  // largest packet
            } else {
                return kStatusUnknownProperty;
            }
            return kStatusSuccess;
        case kTagFillMemory: {
            if (!need(3)) return kStatusInvalidArgument;
            for (uint32_t i = 0; i < p[1]; ++i) ram_[p[0] + i] = static_cast<uint8_t>(p[2] >> (8 * (i % 4)));
            return kStatusSuccess;
        }
        case kTagConfigureMemory: {
            if (!need(2) || p[0] != kMemoryFlexSpiNor) return kStatusInvalidArgument;
            const uint32_t option = RamWord(p[1]);
            if (option >> 28 == 0xC) {
                configured_ = true;
                return kStatusSuccess;
            }
            return option >> 28 == 0xF ? kStatusSuccess : kStatusInvalidArgument;
        }
        case kTagEraseRegion:
            if (!need(2)) return kStatusInvalidArgument;
            if (!InFlash(p[0], p[1])) return kStatusInvalidArgument;
            if (!configured_) return kStatusNotConfigured;
            for (uint32_t i = 0; i < p[1]; ++i) SetFlashByte(p[0] + i, 0xFF);
            erases_.push_back({p[0], p[1]});
            return kStatusSuccess;
        case kTagWriteMemory:
            if (!need(2) || !(c.flags & 1)) return kStatusInvalidArgument;
            if (!InFlash(p[0], p[1])) return kStatusInvalidArgument;
            if (!configured_) return kStatusNotConfigured;
            inDataPhase_ = p[1] > 0;
            phaseCursor_ = p[0];
            phaseLeft_ = p[1];
            return kStatusSuccess;
        case kTagSetProperty:
            if (!need(2)) return kStatusInvalidArgument;
            if (p[0] == kRestartProperty) *restart = true;
            return kStatusSuccess;
        case kTagReset:
            *restart = true;
            return kStatusSuccess;
        default:
            return kStatusUnknownCommand;
    }
}

void NxpFlashLoaderModel::Write(const IoRequestPtr& request) {
    if (request->context().kind != FunctionKind::Hid) {
        request->Fail(ERROR_INVALID_FUNCTION);
        return;
    }
    const std::vector<BYTE> bytes = request->input();
    std::vector<std::vector<BYTE>> replies;
    bool leave = false, reject = false, restart = false;
    std::wstring refusal;
    DeviceId device;
    DWORD delay;
    int block = 0;
    bool dataPacket = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        device = device_;
        dataPacket = !bytes.empty() && bytes[0] == 2 && inDataPhase_;
        block = static_cast<int>(dataLengths_.size()) + 1;
    }
    // The image's data packets are its blocks (image part 2).
    if (!ReportUpdateRequest(device)) return;
    if (dataPacket && !ReportBlock(device, 2, block)) return;
    const double now = static_cast<double>(SimulatedNowMs());
    {
        std::lock_guard<std::mutex> lock(mutex_);
        outputs_.push_back(bytes);
        const int index = writes_++;
        device = device_;
        delay = knobs_.replyDelayMs;
        if (index == knobs_.leaveBusAtReport) {
            leave = true;
        } else if (index == knobs_.rejectReport || bytes.size() != kReport || restarted_) {
            reject = true;
            if (restarted_) refusal = L"a report after the restart request";
        } else if (bytes[0] == 1) {
            NxpLoaderCommand c;
            c.length = Le16(bytes, 2);
            c.tag = bytes[4];
            c.flags = bytes[5];
            const uint8_t count = bytes[7];
            const bool framed = count <= (kReport - 8) / 4 && c.length == 4 + 4 * count;
            for (uint8_t k = 0; framed && k < count; ++k) c.parameters.push_back(Le32(bytes, 8 + 4 * k));
            std::vector<uint32_t> values;
            inDataPhase_ = false;  // a command ends an unfinished data phase
            lastDataAt_ = -1;
            c.status = framed ? Command(c, &restart, &values) : kStatusInvalidArgument;
            if (!framed) {
                refusal = L"a command packet whose length does not match its parameters";
            } else if (c.status != kStatusSuccess) {
                refusal = L"answered with status " + std::to_wstring(c.status);
            }
            commands_.push_back(c);
            if (c.tag == kTagGetProperty) {
                std::vector<uint32_t> parameters{c.status};
                parameters.insert(parameters.end(), values.begin(), values.end());
                replies.push_back(Response(kTagPropertyResponse, parameters));
            } else {
                replies.push_back(Response(kTagGenericResponse, {c.status, c.tag}));
            }
            if (restart) restarted_ = true;
        } else if (bytes[0] == 2) {
            const uint32_t n = Le16(bytes, 2);
            dataLengths_.push_back(n);
            // The loader programs the flash page behind each packet; one that
            // comes while it still programs is lost.
            const bool early = lastDataAt_ >= 0 && ClearlyTooEarly(now - lastDataAt_, kDataPacketGapMs);
            if (!inDataPhase_) {
                refusal = L"a data packet outside a write memory's data phase";
            } else if (n > kReport - 4) {
                refusal = L"a data packet longer than 1012 bytes";
            } else if (early) {
                refusal = L"it came " + std::to_wstring(static_cast<long long>(now - lastDataAt_)) +
                          L" ms after the last data packet; the loader takes the next one 50 ms after it";
            }
            if (inDataPhase_) lastDataAt_ = now;
            if (refusal.empty()) {
                const uint32_t take = n < phaseLeft_ ? n : phaseLeft_;
                for (uint32_t i = 0; i < take; ++i)
                    SetFlashByte(phaseCursor_ + i, static_cast<uint8_t>(FlashByte(phaseCursor_ + i) & bytes[4 + i]));
                phaseCursor_ += take;
                phaseLeft_ -= take;
                programmed_ += take;
                if (phaseLeft_ == 0) {
                    inDataPhase_ = false;
                    replies.push_back(Response(kTagGenericResponse, {kStatusSuccess, kTagWriteMemory}));
                }
            }
        }
        if (knobs_.noReply) replies.clear();
    }
    if (leave) {
        Unplug(device);
        request->Fail(ERROR_DEVICE_NOT_CONNECTED);
        return;
    }
    if (!refusal.empty())
        RecordRefusal(device, L"NXP flash loader",
                      bytes.size() > 4 && bytes[0] == 1 ? L"command packet tag 0x" + HexText(bytes[4])
                      : bytes.size() > 3 && bytes[0] == 2
                          ? L"data packet " + std::to_wstring(block) + L" of " + std::to_wstring(Le16(bytes, 2)) + L" bytes"
                          : L"report " + std::to_wstring(bytes.empty() ? 0 : bytes[0]),
                      refusal);
    if (reject) {
        request->Fail(ERROR_INVALID_USER_BUFFER);
        return;
    }
    request->CompleteBytes(static_cast<DWORD>(bytes.size()));
    for (auto& r : replies) Reply(std::move(r), delay);
    if (restart) Restart();
}

void NxpFlashLoaderModel::Restart() {
    DeviceId device;
    PlannedDevice plan;
    DWORD leaveMs, arriveMs;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        device = device_;
        plan = restartPlan_;
        leaveMs = knobs_.leaveMs;
        arriveMs = knobs_.arriveMs;
    }
    ComeBackAsPlanned(device, leaveMs, arriveMs, plan);
}

}  // namespace sim
