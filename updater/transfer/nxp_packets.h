// Framing of the reports that carry the NXP RT1060 downloads over HID, as
// pure functions over byte buffers (no I/O, no process-wide state):
//
// - the ROM's serial download reports (1025 bytes; report 1 a command with
//   big-endian fields, report 2 up to 1024 data bytes);
// - the flash loader's packets (1016 bytes; report 1 a command packet with
//   little-endian 32-bit parameters, report 2 a data packet of up to 1012
//   image bytes).
#pragma once

#include <cstddef>
#include <cstdint>

namespace nxp {

constexpr uint32_t kRomReportBytes = 1025;
constexpr uint32_t kRomDataBytes = 1024;
constexpr uint32_t kLoaderReportBytes = 1016;
constexpr uint32_t kLoaderDataBytes = 1012;
constexpr uint32_t kLoaderMaxParameters = (kLoaderReportBytes - 8) / 4;

constexpr uint8_t kReportCommand = 1;
constexpr uint8_t kReportData = 2;

// ROM command types.
constexpr uint16_t kRomErrorStatus = 0x0505;
constexpr uint16_t kRomWriteFile = 0x0404;
constexpr uint16_t kRomJumpAddress = 0x0B0B;

// Flash-loader command tags.
constexpr uint8_t kTagFlashEraseRegion = 0x02;
constexpr uint8_t kTagWriteMemory = 0x04;
constexpr uint8_t kTagFillMemory = 0x05;
constexpr uint8_t kTagGetProperty = 0x07;
constexpr uint8_t kTagSetProperty = 0x0C;
constexpr uint8_t kTagConfigureMemory = 0x11;
constexpr uint8_t kFlagDataPhase = 0x01;

// Number of pieces of `piece` bytes that `size` bytes divide into, the last
// one holding the remainder.
inline uint32_t PieceCount(uint32_t size, uint32_t piece) { return size / piece + (size % piece != 0 ? 1u : 0u); }
// Length of piece `i` (0 past the end).
inline uint32_t PieceLength(uint32_t size, uint32_t piece, uint32_t i) {
    if (i >= PieceCount(size, piece)) return 0;
    const uint32_t rest = size - i * piece;
    return rest < piece ? rest : piece;
}

// A ROM command in a zeroed report of kRomReportBytes.
void BuildRomCommand(uint8_t* report, uint16_t type, uint32_t address, uint8_t format, uint32_t count,
                     uint32_t data);
// ROM data report i of a file: report 2 and the piece's bytes from offset 1,
// zeros after them. Returns the piece's length (0 past the end: nothing built).
uint32_t BuildRomData(uint8_t* report, const uint8_t* file, uint32_t size, uint32_t i);

// A flash-loader command packet in a zeroed report of kLoaderReportBytes: the
// packet length is 4 + 4 x count. False (nothing built) for more parameters
// than a report holds.
bool BuildLoaderCommand(uint8_t* report, uint8_t tag, uint8_t flags, const uint32_t* parameters, uint32_t count);
// Flash-loader data packet i of an image: report 2, length n, n image bytes
// from offset 4, zeros after them. Returns n (0 past the end: nothing built).
uint32_t BuildLoaderData(uint8_t* report, const uint8_t* image, uint32_t size, uint32_t i);

// Field readers for the receiving side (the simulated devices and tests).
uint16_t Be16(const uint8_t* p);
uint32_t Be32(const uint8_t* p);
uint16_t Le16(const uint8_t* p);
uint32_t Le32(const uint8_t* p);

}  // namespace nxp
