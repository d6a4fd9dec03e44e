// The device list of the main dialog, rebuilt from the device table; the
// rebuild also serves the boot loaders it finds (their downloads start here).
#pragma once

// Rebuilds the list from the table, starting the boot-loader downloads of
// Cypress and NXP boot-loader entries.
void AddDeviceNameInCombbox();
// The same without the Cypress branch.
void AddDeviceNameInCombboxNXP();
void RemoveDeviceNameInCombbox();
