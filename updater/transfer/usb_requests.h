// Control requests of the update-mode device (DFU request numbers and status
// record, sent as vendor requests through WinUSB on endpoint 0).
#pragma once

#include <windows.h>

#include <cstdint>

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

constexpr uint32_t kTransferBlock = 1024;
extern uint8_t g_byTransferBuffer[kTransferBlock];
extern uint8_t g_byTransferBuffer2[kTransferBlock + 1];

HANDLE Initialize_USBHanlde(const wchar_t* devicePath);
int InitializeDevice(const wchar_t* devicePath);
// Frees the WinUSB interface and closes the device file, if open.
void ReleaseUpdateModeDevice();

int Getstatus(DfuStatus* status);
int SendData(const uint8_t* buffer, uint32_t n);
int SendZeroLengthPkt();
int SendDataMCUData(uint32_t n);
int SendDataFPGAData(uint32_t n);
int EraseCombinedImage();
int SendCommand(uint8_t request);
int SendDeviceResetCommand();
int SendDataMCUVerifyFlashRequest();
int GetMCUVerifyStatus(DfuStatus* status);
int SendDataFGPAVerifyFlashRequest();
int GetFPGAVerifyStatus(DfuStatus* status);
