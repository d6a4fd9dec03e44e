// Helpers of the library tests against the simulated cameras: a fixture with
// a fresh world at a hundredth of real time, writable argument strings, and
// byte comparisons that print both sides in hex.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "KivoFWSW.h"
#include "camera_plug.h"
#include "com_video_devices.h"
#include "debug_capture.h"
#include "sim_world.h"

using Bytes = std::vector<BYTE>;
using Lines = std::vector<std::wstring>;

// Set before a call so that a call that forgets to set the last error shows.
constexpr DWORD kMarker = 0x0BADF00D;

// A caller's writable string buffer of MAX_PATH characters.
struct Arg {
    wchar_t buf[MAX_PATH];
    explicit Arg(const std::wstring& s);
    std::wstring str() const { return buf; }
};

std::string Hex(const Bytes& bytes);
std::wstring Upper(std::wstring s);

// A 65-byte command report: report ID 0, the command, its parameter.
Bytes Command(BYTE code, BYTE parameter = 0);

// Compares bytes and prints both in hex when they differ.
::testing::AssertionResult SameBytes(const Bytes& expected, const Bytes& got);

// Simulated time since the fixture started.
ULONGLONG SimElapsedMs();

// Simulated time runs this much faster than real time: a 5-second reply wait
// takes 250 ms, long enough for a reply under a loaded machine. Tests that
// wait out many time-outs go ten times faster still (kFastTimeScale).
constexpr double kTimeScale = 0.05;
constexpr double kFastTimeScale = 0.005;

// Every test: a fresh world running on kTimeScale,
// the COM objects of the video devices served, debugger lines captured; the
// library's bindings released at the end.
class CameraTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
};

// The lines this thread wrote that contain part.
Lines LinesWith(const std::wstring& part);
// True when the captured lines contain these lines one after another.
bool ContainsRun(const Lines& lines, const Lines& run);
std::string Show(const Lines& lines);
