#include "fx3_boot_image.h"

#include <cstring>

namespace fx3boot {

namespace {

uint32_t Le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

void PutLe16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void PutLe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

constexpr size_t kSectionsStart = 4;
constexpr size_t kSectionHead = 8;

}  // namespace

Step NextStep(const uint8_t* data, size_t size, Cursor* c, Chunk* out) {
    if (c->finished) return Step::Finished;
    if (!c->started) {
        if (data == nullptr || size < 2 || data[0] != 'C' || data[1] != 'Y') return Step::NoSignature;
        c->started = true;
        c->offset = kSectionsStart;
    }
    if (c->sectionLeft == 0) {
        if (c->offset > size || size - c->offset < kSectionHead) return Step::HeadOutsideFile;
        const uint32_t words = Le32(data + c->offset);
        const uint32_t address = Le32(data + c->offset + 4);
        c->offset += kSectionHead;
        if (words == 0) {
            c->finished = true;
            out->offset = static_cast<uint32_t>(c->offset - kSectionHead);
            out->length = 0;
            out->address = address;
            return Step::Start;
        }
        const uint64_t bytes = static_cast<uint64_t>(words) * 4u;
        // The whole section must lie in the image before any of it goes out.
        if (bytes > size - c->offset) return Step::SectionOutsideFile;
        c->sectionLeft = bytes;
        c->address = address;
    }
    const uint32_t n = c->sectionLeft < kChunkBytes ? static_cast<uint32_t>(c->sectionLeft) : kChunkBytes;
    if (c->offset > size || n > size - c->offset) return Step::SectionOutsideFile;
    out->offset = static_cast<uint32_t>(c->offset);
    out->length = n;
    out->address = c->address;
    c->offset += n;
    c->address += n;  // the chip's address space wraps like the 32-bit field
    c->sectionLeft -= n;
    return Step::Chunk;
}

Step CheckImage(const uint8_t* data, size_t size, uint32_t* entry, uint32_t* chunks) {
    Cursor c;
    Chunk k;
    uint32_t count = 0;
    for (;;) {
        const Step s = NextStep(data, size, &c, &k);
        if (s == Step::Chunk) {
            ++count;
            continue;
        }
        if (s == Step::Start) {
            if (entry != nullptr) *entry = k.address;
            if (chunks != nullptr) *chunks = count;
        }
        return s;
    }
}

void BuildRecord(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index, const uint8_t* data,
                 uint16_t n, uint8_t* record) {
    std::memset(record, 0, kRecordHead + n);
    record[0] = requestType;
    record[1] = request;
    PutLe16(record + 2, value);
    PutLe16(record + 4, index);
    PutLe16(record + 6, n);
    PutLe32(record + 8, kRecordTimeout);
    record[12] = 0;
    record[13] = 0;  // endpoint address: the control endpoint
    PutLe32(record + 30, kRecordHead);
    PutLe32(record + 34, n);
    if (n != 0 && data != nullptr) std::memcpy(record + kRecordHead, data, n);
}

}  // namespace fx3boot
