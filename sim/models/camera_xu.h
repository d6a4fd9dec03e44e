// Cameras reached through a UVC extension unit (no HID command interface):
// Tessa, Kivo R7 and Kivo V9 (the Sunplus camera 1BCF:0B12 counts as a V9).
// The extension unit is a "device specific" node of the capture filter; its
// controls answer kernel-streaming property requests of the model's
// property set:
//
//   Tessa  selector 5 (2 bytes, set): value 1 switches to update mode
//          selector 7 (4 bytes, get): firmware version
//   R7     selector 5 (4 bytes): set 0xA0, address low, high, 0; a get then
//          returns 0xA0, address low, high, EEPROM byte
//          selector 24 (4 bytes, set): 0xA0 0x32 0x04 0 reset,
//          0xA0 0x30 0xFF 0 fall back to the update boot loader
//   V9     selector 1 (4 bytes, get): major, minor, build high, build low
//          selector 3 (1 byte, set): 0x01 reset
//
// A request of the wrong length fails as the UVC driver fails it; an
// unknown selector is not found; a read-only control stalls on a set. Each
// refusal is recorded (sim::Refusals()).
#pragma once

#include "com_video_devices.h"
#include "sim_world.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

namespace sim {

enum class XuCameraKind { Tessa, KivoR7, KivoV9 };

struct XuCameraKnobs {
    uint8_t tessaVersion[4] = {1, 4, 2, 7};
    // R7 EEPROM registers 0x96..0x99: year (two digits), month, day, version.
    uint8_t r7Version[4] = {24, 5, 17, 3};
    uint8_t v9Version[4] = {2, 5, 0x01, 0x03};
    bool noReply = false;         // every request times out in the driver
    DWORD timeoutMs = 5000;       // ... after this long (the driver's time-out for a control request)
    int failSelector = -1;        // requests on this selector stall
    int failEepromAddress = -1;   // R7: reading this register stalls
    int extensionUnits = 1;       // extension-unit nodes in the topology; the first one is the model's
    bool unitsFirst = false;      // the extension units come before the camera terminal
    KsFilterFaults faults;        // faults of the COM objects
    DWORD leaveMs = 100;          // from the request to leaving the bus (update mode, reset)
    DWORD arriveMs = 300;         // from leaving to arriving as the next device
};

class CORVANE_SIM_API XuCameraModel : public DeviceModel,
                                      public KsFilterModel,
                                      public std::enable_shared_from_this<XuCameraModel> {
public:
    XuCameraModel(XuCameraKind kind, XuCameraKnobs knobs = XuCameraKnobs());

    // What the camera becomes when it switches to update mode (Tessa, R7);
    // without a plan it just leaves the bus.
    void SetUpdateModePlan(UsbDeviceSpec next, std::shared_ptr<DeviceModel> model);

    XuCameraKind kind() const { return kind_; }
    // Node ID of the model's extension unit.
    ULONG ExtensionUnitNode() const;
    int UpdateRequests() const;
    int Resets() const;
    DeviceId device() const;

    void Attached(DeviceId device) override;

    std::vector<GUID> TopologyNodes() const override;
    KsFilterFaults Faults() const override;
    HRESULT Property(const KsPropertyRecord& request, std::vector<BYTE>* out) override;

private:
    HRESULT Tessa(const KsPropertyRecord& r, bool get, std::vector<BYTE>* out, int* action);
    HRESULT KivoR7(const KsPropertyRecord& r, bool get, std::vector<BYTE>* out, int* action);
    HRESULT KivoV9(const KsPropertyRecord& r, bool get, std::vector<BYTE>* out, int* action);
    void Restart(bool updateMode);

    const XuCameraKind kind_;
    mutable std::mutex mutex_;
    XuCameraKnobs knobs_;
    DeviceId device_ = 0;
    UsbDeviceSpec updateSpec_;
    std::shared_ptr<DeviceModel> updateModel_;
    bool haveUpdatePlan_ = false;
    bool leaving_ = false;
    int updateRequests_ = 0;
    int resets_ = 0;
    uint8_t tessaMode_[2] = {0, 0};
    uint8_t r7Select_[3] = {0xA0, 0, 0};  // the last address request
    std::map<uint16_t, uint8_t> eeprom_;  // R7; registers never written read 0xFF, as erased
};

}  // namespace sim
