// The update-mode device on WinUSB (4A7E:DF00 and 4A7E:DF01): DFU request
// numbers and status record sent as vendor requests on endpoint 0, the DFU
// state machine, the device's own erase / MCU / FPGA / verify / reset
// requests, and flash memory that outlives the device's restarts.
//
// The device is as strict as its firmware: it stalls a request whose setup
// fields are not the protocol's (request type, value, index, length), one
// that comes in the wrong state (a block before the last one was reported
// taken, a zero-length request with nothing to manifest, a state change
// that does not apply), and one that comes clearly before the wait it needs
// (20 ms after a status reply, 50 ms after an MCU packet and after the
// combined-image erase, 10 s from the MCU verify request to its status).
// Each refusal is recorded (Requests(), sim::Refusals()).
//
// Data goes to flash as it comes: the host's pad byte after a last block
// that is a whole number of 64-byte packets lands in flash behind the image
// (where an erased byte reads 0xFF as well); DfuFlash::Holds compares a
// region with an image on those terms.
#pragma once

#include "sim_world.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace sim {

// What the device's flash holds. Shared by every appearance of one physical
// device on the bus, so a restart keeps what was written.
struct CORVANE_SIM_API DfuFlash {
    std::vector<uint8_t> image1;  // first image of a combined (two-part) image, as received
    std::vector<uint8_t> image2;  // the image, or the later part of a combined one, as received
    std::vector<uint8_t> mcu;     // MCU data as received, packet after packet
    std::vector<uint8_t> fpga;
    int combinedErases = 0;
    int downloads = 0;  // download sessions ended with the zero-length request
    int resets = 0;

    // The region holds image: it starts with it, and whatever follows reads
    // as erased flash (0xFF, such as the host's pad byte).
    static bool Holds(const std::vector<uint8_t>& region, const std::vector<uint8_t>& image);
};

// One control request as the device saw it.
struct DfuRequestRecord {
    uint8_t requestType = 0;
    uint8_t request = 0;
    uint16_t value = 0;
    uint16_t index = 0;
    uint16_t length = 0;
    std::vector<uint8_t> data;  // OUT data stage
    bool ok = false;            // the device accepted it
    std::wstring refusal;       // why the device refused it (empty: a fault knob, or accepted)
    ULONGLONG atMs = 0;         // simulated time it came
};

// Knobs of the simulated device; all default to a well-behaved device.
// Block numbers count from 0 within an image part (a download session).
struct DfuKnobs {
    uint8_t startState = 2;              // bState when the device arrives
    int busyPollsPerBlock = 0;           // GETSTATUS replies with state 4 before state 5
    int failedStatusAfterFirstBlock = 0; // GETSTATUS goes unanswered this often after a part's first block (still erasing)
    int failedStatusAtBlock = -1;        // after this block (counted over the whole download session, MCU or FPGA
                                         // data and image alike) one GETSTATUS goes unanswered
    int failBlock = -1;                  // the data request of this block stalls
    int errorStateAtBlock = -1;          // after this block the device reports state 10
    int shortCountAtBlock = -1;          // this block reports one byte fewer transferred
    int leaveBusAtBlock = -1;            // the device leaves the bus during this block
    int blockFaultPart = 0;              // the four block faults above hit this image part only (1, 2; 0: every part)
    bool stayBusy = false;               // after a block the device never leaves state 4
    bool statusStalls = false;           // every GETSTATUS stalls
    bool statusShort = false;            // GETSTATUS transfers 5 bytes
    uint8_t mcuVerifyStatus = 1;         // bStatus of the MCU verify reply (0 fails the update)
    uint8_t mcuVerifyState = 13;
    uint8_t fpgaVerifyStatus = 1;
    uint8_t fpgaVerifyState = 17;
    bool eraseFails = false;             // the combined-image erase stalls
    bool ignoresStateChange = false;     // DETACH, ABORT and CLRSTATUS leave the state alone
    DWORD restartDelayMs = 300;          // after the zero-length request, until the device leaves
    DWORD reappearDelayMs = 300;         // until it arrives again
    DWORD replyDelayMs = 0;              // every request completes this long after it came (a slow device)
    // A request the device does not answer (GETSTATUS while it erases) fails
    // with ERROR_SEM_TIMEOUT after the driver's time-out: WinUSB's default
    // for the control pipe is 5 s.
    DWORD unansweredMs = 5000;
};

class CORVANE_SIM_API DfuDeviceModel : public DeviceModel {
public:
    // What the device becomes after it restarts (zero-length request after a
    // download, or the reset request). Return false to stay off the bus.
    using RestartPlan = std::function<bool(const DfuFlash& flash, bool afterReset, UsbDeviceSpec* next,
                                           std::shared_ptr<DeviceModel>* model)>;

    DfuDeviceModel(std::shared_ptr<DfuFlash> flash, DfuKnobs knobs = DfuKnobs());

    void SetRestartPlan(RestartPlan plan);
    std::shared_ptr<DfuFlash> flash() const { return flash_; }
    DfuKnobs knobs() const;
    std::vector<DfuRequestRecord> Requests() const;
    uint8_t State() const;

    // A restart plan that brings the device back as the update-mode device
    // described by spec, with the same flash (the second run of a two-part
    // image). Without a plan the device comes back as it was.
    static RestartPlan ComeBackAs(UsbDeviceSpec spec);

    void Attached(DeviceId device) override;
    void ControlTransfer(const IoRequestPtr& request) override;

private:
    void Restart(bool afterReset);
    void EndBlock(size_t length, bool firstOfPart);
    bool BlockFault(int knob) const;
    std::wstring Refusal(const WINUSB_SETUP_PACKET& s, const std::vector<uint8_t>& data, double now) const;
    bool HandleOut(const WINUSB_SETUP_PACKET& s, const std::vector<uint8_t>& data, DWORD* transferred);
    bool HandleIn(const WINUSB_SETUP_PACKET& s, std::vector<uint8_t>* reply, bool* unanswered);
    void SetWait(double from, double ms, const wchar_t* after);

    mutable std::mutex mutex_;
    std::shared_ptr<DfuFlash> flash_;
    DfuKnobs knobs_;
    RestartPlan plan_;
    DeviceId device_ = 0;
    uint8_t state_;
    uint8_t status_ = 0;
    int busyLeft_ = 0;
    int statusFailuresLeft_ = 0;
    int blockInPart_ = 0;      // data blocks of the running download session
    int blockInSession_ = 0;  // data blocks since the download session began (MCU, FPGA and image)
    int sessionPart_ = 0;      // the image part the running session writes (0: none yet)
    bool awaitingStatus_ = false;  // a block was taken and not yet reported taken
    bool eraseArmed_ = false;  // the next session goes to image1
    bool mcuVerified_ = false;
    bool fpgaVerifyAsked_ = false;
    bool mcuVerifyAsked_ = false;
    double mcuVerifyAskedAt_ = 0;
    bool restarting_ = false;
    // The wait the next request needs: from waitFrom_ (simulated ms), waitMs_ long.
    double waitFrom_ = 0;
    double waitMs_ = 0;
    const wchar_t* waitAfter_ = L"";
    std::vector<uint8_t> session_;  // DNLOAD data of the running session
    std::vector<DfuRequestRecord> requests_;
};

}  // namespace sim
