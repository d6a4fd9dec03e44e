// What a running update shows in the main dialog. The update engines say
// where they are (writing, a part started, verifying, failed); this shell
// module turns it into the dialog's controls and blink timers, so that the
// engines touch no control of the dialog. Progress itself reaches the dialog
// as the WM_FW_PROGRESS_* messages. From any thread.
#pragma once

// The update thread starts writing: the erase blink runs, F/W UPDATE and
// RESET are disabled.
void ShowUpdateWriting();
// A part's blocks start going out: "Updating" is shown.
void ShowPartWriting();
// The first block of a part went through: the erase is over.
void ShowEraseDone();
// The device verifies its MCU or FPGA flash: the verify blink runs while it does.
void ShowVerifying(bool verifying);
// The flash loader's download starts (its erase and write in one).
void ShowFlashLoaderWriting();
// A failed download: the blinks stop and the progress bar is emptied
// (before the failure's box).
void ClearUpdateProgress();
// After the failure's box: the file is dropped, EXIT is usable, and the
// progress display is gone.
void ShowUpdateFailedState();
