// The camera built on a CX3 bridge with a Socionext ISP: length-prefixed HID
// reports through the control pipe (HidD_SetOutputReport /
// HidD_GetInputReport) on its HID interface.
//
// Output report: byte 0 the report ID, byte 1 the payload length, then the
// payload, whose first byte is the command: 0xAA 0x01 erase the flash, 0xAA
// 0x02 reset (the camera restarts in its boot loader), 0xBB CX3 firmware
// version, 0xCC ISP firmware version. Input report: byte 0 the report ID,
// byte 1 the payload length n (the state and the data, as the report table
// counts it and as the host counts its own payload), byte 2 the state (0
// ready, 8 busy, 3 reset refused), then the data the last command asked for.
// The camera refuses (records and ignores) an unknown command, a payload
// that does not fit its length byte, and a reset while its flash erase runs.
#pragma once

#include "sim_world.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace sim {

struct Cx3CameraKnobs {
    USHORT reportLength = 512;  // input and output report length (report ID included)
    uint8_t cx3Version[5] = {3, 1, 12, 24, 23};  // major, minor, build month, day, two-digit year
    uint8_t ispVersion[2] = {0x10, 0x02};         // major, minor
    std::string ispBuildDate = "231224";          // at most 7 characters (8 bytes with the terminator)
    std::string ispBuildTime = "153045";
    int erasePolls = 3;         // input reports that say busy after an erase before it is done
    bool staysBusy = false;     // every input report says busy
    int busyAtStart = 0;        // input reports that say busy before the first command
    int resetRefusals = 0;      // resets answered with state 3 before the camera resets
    int lengthByte = -1;        // every input report carries this length byte instead (0..255)
    DWORD inputReportError = ERROR_SUCCESS;  // HidD_GetInputReport fails with this
    DWORD outputReportError = ERROR_SUCCESS; // HidD_SetOutputReport fails with this
    DWORD openError = ERROR_SUCCESS;
    DWORD leaveMs = 20;         // from the reset request to leaving the bus
    DWORD arriveMs = 300;       // until the boot loader arrives
};

class CORVANE_SIM_API Cx3CameraModel : public DeviceModel, public std::enable_shared_from_this<Cx3CameraModel> {
public:
    explicit Cx3CameraModel(Cx3CameraKnobs knobs = Cx3CameraKnobs());

    // What the camera becomes after a reset (its boot loader); without a plan
    // it just leaves the bus.
    void SetResetPlan(UsbDeviceSpec next, std::shared_ptr<DeviceModel> model);

    // Every output report as sent (whole report, ID byte first).
    std::vector<std::vector<BYTE>> OutputReports() const;
    int InputReportsServed() const;  // HidD_GetInputReport calls answered (or failed by the knob)
    int Erases() const;
    int Resets() const;
    DeviceId device() const;

    void Attached(DeviceId device) override;
    DWORD Open(const OpenContext& context) override;
    DWORD GetInputReport(const OpenContext& context, BYTE* report, ULONG length) override;
    DWORD SetOutputReport(const OpenContext& context, const BYTE* report, ULONG length) override;

private:
    mutable std::mutex mutex_;
    Cx3CameraKnobs knobs_;
    DeviceId device_ = 0;
    UsbDeviceSpec resetSpec_;
    std::shared_ptr<DeviceModel> resetModel_;
    bool haveResetPlan_ = false;
    std::vector<BYTE> payload_;  // what the next input reports carry (state first)
    int busyLeft_ = 0;
    bool erasing_ = false;  // an erase runs until an input report has said ready
    int refusalsLeft_ = 0;
    bool leaving_ = false;
    int served_ = 0;
    int erases_ = 0;
    int resets_ = 0;
    std::vector<std::vector<BYTE>> outputs_;
};

}  // namespace sim
