// How a device leaves the bus when it is told to restart: back as itself
// after a reset, as the device its plan names, or gone when it has no plan.
#pragma once

#include "sim_world.h"

#include <functional>
#include <memory>

namespace sim {

// The device something comes back as after it leaves the bus: its model, or
// a function that makes it when the time comes.
struct PlannedDevice {
    bool set = false;
    UsbDeviceSpec spec;
    std::shared_ptr<DeviceModel> model;
    std::function<std::shared_ptr<DeviceModel>()> make;
};

// Leaves the bus and comes back as the planned device, or stays away
// without a plan.
inline void ComeBackAsPlanned(DeviceId device, DWORD leaveMs, DWORD arriveMs, bool havePlan,
                              const UsbDeviceSpec& next, std::shared_ptr<DeviceModel> nextModel) {
    if (havePlan) {
        Reenumerate(device, leaveMs, arriveMs, next, std::move(nextModel));
    } else {
        UnplugAfter(leaveMs, device);
    }
}

inline void ComeBackAsPlanned(DeviceId device, DWORD leaveMs, DWORD arriveMs, const PlannedDevice& plan) {
    ComeBackAsPlanned(device, leaveMs, arriveMs, plan.set, plan.spec,
                      plan.model || !plan.make ? plan.model : plan.make());
}

inline void RestartCamera(DeviceId device, DWORD leaveMs, DWORD arriveMs, bool updateMode, bool havePlan,
                          const UsbDeviceSpec& next, std::shared_ptr<DeviceModel> nextModel,
                          std::shared_ptr<DeviceModel> self) {
    if (!updateMode) {
        Reenumerate(device, leaveMs, arriveMs, SpecOf(device), std::move(self));
    } else {
        ComeBackAsPlanned(device, leaveMs, arriveMs, havePlan, next, std::move(nextModel));
    }
}

}  // namespace sim
