// The dialog's view of its update: the controls and blink timers of the main
// dialog while an update runs, the progress messages, the boxes of its
// endings (update_outcome.h), the pauses that keep the dialog answering
// (ui_wait.h) and the busy window's display (update_guard.h). The engines
// touch no control of the dialog: they tell the update's view.
#pragma once

#include "update_view.h"

// The main dialog's view of its update (DialogUpdate(), app_state.h); the
// dialog puts it in place when it opens.
UpdateView& DialogView();
