// The Cypress FX3 chip's USB boot loader (04B4:00F3) on the cyusb3 driver.
// The host reaches it through the driver's endpoint-0 I/O control 0x220020,
// whose buffer is the driver's request record (38 bytes, then the data):
//
//   0 request type, 1 request, 2 value, 4 index, 6 length n, 8 time-out,
//   12 0, 13 endpoint address (0), 14..29 0, 30 offset of the data (38),
//   34 data length (n), 38 the n data bytes; fields little-endian.
//
// The boot loader serves one vendor request, 0x40 / 0xA0: write n bytes to
// the address (index << 16 | value); with n = 0 run the program at that
// address, which makes the chip leave the bus and come back as whatever the
// program is (the start plan). A record that is not laid out as above is
// refused as the driver refuses it; another request, a write longer than the
// boot loader's 4096-byte buffer and anything after the start stall. Each
// refusal is recorded (sim::Refusals()).
#pragma once

#include "camera_restart.h"
#include "sim_world.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace sim {

struct Fx3BootLoaderKnobs {
    int rejectRequest = -1;     // this request (0-based) stalls: the driver fails it
    int leaveBusAtRequest = -1; // the chip leaves the bus when this request arrives
    int stallAtRequest = -1;    // this request is never completed by the driver
    DWORD leaveMs = 20;         // from the start request to leaving the bus
    DWORD arriveMs = 300;       // from leaving to arriving as the started program
    DWORD replyDelayMs = 0;     // every request completes this long after it came
};

// One request as the driver handed it on.
struct Fx3RequestRecord {
    std::vector<BYTE> record;  // the whole input buffer
    DWORD outputSize = 0;      // the output buffer's size
    DWORD ioctl = 0;
    uint8_t requestType = 0;
    uint8_t request = 0;
    uint16_t value = 0;
    uint16_t index = 0;
    uint16_t length = 0;
    uint32_t timeout = 0;
    uint8_t endpoint = 0;
    uint32_t dataOffset = 0;
    uint32_t dataLength = 0;
    bool ok = false;  // the boot loader took it
};

class CORVANE_SIM_API Fx3BootLoaderModel : public DeviceModel,
                                           public std::enable_shared_from_this<Fx3BootLoaderModel> {
public:
    explicit Fx3BootLoaderModel(Fx3BootLoaderKnobs knobs = Fx3BootLoaderKnobs());

    // What the chip becomes when its program starts; without a plan it just
    // leaves the bus.
    void SetStartPlan(UsbDeviceSpec next, std::shared_ptr<DeviceModel> model);

    std::vector<Fx3RequestRecord> Requests() const;
    // Chip memory from address: n bytes, 0 where nothing was written.
    std::vector<uint8_t> Memory(uint32_t address, uint32_t n) const;
    size_t BytesWritten() const;  // distinct addresses written
    bool Started() const;
    uint32_t EntryAddress() const;
    DeviceId device() const;

    void Attached(DeviceId device) override;
    void DeviceIoControl(const IoRequestPtr& request) override;

private:
    void Start();

    mutable std::mutex mutex_;
    Fx3BootLoaderKnobs knobs_;
    DeviceId device_ = 0;
    PlannedDevice startPlan_;
    bool started_ = false;
    uint32_t entry_ = 0;
    int writes_ = 0;  // memory writes taken
    std::map<uint32_t, uint8_t> memory_;
    std::vector<Fx3RequestRecord> requests_;
    std::vector<IoRequestPtr> stalled_;  // kept so that they stay pending
};

}  // namespace sim
