// Which USB device a listed interface path belongs to: the device's serial
// (the last part of its instance ID) and the port Windows says it is plugged
// into, found through the device tree.
#pragma once

#include <string>

struct Identity {
    std::wstring serial;  // the USB device's serial (its instance ID's last part)
    std::wstring port;    // where Windows says it is plugged ("Port_#0002.Hub_#0003")
};

// The USB device (not one of its functions) that a listed path belongs to.
// A path that is not found in the tree gives the serial its own name carries
// (an update-mode device's), and no port.
Identity IdentifyPath(const wchar_t* path);
