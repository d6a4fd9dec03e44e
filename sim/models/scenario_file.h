// Worlds described in a text file, so that the simulated updater program can
// be started against cameras without code: CORVANE_SIM_SCENARIO names the
// file, and the world is built the first time the program asks for the OS
// table. One statement per line, "#" starts a comment, values without blanks
// (a camera without a name takes its kind's own):
//
//   camera kind=hid serial=SN12345678AB name=Corvane_RX20 ports=3,2 runs=2
//   camera kind=tessa serial=TS12345678AB ports=2
//   update-mode-device pid=DF01 serial=SN00000001 ports=4
//   open-file path=C:\firmware\Corvane_RX20_fw.img
//   message-box answer=yes
//
// Camera kinds: hid, stereo (update mode and back, with the version the new
// image carries), cx3, tessa (update mode as DF01; after the update it leaves
// the bus), r7, v9, sunplus. `runs` is the number of downloads before a HID
// camera or a Tessa leaves update mode (2 for a two-part image, 1 otherwise).
#pragma once

#include "sim_world.h"

#include <string>
#include <vector>

namespace sim {

// Builds the world a scenario text describes; returns the statements it did
// not understand (each also written to the debugger output).
CORVANE_SIM_API std::vector<std::wstring> LoadScenario(const std::wstring& text);
// Loads the file that CORVANE_SIM_SCENARIO names, if any.
void LoadScenarioFromEnvironment();

}  // namespace sim
