// Pauses of the user-interface thread that keep the dialog answering, and
// the messages that must wait for them.
//
// The update start and the arrival handlers pause on the user-interface
// thread because the devices need the time (a camera leaving the bus, an
// update-mode device being bound). A thread that stops serving its messages
// for 5 s is marked as not responding by Windows, which then offers to end
// the program, in the middle of an update. So these pauses serve the
// thread's messages, and what arrives meanwhile that would change the device
// list, the library's binding or the update (a device change, an operator
// command, closing the program) is kept and handled in its order once the
// paused handler is done, exactly as if the pause had blocked the thread.
// The same holds while the command thread runs a command (it uses the
// library's binding and reads the device list) and while the NXP ROM
// download writes through the library's HID binding.
#pragma once

#include <windows.h>

// True on the thread that owns the main dialog.
bool OnDialogThread();

// Pauses for ms (simulated time in the simulated build). On another thread
// than the dialog's it is a plain sleep.
void UiWait(DWORD ms);

// Runs fn(context) on a thread of its own while the user-interface thread
// serves its messages as in UiWait, and returns when fn has returned. For a
// library call that waits for a camera (the update handshake waits up to a
// minute); the call's own bounds bound this wait. Only calls that touch no
// COM object may go there: the extension-unit interfaces belong to the
// thread that obtained them.
void UiRunWhileServing(void (*fn)(void* context), void* context);

// True while the user-interface thread is inside a pause (or a handler holds
// the messages). Any thread.
bool UiInPause();
// Device changes are kept to be handled later. Any thread.
bool DeviceChangesKept();
// The program ends: the kept messages are dropped and none is kept or
// handled any more.
void DropDeferredMessages();

// While the dialog handles an operator command or a device change, what
// would re-enter it waits the same way: Windows delivers messages sent from
// other threads (the device changes among them) inside some of the calls a
// handler makes, and a second handler must not run in the middle of the
// first. MessageHoldLift lets them through again for a modal dialog that
// must see them (the update warning ends when its camera leaves).
class MessageHold {
public:
    MessageHold();
    ~MessageHold();
    MessageHold(const MessageHold&) = delete;
    MessageHold& operator=(const MessageHold&) = delete;
};
class MessageHoldLift {
public:
    MessageHoldLift();
    ~MessageHoldLift();
    MessageHoldLift(const MessageHoldLift&) = delete;
    MessageHoldLift& operator=(const MessageHoldLift&) = delete;

private:
    int saved_;
};

// The command thread has a command to run, or runs one: set by the dialog
// before it signals the command event, cleared by the command thread when the
// command has returned (it then posts WM_FW_COMMAND_DONE).
void SetCommandActive(bool active);
bool CommandActive();
constexpr UINT WM_FW_COMMAND_DONE = WM_APP + 9;

// Called first by the dialog procedure: true when the message was kept to be
// handled later (the procedure then returns at once).
bool DeferMessage(HWND hDlg, UINT message, WPARAM wParam, LPARAM lParam);
// The dialog procedure that the kept messages are handed to.
void SetDeferredMessageHandler(DLGPROC handler);
// Handles the kept messages, in order, once nothing holds them any more.
// Called by the dialog procedure after every message it handled.
void ReplayDeferredMessages();
