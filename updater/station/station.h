// Station mode: the firmware file is chosen once, and every camera that is
// plugged in (or is connected when the station starts) is updated in turn
// through the same paths as F/W UPDATE and its warning's OK, without the
// question, the warning or any box, checked when it is back in normal mode,
// and recorded: a row in the station window and in the results file (CSV).
//
// The main dialog stays the program's engine room: it keeps the device list,
// handles the arrivals and removals and the update's steps, hidden. The
// station chooses the camera, hands the dialog its file and camera as the
// operator's F/W UPDATE and OK would, and takes the update's ending from the
// engines' reports (update_outcome.h) instead of a box.
#pragma once

#include <windows.h>

#include <string>

#include "station_record.h"

// Exit codes of a station started from the command line.
constexpr int kStationAllPassed = 0;     // every camera passed (or none came)
constexpr int kStationNotAllPassed = 1;  // a camera failed or was skipped
constexpr int kStationTimedOut = 2;      // /timeout: no camera came in time
constexpr int kStationNotRecorded = 3;   // rows the results file did not take
constexpr int kStationRefused = 4;       // a bad argument, an unreadable file, another SHA-256 than /sha256
constexpr int kStationFileChanged = 5;   // the firmware file changed on disk during the run

// The station window (class "CorvaneStation") and its controls.
constexpr wchar_t kStationWindowClass[] = L"CorvaneStation";
enum StationControl {
    IDC_ST_FILE = 2001,   // the firmware file: name, size, layout, SHA-256
    IDC_ST_MODEL,         // the model the file name says
    IDC_ST_STATUS,        // the large status
    IDC_ST_COUNTERS,      // "Passed: 2    Failed: 1    Skipped: 1"
    IDC_ST_RESULTS,       // "Results: <path>"
    IDC_ST_OPEN_FOLDER,   // opens the results file's folder
    IDC_ST_LIST,          // one row per camera (list view, report style)
};

// Starts a station for the program's dialog (created and hidden): reads the
// firmware file and opens the results file. False after a box that says
// why (the program then ends with kStationRefused).
bool StartStation(const station::Arguments& arguments);
// The dialog's window menu: asks for the firmware file, then starts a station
// with the default results file.
void StartStationFromMenu();
bool StationActive();
// What the program returns when its message loop ends.
int StationExitCode();

// Writes a line to the standard error a script gave the program, or to the
// console it was started from; false when there is neither (then the
// caller shows a box).
bool TellTheConsole(const std::wstring& text);

// The default results file: "<local application data>\Corvane\Firmware
// Updater\station-results.csv".
std::wstring DefaultStationResultsPath();
