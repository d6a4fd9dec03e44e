// The HID class driver's side of a device's input reports: reads waiting for
// a report, and reports waiting for a reader (a ring of 32, the oldest
// dropped when it is full). Shared by the simulated HID boot loaders.
#pragma once

#include "sim_device_model.h"

#include <deque>
#include <mutex>
#include <vector>

namespace sim {

class HidInputQueue {
public:
    // A ReadFile: completed at once from the ring, or kept until a report comes.
    void Read(const IoRequestPtr& request);
    void Cancelled(const IoRequestPtr& request);
    // A report from the device: to the oldest waiting read, else into the ring.
    void Deliver(std::vector<BYTE> report);
    void Clear();
    int Delivered() const;

private:
    mutable std::mutex mutex_;
    std::deque<IoRequestPtr> pending_;
    std::deque<std::vector<BYTE>> ring_;
    int delivered_ = 0;
};

}  // namespace sim
