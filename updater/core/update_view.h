// What a running update shows and tells, and how it pauses: the seam between
// the engines and the program that runs them. The engines say where they are
// (writing, a part started, verifying, failed), how far they got, and how
// the update ended; the dialog turns that into its controls, blinks and
// boxes, a station into its window's row. Every call may come from any
// thread. The defaults show nothing and pause with a plain sleep.
#pragma once

#include <windows.h>

#include <cstdint>

enum class UpdateReport {
    // The firmware was written: the success box.
    Succeeded,
    // The firmware was written, and the camera stays in update mode until the
    // operator unplugs and replugs it: the warning notice (dialog 143).
    SucceededReplug,
    // The update ended without writing the firmware: its error box.
    Failed,
    // Something went wrong and the update's own ending follows (an ending of
    // kind Failed, or the end of the wait for the camera): its box.
    Trouble,
};

class UpdateView {
public:
    virtual ~UpdateView() = default;

    // The update thread starts writing: the erase blink runs, F/W UPDATE and
    // RESET are disabled.
    virtual void ShowUpdateWriting() {}
    // A part's blocks start going out: "Updating" is shown.
    virtual void ShowPartWriting() {}
    // The first block of a part went through: the erase is over.
    virtual void ShowEraseDone() {}
    // The device verifies its MCU or FPGA flash: the verify blink runs while
    // it does.
    virtual void ShowVerifying(bool) {}
    // The flash loader's download starts (its erase and write in one).
    virtual void ShowFlashLoaderWriting() {}
    // A failed download: the blinks stop and the progress bar is emptied
    // (before the failure's box).
    virtual void ClearUpdateProgress() {}
    // After the failure's box: the file is dropped, EXIT is usable, and the
    // progress display is gone.
    virtual void ShowUpdateFailedState() {}

    // Progress: the blocks of the download, the blocks sent so far, and the
    // end of a written image. Delivered before the engine goes on.
    virtual void ProgressRange(uint32_t) {}
    virtual void ProgressStep(uint32_t) {}
    virtual void UpdateDone() {}

    // How the update went (an ending or trouble); returns what its box
    // returned, IDOK when none was shown. The box belongs to the program's
    // window, or to no window (ownedByWindow false).
    virtual int Report(UpdateReport, const wchar_t*, const wchar_t*, UINT, bool) { return IDOK; }

    // A pause of the update for the devices' sake (ms of simulated time in
    // the simulated build): the dialog serves its messages meanwhile.
    virtual void Pause(DWORD ms);

    // The busy window may have changed (from any thread); now: apply it at
    // once when called on the thread that shows it.
    virtual void BusyChanged(bool) {}

    // An arrival for the update may be held back or in the middle of its
    // handling: the wait for the camera must not run out meanwhile. Any
    // thread.
    virtual bool HoldsTheWait() { return false; }
};
