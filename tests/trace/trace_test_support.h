// Helpers of the trace tests: tracing this process to a temporary file, a
// scripted device that answers every kind of exchange, and setup packets.
#pragma once

#include "json_lines.h"
#include "replay_device.h"
#include "sim_world.h"

#include <gtest/gtest.h>

#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace tracetest {

using Bytes = std::vector<BYTE>;

// Set before a call so that a call that loses the last error shows.
constexpr DWORD kMarker = 0x0BADF00D;
constexpr DWORD kShare = FILE_SHARE_READ | FILE_SHARE_WRITE;

// Turns tracing on for this process: names a fresh temporary file in
// CORVANE_TRACE, then makes the module's first Os() call. Each test case runs
// in a process of its own, so this is the first call; a test run some other
// way fails here rather than later. The file is removed at the end unless
// the test failed (its path is then printed).
class TracedProcess {
public:
    TracedProcess();
    ~TracedProcess();
    const std::wstring& path() const { return path_; }
    // The trace so far, every line checked; a line that is not a valid
    // record fails the test.
    jsonl::Trace Read() const;

private:
    std::wstring path_;
};

WINUSB_SETUP_PACKET Packet(UCHAR type, UCHAR request, USHORT value, USHORT index, USHORT length);

// A device for every kind of exchange. Control transfers: request 0x7F
// stalls, IN requests answer {request, value, 0xA5, 0x5A, index, length}
// cut to the length, OUT requests take all bytes. Reads and I/O control
// requests are held until the test answers them (Answer*), unless replies
// are queued; an I/O control request answers its input with every byte
// inverted. Writes take all bytes. Input reports answer byte i = ID + i;
// output reports are kept.
class ScriptedDevice : public sim::DeviceModel {
public:
    void ControlTransfer(const sim::IoRequestPtr& r) override;
    void Read(const sim::IoRequestPtr& r) override;
    void Write(const sim::IoRequestPtr& r) override;
    void DeviceIoControl(const sim::IoRequestPtr& r) override;
    DWORD GetInputReport(const sim::OpenContext& c, BYTE* report, ULONG length) override;
    DWORD SetOutputReport(const sim::OpenContext& c, const BYTE* report, ULONG length) override;

    // Completes the oldest held request (a read with `reply`, an I/O
    // control request with its inverted input); false when none is held.
    bool AnswerHeld(const Bytes& reply = Bytes());
    static Bytes ControlReply(const WINUSB_SETUP_PACKET& s);
    static Bytes Inverted(const Bytes& b);

    std::mutex mu;
    std::deque<Bytes> readReplies;  // answered at once while not empty
    std::deque<sim::IoRequestPtr> held;
    std::vector<Bytes> outputReports;
};

// Every DNLOAD data stage (request 0x01, OUT, length > 0) a replay received,
// one vector per download session (a zero-length DNLOAD ends a session).
std::vector<Bytes> DownloadSessions(const std::vector<sim::ReplayRequest>& requests);

}  // namespace tracetest
