#include "usb_requests.h"

#include "debug_print.h"
#include "os_api.h"

namespace {

constexpr uint8_t kVendorOut = 0x40;  // vendor request, host to device, to the device
constexpr uint8_t kVendorIn = 0xC0;   // vendor request, device to host

bool InterfaceIsInvalid(CameraUpdate& u) { return u.hWinUsbInterface.load() == INVALID_HANDLE_VALUE; }

// One control transfer on the update-mode device. Returns the call's result
// and the byte count it reported.
BOOL Transfer(CameraUpdate& u, uint8_t type, uint8_t request, uint16_t value, uint16_t index, uint8_t* data, uint16_t length,
              ULONG* transferred) {
    WINUSB_SETUP_PACKET setup;
    setup.RequestType = type;
    setup.Request = request;
    setup.Value = value;
    setup.Index = index;
    setup.Length = length;
    *transferred = 0;
    return Os().WinUsb_ControlTransfer(u.hWinUsbInterface.load(), setup, data, length, transferred, nullptr);
}

int ReadStatusRecord(CameraUpdate& u, uint8_t request, DfuStatus* status) {
    if (InterfaceIsInvalid(u)) return 0;
    ULONG transferred = 0;
    BOOL ok = Transfer(u, kVendorIn, request, 0, 0, reinterpret_cast<uint8_t*>(status), sizeof(DfuStatus), &transferred);
    return ok && transferred == sizeof(DfuStatus) ? 1 : 0;
}

int SendNoData(CameraUpdate& u, uint8_t request) {
    if (InterfaceIsInvalid(u)) return 0;
    ULONG transferred = 0;
    return Transfer(u, kVendorOut, request, 1, 0, nullptr, 0, &transferred) ? 1 : 0;
}

}  // namespace

HANDLE Initialize_USBHanlde(CameraUpdate& u, const wchar_t* devicePath) {
    wchar_t path[256];
    lstrcpynW(path, devicePath, 256);  // cut to 255 units and terminated
    HANDLE h = Os().CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    DebugPrint(1, L"Initialize_USBHanlde:: CreateFile GetLastError() = %d\r\n", static_cast<int>(GetLastError()));
    if (h == INVALID_HANDLE_VALUE || h == nullptr) return nullptr;
    u.hOpenedDeviceFile = h;
    return h;
}

int InitializeDevice(CameraUpdate& u, const wchar_t* devicePath) {
    u.hWinUsbInterface = nullptr;
    if (u.hWinUsbDeviceFile.load() == nullptr) {
        HANDLE h = Initialize_USBHanlde(u, devicePath);
        if (h == nullptr) return 0;
        u.hWinUsbDeviceFile = h;
    }
    WINUSB_INTERFACE_HANDLE iface = nullptr;
    if (Os().WinUsb_Initialize(u.hWinUsbDeviceFile.load(), &iface)) {
        DebugLine(L"InitializeDevice :: WinUsb_Initialize success\r\n");
        u.hWinUsbInterface = iface;
        return 1;
    }
    DebugPrint(1, L"InitializeDevice GetLastError() = %d\r\n", static_cast<int>(GetLastError()));
    return 0;
}

void ReleaseUpdateModeDevice(CameraUpdate& u) {
    WINUSB_INTERFACE_HANDLE iface = u.hWinUsbInterface.exchange(nullptr);
    if (iface != nullptr) Os().WinUsb_Free(iface);
    HANDLE file = u.hWinUsbDeviceFile.exchange(nullptr);
    if (file != nullptr) Os().CloseHandle(file);
}

int Getstatus(CameraUpdate& u, DfuStatus* status) {
    if (InterfaceIsInvalid(u)) {
        DebugLine(L"dodownload::GetStatus:: Invalid Handle ++\n");
        return 0;
    }
    ULONG transferred = 0;
    if (!Transfer(u, kVendorIn, DFU_REQ_GETSTATUS, 0, 0, reinterpret_cast<uint8_t*>(status), sizeof(DfuStatus),
                  &transferred)) {
        DebugPrint(1, L"dodownload::Getstatus:: WinUsb_ControlTransfer GetLastError() = %d\r\n",
                   static_cast<int>(GetLastError()));
        DebugLine(L"dodownload::Getstatus:: WinUsb_ControlTransfer ++\n");
        return 0;
    }
    if (transferred != sizeof(DfuStatus)) return 0;
    Os().Sleep(20);
    return 1;
}

int SendData(CameraUpdate& u, const uint8_t* buffer, uint32_t n) {
    if (InterfaceIsInvalid(u)) {
        DebugLine(L"dodownload::SendData:: Invalid Handle ++\n");
        return 0;
    }
    ULONG transferred = 0;
    if (!Transfer(u, kVendorOut, DFU_REQ_DNLOAD, 1, 0, const_cast<uint8_t*>(buffer), static_cast<uint16_t>(n),
                  &transferred)) {
        DebugPrint(1, L"dodownload::SendData:: WinUsb_ControlTransfer GetLastError() = %d\r\n",
                   static_cast<int>(GetLastError()));
        return 0;
    }
    if (transferred != n) {
        DebugLine(L"dodownload::SendData:: count not equal to number of bytes written ++\n");
        return 0;
    }
    return 1;
}

int SendZeroLengthPkt(CameraUpdate& u) {
    if (InterfaceIsInvalid(u)) {
        DebugLine(L"SendZeroLengthPkt:: Invalid Handle ++\n");
        return 0;
    }
    ULONG transferred = 0;
    if (!Transfer(u, kVendorOut, DFU_REQ_DNLOAD, 1, 0, nullptr, 0, &transferred)) {
        DebugLine(L"SendZeroLengthPkt::WinUsb_ControlTransfer Failed \r\n");
        return 0;
    }
    return transferred == 0 ? 1 : 0;
}

int SendDataMCUData(CameraUpdate& u, uint32_t n) {
    if (InterfaceIsInvalid(u)) {
        DebugLine(L"dodownload::SendDataMCUData:: Invalid Handle ++\n");
        return 0;
    }
    if (n > kTransferBlock) return 0;
    ULONG transferred = 0;
    if (!Transfer(u, kVendorOut, DFU_REQ_MCU_DATA, 1, 0, u.byTransferBuffer, static_cast<uint16_t>(n), &transferred)) {
        DebugPrint(1, L"dodownload::SendDataMCUData:: WinUsb_ControlTransfer GetLastError() = %d\r\n",
                   static_cast<int>(GetLastError()));
        return 0;
    }
    if (transferred != n) {
        DebugLine(L"dodownload::SendDataMCUData:: count not equal to number of bytes written ++\n");
        return 0;
    }
    Os().Sleep(50);
    return 1;
}

int SendDataFPGAData(CameraUpdate& u, uint32_t n) {
    if (InterfaceIsInvalid(u) || n > kTransferBlock) return 0;
    ULONG transferred = 0;
    if (!Transfer(u, kVendorOut, DFU_REQ_FPGA_DATA, 1, 0, u.byTransferBuffer, static_cast<uint16_t>(n),
                  &transferred)) {
        DebugPrint(1, L"dodownload::SendDataFPGAData:: WinUsb_ControlTransfer GetLastError() = %d\r\n",
                   static_cast<int>(GetLastError()));
        return 0;
    }
    if (transferred != n) {
        DebugLine(L"dodownload::SendDataFPGAData:: count not equal to number of bytes written ++\n");
        return 0;
    }
    return 1;
}

int EraseCombinedImage(CameraUpdate& u) {
    DebugLine(L"EraseCombinedImage ++\n");
    if (InterfaceIsInvalid(u)) {
        DebugLine(L"EraseCombinedImage winUSBHandle NULL\n");
        return 0;
    }
    ULONG transferred = 0;
    if (!Transfer(u, kVendorOut, DFU_REQ_ERASE_COMBINED, 1, 0, nullptr, 0, &transferred)) {
        DebugPrint(1, L"EraseCombinedImage:: WinUsb_ControlTransfer failed %d\r\n", static_cast<int>(GetLastError()));
        return 0;
    }
    Os().Sleep(50);
    DebugLine(L"EraseCombinedImage --\n");
    return 1;
}

int SendCommand(CameraUpdate& u, uint8_t request) {
    if (InterfaceIsInvalid(u)) {
        DebugLine(L"SendCommand:: Invalid Handle ++\n");
        return 0;
    }
    ULONG transferred = 0;
    return Transfer(u, kVendorOut, request, 1, 0, nullptr, 0, &transferred) && transferred == 0 ? 1 : 0;
}

int SendDeviceResetCommand(CameraUpdate& u) {
    if (InterfaceIsInvalid(u)) {
        DebugLine(L"SendDeviceResetCommand:: Invalid Handle ++\n");
        return 0;
    }
    ULONG transferred = 0;
    if (!Transfer(u, kVendorOut, DFU_REQ_RESET, 1, 4, nullptr, 0, &transferred)) {
        DebugPrint(1, L"SendDeviceResetCommand WinUsb_ControlTransfer GetLastError() = %d\r\n",
                   static_cast<int>(GetLastError()));
        return 0;
    }
    return transferred == 0 ? 1 : 0;
}

int SendDataMCUVerifyFlashRequest(CameraUpdate& u) { return SendNoData(u, DFU_REQ_MCU_VERIFY); }
int GetMCUVerifyStatus(CameraUpdate& u, DfuStatus* status) { return ReadStatusRecord(u, DFU_REQ_MCU_VERIFY_STATUS, status); }
int SendDataFGPAVerifyFlashRequest(CameraUpdate& u) { return SendNoData(u, DFU_REQ_FPGA_VERIFY); }
int GetFPGAVerifyStatus(CameraUpdate& u, DfuStatus* status) { return ReadStatusRecord(u, DFU_REQ_FPGA_VERIFY_STATUS, status); }
