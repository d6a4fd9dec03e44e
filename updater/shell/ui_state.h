// The UI states of the main dialog: which controls are shown and enabled
// with no device, a device connected, an update running, and an update done.
#pragma once

// Applies one of the UI_STATE_* states (app_state.h); any other value does
// nothing.
void SetUIState(int state);

// Shows text in the status line. held: the progress and the blinks leave it
// there for 3 seconds.
void ShowStatusNotice(const wchar_t* text, bool held);
// A held notice is in the status line.
bool StatusNoticeHeld();
