// The dialog's update history: every update the dialog runs is appended to
// update-history.csv beside the station's results (ProgramDataFolder), in
// the rows a station writes, so that one tool reads both. Writing it never
// holds up an update: it is written once the update is over, and a file that
// cannot be written is said once in the status line. A station keeps its own results instead. Begins and Ends on the
// dialog's thread.
#pragma once

#include <windows.h>

#include <string>

// The busy window of an update opened or closed.
void HistoryUpdateBegins();
void HistoryUpdateEnds();
// What went wrong, as its box or notice said it (any thread).
void HistoryNoteFailure(const wchar_t* text);

std::wstring UpdateHistoryPath();
// Another folder for the history (empty: the user's local application data
// folder again); tests keep theirs apart.
void SetUpdateHistoryFolder(const std::wstring& folder);
// The window menu's "Update history...": the file opens in the program that
// shows CSV files.
void OpenUpdateHistory();
constexpr UINT IDM_UPDATE_HISTORY = 0x0120;

// Said in the status line the first time the history cannot be written.
constexpr wchar_t kHistoryUnwritableText[] = L"The update history could not be written";
