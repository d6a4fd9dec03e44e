#include "update_cycle.h"

#include "camera_hid.h"

namespace sim {

std::shared_ptr<DfuDeviceModel> UpdateCycle::Start(const UsbDeviceSpec& updateSpec, const UsbDeviceSpec& finalSpec,
                                                   MakeFinal makeFinal) {
    auto flashRef = flash;
    const int lastRun = runs;
    const DfuKnobs later = laterKnobs;
    auto plan = std::make_shared<DfuDeviceModel::RestartPlan>();
    std::weak_ptr<DfuDeviceModel::RestartPlan> weakPlan = plan;
    *plan = [=](const DfuFlash& f, bool, UsbDeviceSpec* next, std::shared_ptr<DeviceModel>* model) {
        if (f.downloads >= lastRun) {
            if (!makeFinal) return false;
            *next = finalSpec;
            *model = makeFinal(f);
            return true;
        }
        auto again = std::make_shared<DfuDeviceModel>(flashRef, later);
        if (auto p = weakPlan.lock()) again->SetRestartPlan(*p);
        *next = updateSpec;
        *model = again;
        return true;
    };
    auto first = std::make_shared<DfuDeviceModel>(flash, firstKnobs);
    first->SetRestartPlan(*plan);
    plan_ = plan;
    return first;
}

std::shared_ptr<DeviceModel> HidCameraCarryingImage(const DfuFlash& flash) {
    HidCameraKnobs knobs;
    for (size_t i = 0; i < 6 && i < flash.image2.size(); ++i) knobs.version[i] = flash.image2[i];
    return std::make_shared<HidCameraModel>(knobs);
}

}  // namespace sim
