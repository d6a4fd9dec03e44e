// The dialog's update on the program's taskbar button (ITaskbarList3): the
// progress while a camera is written, an indeterminate bar while it
// restarts, the error state after a failure, nothing once the update is
// over; and the button flashes when an update ends while another program is
// in the foreground. Without a taskbar (or in a station, whose window shows
// the cameras) nothing is shown. All but TaskbarShowFailed on the dialog's
// thread.
#pragma once

#include <windows.h>

void TaskbarShowWriting(ULONGLONG done, ULONGLONG total);
void TaskbarShowRestarting();
// Any thread: from another one it is posted to the dialog.
void TaskbarShowFailed();
void TaskbarUpdateOver();

// What TaskbarShowFailed posts to the main dialog.
constexpr UINT WM_FW_TASKBAR_FAILED = WM_APP + 11;
