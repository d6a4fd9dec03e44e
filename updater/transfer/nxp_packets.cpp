#include "nxp_packets.h"

#include <cstring>

namespace nxp {

namespace {

void PutBe16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

void PutBe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

void PutLe16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void PutLe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace

uint16_t Be16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
uint32_t Be32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 |
           static_cast<uint32_t>(p[3]);
}
uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t Le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

void BuildRomCommand(uint8_t* report, uint16_t type, uint32_t address, uint8_t format, uint32_t count,
                     uint32_t data) {
    std::memset(report, 0, kRomReportBytes);
    report[0] = kReportCommand;
    PutBe16(report + 1, type);
    PutBe32(report + 3, address);
    report[7] = format;
    PutBe32(report + 8, count);
    PutBe32(report + 12, data);
    report[16] = 0;
}

uint32_t BuildRomData(uint8_t* report, const uint8_t* file, uint32_t size, uint32_t i) {
    const uint32_t n = PieceLength(size, kRomDataBytes, i);
    if (n == 0) return 0;
    std::memset(report, 0, kRomReportBytes);
    report[0] = kReportData;
    std::memcpy(report + 1, file + static_cast<size_t>(i) * kRomDataBytes, n);
    return n;
}

bool BuildLoaderCommand(uint8_t* report, uint8_t tag, uint8_t flags, const uint32_t* parameters, uint32_t count) {
    if (count > kLoaderMaxParameters) return false;
    std::memset(report, 0, kLoaderReportBytes);
    report[0] = kReportCommand;
    report[1] = 0;
    PutLe16(report + 2, static_cast<uint16_t>(4 + 4 * count));
    report[4] = tag;
    report[5] = flags;
    report[6] = 0;
    report[7] = static_cast<uint8_t>(count);
    for (uint32_t k = 0; k < count; ++k) PutLe32(report + 8 + 4 * k, parameters[k]);
    return true;
}

uint32_t BuildLoaderData(uint8_t* report, const uint8_t* image, uint32_t size, uint32_t i) {
    const uint32_t n = PieceLength(size, kLoaderDataBytes, i);
    if (n == 0) return 0;
    report[0] = kReportData;
    report[1] = 0;
    PutLe16(report + 2, static_cast<uint16_t>(n));
    std::memcpy(report + 4, image + static_cast<size_t>(i) * kLoaderDataBytes, n);
    std::memset(report + 4 + n, 0, kLoaderReportBytes - 4 - n);
    return n;
}

}  // namespace nxp
