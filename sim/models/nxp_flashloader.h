// The NXP RT1060 flash loader running on a camera (a HID device, 4A7E:DF02 by
// default): command and data packets in 1016-byte output reports.
//
//   report 1, a command packet: 2 packet length (2), 4 tag, 5 flags (1: a
//   data phase follows), 7 parameter count, 8 parameters (4 each);
//   little-endian.
//   report 2, a data packet: 2 length n, n data bytes from offset 4.
//
// Tags served: 0x07 get property, 0x05 fill memory (into RAM), 0x11
// configure memory (memory 9, the FlexSPI NOR, from the option word in RAM at
// the given address: an option tag 0xC configures the flash, 0xF is taken
// without a change), 0x02 erase region (bytes become 0xFF), 0x04 write memory
// with its data phase (the flash is programmed as NOR flash is: bits only
// cleared, so an unerased byte keeps its zeros), 0x0C set property (property
// 0x3204 restarts the camera into its firmware, as the restart plan says).
// Every command is answered with a response packet in report 3; a write
// memory again when its data phase has taken all its bytes. A data packet
// that comes clearly less than 50 ms after the one before it is lost (the
// loader is still programming the flash), as is one outside a data phase;
// these, commands answered with an error status and reports after the
// restart are recorded as refusals (sim::Refusals()).
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

struct NxpFlashLoaderKnobs {
    int rejectReport = -1;      // the write of this output report (0-based, commands and data) fails
    int leaveBusAtReport = -1;  // the loader leaves the bus when this report arrives
    bool noReply = false;       // takes every packet and answers none
    bool replyReadsFail = false;  // takes every packet; every read of its replies fails
    uint8_t initialFlash = 0xFF;  // what the flash holds before anything is erased or written
    DWORD replyDelayMs = 2;
    DWORD leaveMs = 20;         // from the restart request to leaving the bus
    DWORD arriveMs = 300;       // from leaving to arriving as the restarted camera
};

struct NxpLoaderCommand {
    uint16_t length = 0;
    uint8_t tag = 0;
    uint8_t flags = 0;
    std::vector<uint32_t> parameters;
    uint32_t status = 0;  // what the loader answered
};

struct NxpEraseRecord {
    uint32_t start = 0;
    uint32_t bytes = 0;
};

CORVANE_SIM_API extern const uint32_t kNxpFlashBase;  // 0x60000000
// The HID capabilities the flash loader reports.
CORVANE_SIM_API HidCaps NxpFlashLoaderCaps();
// The flash loader as it enumerates (non-composite HID device).
CORVANE_SIM_API UsbDeviceSpec NxpFlashLoaderSpec(const std::wstring& serial, std::vector<int> ports,
                                                 USHORT vid = 0x4A7E, USHORT pid = 0xDF02);

class CORVANE_SIM_API NxpFlashLoaderModel : public DeviceModel,
                                            public std::enable_shared_from_this<NxpFlashLoaderModel> {
public:
    explicit NxpFlashLoaderModel(NxpFlashLoaderKnobs knobs = NxpFlashLoaderKnobs());

    // What the camera comes back as after the restart request; without a plan
    // the loader just leaves the bus.
    void SetRestartPlan(UsbDeviceSpec next, std::shared_ptr<DeviceModel> model);
    // ... with the model made when the loader restarts.
    void SetRestartPlan(UsbDeviceSpec next, std::function<std::shared_ptr<DeviceModel>()> make);

    std::vector<std::vector<BYTE>> OutputReports() const;
    std::vector<NxpLoaderCommand> Commands() const;
    std::vector<uint32_t> DataPacketLengths() const;  // length fields of the data packets, in order
    std::vector<NxpEraseRecord> Erases() const;
    // Flash bytes from address (an address in the 0x60000000 window).
    std::vector<uint8_t> Flash(uint32_t address, uint32_t n) const;
    uint32_t BytesProgrammed() const;  // data-phase bytes written into the flash
    bool FlashConfigured() const;
    bool Restarted() const;
    DeviceId device() const;

    void Attached(DeviceId device) override;
    void Read(const IoRequestPtr& request) override;
    void Write(const IoRequestPtr& request) override;
    void Cancelled(const IoRequestPtr& request) override;

private:
    uint32_t Command(const NxpLoaderCommand& c, bool* restart, std::vector<uint32_t>* values);
    void Reply(std::vector<BYTE> report, DWORD delayMs);
    void Restart();
    uint8_t FlashByte(uint32_t address) const;
    void SetFlashByte(uint32_t address, uint8_t value);
    uint32_t RamWord(uint32_t address) const;

    mutable std::mutex mutex_;
    NxpFlashLoaderKnobs knobs_;
    DeviceId device_ = 0;
    PlannedDevice restartPlan_;
    bool restarted_ = false;
    bool configured_ = false;
    int writes_ = 0;
    bool inDataPhase_ = false;
    double lastDataAt_ = -1;  // simulated time of the last data packet of the data phase
    uint32_t phaseCursor_ = 0;
    uint32_t phaseLeft_ = 0;
    uint32_t programmed_ = 0;
    std::map<uint32_t, uint8_t> ram_;
    std::vector<uint8_t> flash_;  // from kNxpFlashBase, grown as written
    std::vector<std::vector<BYTE>> outputs_;
    std::vector<NxpLoaderCommand> commands_;
    std::vector<uint32_t> dataLengths_;
    std::vector<NxpEraseRecord> erases_;
    HidInputQueue input_;
};

}  // namespace sim
