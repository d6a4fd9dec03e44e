// The FX3 boot image walk and the cyusb3 driver's request record.
#include "fx3_boot_image.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

using fx3boot::Chunk;
using fx3boot::Cursor;
using fx3boot::Step;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Le32(uint32_t v) {
    return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
            static_cast<uint8_t>(v >> 24)};
}

void Append(Bytes* out, const Bytes& more) { out->insert(out->end(), more.begin(), more.end()); }

Bytes Fill(size_t n, uint8_t first) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(first + i * 7);
    return b;
}

struct Section {
    uint32_t words;
    uint32_t address;
};

// "CY", two free bytes, the sections with their data, then the end with the
// entry address.
Bytes Image(const std::vector<Section>& sections, uint32_t entry) {
    Bytes out{'C', 'Y', 0x1C, 0xB0};
    uint8_t seed = 1;
    for (const Section& s : sections) {
        Append(&out, Le32(s.words));
        Append(&out, Le32(s.address));
        Append(&out, Fill(4u * s.words, seed++));
    }
    Append(&out, Le32(0));
    Append(&out, Le32(entry));
    return out;
}

struct Walked {
    std::vector<Chunk> chunks;
    Step end;
    Chunk last;
};

Walked Walk(const Bytes& image) {
    Walked w;
    Cursor c;
    for (int guard = 0; guard < 100000; ++guard) {
        Chunk k;
        const Step s = fx3boot::NextStep(image.data(), image.size(), &c, &k);
        if (s != Step::Chunk) {
            w.end = s;
            w.last = k;
            return w;
        }
        w.chunks.push_back(k);
    }
    ADD_FAILURE() << "the walk does not end";
    return w;
}

}  // namespace

TEST(Fx3BootImage, SectionsGoOutInChunksOfAtMost2048Bytes) {
    struct Case {
        const char* name;
        std::vector<Section> sections;
        // (length, address) of every chunk, in order
        std::vector<std::pair<uint32_t, uint32_t>> chunks;
    } cases[] = {
        {"1500 words at 0x10000", {{1500, 0x10000}}, {{2048, 0x10000}, {2048, 0x10800}, {1904, 0x11000}}},
        {"exactly one chunk", {{512, 0x40000000}}, {{2048, 0x40000000}}},
        {"one word", {{1, 0x100}}, {{4, 0x100}}},
        {"two chunks exactly", {{1024, 0}}, {{2048, 0}, {2048, 0x800}}},
        {"two sections", {{600, 0x2000}, {3, 0xFFFF0}}, {{2048, 0x2000}, {352, 0x2800}, {12, 0xFFFF0}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes image = Image(c.sections, 0x40001234);
        const Walked w = Walk(image);
        ASSERT_EQ(c.chunks.size(), w.chunks.size());
        for (size_t i = 0; i < c.chunks.size(); ++i) {
            EXPECT_EQ(c.chunks[i].first, w.chunks[i].length) << "chunk " << i;
            EXPECT_EQ(c.chunks[i].second, w.chunks[i].address) << "chunk " << i;
        }
        EXPECT_EQ(Step::Start, w.end);
        EXPECT_EQ(0u, w.last.length);
        EXPECT_EQ(0x40001234u, w.last.address);
        uint32_t entry = 0, chunks = 0;
        EXPECT_EQ(Step::Start, fx3boot::CheckImage(image.data(), image.size(), &entry, &chunks));
        EXPECT_EQ(0x40001234u, entry);
        EXPECT_EQ(c.chunks.size(), chunks);
    }
}

TEST(Fx3BootImage, ChunksCarryTheSectionBytesInOrder) {
    const Bytes image = Image({{700, 0x1000}, {5, 0x9000}}, 0);
    Bytes sent;
    for (const Chunk& k : Walk(image).chunks) sent.insert(sent.end(), image.begin() + k.offset, image.begin() + k.offset + k.length);
    Bytes expected = Fill(2800, 1);
    Append(&expected, Fill(20, 2));
    EXPECT_EQ(expected, sent);
}

TEST(Fx3BootImage, FirstSectionOfLengthZeroIsOnlyTheStart) {
    Bytes image{'C', 'Y', 0, 0};
    Append(&image, Le32(0));
    Append(&image, Le32(0x00ABCDEF));
    Append(&image, Le32(100));  // after the end: never read
    const Walked w = Walk(image);
    EXPECT_TRUE(w.chunks.empty());
    EXPECT_EQ(Step::Start, w.end);
    EXPECT_EQ(0x00ABCDEFu, w.last.address);
    EXPECT_EQ(0xCDEF, fx3boot::AddressValue(w.last.address));
    EXPECT_EQ(0x00AB, fx3boot::AddressIndex(w.last.address));
}

TEST(Fx3BootImage, DamagedImagesEndTheWalkWithoutAStart) {
    const Bytes good = Image({{600, 0x2000}}, 0x2000);
    Bytes noEnd = good;
    noEnd.resize(good.size() - 8);  // the section list is not ended
    Bytes cutHead = good;
    cutHead.resize(good.size() - 3);  // the end's entry address cut short
    Bytes cutData = Image({{600, 0x2000}}, 0);
    cutData.resize(4 + 8 + 2400 - 1);  // the data one byte short
    Bytes huge{'C', 'Y', 0, 0};
    Append(&huge, Le32(0xFFFFFFFF));  // 4 x L does not fit 32 bits
    Append(&huge, Le32(0));
    Append(&huge, Fill(4096, 3));
    Bytes lowerCase = good;
    lowerCase[0] = 'c';
    struct Case {
        const char* name;
        Bytes image;
        Step end;
        size_t chunksBefore;  // chunks the walk hands out before it stops
    } cases[] = {
        {"no signature", lowerCase, Step::NoSignature, 0},
        {"empty", {}, Step::NoSignature, 0},
        {"only the signature", {'C', 'Y'}, Step::HeadOutsideFile, 0},
        {"list not ended", noEnd, Step::HeadOutsideFile, 2},
        {"end head cut", cutHead, Step::HeadOutsideFile, 2},
        {"section data cut", cutData, Step::SectionOutsideFile, 0},
        {"section longer than the file", huge, Step::SectionOutsideFile, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Walked w = Walk(c.image);
        EXPECT_EQ(c.end, w.end);
        EXPECT_EQ(c.chunksBefore, w.chunks.size());
        uint32_t entry = 77, chunks = 77;
        EXPECT_EQ(c.end, fx3boot::CheckImage(c.image.data(), c.image.size(), &entry, &chunks));
        EXPECT_EQ(77u, entry) << "no entry address for a damaged image";
    }
}

TEST(Fx3BootImage, AWalkEndsForGoodAfterTheStart) {
    const Bytes image = Image({{1, 0}}, 0x100);
    Cursor c;
    Chunk k;
    EXPECT_EQ(Step::Chunk, fx3boot::NextStep(image.data(), image.size(), &c, &k));
    EXPECT_EQ(Step::Start, fx3boot::NextStep(image.data(), image.size(), &c, &k));
    EXPECT_EQ(Step::Finished, fx3boot::NextStep(image.data(), image.size(), &c, &k));
}

TEST(Fx3DriverRecord, FieldsAndDataAsTheDriverReadsThem) {
    const Bytes data = Fill(5, 0x90);
    Bytes record(38 + 5, 0xEE);
    fx3boot::BuildRecord(0x40, 0xA0, 0x0800, 0x0001, data.data(), 5, record.data());
    const Bytes head = {0x40, 0xA0, 0x00, 0x08, 0x01, 0x00, 0x05, 0x00,  // type, request, value, index, length
                        0x05, 0x00, 0x00, 0x00,                          // time-out
                        0x00, 0x00,                                      // 0, endpoint 0
                        0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 16 zeros
                        38, 0, 0, 0,                                     // offset of the data
                        5, 0, 0, 0};                                     // data length
    EXPECT_EQ(head, Bytes(record.begin(), record.begin() + 38));
    EXPECT_EQ(data, Bytes(record.begin() + 38, record.end()));

    Bytes start(38, 0xEE);
    fx3boot::BuildRecord(0x40, 0xA0, 0x1234, 0x4000, nullptr, 0, start.data());
    EXPECT_EQ(0x34, start[2]);
    EXPECT_EQ(0x12, start[3]);
    EXPECT_EQ(0x00, start[4]);
    EXPECT_EQ(0x40, start[5]);
    EXPECT_EQ(0, start[6] | start[7]);
    EXPECT_EQ(38, start[30]);
    EXPECT_EQ(0, start[34]);
    for (int i = 14; i < 30; ++i) EXPECT_EQ(0, start[i]) << i;
}
