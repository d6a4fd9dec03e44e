// READ F/W VERSION and RESET for every kind of camera; run on the command thread.
#pragma once

void GetFirmwarVersion();
void ResetSelectedDevice();
