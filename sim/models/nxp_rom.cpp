#include "nxp_rom.h"

#include "camera_restart.h"
#include "model_text.h"

namespace sim {

namespace {

constexpr size_t kOutputReport = 1025;
constexpr size_t kInputReport = 65;
constexpr uint16_t kErrorStatus = 0x0505;
constexpr uint16_t kWriteFile = 0x0404;
constexpr uint16_t kJumpAddress = 0x0B0B;
constexpr uint32_t kHabOpen = 0x56787856;
constexpr uint32_t kHabClosed = 0x12343412;
constexpr uint32_t kStatusOk = 0xF0F0F0F0;
constexpr uint32_t kWriteComplete = 0x88888888;
constexpr uint32_t kJumpRefused = 0x33333333;

uint16_t Be16(const std::vector<BYTE>& b, size_t at) { return static_cast<uint16_t>(b[at] << 8 | b[at + 1]); }
uint32_t Be32(const std::vector<BYTE>& b, size_t at) {
    return static_cast<uint32_t>(b[at]) << 24 | static_cast<uint32_t>(b[at + 1]) << 16 |
           static_cast<uint32_t>(b[at + 2]) << 8 | static_cast<uint32_t>(b[at + 3]);
}

std::vector<BYTE> Input(BYTE id, uint32_t value) {
    std::vector<BYTE> r(kInputReport, 0);
    r[0] = id;
    for (int i = 0; i < 4; ++i) r[1 + i] = static_cast<BYTE>(value >> (8 * i));
    return r;
}

}  // namespace

HidCaps NxpRomCaps() {
    HidCaps caps;
    caps.inputReportLength = static_cast<USHORT>(kInputReport);
    caps.outputReportIds = {1, 2};
    caps.inputReportIds = {3, 4};
    caps.outputReportLength = static_cast<USHORT>(kOutputReport);
    return caps;
}

NxpRomModel::NxpRomModel(NxpRomKnobs knobs) : knobs_(knobs) {}

void NxpRomModel::SetJumpPlan(UsbDeviceSpec next, std::shared_ptr<DeviceModel> model) {
    std::lock_guard<std::mutex> lock(mutex_);
    jumpPlan_ = {true, std::move(next), std::move(model), nullptr};
}

std::vector<std::vector<BYTE>> NxpRomModel::OutputReports() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return outputs_;
}

std::vector<NxpRomCommand> NxpRomModel::Commands() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return commands_;
}

std::vector<uint8_t> NxpRomModel::Ram(uint32_t address) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<uint8_t> out;
    for (auto it = ram_.find(address); it != ram_.end() && it->first == address + out.size(); ++it)
        out.push_back(it->second);
    return out;
}

bool NxpRomModel::Jumped() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return jumped_;
}

uint32_t NxpRomModel::JumpAddress() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return jumpAddress_;
}

DeviceId NxpRomModel::device() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return device_;
}

void NxpRomModel::Attached(DeviceId device) {
    std::lock_guard<std::mutex> lock(mutex_);
    device_ = device;
    // Powered up afresh: the ROM runs again with nothing loaded.
    jumped_ = false;
    inDataPhase_ = false;
    loaded_.clear();
    input_.Clear();
}

void NxpRomModel::Read(const IoRequestPtr& request) {
    if (request->context().kind != FunctionKind::Hid) {
        request->Fail(ERROR_INVALID_FUNCTION);
        return;
    }
    input_.Read(request);
}

void NxpRomModel::Cancelled(const IoRequestPtr& request) { input_.Cancelled(request); }

void NxpRomModel::Reply(std::vector<BYTE> report, DWORD delayMs) {
    std::weak_ptr<NxpRomModel> self = weak_from_this();
    After(delayMs, [self, report]() mutable {
        if (auto model = self.lock()) model->input_.Deliver(std::move(report));
    });
}

void NxpRomModel::Write(const IoRequestPtr& request) {
    if (request->context().kind != FunctionKind::Hid) {
        request->Fail(ERROR_INVALID_FUNCTION);
        return;
    }
    const std::vector<BYTE> bytes = request->input();
    std::vector<std::vector<BYTE>> replies;
    bool leave = false, reject = false, jump = false;
    std::wstring refusal;
    DeviceId device;
    DWORD delay;
    int block = 0;
    bool dataReport = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        device = device_;
        dataReport = !bytes.empty() && bytes[0] == 2 && inDataPhase_;
        block = dataReports_ + 1;
    }
    // The flash loader's data reports are the blocks of this stage (part 1).
    if (!ReportUpdateRequest(device)) return;
    if (dataReport && !ReportBlock(device, 1, block)) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        outputs_.push_back(bytes);
        const int index = writes_++;
        device = device_;
        delay = knobs_.replyDelayMs;
        if (index == knobs_.leaveBusAtReport) {
            leave = true;
        } else if (index == knobs_.rejectReport || bytes.size() != kOutputReport || jumped_) {
            // The class driver takes only whole output reports.
            reject = true;
            if (jumped_) refusal = L"a report after the jump: the ROM no longer runs";
        } else if (bytes[0] == 1) {
            NxpRomCommand c;
            c.type = Be16(bytes, 1);
            c.address = Be32(bytes, 3);
            c.format = bytes[7];
            c.count = Be32(bytes, 8);
            c.data = Be32(bytes, 12);
            commands_.push_back(c);
            inDataPhase_ = false;  // a command ends an unfinished data phase
            const uint32_t hab = knobs_.habClosed ? kHabClosed : kHabOpen;
            replies.push_back(Input(3, hab));
            if (c.type == kErrorStatus) {
                replies.push_back(Input(4, kStatusOk));
            } else if (c.type == kWriteFile) {
                inDataPhase_ = c.count > 0;
                phaseAddress_ = c.address;
                phaseLeft_ = c.count;
                phaseCursor_ = c.address;
                loaded_[c.address] = 0;
            } else if (c.type == kJumpAddress) {
                auto it = loaded_.find(c.address);
                if (it != loaded_.end() && it->second > 0) {
                    jumped_ = true;
                    jumpAddress_ = c.address;
                    jump = true;
                } else {
                    replies.push_back(Input(4, kJumpRefused));
                    refusal = L"a jump to an address no write file loaded";
                }
            } else {
                refusal = L"no such command";
            }
        } else if (bytes[0] == 2 && !inDataPhase_) {
            refusal = L"a data report outside a write file's data phase";
        } else if (bytes[0] == 2) {
            ++dataReports_;
            const uint32_t n = phaseLeft_ < 1024 ? phaseLeft_ : 1024;
            for (uint32_t i = 0; i < n; ++i) ram_[phaseCursor_ + i] = bytes[1 + i];
            phaseCursor_ += n;
            phaseLeft_ -= n;
            loaded_[phaseAddress_] += n;
            if (phaseLeft_ == 0) {
                inDataPhase_ = false;
                replies.push_back(Input(4, kWriteComplete));
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
        RecordRefusal(device, L"NXP ROM", L"report " + std::to_wstring(bytes.empty() ? 0 : bytes[0]) +
                                              (bytes.size() > 2 && bytes[0] == 1 ? L" command 0x" + HexText(Be16(bytes, 1), 4)
                                                                                 : std::wstring()),
                      refusal);
    if (reject) {
        request->Fail(ERROR_INVALID_USER_BUFFER);
        return;
    }
    request->CompleteBytes(static_cast<DWORD>(bytes.size()));
    for (auto& r : replies) Reply(std::move(r), delay);
    if (jump) Jump();
}

void NxpRomModel::Jump() {
    DeviceId device;
    PlannedDevice plan;
    DWORD leaveMs, arriveMs;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        device = device_;
        plan = jumpPlan_;
        leaveMs = knobs_.leaveMs;
        arriveMs = knobs_.arriveMs;
    }
    ComeBackAsPlanned(device, leaveMs, arriveMs, plan);
}

}  // namespace sim
