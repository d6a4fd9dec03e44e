// The Sunplus image processor inside a simulated V9 camera (4A7E:C181, and
// the Sunplus camera 1BCF:0B12): its serial flash and its fault knobs, as the
// stand-in SunplusCamera.dll reaches them. The stand-in library is a thin
// layer over this: it finds a camera, opens it, reads the flash type and
// downloads an image here, and records what it was asked.
//
//   auto cam = sim::PlugKivoV9Camera(place);
//   auto chip = sim::SunplusChipOf(cam.device);
//   sim::SunplusKnobs k; k.failAtPercent = 40; chip->SetKnobs(k);
//   ... the updater runs its Sunplus download ...
//   EXPECT_EQ(fileBytes, chip->Flash());
#pragma once

#include "sim_world.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace sim {

class XuCameraModel;

struct SunplusKnobs {
    uint8_t flashType = 0x02;     // what Get_FlashType reports
    bool notFound = false;        // the library's open does not find this camera
    bool flashTypeFails = false;  // Get_FlashType answers an error
    int failAtPercent = -1;       // the download stops with an error after reporting this percentage
    int holdAtPercent = -1;       // the download waits after reporting this percentage until Release()
    DWORD holdMs = 0;             // ... or this long (simulated), when not 0
    int percentStep = 10;         // progress is reported every percentStep percent, 0 and 100 included
    DWORD msPerStep = 20;         // simulated time that writing one step takes
};

// Error codes the stand-in library answers with.
enum SunplusError : int {
    kSunplusOk = 0,
    kSunplusNotFound = 1,
    kSunplusNotOpen = 2,
    kSunplusWrongFlashType = 3,
    kSunplusWriteFailed = 4,
    kSunplusDeviceGone = 5,
    kSunplusBadArgument = 6,
};

// One call of Download_FW_Verbose as the chip received it.
struct SunplusDownloadCall {
    uint32_t length = 0;
    int flashType = 0;
    // The arguments after the flash type, without the callback: arguments 4
    // to 9 and 11, in order.
    std::vector<int> otherArgs;
    bool progressGiven = false;
    std::vector<int> progress;         // percentages reported, in order
    std::vector<int> progressAnswers;  // what the callback returned for each
    DWORD threadId = 0;                // the calling thread (the callback runs on it too)
    int result = 0;
};

class CORVANE_SIM_API SunplusChip {
public:
    explicit SunplusChip(std::weak_ptr<XuCameraModel> camera);

    void SetKnobs(const SunplusKnobs& knobs);
    SunplusKnobs Knobs() const;

    // The flash as the last download left it: the image as far as it was
    // written (erased, i.e. empty, at the start of a download).
    std::vector<uint8_t> Flash() const;
    std::vector<SunplusDownloadCall> Downloads() const;
    int Opens() const;
    int Closes() const;
    bool IsOpen() const;
    // Waits (real time) until a download stands at holdAtPercent.
    bool WaitUntilHeld(DWORD realTimeoutMs = 10000) const;
    // Lets a held download go on.
    void Release();

    // --- the library's side ---
    // Opens the connection; false when the camera is not recognised.
    bool Open();
    void Close();
    int ReadFlashType(uint8_t* out);
    // Writes image in steps, reporting progress through progress on the
    // calling thread. Returns 0 or one of SunplusError.
    int Download(const uint8_t* image, uint32_t length, int flashType, const std::vector<int>& otherArgs,
                 const std::function<int(int)>& progress);

private:
    bool CameraPresent() const;
    DeviceId CameraDevice() const;

    std::weak_ptr<XuCameraModel> camera_;
    mutable std::mutex mutex_;
    mutable std::condition_variable cv_;
    SunplusKnobs knobs_;
    std::vector<uint8_t> flash_;
    std::vector<SunplusDownloadCall> downloads_;
    int opens_ = 0;
    int closes_ = 0;
    bool open_ = false;
    bool held_ = false;
    bool released_ = false;
};

// The chip of a plugged V9 or Sunplus camera (made on first use and kept
// with the camera's model); null for any other device.
CORVANE_SIM_API std::shared_ptr<SunplusChip> SunplusChipOf(DeviceId camera);
// What the library's open finds: the chip of the first present V9 or Sunplus
// camera that it recognises; null when there is none.
CORVANE_SIM_API std::shared_ptr<SunplusChip> FindSunplusChip();

// What happened to the stand-in library, in order: loads and unloads (with
// the full path of the module that was loaded) and its entry-point calls.
struct SunplusLibraryEvent {
    enum class Kind { Loaded, Unloaded, Init, UnInit, FlashType, Download };
    Kind kind = Kind::Loaded;
    std::wstring module;
    int result = 0;
    DWORD threadId = 0;
};
CORVANE_SIM_API void RecordSunplusLibraryEvent(SunplusLibraryEvent::Kind kind, const std::wstring& module,
                                               int result);
CORVANE_SIM_API std::vector<SunplusLibraryEvent> SunplusLibraryEvents();

}  // namespace sim
