// The NXP i.MX RT1060 ROM boot loader (1FC9:0135) as a HID device: its serial
// download protocol in 1025-byte output reports.
//
//   report 1, a command: 1 type (2), 3 address (4), 7 format, 8 data count
//   (4), 12 data (4), 16 reserved; big-endian. Types: 0x0505 error status,
//   0x0404 write file (data reports follow), 0x0B0B jump address.
//   report 2, data: up to 1024 bytes from offset 1, taken up to the count of
//   the write-file command that opened the data phase.
//
// Replies are input reports: report 3 with the security (HAB) mode after
// every command, report 4 with a status after the error-status command, after
// a data phase that took its whole count, and after a jump that was refused.
// A jump to an address that a write file loaded starts the loaded program:
// the ROM leaves the bus and the program comes back as the jump plan says.
// An unknown command, a data report outside a data phase, a refused jump and
// a report after the jump are recorded as refusals (sim::Refusals()).
#pragma once

#include "hid_input_queue.h"
#include "camera_restart.h"
#include "sim_world.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace sim {

struct NxpRomKnobs {
    int rejectReport = -1;      // the write of this output report (0-based) fails
    int leaveBusAtReport = -1;  // the ROM leaves the bus when this report arrives
    bool noReply = false;       // takes every report and answers none
    bool habClosed = false;     // reports the closed (secured) mode
    DWORD replyDelayMs = 2;     // simulated time from a command to its reply
    DWORD leaveMs = 20;         // from the jump to leaving the bus
    DWORD arriveMs = 300;       // from leaving to arriving as the loaded program
};

struct NxpRomCommand {
    uint16_t type = 0;
    uint32_t address = 0;
    uint8_t format = 0;
    uint32_t count = 0;
    uint32_t data = 0;
};

// The HID capabilities the ROM reports.
CORVANE_SIM_API HidCaps NxpRomCaps();

class CORVANE_SIM_API NxpRomModel : public DeviceModel, public std::enable_shared_from_this<NxpRomModel> {
public:
    explicit NxpRomModel(NxpRomKnobs knobs = NxpRomKnobs());

    // What the loaded program comes back as after the jump; without a plan the
    // ROM just leaves the bus.
    void SetJumpPlan(UsbDeviceSpec next, std::shared_ptr<DeviceModel> model);

    std::vector<std::vector<BYTE>> OutputReports() const;  // every write, as written
    std::vector<NxpRomCommand> Commands() const;
    // Bytes the write-file data phases stored from address on, in order (as
    // far as they run on without a gap).
    std::vector<uint8_t> Ram(uint32_t address) const;
    bool Jumped() const;
    uint32_t JumpAddress() const;
    DeviceId device() const;

    void Attached(DeviceId device) override;
    void Read(const IoRequestPtr& request) override;
    void Write(const IoRequestPtr& request) override;
    void Cancelled(const IoRequestPtr& request) override;

private:
    void Reply(std::vector<BYTE> report, DWORD delayMs);
    void Jump();

    mutable std::mutex mutex_;
    NxpRomKnobs knobs_;
    DeviceId device_ = 0;
    PlannedDevice jumpPlan_;
    bool jumped_ = false;
    uint32_t jumpAddress_ = 0;
    int writes_ = 0;
    int dataReports_ = 0;  // data reports taken
    bool inDataPhase_ = false;
    uint32_t phaseAddress_ = 0;
    uint32_t phaseLeft_ = 0;
    uint32_t phaseCursor_ = 0;
    std::map<uint32_t, uint8_t> ram_;
    std::map<uint32_t, uint32_t> loaded_;  // write-file address -> bytes received
    std::vector<std::vector<BYTE>> outputs_;
    std::vector<NxpRomCommand> commands_;
    HidInputQueue input_;
};

}  // namespace sim
