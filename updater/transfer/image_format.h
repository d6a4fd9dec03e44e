// The firmware file container and the MCU packet rule, as pure functions over
// a byte buffer: no I/O, no allocation, no process-wide state. The updater's
// file reader cuts its sections with these, and the fuzzers feed them
// arbitrary bytes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fwimage {

constexpr size_t kNotFound = static_cast<size_t>(-1);

// Position of the first occurrence of the zero-terminated marker that starts
// among the first `count` bytes of buf and lies wholly inside buf[0..size).
size_t FindMarker(const uint8_t* buf, size_t size, const char* marker, size_t count);

enum class Layout { Fpga, Mcu, TwoPart, Plain };

enum class ParseStatus {
    Ok,
    NoSecondImage,       // two-part layout with only one "orviIMG"
    NoImageSection,      // FPGA or MCU layout without an "orviIMG" section
    SectionOutsideFile,  // a length field or its data runs past the end of the file
    NoImageTypeByte,     // the first "orviIMG" of a two-part file stands at offset 0
    McuLineTooLong,      // an MCU line of 1024 bytes or more cannot form a packet
    FileTooLarge,        // the file does not fit the 32-bit lengths of the sections
    EmptySection,        // nothing to write: an empty file, sections that are all empty, or MCU
                         // data without a complete line
};

struct Section {
    bool present = false;
    uint32_t offset = 0;  // into the parsed buffer
    uint32_t size = 0;
};

struct ParsedImage {
    Layout layout = Layout::Plain;
    Section part1;  // MCU data, FPGA data, or the first image of a two-part file
    Section part2;  // IMG data, the later image of a two-part file, or the whole plain file
    bool hasImageType = false;  // the FPGA and MCU layouts leave the type alone
    uint8_t imageType = 0;
    bool combinedImage = false;
    bool fpgaFirmware = false;
    bool mcuFirmware = false;
    uint32_t mcuPacketCount = 0;  // MCU layout only
};

// Classifies and cuts a whole firmware file. On failure `out` still tells the
// layout that was chosen and the flags set before the failure.
ParseStatus ParseFirmwareImage(const uint8_t* data, size_t size, ParsedImage* out);

// Length of the MCU packet that starts at `start`: whole lines only, fewer
// than 1024 bytes. 0 when no complete line is left (bytes after the last line
// feed are never sent). *lineTooLong is set when a line of 1024 bytes or more
// stands at `start`.
uint32_t NextMcuPacket(const uint8_t* data, uint32_t size, uint32_t start, bool* lineTooLong);

// Number of packets the MCU data divides into; *lineTooLong as above.
uint32_t CountMcuPackets(const uint8_t* data, uint32_t size, bool* lineTooLong);

// Blocks of a section sent in 1024-byte blocks: ceil(size / 1024).
inline uint32_t BlockCount(uint32_t size) { return size / 1024u + ((size % 1024u) != 0u ? 1u : 0u); }

}  // namespace fwimage
