#include "image_format.h"

#include <cstring>

namespace fwimage {

namespace {

const char kFpgaMarker[] = "orviFPGA";
const char kMcuMarker[] = "orviMCU";
const char kImgMarker[] = "orviIMG";

uint32_t ReadLe32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// Reads the length at lengthAt and places the data that follows it. The
// length field and the data must both lie inside the file.
ParseStatus CutSection(const uint8_t* data, size_t size, size_t lengthAt, size_t dataAt, Section* out) {
    if (lengthAt > size || size - lengthAt < 4 || dataAt > size) return ParseStatus::SectionOutsideFile;
    const uint32_t n = ReadLe32(data + lengthAt);
    if (n > size - dataAt) return ParseStatus::SectionOutsideFile;
    out->present = true;
    out->offset = static_cast<uint32_t>(dataAt);
    out->size = n;
    return ParseStatus::Ok;
}

// The IMG section of the FPGA and MCU layouts: the first "orviIMG" of the
// whole file, short form (length right after the marker).
ParseStatus CutShortImgSection(const uint8_t* data, size_t size, Section* out) {
    const size_t q = FindMarker(data, size, kImgMarker, size);
    if (q == kNotFound) return ParseStatus::NoImageSection;
    return CutSection(data, size, q + 7, q + 11, out);
}

// A section of length 0 is a file that holds nothing for that part, and the
// other part is written as usual. A file whose sections are all empty holds
// nothing to write: an update with it would be reported as written.
ParseStatus NotAllEmpty(const ParsedImage& p) {
    return p.part1.size == 0 && p.part2.size == 0 ? ParseStatus::EmptySection : ParseStatus::Ok;
}

}  // namespace

size_t FindMarker(const uint8_t* buf, size_t size, const char* marker, size_t count) {
    const size_t m = std::strlen(marker);
    if (buf == nullptr || m == 0 || size < m) return kNotFound;
    if (count > size) count = size;
    const size_t lastStart = size - m;  // a match must end inside the buffer
    for (size_t i = 0; i < count && i <= lastStart; ++i) {
        if (std::memcmp(buf + i, marker, m) == 0) return i;
    }
    return kNotFound;
}

uint32_t NextMcuPacket(const uint8_t* data, uint32_t size, uint32_t start, bool* lineTooLong) {
    if (lineTooLong != nullptr) *lineTooLong = false;
    uint32_t lastLineEnd = start;  // end of the last complete line taken into the packet
    uint32_t count = 0;
    for (uint32_t i = start; i < size; ++i) {
        ++count;
        if (data[i] != 0x0A) continue;
        if (count >= 1024) {
            // This line would take the packet to 1024 bytes or more: the
            // packet ends before it and the next one starts with it.
            if (lastLineEnd == start) {
                if (lineTooLong != nullptr) *lineTooLong = true;
                return 0;
            }
            return lastLineEnd - start;
        }
        lastLineEnd = i + 1;
    }
    // End of the data: the complete lines gathered so far form the last
    // packet; bytes after the last line feed are not part of any packet.
    return lastLineEnd - start;
}

uint32_t CountMcuPackets(const uint8_t* data, uint32_t size, bool* lineTooLong) {
    if (lineTooLong != nullptr) *lineTooLong = false;
    uint32_t packets = 0;
    uint32_t pos = 0;
    for (;;) {
        bool tooLong = false;
        const uint32_t n = NextMcuPacket(data, size, pos, &tooLong);
        if (tooLong && lineTooLong != nullptr) *lineTooLong = true;
        if (n == 0) break;
        ++packets;
        pos += n;
    }
    return packets;
}

ParseStatus ParseFirmwareImage(const uint8_t* data, size_t size, ParsedImage* out) {
    *out = ParsedImage();
    if (size > 0xFFFFFFFFu) return ParseStatus::FileTooLarge;
    if (data == nullptr || size == 0) return ParseStatus::EmptySection;

    const size_t fpga = FindMarker(data, size, kFpgaMarker, size);
    if (fpga != kNotFound) {
        out->layout = Layout::Fpga;
        out->fpgaFirmware = true;
        ParseStatus st = CutSection(data, size, fpga + 8, fpga + 12, &out->part1);
        if (st != ParseStatus::Ok) return st;
        st = CutShortImgSection(data, size, &out->part2);
        return st == ParseStatus::Ok ? NotAllEmpty(*out) : st;
    }

    const size_t mcu = FindMarker(data, size, kMcuMarker, size);
    if (mcu != kNotFound) {
        out->layout = Layout::Mcu;
        out->mcuFirmware = true;
        ParseStatus st = CutSection(data, size, mcu + 7, mcu + 11, &out->part1);
        if (st != ParseStatus::Ok) return st;
        bool tooLong = false;
        out->mcuPacketCount = CountMcuPackets(data + out->part1.offset, out->part1.size, &tooLong);
        if (tooLong) return ParseStatus::McuLineTooLong;
        // MCU data that holds bytes but not a single complete line would be
        // skipped whole and the update reported as written.
        if (out->mcuPacketCount == 0 && out->part1.size != 0) return ParseStatus::EmptySection;
        st = CutShortImgSection(data, size, &out->part2);
        return st == ParseStatus::Ok ? NotAllEmpty(*out) : st;
    }

    const size_t img = FindMarker(data, size, kImgMarker, size);
    if (img == kNotFound) {
        out->layout = Layout::Plain;
        out->part2.present = true;
        out->part2.offset = 0;
        out->part2.size = static_cast<uint32_t>(size);
        out->hasImageType = true;
        out->imageType = 3;
        return ParseStatus::Ok;
    }

    out->layout = Layout::TwoPart;
    const size_t from = img + 4;
    const size_t rel = FindMarker(data + from, size - from, kImgMarker, size - from);
    if (rel == kNotFound) return ParseStatus::NoSecondImage;
    if (img == 0) return ParseStatus::NoImageTypeByte;
    const size_t second = from + rel;
    out->hasImageType = true;
    out->imageType = data[img - 1];
    ParseStatus st = CutSection(data, size, img + 8, img + 12, &out->part1);
    if (st != ParseStatus::Ok) return st;
    st = CutSection(data, size, second + 8, second + 12, &out->part2);
    if (st != ParseStatus::Ok) return st;
    st = NotAllEmpty(*out);
    out->combinedImage = st == ParseStatus::Ok;
    return st;
}

}  // namespace fwimage
