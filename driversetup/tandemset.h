// Tandemset: installs the two USB drivers the updater's update-mode transports
// need (the Cypress CyUSB3 package and WinUSB for the update-mode device) by
// starting the system's driver-package tool and libwdi's installer, one after
// another, from the program's own folder.
#pragma once

#include "os_api.h"

// Width of the process that runs the launcher. The shipped program is 32-bit and
// learns the width of Windows from WOW64; a 64-bit build can only run on 64-bit
// Windows. Tests pass the width so that both builds' decisions run on one machine.
enum class ProcessWidth { Bits32, Bits64 };

constexpr ProcessWidth kThisProcessWidth = sizeof(void*) == 8 ? ProcessWidth::Bits64 : ProcessWidth::Bits32;

// The whole program: picks the driver package for the running Windows version
// and width, starts the package tool and the two installer runs, and waits for
// each. Returns the exit code, which is always 0.
int RunTandemset(const OsApi& os, ProcessWidth width = kThisProcessWidth);
