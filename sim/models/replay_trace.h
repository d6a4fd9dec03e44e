// A wire trace read back for one device: the requests it got, in the order
// they were sent, each with the answer it gave, and the times it left the bus
// (and came back) between them.
//
// A trace is what the tracing table writes (os/os_trace.h): one JSON object
// per line. Only the records that name the device path count.
#pragma once

#include "sim_world.h"

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

enum class ExchangeKind { ControlTransfer, Read, Write, DeviceIoControl, GetInputReport, SetOutputReport };

// One request as the code sends it to the device.
struct ReplayRequest {
    ExchangeKind kind = ExchangeKind::ControlTransfer;
    WINUSB_SETUP_PACKET setup{};  // control transfers
    DWORD ioctl = 0;              // DeviceIoControl
    int reportId = -1;            // HID reports
    // Room for the answer: read length, I/O control output size, report
    // length; for OUT data (writes, OUT transfers) the length sent.
    DWORD length = 0;
    std::vector<uint8_t> out;  // OUT data stage, written data, I/O control input, output report
};

// One recorded exchange: the request and the device's answer.
struct RecordedExchange {
    ReplayRequest request;
    size_t line = 0;   // 1-based line of the trace
    double t = 0;      // ms, as recorded
    std::vector<uint8_t> in;  // bytes answered (IN data, read data, I/O control output, input report)
    DWORD count = 0;          // bytes transferred
    // The error the request ended with; ERROR_IO_PENDING: it never ended
    // (still pending when the trace stops, or cancelled).
    DWORD error = ERROR_SUCCESS;
    bool pending = false;      // it went pending and ended later ...
    double pendingMs = 0;      // ... this long after it was sent
};

// The device left the bus after a number of exchanges, and maybe came back.
struct RecordedDeparture {
    size_t afterExchange = 0;
    double t = 0;         // ms, when the removal was recorded
    bool returns = false;
    double absentMs = 0;  // from the removal to the arrival
};

struct DeviceTrace {
    std::wstring path;
    std::vector<RecordedExchange> exchanges;
    std::vector<RecordedDeparture> departures;
    // Recorded requests that never reached the device: those that failed in
    // the host (bad handle or parameter, no access) and those sent while the
    // device was off the bus.
    size_t notDelivered = 0;
};

// Reads the exchanges of one device path (compared without regard to case)
// from a trace's text. False, with a reason naming the line, when a line is
// not a JSON object or a record of the device lacks what it needs.
CORVANE_SIM_API bool ParseDeviceTrace(const std::string& jsonLines, const std::wstring& devicePath, DeviceTrace* out,
                                      std::string* error);
CORVANE_SIM_API bool LoadDeviceTrace(const std::wstring& traceFile, const std::wstring& devicePath, DeviceTrace* out,
                                     std::string* error);

// The table entry that makes a request of this kind ("WinUsb_ControlTransfer").
CORVANE_SIM_API const char* ExchangeCallName(ExchangeKind kind);
// One line about a request: its call and fields, and how many bytes it sends.
CORVANE_SIM_API std::string DescribeRequest(const ReplayRequest& request);

}  // namespace sim
