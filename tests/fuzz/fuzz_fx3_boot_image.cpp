// Arbitrary bytes as an FX3 boot image: the walk must never hand out a chunk
// outside the buffer or longer than one memory write, must end, and must
// agree with the check that runs before anything is sent.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "fx3_boot_image.h"

static void Check(bool ok) {
    if (!ok) std::abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A copy of exactly `size` bytes, so that AddressSanitizer sees every
    // read past the end.
    std::vector<uint8_t> image(data, data + size);
    const uint8_t* p = image.empty() ? nullptr : image.data();
    fx3boot::Cursor c;
    fx3boot::Chunk k;
    uint32_t chunks = 0;
    uint64_t sum = 0;
    fx3boot::Step s;
    for (;;) {
        s = fx3boot::NextStep(p, size, &c, &k);
        if (s != fx3boot::Step::Chunk) break;
        Check(k.length > 0 && k.length <= fx3boot::kChunkBytes);
        Check(k.offset <= size && k.length <= size - k.offset);
        for (uint32_t i = 0; i < k.length; ++i) sum += p[k.offset + i];  // touches every byte sent
        ++chunks;
        Check(chunks <= size);  // every chunk consumes image bytes
    }
    uint32_t entry = 0, checked = 0;
    const fx3boot::Step whole = fx3boot::CheckImage(p, size, &entry, &checked);
    Check(whole == s);
    if (s == fx3boot::Step::Start) {
        Check(checked == chunks);
        Check(entry == k.address);
        Check(fx3boot::NextStep(p, size, &c, &k) == fx3boot::Step::Finished);
    }
    if (size >= fx3boot::kRecordHead && size - fx3boot::kRecordHead <= 0xFFFF) {
        const uint16_t n = static_cast<uint16_t>(size - fx3boot::kRecordHead);
        std::vector<uint8_t> record(fx3boot::kRecordHead + n);
        fx3boot::BuildRecord(0x40, 0xA0, 1, 2, p, n, record.data());
        Check(record[6] == static_cast<uint8_t>(n) && record[30] == fx3boot::kRecordHead);
    }
    return sum == 0xFFFFFFFFFFFFFFFFull ? 1 : 0;
}
