// The command thread: READ F/W VERSION and RESET run here so the dialog keeps
// running while the camera answers.
#pragma once

#include <windows.h>

// Starts the command thread (stopping one left from before).
void createThreadUpdateUI();
// Stops it; nothing happens when none runs.
void _threadUpdateUI();
DWORD WINAPI UpdateUIThreadProc(LPVOID);

// Longest wait for the command thread to finish the command it is running
// before it is stopped by force: a version read waits up to 5 s for its reply.
constexpr DWORD kCommandThreadStopWaitMs = 6000;
