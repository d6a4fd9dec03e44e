// READ F/W VERSION and RESET for every kind of camera; run on the command thread.
#pragma once

void GetFirmwarVersion();
void ResetSelectedDevice();

// The version read of READ F/W VERSION for list entry `entry`, without a
// box: the text the box would show goes to `text`. True when a version was
// read. On the thread that calls it (which must have COM initialised).
#include <cstddef>
bool ReadCameraVersionText(int entry, wchar_t* text, size_t chars);
