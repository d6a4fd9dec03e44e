// A camera's trip through update mode: the update-mode device comes back in
// update mode after each download (a two-part image takes two), and after
// the last one as the camera again, or not at all. Used by the scenario
// files, the dialog tests and the demos.
#pragma once

#include "dfu_device.h"
#include "sim_world.h"

#include <functional>
#include <memory>

namespace sim {

class CORVANE_SIM_API UpdateCycle {
public:
    using MakeFinal = std::function<std::shared_ptr<DeviceModel>(const DfuFlash& flash)>;

    std::shared_ptr<DfuFlash> flash = std::make_shared<DfuFlash>();
    int runs = 2;          // downloads before the device leaves update mode
    DfuKnobs firstKnobs;   // the first appearance in update mode
    DfuKnobs laterKnobs;   // every later one

    // The first appearance of the update-mode device. After `runs` downloads
    // it comes back as finalSpec with the model makeFinal returns; without
    // makeFinal it leaves the bus and stays away. Set the knobs and runs
    // first.
    std::shared_ptr<DfuDeviceModel> Start(const UsbDeviceSpec& updateSpec, const UsbDeviceSpec& finalSpec,
                                          MakeFinal makeFinal);

private:
    std::shared_ptr<DfuDeviceModel::RestartPlan> plan_;  // refers to itself through a weak reference
};

// The HID camera as it comes back from an update: its firmware version is
// what the first six bytes of the image it received carry.
CORVANE_SIM_API std::shared_ptr<DeviceModel> HidCameraCarryingImage(const DfuFlash& flash);

}  // namespace sim
