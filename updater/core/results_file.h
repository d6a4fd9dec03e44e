// Writing result rows (station_record.h) to a CSV file: the station's
// results and the dialog's update history.
#pragma once

#include <string>
#include <vector>

#include "station_record.h"

// Appends rows to the file at path, with the header first when the file is
// new or empty, and flushes them to the disk. A file of an earlier version
// (its header has fewer columns) takes the rows with its own columns. False
// when the file cannot be opened or written (another program locked it, the
// disk is full): then none of rows is taken as written.
bool AppendResultRows(const std::wstring& path, const std::vector<station::Row>& rows);

// Now as local time with its UTC offset ("2026-12-08T14:03:09+01:00").
std::string NowIsoText();
// This computer's name (UTF-8), empty when Windows does not say.
std::string ComputerNameText();

// The folder of the program's files in the user's local application data
// ("%LOCALAPPDATA%\\Corvane\\Firmware Updater"): the station's results and the
// dialog's history.
std::wstring ProgramDataFolder();
// Creates the folder that path is in, with its parents, when it is missing.
// False when it cannot be made.
bool EnsureFolderOf(const std::wstring& path);
