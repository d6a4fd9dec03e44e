// One camera's firmware update: what it writes, which camera it is, the
// devices it goes through on its way (update mode, the boot loaders, back to
// normal mode), the handles it holds, how far it got, and whether anything
// may interrupt it.
//
// The engines (transfer/) and the searches of the device table
// (discovery/) take the update they work on and tell what happens through
// its view (update_view.h); they know no window. The program above them
// (the dialog, the station) owns the updates and shows them.
//
// Threads: the user-interface thread, the update and boot-loader download
// threads and the command thread share an update. There are no locks: one
// thread sets a flag and another clears it, so every flag and counter that
// crosses threads is an atomic. Text buffers are written by one thread while
// no other reads them (the update flags are set before a worker starts).
#pragma once

#include <windows.h>
#include <winusb.h>

#include <atomic>
#include <cstdint>

#include "update_view.h"

constexpr int kPathChars = 260;
// Devices the program lists at once.
constexpr int kMaxDevices = 20;

// One 1024-byte block of a section, as the update-mode device takes it.
constexpr uint32_t kTransferBlock = 1024;

// How long an update waits for its camera at each step. A camera restarting
// into update mode or its boot loader, and an update-mode device restarting
// between two parts, is back on the bus within a few seconds; the first
// arrival of a new device identity can take Windows tens of seconds while it
// binds the driver. After this the operator is no longer kept from closing.
constexpr DWORD kCameraComeBackWaitMs = 60000;

// Worker threads counted by the busy window.
enum class WorkerKind { Update, Fx3Download, RomDownload, Sunplus };

// Where an update is. Diagnostic and for the programs that show it; the
// update's own decisions follow its flags.
enum class UpdatePhase {
    Idle,              // nothing started yet
    Starting,          // the start runs (the camera and the file are checked)
    Handshake,         // the camera is told to enter its update mode
    WritingPart1,      // the first part of the image (or the MCU or FPGA data)
    WritingPart2,      // the image, or the second part of a two-part image
    WritingLoader,     // a boot-loader download
    WaitingForCamera,  // the camera restarts and is waited for
    Ended,             // success or failure was told
};

enum class UpdateOutcome { None, Succeeded, SucceededReplug, Failed };

class CameraUpdate {
public:
    explicit CameraUpdate(UpdateView* view = nullptr);
    ~CameraUpdate();
    CameraUpdate(const CameraUpdate&) = delete;
    CameraUpdate& operator=(const CameraUpdate&) = delete;

    // --- what the update shows and tells (never null) ---
    UpdateView& View() const { return *view_; }
    void SetView(UpdateView* view);

    // --- busy: anything that closing, EXIT or a command could break ---
    // An update start, a worker of this update, or a wait for its camera
    // that has not run out.
    bool IsBusy() const;
    // The update committed and now waits for its camera (again): the wait's
    // bound starts anew. Any thread.
    void WaitForCamera();
    // Starts the wait anew only when the update waits already (a boot-loader
    // download that ended while the update is under way).
    void WaitGoesOn();
    // No wait is left (the update ended, or it goes on writing). Any thread.
    void WaitEnd();
    bool WaitActive() const { return bWaitingForCamera; }
    // The wait's bound has passed (whether or not it still counts); never
    // while the view holds the wait (an arrival held back or being handled).
    bool WaitExpired() const;
    // Closing the program could break something: a start or a worker runs,
    // or the camera is waited for between two steps. A wait after a failure
    // that the operator was told of (EXIT is theirs again) does not hold
    // closing.
    bool HoldsClosing() const;
    // The update's starts and workers (what the wait does not cover).
    bool StartsOrWorkersRun() const;
    int RunningWorkers(WorkerKind kind) const { return nWorkers[static_cast<int>(kind)]; }

    // Starts a worker thread of this update. The count is taken before the
    // thread is created, so the busy window has no gap; the thread's end
    // tells the view. Returns the thread's handle (the caller owns it), or
    // null when it could not be created (the count is given back).
    HANDLE StartWorker(WorkerKind kind, LPTHREAD_START_ROUTINE proc, void* parameter);

    // --- phase and outcome ---
    std::atomic<UpdatePhase> phase{UpdatePhase::Idle};
    // Every phase the update entered, in order, for a program that follows
    // it from its own timer (a phase may last shorter than its look): the
    // last kPhaseRing of them, entry n at phaseRing[n % kPhaseRing].
    static constexpr uint32_t kPhaseRing = 16;
    std::atomic<UpdatePhase> phaseRing[kPhaseRing]{};
    std::atomic<uint32_t> phasesEntered{0};
    std::atomic<UpdateOutcome> outcome{UpdateOutcome::None};
    void SetPhase(UpdatePhase p) {
        phase = p;
        const uint32_t n = phasesEntered.load();
        phaseRing[n % kPhaseRing] = p;
        phasesEntered = n + 1;
    }
    // Tells the ending or trouble through the view and keeps the outcome.
    int Report(UpdateReport kind, const wchar_t* text, const wchar_t* caption, UINT boxFlags,
               bool ownedByDialog = true);

    // --- the firmware file and its sections ---
    wchar_t szFirmwareFilePath[kPathChars]{};
    wchar_t szFirmwareFileName[kPathChars]{};
    uint8_t* pImageData1{};
    std::atomic<uint32_t> dwImageSize1{};
    uint8_t* pImageData2{};
    std::atomic<uint32_t> dwImageSize2{};
    std::atomic<uint8_t> byImageType{};
    std::atomic<bool> bCombinedImage{};
    std::atomic<bool> bFPGAFirmware{};
    std::atomic<bool> bMCUFirmware{};
    std::atomic<uint32_t> dwMCUPacketCount{};
    // The loader image (the boot or flash-loader image last read).
    uint8_t* pLoaderFileData{};
    std::atomic<uint32_t> dwLoaderFileSize{};

    // --- the camera and the devices it goes through ---
    // The camera's unique ID (10 characters), read before it leaves normal
    // mode or taken from its update-mode device's serial.
    wchar_t USBUniqueID[11]{};
    // The device the operator chose when pressing F/W UPDATE; the update
    // start acts on it wherever the list has it by then.
    wchar_t szUpdateDevicePath[kPathChars]{};
    // The update-mode device that the update was started on directly; when it
    // restarts after the first part of an image it comes back under this path.
    wchar_t szUpdateModeDevicePath[kPathChars]{};
    // The camera found again by its unique ID after its update.
    wchar_t szUpdatedCameraPath[kPathChars]{};
    // The device the update thread writes to; it leaving the bus after a
    // Tessa camera's update enables the notice's OK.
    wchar_t szWrittenDevicePath[kPathChars]{};
    std::atomic<bool> bWrittenDeviceGone{false};
    // The device table's paths when the update started: a device that is not
    // among them arrived since.
    wchar_t szDevicePathSnapshot[kMaxDevices][kPathChars]{};

    // --- the paths the update takes ---
    std::atomic<bool> bUpdatedFromHIDMode{};
    std::atomic<bool> bIsStartUpdatedFromDFU{};
    std::atomic<bool> bMatchUpdatedDeviceHID{};
    std::atomic<bool> bTessaDevice{};
    std::atomic<bool> bNXPDevice{};
    std::atomic<bool> bLoaderDownloadActive{};
    std::atomic<bool> bLoaderThreadStarted{};
    // The FX3 boot loader that was served last, and whether its download
    // started the boot image (it then leaves the bus and is not served again).
    wchar_t szBootLoaderPath[kPathChars]{};
    std::atomic<bool> bBootLoaderStarted{};

    // --- update-mode device handles (WinUSB, the cyusb3 driver's file) ---
    std::atomic<HANDLE> hWinUsbDeviceFile{nullptr};
    std::atomic<WINUSB_INTERFACE_HANDLE> hWinUsbInterface{nullptr};
    std::atomic<HANDLE> hOpenedDeviceFile{nullptr};
    std::atomic<HANDLE> hUpdateThread{nullptr};

    // --- the engine's parts and counters ---
    std::atomic<uint32_t> dwBlocksSent{};
    std::atomic<bool> bDownloadInProgress{};
    std::atomic<bool> bDownloadComplete{};
    std::atomic<bool> bFirstPartWritten{};
    std::atomic<bool> bForceFirstPart{};
    std::atomic<bool> bWritePart2{};
    std::atomic<int> nFirmwareUpdateResult{};
    // From the update thread's start until it is done with the device
    // (before its closing box): the arrival handlers leave the device alone.
    std::atomic<bool> bUpdateThreadWriting{false};
    // An update thread is to start once the last one has returned.
    std::atomic<bool> bThreadStartPending{false};
    // The program that runs the update gave up on it (a station's bound for
    // one camera): the write ends at the next block, or while its device
    // keeps it waiting for a block, as a failed one.
    std::atomic<bool> bStopRequested{false};
    wchar_t szUpdateStatus[127]{};
    uint8_t byTransferBuffer[kTransferBlock]{};
    uint8_t byTransferBuffer2[kTransferBlock + 1]{};
    // The flash-loader stage's report (1016 bytes), built anew for every packet.
    uint8_t byNXPReport[1016]{};

    // --- progress ---
    std::atomic<uint32_t> nProgressTotal{};

    // --- the busy window's accounting ---
    std::atomic<int> nUpdateStarts{0};
    std::atomic<int> nWorkers[4]{};
    std::atomic<bool> bWaitingForCamera{false};
    std::atomic<DWORD> dwWaitStart{0};
    // The wait follows a communication failure: the camera may still come
    // back and take its part, but nothing is written meanwhile.
    std::atomic<bool> bWaitAfterFailure{false};

private:
    UpdateView* view_;
};

// Every update the program holds answers "is anything busy".
bool UpdateIsBusy();
// Every update the program holds answers whether closing is held off.
bool ClosingIsHeld();

// The update start (dialog 130's OK, a station's start): busy while it runs.
class UpdateStartScope {
public:
    explicit UpdateStartScope(CameraUpdate& update);
    ~UpdateStartScope();
    UpdateStartScope(const UpdateStartScope&) = delete;
    UpdateStartScope& operator=(const UpdateStartScope&) = delete;

private:
    CameraUpdate& update_;
};
