// The firmware file container and the MCU packet rule.
#include "image_format.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

using fwimage::Layout;
using fwimage::ParsedImage;
using fwimage::ParseStatus;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Ascii(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes Le32(uint32_t v) {
    return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
            static_cast<uint8_t>(v >> 24)};
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes Fill(size_t n, uint8_t first) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(first + i);
    return b;
}

// Short form: marker, length, data.
Bytes Short(const std::string& marker, const Bytes& data) {
    return Cat({Ascii(marker), Le32(static_cast<uint32_t>(data.size())), data});
}
// Long form of the two-part layout: marker, one free byte, length, data.
Bytes Long(const Bytes& data) {
    return Cat({Ascii("orviIMG"), {0x5A}, Le32(static_cast<uint32_t>(data.size())), data});
}
// The FPGA section: "orviFPGA", length, data.
Bytes Fpga(const Bytes& data) { return Short("orviFPGA", data); }

Bytes Lines(size_t count, size_t lineLength) {
    Bytes out;
    for (size_t i = 0; i < count; ++i) {
        for (size_t j = 0; j + 1 < lineLength; ++j) out.push_back(j == 0 ? ':' : static_cast<uint8_t>('0' + j % 10));
        out.push_back('\n');
    }
    return out;
}

Bytes SectionBytes(const Bytes& file, const fwimage::Section& s) {
    return Bytes(file.begin() + s.offset, file.begin() + s.offset + s.size);
}

ParseStatus Parse(const Bytes& f, ParsedImage* p) { return fwimage::ParseFirmwareImage(f.data(), f.size(), p); }

}  // namespace

TEST(FindMarker, TableOfCases) {
    struct Case {
        const char* name;
        std::string buffer;
        const char* marker;
        size_t count;
        size_t expected;
    } cases[] = {
        {"at start", "orviIMGxyz", "orviIMG", 10, 0},
        {"first of two", "aorviIMGorviIMG", "orviIMG", 15, 1},
        {"start beyond count", "abcorviIMG", "orviIMG", 3, fwimage::kNotFound},
        {"start at last counted byte", "abcorviIMG", "orviIMG", 4, 3},
        {"cut by the end of the buffer", "abcorviIM", "orviIMG", 9, fwimage::kNotFound},
        {"count larger than the buffer", "xorviMCU", "orviMCU", 1000, 1},
        {"near miss", "orviIMorviIMG", "orviIMG", 13, 6},
        {"case matters", "ORVIIMG", "orviIMG", 7, fwimage::kNotFound},
    };
    for (const Case& c : cases) {
        const Bytes b = Ascii(c.buffer);
        EXPECT_EQ(c.expected, fwimage::FindMarker(b.data(), b.size(), c.marker, c.count)) << c.name;
    }
}

TEST(ParseFirmwareImage, FpgaLayoutWinsOverMcuAndTakesTheFirstImgOfTheFile) {
    const Bytes img = Fill(40, 0x10), fpga = Fill(30, 0x80), mcu = Lines(2, 10);
    // The IMG section stands before the FPGA marker, and an MCU section is present too.
    const Bytes f = Cat({Ascii("hdr"), Short("orviIMG", img), Short("orviMCU", mcu), Fpga(fpga)});
    ParsedImage p;
    ASSERT_EQ(ParseStatus::Ok, Parse(f, &p));
    EXPECT_EQ(Layout::Fpga, p.layout);
    EXPECT_TRUE(p.fpgaFirmware);
    EXPECT_FALSE(p.mcuFirmware);
    EXPECT_FALSE(p.combinedImage);
    EXPECT_FALSE(p.hasImageType);
    EXPECT_EQ(fpga, SectionBytes(f, p.part1));
    EXPECT_EQ(img, SectionBytes(f, p.part2));
}

TEST(ParseFirmwareImage, McuLayoutCountsPackets) {
    const Bytes mcu = Lines(30, 100);  // 3000 bytes of 100-byte lines
    const Bytes img = Fill(2050, 1);
    const Bytes f = Cat({Short("orviMCU", mcu), Short("orviIMG", img)});
    ParsedImage p;
    ASSERT_EQ(ParseStatus::Ok, Parse(f, &p));
    EXPECT_EQ(Layout::Mcu, p.layout);
    EXPECT_TRUE(p.mcuFirmware);
    EXPECT_FALSE(p.fpgaFirmware);
    EXPECT_EQ(3u, p.mcuPacketCount);
    EXPECT_EQ(mcu, SectionBytes(f, p.part1));
    EXPECT_EQ(img, SectionBytes(f, p.part2));
}

TEST(ParseFirmwareImage, TwoPartLayoutTakesTypeByteAndBothLongSections) {
    const Bytes a = Fill(3000, 7), b = Fill(5000, 9);
    const Bytes f = Cat({Ascii("xx"), {0x02}, Long(a), Ascii("gap"), Long(b)});
    ParsedImage p;
    ASSERT_EQ(ParseStatus::Ok, Parse(f, &p));
    EXPECT_EQ(Layout::TwoPart, p.layout);
    EXPECT_TRUE(p.combinedImage);
    ASSERT_TRUE(p.hasImageType);
    EXPECT_EQ(2, p.imageType);
    EXPECT_EQ(a, SectionBytes(f, p.part1));
    EXPECT_EQ(b, SectionBytes(f, p.part2));
}

TEST(ParseFirmwareImage, PlainFileIsPartTwoWithTypeThree) {
    const Bytes f = Fill(1500, 3);
    ParsedImage p;
    ASSERT_EQ(ParseStatus::Ok, Parse(f, &p));
    EXPECT_EQ(Layout::Plain, p.layout);
    EXPECT_FALSE(p.part1.present);
    ASSERT_TRUE(p.part2.present);
    EXPECT_EQ(0u, p.part2.offset);
    EXPECT_EQ(1500u, p.part2.size);
    EXPECT_TRUE(p.hasImageType);
    EXPECT_EQ(3, p.imageType);
}

TEST(ParseFirmwareImage, FailuresAtTheLimitsOfTheFile) {
    struct Case {
        const char* name;
        Bytes file;
        ParseStatus expected;
        Layout layout;
    } cases[] = {
        {"one IMG marker only", Cat({{1}, Long(Fill(10, 0))}), ParseStatus::NoSecondImage, Layout::TwoPart},
        {"two-part file starting with its marker", Cat({Long(Fill(10, 0)), Long(Fill(10, 0))}),
         ParseStatus::NoImageTypeByte, Layout::TwoPart},
        {"second section runs past the end",
         Cat({{1}, Long(Fill(10, 0)), Ascii("orviIMG"), {0}, Le32(100), Fill(99, 0)}),
         ParseStatus::SectionOutsideFile, Layout::TwoPart},
        {"length field cut by the end", Cat({{1}, Long(Fill(4, 0)), Ascii("orviIMG"), {0}, {1, 2}}),
         ParseStatus::SectionOutsideFile, Layout::TwoPart},
        {"FPGA length past the end", Cat({Ascii("orviFPGA"), Le32(0xFFFFFFF0u), Fill(16, 0)}),
         ParseStatus::SectionOutsideFile, Layout::Fpga},
        {"FPGA without IMG", Fpga(Fill(8, 0)), ParseStatus::NoImageSection, Layout::Fpga},
        {"MCU without IMG", Short("orviMCU", Lines(2, 8)), ParseStatus::NoImageSection, Layout::Mcu},
        {"MCU marker at the very end", Ascii("abcorviMCU"), ParseStatus::SectionOutsideFile, Layout::Mcu},
        {"MCU line of 1024 bytes", Cat({Short("orviMCU", Lines(1, 1024)), Short("orviIMG", Fill(4, 0))}),
         ParseStatus::McuLineTooLong, Layout::Mcu},
        {"MCU data without a line feed", Cat({Short("orviMCU", Ascii("abc")), Short("orviIMG", Fill(4, 0))}),
         ParseStatus::EmptySection, Layout::Mcu},
        {"FPGA file with nothing in either section", Cat({Fpga({}), Short("orviIMG", {})}),
         ParseStatus::EmptySection, Layout::Fpga},
        {"MCU file with nothing in either section", Cat({Short("orviMCU", {}), Short("orviIMG", {})}),
         ParseStatus::EmptySection, Layout::Mcu},
        {"two-part file with nothing in either section", Cat({{1}, Long({}), Long({})}), ParseStatus::EmptySection,
         Layout::TwoPart},
        {"empty file", {}, ParseStatus::EmptySection, Layout::Plain},
    };
    for (const Case& c : cases) {
        ParsedImage p;
        EXPECT_EQ(c.expected, Parse(c.file, &p)) << c.name;
        EXPECT_EQ(c.layout, p.layout) << c.name;
        EXPECT_FALSE(p.combinedImage) << c.name;
    }
}

// A section of length 0 holds nothing for its part; the other part is read
// as usual and the file is accepted.
TEST(ParseFirmwareImage, OneEmptySectionIsReadWithTheOther) {
    const Bytes data = Fill(300, 4), mcu = Lines(3, 20);
    struct Case {
        const char* name;
        Bytes file;
        Layout layout;
        Bytes part1, part2;
        uint32_t mcuPackets;
    } cases[] = {
        {"FPGA section empty", Cat({Fpga({}), Short("orviIMG", data)}), Layout::Fpga, {}, data, 0},
        {"IMG section of an FPGA file empty", Cat({Fpga(data), Short("orviIMG", {})}), Layout::Fpga, data, {}, 0},
        {"MCU section empty", Cat({Short("orviMCU", {}), Short("orviIMG", data)}), Layout::Mcu, {}, data, 0},
        {"IMG section of an MCU file empty", Cat({Short("orviMCU", mcu), Short("orviIMG", {})}), Layout::Mcu, mcu,
         {}, 1},
        {"first image empty", Cat({{2}, Long({}), Long(data)}), Layout::TwoPart, {}, data, 0},
        {"second image empty", Cat({{2}, Long(data), Long({})}), Layout::TwoPart, data, {}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ParsedImage p;
        ASSERT_EQ(ParseStatus::Ok, Parse(c.file, &p));
        EXPECT_EQ(c.layout, p.layout);
        EXPECT_TRUE(p.part1.present);
        EXPECT_TRUE(p.part2.present);
        EXPECT_EQ(c.part1, SectionBytes(c.file, p.part1));
        EXPECT_EQ(c.part2, SectionBytes(c.file, p.part2));
        EXPECT_EQ(c.mcuPackets, p.mcuPacketCount);
        EXPECT_EQ(c.layout == Layout::TwoPart, p.combinedImage);
    }
}

TEST(McuPackets, LineAlignedPacketsBelow1024Bytes) {
    struct Case {
        const char* name;
        Bytes data;
        std::vector<uint32_t> packets;
    } cases[] = {
        {"3000 bytes in lines of 100", Lines(30, 100), {1000, 1000, 1000}},
        {"lines reaching exactly 1024 start the next packet", Lines(4, 256), {768, 256}},
        {"1023 bytes fit one packet", Cat({Lines(3, 341)}), {1023}},
        {"trailing bytes without a line feed are dropped", Cat({Lines(3, 10), Ascii("tail")}), {30}},
        {"a lone partial line forms no packet", Ascii("no line feed"), {}},
        {"line of 1023 bytes then a short one", Cat({Lines(1, 1023), Lines(1, 5)}), {1023, 5}},
    };
    for (const Case& c : cases) {
        std::vector<uint32_t> got;
        uint32_t pos = 0;
        bool tooLong = false;
        for (uint32_t n; (n = fwimage::NextMcuPacket(c.data.data(), static_cast<uint32_t>(c.data.size()), pos,
                                                     &tooLong)) != 0;) {
            got.push_back(n);
            pos += n;
        }
        EXPECT_FALSE(tooLong) << c.name;
        EXPECT_EQ(c.packets, got) << c.name;
        EXPECT_EQ(c.packets.size(),
                  fwimage::CountMcuPackets(c.data.data(), static_cast<uint32_t>(c.data.size()), nullptr))
            << c.name;
    }
}

TEST(McuPackets, LongLineIsReportedNotSplit) {
    const Bytes data = Cat({Lines(2, 10), Lines(1, 1500)});
    bool tooLong = false;
    EXPECT_EQ(20u, fwimage::NextMcuPacket(data.data(), static_cast<uint32_t>(data.size()), 0, &tooLong));
    EXPECT_FALSE(tooLong);
    EXPECT_EQ(0u, fwimage::NextMcuPacket(data.data(), static_cast<uint32_t>(data.size()), 20, &tooLong));
    EXPECT_TRUE(tooLong);
}

TEST(BlockCount, CeilingOf1024) {
    const std::pair<uint32_t, uint32_t> cases[] = {{0, 0}, {1, 1}, {1024, 1}, {1025, 2}, {2048 + 128, 3}};
    for (const auto& c : cases) EXPECT_EQ(c.second, fwimage::BlockCount(c.first)) << c.first;
}
