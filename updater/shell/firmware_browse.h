// Browse: the open-file dialog that chooses the firmware file for the
// dialog's update.
#pragma once

// Shows the open-file dialog and reads the chosen firmware file into image
// parts 1 and 2. 2: cancelled; 0: the file could not be read; 1: read.
int SelectFirmwareFile();
