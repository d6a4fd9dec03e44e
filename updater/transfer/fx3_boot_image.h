// The Cypress FX3 boot image ("bootloader.img") and the cyusb3 driver's
// endpoint-0 request record, as pure functions over byte buffers: no I/O, no
// allocation, no process-wide state. The boot-loader download walks the image
// with these, and the fuzzers feed them arbitrary bytes.
//
// Image: "CY", two bytes not read, then sections of (length L in 32-bit
// words, load address A, 4 x L data bytes), all little-endian. A section with
// L = 0 ends the list; its A is the program's entry address.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fx3boot {

// Largest memory write the boot loader takes in one request.
constexpr uint32_t kChunkBytes = 2048;
// The cyusb3 driver's request record: 38 bytes of head, then the data.
constexpr uint32_t kRecordHead = 38;
constexpr uint32_t kIoctlControlTransfer = 0x220020;
// The boot loader's memory-write request (vendor, host to device).
constexpr uint8_t kRequestTypeVendorOut = 0x40;
constexpr uint8_t kRequestMemoryWrite = 0xA0;
// Time-out the record carries, in seconds.
constexpr uint32_t kRecordTimeout = 5;

enum class Step {
    Chunk,               // write `length` bytes from `offset` of the image to `address`
    Start,               // the start request: run the program at `address`
    NoSignature,         // the image does not begin with "CY"
    HeadOutsideFile,     // a section head (or the end of the list) lies past the end of the image
    SectionOutsideFile,  // a section's data runs past the end of the image
    Finished,            // the start request was handed out before
};

struct Chunk {
    uint32_t offset = 0;   // into the image
    uint32_t length = 0;   // 0 for the start request
    uint32_t address = 0;  // target address in the chip
};

// Where a walk stands. A fresh cursor starts before the signature.
struct Cursor {
    size_t offset = 0;        // next byte of the image to read
    uint64_t sectionLeft = 0; // data bytes of the current section not yet handed out
    uint32_t address = 0;     // target address of the next chunk
    bool started = false;     // the signature was checked
    bool finished = false;    // the start request was handed out
};

// The next memory write of the walk. Chunk and Start fill *out; every other
// result leaves it alone and ends the walk. A chunk is handed out only when
// its whole section lies inside the image, so a damaged image never makes
// the walk read outside [data, data + size).
Step NextStep(const uint8_t* data, size_t size, Cursor* cursor, Chunk* out);

// Walks the whole image without sending anything. Step::Start when it is
// sound (then *entry is the entry address and *chunks the number of memory
// writes before the start request), or the step that ended the walk.
Step CheckImage(const uint8_t* data, size_t size, uint32_t* entry, uint32_t* chunks);

// The chip memory write for `address` as the setup packet's fields.
inline uint16_t AddressValue(uint32_t address) { return static_cast<uint16_t>(address & 0xFFFFu); }
inline uint16_t AddressIndex(uint32_t address) { return static_cast<uint16_t>(address >> 16); }

// Fills the driver request record (kRecordHead + n bytes at record, zeroed
// first) for one endpoint-0 request with n data bytes.
void BuildRecord(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index, const uint8_t* data,
                 uint16_t n, uint8_t* record);

}  // namespace fx3boot
