#include "fx3_bootloader.h"

#include "camera_restart.h"
#include "model_text.h"

namespace sim {

namespace {

constexpr DWORD kIoctlControlTransfer = 0x220020;
constexpr size_t kRecordHead = 38;
// The boot loader's buffer for one memory write.
constexpr uint16_t kMaxTransfer = 4096;

uint16_t Le16(const std::vector<BYTE>& b, size_t at) { return static_cast<uint16_t>(b[at] | b[at + 1] << 8); }
uint32_t Le32(const std::vector<BYTE>& b, size_t at) {
    return static_cast<uint32_t>(b[at]) | static_cast<uint32_t>(b[at + 1]) << 8 |
           static_cast<uint32_t>(b[at + 2]) << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

}  // namespace

Fx3BootLoaderModel::Fx3BootLoaderModel(Fx3BootLoaderKnobs knobs) : knobs_(knobs) {}

void Fx3BootLoaderModel::SetStartPlan(UsbDeviceSpec next, std::shared_ptr<DeviceModel> model) {
    std::lock_guard<std::mutex> lock(mutex_);
    startPlan_ = {true, std::move(next), std::move(model), nullptr};
}

std::vector<Fx3RequestRecord> Fx3BootLoaderModel::Requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

std::vector<uint8_t> Fx3BootLoaderModel::Memory(uint32_t address, uint32_t n) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<uint8_t> out(n, 0);
    for (uint32_t i = 0; i < n; ++i) {
        auto it = memory_.find(address + i);
        if (it != memory_.end()) out[i] = it->second;
    }
    return out;
}

size_t Fx3BootLoaderModel::BytesWritten() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return memory_.size();
}

bool Fx3BootLoaderModel::Started() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return started_;
}

uint32_t Fx3BootLoaderModel::EntryAddress() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return entry_;
}

DeviceId Fx3BootLoaderModel::device() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return device_;
}

void Fx3BootLoaderModel::Attached(DeviceId device) {
    std::lock_guard<std::mutex> lock(mutex_);
    device_ = device;
}

void Fx3BootLoaderModel::DeviceIoControl(const IoRequestPtr& request) {
    const std::vector<BYTE>& in = request->input();
    Fx3RequestRecord r;
    r.record = in;
    r.outputSize = request->outputCapacity();
    r.ioctl = request->ioctlCode();
    if (in.size() >= kRecordHead) {
        r.requestType = in[0];
        r.request = in[1];
        r.value = Le16(in, 2);
        r.index = Le16(in, 4);
        r.length = Le16(in, 6);
        r.timeout = Le32(in, 8);
        r.endpoint = in[13];
        r.dataOffset = Le32(in, 30);
        r.dataLength = Le32(in, 34);
    }
    bool leave = false, stall = false, start = false;
    DWORD error = ERROR_SUCCESS;
    DeviceId device;
    int block = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        device = device_;
        block = writes_ + 1;
    }
    // The boot image's memory writes are its blocks (part 1).
    if (!ReportUpdateRequest(device)) return;
    if (r.length > 0 && !ReportBlock(device, 1, block)) return;
    std::wstring refusal;
    DWORD delay = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const int index = static_cast<int>(requests_.size());
        delay = knobs_.replyDelayMs;
        const bool wellFormed = r.ioctl == kIoctlControlTransfer && in.size() >= kRecordHead &&
                                r.endpoint == 0 && r.dataOffset == kRecordHead && r.dataLength == r.length &&
                                in.size() == kRecordHead + r.length && r.outputSize >= in.size();
        if (index == knobs_.leaveBusAtRequest) {
            leave = true;
        } else if (index == knobs_.stallAtRequest) {
            stall = true;
        } else if (!wellFormed) {
            error = ERROR_INVALID_PARAMETER;
            refusal = L"a request record the cyusb3 driver does not take";
            if (r.ioctl != kIoctlControlTransfer) refusal = L"not the driver's control-transfer I/O control";
        } else if (index == knobs_.rejectRequest) {
            error = ERROR_GEN_FAILURE;  // the chip stalls endpoint 0
        } else if (r.requestType != 0x40 || r.request != 0xA0 || started_ || r.length > kMaxTransfer) {
            error = ERROR_GEN_FAILURE;
            refusal = started_ ? L"a request after the program was started"
                      : r.length > kMaxTransfer ? L"longer than the boot loader's 4096-byte buffer"
                                                : L"the boot loader serves the memory write 0x40 / 0xA0 only";
        } else {
            const uint32_t address = static_cast<uint32_t>(r.index) << 16 | r.value;
            if (r.length == 0) {
                started_ = true;
                entry_ = address;
                start = true;
            } else {
                for (uint32_t i = 0; i < r.length; ++i) memory_[address + i] = in[kRecordHead + i];
                ++writes_;
            }
            r.ok = true;
        }
        if (stall) stalled_.push_back(request);
        requests_.push_back(r);
    }
    if (leave) {
        Unplug(device);
        request->Fail(ERROR_DEVICE_NOT_CONNECTED);
        return;
    }
    if (stall) return;
    if (!refusal.empty()) {
        RecordRefusal(device, L"FX3 boot loader",
                      L"I/O control 0x" + HexText(r.ioctl, 6) + L" of " + std::to_wstring(in.size()) +
                          L" bytes, request type 0x" + HexText(r.requestType) + L" request 0x" + HexText(r.request) +
                          L" length " + std::to_wstring(r.length),
                      refusal);
    }
    if (error != ERROR_SUCCESS) {
        request->Fail(error);
        return;
    }
    // The driver hands the record back as the output buffer.
    if (delay > 0) {
        request->CompleteDataAfter(delay, in);
    } else {
        request->CompleteData(in);
    }
    if (start) Start();
}

void Fx3BootLoaderModel::Start() {
    DeviceId device;
    PlannedDevice plan;
    DWORD leaveMs, arriveMs;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        device = device_;
        plan = startPlan_;
        leaveMs = knobs_.leaveMs;
        arriveMs = knobs_.arriveMs;
    }
    ComeBackAsPlanned(device, leaveMs, arriveMs, plan);
}

}  // namespace sim
