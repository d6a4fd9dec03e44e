// A stand-in for the main dialog: a window with the controls the update
// thread drives, recording the progress messages it receives, and a world
// with one simulated update-mode device.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "dfu_device.h"
#include "sim_world.h"

struct ProgressEvent {
    UINT message;
    WPARAM value;
};

class EngineHarness {
public:
    EngineHarness();
    ~EngineHarness();

    // Plugs an update-mode device with these knobs and opens it through WinUSB.
    void PlugDevice(const sim::DfuKnobs& knobs = sim::DfuKnobs(), USHORT pid = 0xDF00);
    // After the device restarted: waits for it to come back, then opens it again.
    void ReopenAfterRestart();
    // The device is unplugged and plugged in again (the same flash, in update
    // mode, with these knobs), then opened again.
    void Replug(const sim::DfuKnobs& knobs = sim::DfuKnobs());
    // Cuts a firmware file into the process-wide sections.
    void LoadFile(const std::vector<uint8_t>& file);
    // Runs the update thread to its end while pumping this thread's messages.
    DWORD RunUpdateThread();

    std::vector<ProgressEvent> Progress() const { return progress_; }
    // Every control request the device saw, over all its appearances.
    std::vector<sim::DfuRequestRecord> Requests() const;
    // Lengths of the data requests of one kind (DNLOAD by default).
    std::vector<uint16_t> DataRequestLengths(uint8_t request = 0x01) const;
    std::vector<std::wstring> BoxTexts() const;
    bool ControlVisible(int id) const;
    bool ControlEnabled(int id) const;
    std::wstring ControlText(int id) const;

    std::shared_ptr<sim::DfuFlash> flash;
    std::shared_ptr<sim::DfuDeviceModel> model;
    std::vector<std::shared_ptr<sim::DfuDeviceModel>> allModels;  // first appearance and every return
    sim::DeviceId device = 0;
    sim::UsbDeviceSpec spec;
    sim::DfuKnobs laterKnobs;  // every appearance after a restart
    HWND dialog = nullptr;

private:
    static LRESULT CALLBACK WndProc(HWND, UINT, WPARAM, LPARAM);
    void PlugModel(const sim::DfuKnobs& knobs);
    std::function<bool(const sim::DfuFlash&, bool, sim::UsbDeviceSpec*, std::shared_ptr<sim::DeviceModel>*)> plan_;
    std::vector<ProgressEvent> progress_;
};

// Writes bytes to a new temporary file and returns its path.
std::wstring WriteTempFile(const std::vector<uint8_t>& bytes);
// Writes a firmware file to disk and reads it the way Browse does (the
// open-file dialog answered with its path). The result of SelectFirmwareFile.
int BrowseFirmwareFile(const std::vector<uint8_t>& file);

// Test image bytes: every byte value, ending in 0xFF bytes.
std::vector<uint8_t> Pattern(size_t n, uint8_t seed);
// Image part 2 as the host sends it, and so as the device's flash takes it:
// a last block that is a whole number of 64-byte packets gets one 0xFF.
std::vector<uint8_t> AsSent(const std::vector<uint8_t>& part2);
std::vector<uint8_t> Le32(uint32_t v);
std::vector<uint8_t> Cat(std::initializer_list<std::vector<uint8_t>> parts);
std::vector<uint8_t> Ascii(const std::string& s);
// Two-part file: type byte, then both images in the long form.
std::vector<uint8_t> TwoPartFile(uint8_t type, const std::vector<uint8_t>& a, const std::vector<uint8_t>& b);
std::vector<uint8_t> ShortSection(const std::string& marker, const std::vector<uint8_t>& data);
std::vector<uint8_t> McuLines(size_t count, size_t lineLength);
