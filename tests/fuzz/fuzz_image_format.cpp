// Arbitrary bytes as a firmware file: the parser must never read outside the
// buffer, and every section and MCU packet it reports must lie inside it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "image_format.h"

static void Check(bool ok) {
    if (!ok) std::abort();
}

static void CheckSection(const fwimage::Section& s, size_t size) {
    if (!s.present) return;
    Check(s.offset <= size && s.size <= size - s.offset);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fwimage::ParsedImage p;
    const fwimage::ParseStatus st = fwimage::ParseFirmwareImage(data, size, &p);
    CheckSection(p.part1, size);
    CheckSection(p.part2, size);
    if (st != fwimage::ParseStatus::Ok) return 0;
    Check(p.part2.present);
    // A file that is read always holds something to write.
    Check(p.part1.size > 0 || p.part2.size > 0);
    // MCU data with bytes always holds a packet: none is skipped whole.
    if (p.layout == fwimage::Layout::Mcu) Check(p.part1.size == 0 || p.mcuPacketCount > 0);
    if (p.layout == fwimage::Layout::Mcu) {
        const uint8_t* mcu = data + p.part1.offset;
        uint32_t pos = 0, packets = 0;
        for (uint32_t n; (n = fwimage::NextMcuPacket(mcu, p.part1.size, pos, nullptr)) != 0; pos += n) {
            Check(n < 1024);
            Check(mcu[pos + n - 1] == 0x0A);
            ++packets;
        }
        Check(packets == p.mcuPacketCount);
    }
    return 0;
}
