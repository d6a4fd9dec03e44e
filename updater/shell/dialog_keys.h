// The keyboard in the program's windows: the message loop hands each
// message to the dialog manager of the window it belongs to (Tab, Shift+Tab,
// Space, Enter, Esc and the arrow keys), and the focus is kept on a control
// that can take it.
#pragma once

#include <windows.h>

// One message of a message loop: the accelerators (given the window the
// message is addressed to; accelerators may be null), then the keyboard of
// the dialog or control-parent window it belongs to, then translation and
// dispatch.
void ServeMessage(MSG& msg, HACCEL accelerators);

// The main dialog's focus, when the dialog is the active window and the focus
// is nowhere, on the dialog itself or on a control that cannot take it: to
// F/W UPDATE when a file waits for it, else the device list when it lists a
// camera, else Browse, READ F/W VERSION, RESET or EXIT, the first of them
// that is enabled; with none enabled (an update runs) to the dialog itself,
// where Esc still arrives. anew: placed so even when the focus is usable
// (the dialog has just opened). Only on the dialog's thread.
void PlaceDialogFocus(bool anew = false);

// The control PlaceDialogFocus gives the focus to, or null (none can take it).
HWND DialogFocusTarget();

// Enter where the dialog manager found no default button: the focused push
// button of window is pressed. False when the focus is not on one.
bool PressFocusedButton(HWND window);

// The same for any window: the first usable control of ids (count of them),
// else the window itself.
void PlaceFocus(HWND window, const int* ids, int count, bool anew = false);

// Posted to the main dialog after it became active: the focus is placed once
// the dialog manager has given back the control that had it.
constexpr UINT WM_FW_PLACE_FOCUS = WM_APP + 10;
