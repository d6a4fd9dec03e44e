#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "boot_loaders.h"
#include "camera_update.h"
#include "debug_print.h"
#include "fx3_boot_image.h"
#include "image_file.h"
#include "os_api.h"

namespace {

// The boot loader a running download writes to (set on its own thread, for
// the whole download, even when its open failed).
thread_local bool t_inLoaderDownload = false;
thread_local HANDLE t_loaderDevice = nullptr;

// How long a cancelled request may take to come back from the driver: the
// cyusb3 driver completes a cancelled control transfer at once.
constexpr DWORD kCancelSettleMs = 1000;

// A request in flight: the driver writes into the record and the OVERLAPPED
// until it completes, so both live on the heap and are given up, not freed,
// when the driver never hands the request back.
struct InFlight {
    OVERLAPPED ov{};
    std::vector<uint8_t> record;
};

// Issues the record and waits for it, bounded. The device file may have been
// opened for overlapped I/O (it always is by Initialize_USBHanlde), so the
// request carries an OVERLAPPED of its own.
BOOL IssueRecord(HANDLE device, const uint8_t* record, DWORD size, DWORD* error) {
    auto* request = new (std::nothrow) InFlight;
    if (request == nullptr) {
        *error = ERROR_NOT_ENOUGH_MEMORY;
        return FALSE;
    }
    request->record.assign(record, record + size);
    request->ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (request->ov.hEvent == nullptr) {
        *error = GetLastError();
        delete request;
        return FALSE;
    }
    DWORD returned = 0;
    uint8_t* buffer = request->record.data();
    BOOL ok = Os().DeviceIoControl(device, fx3boot::kIoctlControlTransfer, buffer, size, buffer, size, &returned,
                                   &request->ov);
    *error = GetLastError();
    if (!ok && *error == ERROR_IO_PENDING) {
        if (Os().WaitForSingleObject(request->ov.hEvent, kXferWaitMs) == WAIT_OBJECT_0) {
            ok = Os().GetOverlappedResult(device, &request->ov, &returned, FALSE);
            *error = ok ? ERROR_SUCCESS : GetLastError();
        } else {
            // The driver kept the request: take it back before the record
            // and the OVERLAPPED go away.
            Os().CancelIo(device);
            ok = FALSE;
            *error = ERROR_TIMEOUT;
            if (Os().WaitForSingleObject(request->ov.hEvent, kCancelSettleMs) != WAIT_OBJECT_0) {
                DebugLine(L"XferData:: the cancelled request has not come back from the driver\r\n");
                return FALSE;  // the request stays the driver's
            }
            Os().GetOverlappedResult(device, &request->ov, &returned, FALSE);
        }
    }
    CloseHandle(request->ov.hEvent);
    delete request;
    return ok;
}

// The device file the list rebuild opened for this download: closed once the
// download is over (the chip leaves the bus anyway), unless it has since been
// taken over as the update-mode device's file.
void CloseBootLoaderFile(CameraUpdate& u, HANDLE device) {
    if (device == nullptr || device == u.hWinUsbDeviceFile.load()) return;
    HANDLE expected = device;
    if (u.hOpenedDeviceFile.compare_exchange_strong(expected, nullptr)) Os().CloseHandle(device);
}

DWORD RunCypressDownload(CameraUpdate& u) {
    uint8_t* chunk = new (std::nothrow) uint8_t[fx3boot::kChunkBytes];
    if (chunk == nullptr) {
        DebugLine(L"Memory Aloocation FAiled..\r\n");
        return 0;
    }
    std::unique_ptr<uint8_t[]> chunkOwner(chunk);
    const uint8_t* image = u.pLoaderFileData;
    const uint32_t size = u.dwLoaderFileSize;
    if (image == nullptr || size == 0) {
        DebugLine(L"DoDownloadCypress :: no boot image loaded\r\n");
        return 0;
    }
    // The whole image is checked before anything goes out: a damaged image
    // must not leave a half-written program in the chip.
    uint32_t entry = 0, chunks = 0;
    const fx3boot::Step check = fx3boot::CheckImage(image, size, &entry, &chunks);
    if (check != fx3boot::Step::Start) {
        DebugPrint(1, check == fx3boot::Step::NoSignature
                          ? L"DoDownloadCypress :: boot image does not begin with CY\r\n"
                          : L"DoDownloadCypress :: boot image section runs past the end of the file\r\n");
        return 0;
    }
    if (u.hOpenedDeviceFile.load() == nullptr) {
        DebugLine(L"DoDownloadCypress :: boot loader is not open\r\n");
        return 0;
    }

    fx3boot::Cursor cursor;
    fx3boot::Chunk k;
    for (;;) {
        const fx3boot::Step s = fx3boot::NextStep(image, size, &cursor, &k);
        if (s == fx3boot::Step::Start) break;
        if (s != fx3boot::Step::Chunk) return 0;  // cannot happen after the check; never send past the end
        memcpy(chunk, image + k.offset, k.length);
        if (!DownloadBufferToDevice(u, chunk, k.length, k.address)) return 0;
    }
    // The chip runs its program from here; whether it answers is not judged.
    DownloadBufferToDevice(u, chunk, 0, k.address);
    return 1;
}

}  // namespace

int XferData(CameraUpdate& u, const WINUSB_SETUP_PACKET& setup, const uint8_t* data, uint16_t n) {
    if (data == nullptr) return 0;
    try {
        const DWORD size = fx3boot::kRecordHead + n;
        std::vector<uint8_t> record(size);
        fx3boot::BuildRecord(setup.RequestType, setup.Request, setup.Value, setup.Index, data, n, record.data());
        DWORD error = ERROR_SUCCESS;
        const BOOL ok = IssueRecord(t_inLoaderDownload ? t_loaderDevice : u.hOpenedDeviceFile.load(),
                                    record.data(), size, &error);
        DebugPrint(1, L"\n XferData:: DeviceIoControl  GetLastError() = %d %d\r\n", static_cast<int>(error),
                   static_cast<int>(size));
        if (!ok) {
            DebugLine(L"XferData:: DeviceIoControl:: count not equal to zero  ++\n");
            return 0;
        }
        return 1;
    } catch (const std::bad_alloc&) {
        DebugLine(L"Exception SendData...\r\n");
        return 0;
    }
}

int DownloadBufferToDevice(CameraUpdate& u, const uint8_t* data, uint32_t n, uint32_t address) {
    try {
        if (n > 0xFFFF) return 0;  // the request's length field
        WINUSB_SETUP_PACKET setup;
        setup.RequestType = fx3boot::kRequestTypeVendorOut;
        setup.Request = fx3boot::kRequestMemoryWrite;
        setup.Value = fx3boot::AddressValue(address);
        setup.Index = fx3boot::AddressIndex(address);
        setup.Length = static_cast<USHORT>(n);
        if (!XferData(u, setup, data, static_cast<uint16_t>(n))) {
            DebugLine(L"XferData:: DeviceIoControl:: Failed \r\n");
            return 0;
        }
        return 1;
    } catch (...) {
        DebugLine(L"Exception DownloadBufferToDevice...\r\n");
        return 0;
    }
}

DWORD WINAPI DoDownloadCypress(LPVOID parameter) {
    CameraUpdate& u = *static_cast<CameraUpdate*>(parameter);
    DebugLine(L"DoDownloadCypress ++\r\n");
    u.SetPhase(UpdatePhase::WritingLoader);
    u.bLoaderDownloadActive = true;
    const HANDLE device = u.hOpenedDeviceFile.load();
    // The whole download goes to the boot loader opened for it, even if an
    // arrival meanwhile opens another device into the shared handle.
    t_loaderDevice = device;
    t_inLoaderDownload = true;
    DWORD result = 0;
    try {
        result = RunCypressDownload(u);
        // The chip runs the boot image now and leaves the bus.
        if (result) u.bBootLoaderStarted = true;
    } catch (...) {
        DebugLine(L"Exception DoDownloadCypress...\r\n");
        result = 0;
    }
    // Every ending frees the boot image and lets the next boot loader that
    // arrives be served: a failed download must not block the device list.
    ReleaseLoaderImage(u);
    t_inLoaderDownload = false;
    t_loaderDevice = nullptr;
    CloseBootLoaderFile(u, device);
    u.bLoaderDownloadActive = false;
    // An update under way now waits for what the chip starts next.
    u.WaitGoesOn();
    if (result) DebugLine(L"DoDownloadCypress --\r\n");
    return result;
}
