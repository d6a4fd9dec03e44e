// What a running update is guarded against.
//
// From the moment an update commits (a camera is told to enter its update
// mode or is erased and reset into its boot loader, or a device already in
// update mode is written) to its last ending, the program is busy: closing,
// EXIT, the end of the Windows session, READ F/W VERSION, RESET,
// Browse, F/W UPDATE and selection changes could all break the write, so each
// of them asks UpdateIsBusy() and is refused while it holds. The flags of the
// update paths say what the update waits for; this module says whether
// anything may interrupt it.
//
// The busy window is made of:
// - an update start running on the user-interface thread (dialog 130's OK,
//   with its pauses);
// - worker threads that write into a device or download (update thread,
//   boot-loader downloads, the Sunplus download), from just before they are
//   created until they return, their closing box included;
// - an update that waits for its camera between two of its steps (the camera
//   restarting into update mode, into its boot loader, or between the parts
//   of an image). Each such wait is bounded: a camera that does not come back
//   within kCameraComeBackWaitMs ends the busy window, and EXIT is usable
//   again (the update itself goes on if the camera still arrives). The
//   wait does not run out while an arrival is held back or being handled.
//
// While busy the windows carry a shutdown block reason and the system is
// kept from sleeping when idle (ES_SYSTEM_REQUIRED): that stops neither a
// sleep the user or a closed lid asks for nor a forced shutdown.
#pragma once

#include <windows.h>

#include "camera_update.h"

// Posted to the main dialog when a worker ended or the busy window may have
// changed from another thread; the dialog applies the new state.
constexpr UINT WM_FW_BUSY_CHANGED = WM_APP + 8;

// The dialog's timer that watches a busy window: it applies the end of a
// wait for a camera that did not come back.
constexpr UINT_PTR IDT_TIMER_BUSY_WATCH = 5;
constexpr UINT kBusyWatchPeriodMs = 1000;

// The status line's notice that refuses closing and EXIT during an update.
extern const wchar_t kCloseRefusedText[];
// The status line when the camera did not come back within the wait.
extern const wchar_t kCameraNotBackText[];
// The reason shown by Windows when it wants to end the session meanwhile.
extern const wchar_t kShutdownBlockReason[];

// On the user-interface thread: makes Windows' session end, the system's
// idle sleep and the watch timer follow the busy window, and ends a wait
// whose camera did not come back. Cheap when nothing changed.
void ApplyBusyState();
// From any thread: asks the dialog to apply the state soon.
void NotifyBusyChanged();

// Refusal of an operator command while busy: writes what was refused to the
// debugger output and returns true when the command must do nothing.
bool RefusedWhileBusy(const wchar_t* command);
// Refuses closing the program (EXIT, the close box, Alt+F4, the taskbar's
// Close window, the owner window's close): a notice in the status line and a
// beep, no box.
void ShowCloseRefused();
// The operator chose another device or file: an update whose wait for its
// camera ran out is over (a camera arriving later is no longer written).
void EndTheUpdateLeftWaiting();
