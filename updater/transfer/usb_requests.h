// Control requests of the update-mode device (DFU request numbers and status
// record, sent as vendor requests through WinUSB on endpoint 0).
#pragma once

#include <windows.h>

#include <cstdint>

#include "camera_update.h"

// DFU 1.1 GETSTATUS record.
struct DfuStatus {
    uint8_t bStatus;
    uint8_t bwPollTimeout[3];
    uint8_t bState;
    uint8_t iString;
};
static_assert(sizeof(DfuStatus) == 6, "the status record is 6 bytes on the wire");

// Device states the updater acts on.
constexpr uint8_t DFU_STATE_APP_IDLE = 0;
constexpr uint8_t DFU_STATE_IDLE = 2;
constexpr uint8_t DFU_STATE_DNLOAD_IDLE = 5;
constexpr uint8_t DFU_STATE_MANIFEST_SYNC = 6;
constexpr uint8_t DFU_STATE_ERROR = 10;
constexpr uint8_t DFU_STATE_MCU_VERIFIED = 13;
constexpr uint8_t DFU_STATE_FPGA_VERIFIED = 17;

// Requests.
constexpr uint8_t DFU_REQ_DETACH = 0x00;
constexpr uint8_t DFU_REQ_DNLOAD = 0x01;
constexpr uint8_t DFU_REQ_GETSTATUS = 0x03;
constexpr uint8_t DFU_REQ_CLRSTATUS = 0x04;
constexpr uint8_t DFU_REQ_ABORT = 0x06;
constexpr uint8_t DFU_REQ_MCU_DATA = 0x0B;
constexpr uint8_t DFU_REQ_MCU_VERIFY = 0x0C;
constexpr uint8_t DFU_REQ_MCU_VERIFY_STATUS = 0x0D;
constexpr uint8_t DFU_REQ_ERASE_COMBINED = 0x0E;
constexpr uint8_t DFU_REQ_FPGA_DATA = 0x0F;
constexpr uint8_t DFU_REQ_FPGA_VERIFY = 0x10;
constexpr uint8_t DFU_REQ_FPGA_VERIFY_STATUS = 0x11;
constexpr uint8_t DFU_REQ_RESET = 0x32;

// Each request goes to the update's update-mode device (its WinUSB
// interface); the MCU and FPGA data go from its first transfer buffer.

HANDLE Initialize_USBHanlde(CameraUpdate& u, const wchar_t* devicePath);
int InitializeDevice(CameraUpdate& u, const wchar_t* devicePath);
// Frees the WinUSB interface and closes the device file, if open.
void ReleaseUpdateModeDevice(CameraUpdate& u);

int Getstatus(CameraUpdate& u, DfuStatus* status);
int SendData(CameraUpdate& u, const uint8_t* buffer, uint32_t n);
int SendZeroLengthPkt(CameraUpdate& u);
int SendDataMCUData(CameraUpdate& u, uint32_t n);
int SendDataFPGAData(CameraUpdate& u, uint32_t n);
int EraseCombinedImage(CameraUpdate& u);
int SendCommand(CameraUpdate& u, uint8_t request);
int SendDeviceResetCommand(CameraUpdate& u);
int SendDataMCUVerifyFlashRequest(CameraUpdate& u);
int GetMCUVerifyStatus(CameraUpdate& u, DfuStatus* status);
int SendDataFGPAVerifyFlashRequest(CameraUpdate& u);
int GetFPGAVerifyStatus(CameraUpdate& u, DfuStatus* status);
