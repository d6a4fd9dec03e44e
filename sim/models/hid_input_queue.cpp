#include "hid_input_queue.h"

#include <algorithm>

namespace sim {

namespace {
constexpr size_t kRingReports = 32;
}

void HidInputQueue::Read(const IoRequestPtr& request) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (ring_.empty()) {
        pending_.push_back(request);
        return;
    }
    std::vector<BYTE> report = std::move(ring_.front());
    ring_.pop_front();
    lock.unlock();
    request->CompleteData(report);
}

void HidInputQueue::Cancelled(const IoRequestPtr& request) {
    std::lock_guard<std::mutex> lock(mutex_);
    pending_.erase(std::remove(pending_.begin(), pending_.end(), request), pending_.end());
}

void HidInputQueue::Deliver(std::vector<BYTE> report) {
    std::unique_lock<std::mutex> lock(mutex_);
    ++delivered_;
    while (!pending_.empty()) {
        IoRequestPtr reader = pending_.front();
        pending_.pop_front();
        lock.unlock();
        if (reader->CompleteData(report)) return;  // a read cancelled meanwhile does not take it
        lock.lock();
    }
    ring_.push_back(std::move(report));
    if (ring_.size() > kRingReports) ring_.pop_front();
}

void HidInputQueue::Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    pending_.clear();
    ring_.clear();
}

int HidInputQueue::Delivered() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return delivered_;
}

}  // namespace sim
