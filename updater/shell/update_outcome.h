// How an update went, told by the engines and shown by the shell.
//
// The update engines, the boot-loader paths and the Sunplus download do not
// show their endings themselves: they report them here. In the dialog the
// report is exactly the box or notice the operator has always seen; a
// station (station.h) takes the reports instead and shows and records them
// in its own window, without a box.
#pragma once

#include <windows.h>

#include "update_view.h"


// From any thread. Returns what the box returned (IDOK when no box was shown).
// The box belongs to the main dialog, or to no window (ownedByDialog false).
int ReportUpdate(UpdateReport kind, const wchar_t* text, const wchar_t* caption, UINT boxFlags,
                 bool ownedByDialog = true);

// The station's receiver of the reports; null gives them back to the boxes.
// The receiver runs on the reporting thread and must not block.
using UpdateReportSink = void (*)(UpdateReport kind, const wchar_t* text);
void SetUpdateReportSink(UpdateReportSink sink);
// A station takes the reports (its window, not the dialog, shows the update).
bool UpdateReportsGoToSink();
