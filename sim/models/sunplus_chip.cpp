#include "sunplus_chip.h"

#include "camera_xu.h"
#include "sim_internal.h"

#include <chrono>

namespace sim {

namespace {

struct Registry {
    std::mutex mu;
    // Chips by the camera model they sit in: a camera that restarts as
    // itself keeps its model, and so its flash.
    std::vector<std::pair<std::weak_ptr<DeviceModel>, std::shared_ptr<SunplusChip>>> chips;
    std::vector<SunplusLibraryEvent> events;
};

Registry& R() {
    static Registry* r = new Registry;  // outlives every module's unload at exit
    return *r;
}

std::shared_ptr<XuCameraModel> V9Model(DeviceId device) {
    auto xu = std::dynamic_pointer_cast<XuCameraModel>(ModelOf(device));
    if (!xu || xu->kind() != XuCameraKind::KivoV9) return nullptr;
    return xu;
}

}  // namespace

SunplusChip::SunplusChip(std::weak_ptr<XuCameraModel> camera) : camera_(std::move(camera)) {}

void SunplusChip::SetKnobs(const SunplusKnobs& knobs) {
    std::lock_guard<std::mutex> lock(mutex_);
    knobs_ = knobs;
}

SunplusKnobs SunplusChip::Knobs() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return knobs_;
}

std::vector<uint8_t> SunplusChip::Flash() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return flash_;
}

std::vector<SunplusDownloadCall> SunplusChip::Downloads() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return downloads_;
}

int SunplusChip::Opens() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return opens_;
}

int SunplusChip::Closes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return closes_;
}

bool SunplusChip::IsOpen() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return open_;
}

bool SunplusChip::WaitUntilHeld(DWORD realTimeoutMs) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::milliseconds(realTimeoutMs), [&] { return held_; });
}

void SunplusChip::Release() {
    std::lock_guard<std::mutex> lock(mutex_);
    released_ = true;
    cv_.notify_all();
}

bool SunplusChip::CameraPresent() const {
    auto camera = camera_.lock();
    return camera && IsPresent(camera->device());
}

bool SunplusChip::Open() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (knobs_.notFound) return false;
    ++opens_;
    open_ = true;
    return true;
}

void SunplusChip::Close() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (open_) ++closes_;
    open_ = false;
}

DeviceId SunplusChip::CameraDevice() const {
    auto camera = camera_.lock();
    return camera ? camera->device() : 0;
}

int SunplusChip::ReadFlashType(uint8_t* out) {
    if (!CameraPresent()) return kSunplusDeviceGone;
    std::lock_guard<std::mutex> lock(mutex_);
    if (!open_) return kSunplusNotOpen;
    if (out == nullptr) return kSunplusBadArgument;
    if (knobs_.flashTypeFails) return kSunplusWriteFailed;
    *out = knobs_.flashType;
    return kSunplusOk;
}

int SunplusChip::Download(const uint8_t* image, uint32_t length, int flashType, const std::vector<int>& otherArgs,
                          const std::function<int(int)>& progress) {
    SunplusKnobs knobs;
    size_t index;
    bool open;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        SunplusDownloadCall call;
        call.length = length;
        call.flashType = flashType;
        call.otherArgs = otherArgs;
        call.progressGiven = static_cast<bool>(progress);
        call.threadId = ::GetCurrentThreadId();
        downloads_.push_back(call);
        index = downloads_.size() - 1;
        knobs = knobs_;
        open = open_;
        held_ = false;
        released_ = false;
    }
    auto finish = [&](int result) {
        std::lock_guard<std::mutex> lock(mutex_);
        downloads_[index].result = result;
        held_ = false;
        return result;
    };
    const DeviceId device = CameraDevice();
    if (!ReportUpdateRequest(device)) return finish(kSunplusDeviceGone);
    auto refuse = [&](int result, const wchar_t* reason) {
        RecordRefusal(device, L"Sunplus library", L"Download_FW_Verbose of " + std::to_wstring(length) +
                                                      L" bytes, flash type " + std::to_wstring(flashType),
                      reason);
        return finish(result);
    };
    if (!open) return refuse(kSunplusNotOpen, L"the camera was not opened");
    if (image == nullptr || length == 0) return refuse(kSunplusBadArgument, L"no image");
    // The chip erases and programs by the flash type it reported: another
    // type would program the wrong part.
    if (flashType != knobs.flashType) return refuse(kSunplusWrongFlashType, L"not the flash type the chip reported");
    {
        std::lock_guard<std::mutex> lock(mutex_);
        flash_.clear();  // erased
    }
    const int step = knobs.percentStep > 0 ? knobs.percentStep : 10;
    int steps = 0;
    for (int percent = 0;; percent = percent + step < 100 ? percent + step : 100) {
        // Each step written is a block of the image (part 2).
        if (percent > 0) ReportBlock(device, 2, ++steps);
        if (!CameraPresent()) return finish(kSunplusDeviceGone);
        const size_t upTo = static_cast<size_t>(static_cast<uint64_t>(length) * static_cast<unsigned>(percent) / 100u);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (upTo > flash_.size()) flash_.insert(flash_.end(), image + flash_.size(), image + upTo);
        }
        if (percent > 0) simos::Sleep(knobs.msPerStep);
        const int answer = progress ? progress(percent) : 0;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            downloads_[index].progress.push_back(percent);
            downloads_[index].progressAnswers.push_back(answer);
        }
        if (percent == knobs.holdAtPercent) {
            std::unique_lock<std::mutex> lock(mutex_);
            held_ = true;
            cv_.notify_all();
            // Bounded: a test that forgets to release must not hang the process.
            if (knobs.holdMs > 0) {
                lock.unlock();
                simos::Sleep(knobs.holdMs);
                lock.lock();
            } else {
                cv_.wait_for(lock, std::chrono::seconds(60), [&] { return released_; });
            }
            held_ = false;
        }
        if (knobs.failAtPercent >= 0 && percent >= knobs.failAtPercent) return finish(kSunplusWriteFailed);
        if (percent == 100) break;
    }
    return finish(kSunplusOk);
}

std::shared_ptr<SunplusChip> SunplusChipOf(DeviceId camera) {
    auto model = V9Model(camera);
    if (!model) return nullptr;
    Registry& r = R();
    std::lock_guard<std::mutex> lock(r.mu);
    for (auto it = r.chips.begin(); it != r.chips.end();) {
        auto known = it->first.lock();
        if (!known) {
            it = r.chips.erase(it);
            continue;
        }
        if (known == model) return it->second;
        ++it;
    }
    auto chip = std::make_shared<SunplusChip>(model);
    r.chips.emplace_back(model, chip);
    return chip;
}

std::shared_ptr<SunplusChip> FindSunplusChip() {
    for (DeviceId device : PresentDevices()) {
        auto chip = SunplusChipOf(device);
        if (chip && !chip->Knobs().notFound) return chip;
    }
    return nullptr;
}

void RecordSunplusLibraryEvent(SunplusLibraryEvent::Kind kind, const std::wstring& module, int result) {
    detail::LastErrorGuard keep;
    SunplusLibraryEvent e;
    e.kind = kind;
    e.module = module;
    e.result = result;
    e.threadId = ::GetCurrentThreadId();
    Registry& r = R();
    std::lock_guard<std::mutex> lock(r.mu);
    r.events.push_back(std::move(e));
}

std::vector<SunplusLibraryEvent> SunplusLibraryEvents() {
    Registry& r = R();
    std::lock_guard<std::mutex> lock(r.mu);
    return r.events;
}

namespace detail {

void ResetSunplus() {
    Registry& r = R();
    std::lock_guard<std::mutex> lock(r.mu);
    r.chips.clear();
    r.events.clear();
}

}  // namespace detail

}  // namespace sim
