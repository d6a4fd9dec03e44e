// Selecting the updated camera again once it is back in normal mode, and the
// file's camera after the list was rebuilt.
#pragma once

// Finds the camera of the dialog's update by its unique ID and selects it.
// 1 when found.
int MatchUniqueIDForUpdatedDeviceHID();
// After a list rebuild: the camera that MatchUniqueIDForUpdatedDeviceHID
// found again after its update stays selected (the other interface of the
// same camera arrives, or another device comes or goes, and the rebuild
// selects the first entry), until the operator chooses a device or a file.
// True when it is listed and selected.
bool FollowUpdatedCamera();
void ForgetUpdatedCamera();
// Selects the first listed device that was there when the update started.
int MatchUniqueIDForUpdatedDeviceDFU();
// The device the chosen file belongs to is selected again, or the file is
// dropped (1 when it is still listed).
int UpdateDeviceRemoved();
