// Framing of the RT1060 ROM reports and the flash loader's packets.
#include "nxp_packets.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Fill(size_t n, uint8_t first) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(first + i * 3);
    return b;
}

bool ZeroFrom(const Bytes& b, size_t from) {
    for (size_t i = from; i < b.size(); ++i)
        if (b[i] != 0) return false;
    return true;
}

}  // namespace

TEST(NxpPieces, CountAndLengths) {
    struct Case {
        uint32_t size;
        uint32_t piece;
        std::vector<uint32_t> lengths;
    } cases[] = {
        {2030, 1012, {1012, 1012, 6}},
        {2024, 1012, {1012, 1012}},
        {1, 1012, {1}},
        {0, 1012, {}},
        {3000, 1024, {1024, 1024, 952}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        ASSERT_EQ(c.lengths.size(), nxp::PieceCount(c.size, c.piece));
        for (uint32_t i = 0; i < c.lengths.size(); ++i) EXPECT_EQ(c.lengths[i], nxp::PieceLength(c.size, c.piece, i));
        EXPECT_EQ(0u, nxp::PieceLength(c.size, c.piece, static_cast<uint32_t>(c.lengths.size())));
    }
    // The flash loader of the camera family: 85 reports, the last with 256 bytes.
    EXPECT_EQ(85u, nxp::PieceCount(86272, nxp::kRomDataBytes));
    EXPECT_EQ(256u, nxp::PieceLength(86272, nxp::kRomDataBytes, 84));
}

TEST(NxpRomReports, CommandFieldsAreBigEndian) {
    struct Case {
        const char* name;
        uint16_t type;
        uint32_t address, count;
        Bytes head;  // bytes 0..16
    } cases[] = {
        {"error status", 0x0505, 0, 0, {1, 0x05, 0x05, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {"write file", 0x0404, 0x20001000, 0x00015100,
         {1, 0x04, 0x04, 0x20, 0x00, 0x10, 0x00, 0, 0x00, 0x01, 0x51, 0x00, 0, 0, 0, 0, 0}},
        {"jump", 0x0B0B, 0x20001000, 0, {1, 0x0B, 0x0B, 0x20, 0x00, 0x10, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes report(nxp::kRomReportBytes, 0xEE);
        nxp::BuildRomCommand(report.data(), c.type, c.address, 0, c.count, 0);
        EXPECT_EQ(c.head, Bytes(report.begin(), report.begin() + 17));
        EXPECT_TRUE(ZeroFrom(report, 17)) << "the report is zeroed first";
    }
    Bytes report(nxp::kRomReportBytes, 0);
    nxp::BuildRomCommand(report.data(), 0x0102, 0x03040506, 7, 0x08090A0B, 0x0C0D0E0F);
    EXPECT_EQ(0x0102, nxp::Be16(&report[1]));
    EXPECT_EQ(0x03040506u, nxp::Be32(&report[3]));
    EXPECT_EQ(7, report[7]);
    EXPECT_EQ(0x08090A0Bu, nxp::Be32(&report[8]));
    EXPECT_EQ(0x0C0D0E0Fu, nxp::Be32(&report[12]));
}

TEST(NxpRomReports, DataReportsCarryTheFileUnchanged) {
    const Bytes file = Fill(2100, 9);
    Bytes joined;
    for (uint32_t i = 0;; ++i) {
        Bytes report(nxp::kRomReportBytes, 0xEE);
        const uint32_t n = nxp::BuildRomData(report.data(), file.data(), static_cast<uint32_t>(file.size()), i);
        if (n == 0) {
            EXPECT_EQ(3u, i);
            EXPECT_EQ(0xEE, report[0]) << "nothing built past the end";
            break;
        }
        EXPECT_EQ(2, report[0]);
        joined.insert(joined.end(), report.begin() + 1, report.begin() + 1 + n);
        EXPECT_TRUE(ZeroFrom(report, 1 + n));
    }
    EXPECT_EQ(file, joined);
}

TEST(NxpLoaderPackets, CommandPacketsAreLittleEndian) {
    const uint32_t erase[] = {0x60000000, 0x000186A0, 0};
    Bytes report(nxp::kLoaderReportBytes, 0xEE);
    ASSERT_TRUE(nxp::BuildLoaderCommand(report.data(), 0x02, 0, erase, 3));
    const Bytes head = {1, 0, 16, 0, 0x02, 0, 0, 3, 0x00, 0x00, 0x00, 0x60, 0xA0, 0x86, 0x01, 0x00, 0, 0, 0, 0};
    EXPECT_EQ(head, Bytes(report.begin(), report.begin() + 20));
    EXPECT_TRUE(ZeroFrom(report, 20));

    const uint32_t property[] = {1, 0};
    ASSERT_TRUE(nxp::BuildLoaderCommand(report.data(), 0x07, 0, property, 2));
    EXPECT_EQ((Bytes{1, 0, 12, 0, 0x07, 0, 0, 2, 1, 0, 0, 0, 0, 0, 0, 0}), Bytes(report.begin(), report.begin() + 16));
    EXPECT_TRUE(ZeroFrom(report, 16));

    const uint32_t write[] = {0x60001000, 0x0012D687, 0};
    ASSERT_TRUE(nxp::BuildLoaderCommand(report.data(), 0x04, 1, write, 3));
    EXPECT_EQ(1, report[5]) << "data phase flag";
    EXPECT_EQ(0x0012D687u, nxp::Le32(&report[12]));

    std::vector<uint32_t> many(nxp::kLoaderMaxParameters + 1, 1);
    report.assign(report.size(), 0xEE);
    EXPECT_FALSE(nxp::BuildLoaderCommand(report.data(), 0x05, 0, many.data(), static_cast<uint32_t>(many.size())));
    EXPECT_EQ(0xEE, report[0]);
    EXPECT_TRUE(nxp::BuildLoaderCommand(report.data(), 0x05, 0, many.data(), nxp::kLoaderMaxParameters));
    EXPECT_EQ(4 + 4 * nxp::kLoaderMaxParameters, nxp::Le16(&report[2]));
}

TEST(NxpLoaderPackets, DataPacketsSplitTheImageIn1012ByteLengths) {
    const Bytes image = Fill(2030, 5);
    std::vector<uint32_t> lengths;
    Bytes joined;
    for (uint32_t i = 0;; ++i) {
        Bytes report(nxp::kLoaderReportBytes, 0xEE);
        const uint32_t n = nxp::BuildLoaderData(report.data(), image.data(), static_cast<uint32_t>(image.size()), i);
        if (n == 0) break;
        EXPECT_EQ(2, report[0]);
        EXPECT_EQ(0, report[1]);
        EXPECT_EQ(n, nxp::Le16(&report[2]));
        lengths.push_back(n);
        joined.insert(joined.end(), report.begin() + 4, report.begin() + 4 + n);
        EXPECT_TRUE(ZeroFrom(report, 4 + n));
    }
    EXPECT_EQ((std::vector<uint32_t>{1012, 1012, 6}), lengths);
    EXPECT_EQ(image, joined);
}
