// A camera with a HID command interface: 65-byte command reports written to
// its "MI_02" interface, 65-byte reply reports read from it. The stereo
// camera is the same camera with an IMU interface ("MI_03") beside it, which
// sends nothing here.
//
// Commands (byte 1; byte 2 the parameter): 0x40 firmware version, 0x41
// unique ID, 0x30 enter-update request (answered 0x32 when accepted), 0x32
// with a byte: after an accepted 0x30 the image kind (the camera restarts in
// update mode), otherwise 4 resets the camera. Replies reach the oldest
// pending read; replies nobody reads wait in the driver's input buffer.
#pragma once

#include "sim_world.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

namespace sim {

struct HidCameraKnobs {
    // Reply bytes 2..7 of the version command: two 8-bit numbers, then two
    // 16-bit numbers, most significant byte first.
    uint8_t version[6] = {0x01, 0x02, 0x00, 0x0A, 0x01, 0x2C};
    uint8_t uniqueId[4] = {0x12, 0x34, 0x56, 0x78};
    bool noReply = false;        // takes every command and answers none
    int replyCode = -1;          // answers with this code in byte 1 instead of the command's own
    DWORD replyDelayMs = 5;      // simulated time from a command to its reply
    DWORD openError = ERROR_SUCCESS;  // every open of its HID interfaces fails with this
    int leaveBusAtCommand = -1;  // the camera leaves the bus when this command (0-based) arrives
    // From this command (0-based) on the camera takes no report: the writes
    // stay pending until they are cancelled or the camera leaves the bus.
    int holdWritesFromCommand = -1;
    bool entersUpdateMode = true;     // an accepted handshake sends it off as the update-mode device
    DWORD leaveMs = 200;         // from the request to leaving the bus (update mode, reset)
    DWORD arriveMs = 300;        // from leaving to arriving as the next device
};

struct HidOpenRecord {
    int interfaceNumber = -1;
    DWORD access = 0;
    DWORD flags = 0;
    DWORD result = ERROR_SUCCESS;
};

struct HidWriteRecord {
    int interfaceNumber = -1;
    std::vector<BYTE> bytes;  // exactly what was written
};

class CORVANE_SIM_API HidCameraModel : public DeviceModel, public std::enable_shared_from_this<HidCameraModel> {
public:
    explicit HidCameraModel(HidCameraKnobs knobs = HidCameraKnobs());

    // What the camera becomes after an accepted handshake (without a plan it
    // just leaves the bus).
    void SetUpdateModePlan(UsbDeviceSpec next, std::shared_ptr<DeviceModel> model);

    std::vector<HidOpenRecord> Opens() const;
    std::vector<HidWriteRecord> Writes() const;
    int ReadsIssued() const;                 // ReadFile calls on its HID interfaces
    int PendingReads() const;                // reads waiting for a report now
    std::vector<uint8_t> UpdateKinds() const;  // image kinds received after accepted handshakes
    int Resets() const;
    int HeldWrites() const;                  // writes it never took (holdWritesFromCommand)
    DeviceId device() const;

    void Attached(DeviceId device) override;
    DWORD Open(const OpenContext& context) override;
    void Read(const IoRequestPtr& request) override;
    void Write(const IoRequestPtr& request) override;
    void Cancelled(const IoRequestPtr& request) override;

private:
    void Deliver(int interfaceNumber, std::vector<BYTE> report);
    void ReplyLater(int interfaceNumber, std::vector<BYTE> report, DWORD delayMs);
    void Restart(bool updateMode);

    mutable std::mutex mutex_;
    HidCameraKnobs knobs_;
    DeviceId device_ = 0;
    UsbDeviceSpec updateSpec_;
    std::shared_ptr<DeviceModel> updateModel_;
    bool haveUpdatePlan_ = false;
    bool handshakeAccepted_ = false;
    bool leaving_ = false;
    int commands_ = 0;
    int heldWrites_ = 0;
    int readsIssued_ = 0;
    int resets_ = 0;
    std::vector<uint8_t> updateKinds_;
    std::vector<HidOpenRecord> opens_;
    std::vector<HidWriteRecord> writes_;
    std::deque<IoRequestPtr> pendingReads_;
    std::deque<std::pair<int, std::vector<BYTE>>> buffered_;  // reports nobody has read yet
};

}  // namespace sim
