// What a station writes down (results rows, the firmware's fingerprint, the
// time) and how its command line is read.
#include "station_record.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

std::string Hash(const Bytes& b) { return station::Sha256Hex(b.data(), b.size()); }
std::string Hash(const std::string& s) { return station::Sha256Hex(reinterpret_cast<const uint8_t*>(s.data()), s.size()); }

// The byte pattern the reference values below were taken from (sha256sum).
Bytes Pattern(size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 7 + 3);
    return b;
}

std::wstring Units(std::initializer_list<unsigned> units) {
    std::wstring s;
    for (unsigned u : units) s += static_cast<wchar_t>(u);
    return s;
}

station::Row SampleRow() {
    station::Row r;
    r.time = "2026-12-08T14:03:09+01:00";
    r.computer = "LINE-3";
    r.programVersion = "2.4.0.17";
    r.firmwareFile = "cam, rev \"B\".img";
    r.firmwareSha256 = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
    r.model = "Corvane C110";
    r.vidPid = "4A7E:C110";
    r.uniqueId = "SN0042";
    r.port = "3-1.2";
    r.versionBefore = "1.0.3";
    r.versionAfter = "1.0.4";
    r.result = station::Result::Passed;
    r.failure = "";
    r.seconds = 12.34;
    return r;
}

}  // namespace

TEST(StationSha256, KnownValues) {
    struct Case {
        const char* name;
        std::string data;
        const char* hex;
    } cases[] = {
        {"empty", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"448 bits, two blocks", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"a million a", std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.hex, Hash(c.data));
    }
}

TEST(StationSha256, SizesAroundTheBlockEnds) {
    // Below 56 bytes the length fits behind the marker in the last block; from
    // 56 on it needs a block of its own.
    struct Case {
        size_t size;
        const char* hex;
    } cases[] = {
        {1, "084fed08b978af4d7d196a7446a86b58009e636b611db16211b65a9aadff29c5"},
        {55, "e7313d333c272e639f790978283f9eb392e843d0f29b7016828bb1daa4aac70b"},
        {56, "4324d65f3c103567f5589c710bc08f8523f929a9272e3af36fc968e52abc6c27"},
        {57, "35df609437dcfea3279283ab79fd554e2bf78f8f7ae2de532d8ee300b09e8f73"},
        {63, "81c80242132f230c3bd41b3e63bbcff16107339549214a99614ff26664625055"},
        {64, "39e3d7b6b5d075d37d053ad89b24b41bef4f3c29760c84447cab3f3be1882241"},
        {65, "aacca6ff74fdbb296d165a45cecfa04e5127bc008770fbbdd48006f2d2fae95e"},
        {119, "9ce7368e4daf32341631b492e80359dc9f594b48453cd0dd5bf0b19279cc177e"},
        {120, "7836b787757e95e58b3ca5aec90b1b004e8deba1e50e9675af9cabf1a13a04b5"},
        {127, "a8d23e75d936f303d248888d9b165ee543f4cbafcad3c9dd2a79bd84faa11d07"},
        {128, "d2742f1f4ac6bb7ca2b239ee18402ba8b3f9f8e652d2a72973c2b9ba11c08cf6"},
        {1u << 20, "172c15dc2e12b50e523d8e657cbe7fbb11c1053252bbf1e1431077d57d8128fd"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        EXPECT_EQ(c.hex, Hash(Pattern(c.size)));
    }
}

TEST(StationSha256, ReadsOnlyTheGivenBytes) {
    // A buffer of exactly the size: the sanitizers see a read past its end.
    Bytes big = Pattern(200);
    Bytes exact(big.begin(), big.begin() + 55);
    EXPECT_EQ("e7313d333c272e639f790978283f9eb392e843d0f29b7016828bb1daa4aac70b", Hash(exact));
    EXPECT_EQ("e7313d333c272e639f790978283f9eb392e843d0f29b7016828bb1daa4aac70b",
              station::Sha256Hex(big.data(), 55));
}

TEST(StationUtf8, Conversion) {
    struct Case {
        const char* name;
        std::wstring text;
        std::string utf8;
    } cases[] = {
        {"empty", L"", ""},
        {"ascii", L"Line 3, bench A", "Line 3, bench A"},
        {"two bytes", Units({0xE9, 0x7A}), "\xC3\xA9z"},
        {"three bytes", Units({0x20AC}), "\xE2\x82\xAC"},
        {"last of the plane", Units({0xFFFF}), "\xEF\xBF\xBF"},
        {"pair: U+1F600", Units({0xD83D, 0xDE00}), "\xF0\x9F\x98\x80"},
        {"pair: U+10FFFF", Units({0xDBFF, 0xDFFF}), "\xF4\x8F\xBF\xBF"},
        {"pair: U+10000 between letters", Units({'a', 0xD800, 0xDC00, 'b'}), "a\xF0\x90\x80\x80" "b"},
        {"lone high at the end", Units({'a', 0xD83D}), "a\xEF\xBF\xBD"},
        {"lone high before a letter", Units({0xD83D, 'x'}), "\xEF\xBF\xBDx"},
        {"lone low", Units({'x', 0xDE00, 'y'}), "x\xEF\xBF\xBDy"},
        {"low before high", Units({0xDE00, 0xD83D}), "\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"two highs, then a low", Units({0xD83D, 0xD83D, 0xDE00}), "\xEF\xBF\xBD\xF0\x9F\x98\x80"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.utf8, station::Utf8(c.text));
    }
}

TEST(StationCsv, Fields) {
    struct Case {
        std::string field;
        std::string written;
    } cases[] = {
        {"", ""},
        {"plain", "plain"},
        {"inner blank", "inner blank"},
        {"caf\xC3\xA9", "caf\xC3\xA9"},
        {"a,b", "\"a,b\""},
        {"say \"hi\"", "\"say \"\"hi\"\"\""},
        {"\"", "\"\"\"\""},
        {"two\nlines", "\"two\nlines\""},
        {"cr\r", "\"cr\r\""},
        {" lead", "\" lead\""},
        {"trail ", "\"trail \""},
        {"\ttab", "\"\ttab\""},
        {"tab\t", "\"tab\t\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.field);
        EXPECT_EQ(c.written, station::CsvField(c.field));
    }
}

TEST(StationCsv, Lines) {
    struct Case {
        std::vector<std::string> fields;
        std::string line;
    } cases[] = {
        {{}, "\r\n"},
        {{"one"}, "one\r\n"},
        {{"a", "b,c", "", "d"}, "a,\"b,c\",,d\r\n"},
        {{"", ""}, ",\r\n"},
        {{"x\r\ny", "q\""}, "\"x\r\ny\",\"q\"\"\"\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(c.line, station::CsvLine(c.fields));
    }
}

// The header and a row; a file of an earlier version (its 14 columns) gets
// rows of its own width, and is told from ours and from other files by its
// first line.
TEST(StationCsv, HeaderAndRow) {
    const std::string earlier = "time,computer,program_version,firmware_file,firmware_sha256,model,vid_pid,"
                                "unique_id,port,version_before,version_after,result,failure,seconds";
    EXPECT_EQ(earlier + ",run_id,operator,lot,verified\r\n", station::CsvHeader());
    const std::string row = "2026-12-08T14:03:09+01:00,LINE-3,2.4.0.17,\"cam, rev \"\"B\"\".img\","
                            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad,Corvane C110,4A7E:C110,"
                            "SN0042,3-1.2,1.0.3,1.0.4,passed,,12.3";
    station::Row r = SampleRow();
    EXPECT_EQ(row + ",,,,not verified\r\n", station::CsvRow(r));
    r.runId = "R1";
    r.operatorName = "Jo, night";
    r.lot = "L7";
    r.verified = true;
    EXPECT_EQ(row + ",R1,\"Jo, night\",L7,verified\r\n", station::CsvRow(r));
    EXPECT_EQ(row + "\r\n", station::CsvRow(r, station::kEarlierColumns));
    EXPECT_EQ(station::kColumns, station::ColumnsOfHeader(earlier + ",run_id,operator,lot,verified"));
    EXPECT_EQ(station::kEarlierColumns, station::ColumnsOfHeader(earlier));
    EXPECT_EQ(0u, station::ColumnsOfHeader(earlier + ",run_id"));
}

TEST(StationCsv, ResultAndFailure) {
    struct Case {
        station::Result result;
        const char* text;
        std::string failure;
        std::string tail;  // result, failure, seconds
    } cases[] = {
        {station::Result::Passed, "passed", "", "passed,,12.3\r\n"},
        {station::Result::Failed, "failed", "The camera did not come back.", "failed,The camera did not come back.,12.3\r\n"},
        {station::Result::Skipped, "skipped", "Already 1.0.4, up to date", "skipped,\"Already 1.0.4, up to date\",12.3\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_STREQ(c.text, station::ResultText(c.result));
        station::Row r = SampleRow();
        r.result = c.result;
        r.failure = c.failure;
        std::string line = station::CsvRow(r, station::kEarlierColumns);
        ASSERT_GE(line.size(), c.tail.size());
        EXPECT_EQ(c.tail, line.substr(line.size() - c.tail.size()));
    }
}

TEST(StationCsv, Seconds) {
    struct Case {
        double seconds;
        const char* written;
    } cases[] = {
        {0, "0.0"},
        {0.04, "0.0"},
        {0.06, "0.1"},
        {12.34, "12.3"},
        {12.36, "12.4"},
        {59.96, "60.0"},
        {9.99, "10.0"},
        {86400, "86400.0"},
        {1234567.89, "1234567.9"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.written);
        station::Row r = SampleRow();
        r.seconds = c.seconds;
        std::string line = station::CsvRow(r, station::kEarlierColumns);
        std::string expected = std::string(",") + c.written + "\r\n";
        ASSERT_GE(line.size(), expected.size());
        EXPECT_EQ(expected, line.substr(line.size() - expected.size()));
    }
}

TEST(StationCsv, SecondsIgnoreTheDecimalComma) {
    // A station computer set to German must still write "12.3" (a comma would
    // split the column).
    const char* names[] = {"de_DE.UTF-8", "de_DE.utf8", "de_DE", "German_Germany.1252", "German"};
    const char* found = nullptr;
    for (const char* n : names)
        if (std::setlocale(LC_NUMERIC, n)) {
            found = n;
            break;
        }
    if (!found) GTEST_SKIP() << "no locale with a decimal comma here";
    station::Row r = SampleRow();
    std::string line = station::CsvRow(r, station::kEarlierColumns);
    std::setlocale(LC_NUMERIC, "C");
    EXPECT_EQ(",12.3\r\n", line.substr(line.size() - 7));
}

TEST(StationIsoTime, Offsets) {
    struct Case {
        station::LocalTime t;
        const char* text;
    } cases[] = {
        {{2026, 12, 8, 14, 3, 9, 60}, "2026-12-08T14:03:09+01:00"},
        {{2026, 12, 8, 14, 3, 9, 0}, "2026-12-08T14:03:09+00:00"},
        {{2026, 1, 31, 0, 0, 0, -330}, "2026-01-31T00:00:00-05:30"},
        {{2026, 7, 4, 23, 59, 59, -300}, "2026-07-04T23:59:59-05:00"},
        {{2027, 3, 1, 9, 5, 7, 345}, "2027-03-01T09:05:07+05:45"},
        {{2027, 3, 1, 9, 5, 7, 840}, "2027-03-01T09:05:07+14:00"},
        {{2027, 3, 1, 9, 5, 7, -30}, "2027-03-01T09:05:07-00:30"},
        {{2027, 3, 1, 9, 5, 7, -720}, "2027-03-01T09:05:07-12:00"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(c.text, station::IsoTime(c.t));
    }
}

TEST(StationArguments, GoodLines) {
    struct Case {
        const char* name;
        std::vector<std::wstring> args;
        bool station;
        std::wstring firmware, results;
        unsigned count, timeout;
        std::string sha256 = "";
        bool recover = false;
        unsigned cameraTimeout = 600;
    } cases[] = {
        {"no arguments: the dialog", {}, false, L"", L"", 0, 0},
        {"other arguments: the dialog", {L"foo", L"C:\\fw.img", L"/stationary"}, false, L"", L"", 0, 0},
        {"firmware only", {L"/station", L"fw.img"}, true, L"fw.img", L"", 0, 0},
        {"all, any case, both prefixes",
         {L"-STATION", L"C:\\fw\\cam 2.img", L"/Results", L"D:\\out.csv", L"-count", L"100000", L"/TimeOut", L"86400"},
         true, L"C:\\fw\\cam 2.img", L"D:\\out.csv", 100000, 86400},
        {"any order, smallest values",
         {L"/count", L"1", L"/timeout", L"1", L"/station", L"x.img"}, true, L"x.img", L"", 1, 1},
        {"leading zeros", {L"/station", L"x.img", L"/count", L"007", L"/timeout", L"0600"}, true, L"x.img", L"", 7, 600},
        {"a file name starting with a dash", {L"/station", L"-fw.img", L"/results", L"/r.csv"},
         true, L"-fw.img", L"/r.csv", 0, 0},
        {"a pinned file, kept in lower case", {L"/station", L"x.img", L"/SHA256", std::wstring(32, L'A') + std::wstring(32, L'9')},
         true, L"x.img", L"", 0, 0, std::string(32, 'a') + std::string(32, '9')},
        {"/recover takes no value", {L"/recover", L"/station", L"x.img", L"/count", L"2"}, true, L"x.img", L"", 2, 0,
         "", true},
        {"a camera's bound", {L"/station", L"x.img", L"/Camera-Timeout", L"30"}, true, L"x.img", L"", 0, 0, "", false,
         30},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        station::Arguments a;
        a.firmware = L"stale";
        a.count = 99;
        EXPECT_EQ(L"", station::ParseArguments(c.args, &a));
        EXPECT_EQ(c.station, a.station);
        EXPECT_EQ(c.firmware, a.firmware);
        EXPECT_EQ(c.results, a.results);
        EXPECT_EQ(c.count, a.count);
        EXPECT_EQ(c.timeout, a.timeoutSeconds);
        EXPECT_EQ(c.sha256, a.sha256);
        EXPECT_EQ(c.recover, a.recover);
        EXPECT_EQ(c.cameraTimeout, a.cameraTimeoutSeconds);
    }
}

TEST(StationArguments, BadLines) {
    const std::wstring count = L"/count needs a whole number from 1 to 100000";
    const std::wstring timeout = L"/timeout needs a whole number of seconds from 1 to 86400";
    const std::wstring sha = L"/sha256 needs the firmware file's SHA-256 (64 hex digits)";
    struct Case {
        std::vector<std::wstring> args;
        std::wstring error;
    } cases[] = {
        {{L"/count", L"5"}, L"A station needs /station with the firmware file."},
        {{L"/results", L"r.csv", L"-timeout", L"9"}, L"A station needs /station with the firmware file."},
        {{L"/station"}, L"/station needs the firmware file."},
        {{L"/station", L""}, L"/station needs the firmware file."},
        {{L"/station", L"/count", L"5"}, L"/station needs the firmware file."},
        {{L"/station", L"a", L"/results"}, L"/results needs the results file."},
        {{L"/station", L"a", L"/results", L"-Count", L"3"}, L"/results needs the results file."},
        {{L"/station", L"a", L"/count"}, count + L"."},
        {{L"/station", L"a", L"/timeout"}, timeout + L"."},
        {{L"/station", L"a", L"/count", L"x"}, count + L", not \"x\"."},
        {{L"/station", L"a", L"/count", L"0"}, count + L", not \"0\"."},
        {{L"/station", L"a", L"/count", L"100001"}, count + L", not \"100001\"."},
        {{L"/station", L"a", L"/count", L"-5"}, count + L", not \"-5\"."},
        {{L"/station", L"a", L"/count", L"+5"}, count + L", not \"+5\"."},
        {{L"/station", L"a", L"/count", L" 5"}, count + L", not \" 5\"."},
        {{L"/station", L"a", L"/count", L"5 "}, count + L", not \"5 \"."},
        {{L"/station", L"a", L"/count", L"1e3"}, count + L", not \"1e3\"."},
        {{L"/station", L"a", L"/count", L"2.5"}, count + L", not \"2.5\"."},
        {{L"/station", L"a", L"/count", L"0x10"}, count + L", not \"0x10\"."},
        {{L"/station", L"a", L"/count", L"18446744073709551617"}, count + L", not \"18446744073709551617\"."},
        {{L"/station", L"a", L"/count", Units({0x0661})}, count + L", not \"" + Units({0x0661}) + L"\"."},
        {{L"/station", L"a", L"/timeout", L"0"}, timeout + L", not \"0\"."},
        {{L"/station", L"a", L"/timeout", L"86401"}, timeout + L", not \"86401\"."},
        {{L"/station", L"a", L"/timeout", L"ten"}, timeout + L", not \"ten\"."},
        {{L"/station", L"a", L"/camera-timeout", L"0"},
         L"/camera-timeout needs a whole number of seconds from 1 to 86400, not \"0\"."},
        {{L"/station", L"a", L"/sha256", std::wstring(63, L'a')}, sha + L", not \"" + std::wstring(63, L'a') + L"\"."},
        {{L"/station", L"a", L"/sha256", std::wstring(63, L'a') + L"g"}, sha + L", not \"" + std::wstring(63, L'a') + L"g\"."},
        {{L"/station", L"a", L"/recover", L"x"}, L"Unknown argument \"x\"."},
        {{L"/station", L"a", L"foo"}, L"Unknown argument \"foo\"."},
        {{L"foo", L"/station", L"a"}, L"Unknown argument \"foo\"."},
        {{L"/station", L"a", L""}, L"Unknown argument \"\"."},
        {{L"/station", L"a", L"/stations"}, L"Unknown argument \"/stations\"."},
        {{L"/station", L"a", L"--count", L"3"}, L"Unknown argument \"--count\"."},
        {{L"/station", L"a", L"/count:3"}, L"Unknown argument \"/count:3\"."},
        {{L"/station", L"a", L"/count", L"3", L"4"}, L"Unknown argument \"4\"."},
        {{L"/station", L"a", L"/station", L"b"}, L"/station is given twice."},
        {{L"/station", L"a", L"/count", L"1", L"-COUNT", L"2"}, L"/count is given twice."},
        {{L"-results", L"r", L"/station", L"a", L"/RESULTS", L"s"}, L"/results is given twice."},
        {{L"/timeout", L"5", L"/station", L"a", L"/timeout", L"5"}, L"/timeout is given twice."},
    };
    for (const Case& c : cases) {
        std::wstring line;
        for (const std::wstring& a : c.args) line += L"[" + a + L"] ";
        SCOPED_TRACE(station::Utf8(line));
        station::Arguments a;
        EXPECT_EQ(c.error, station::ParseArguments(c.args, &a));
        // Nothing of a bad line is taken for a station.
        EXPECT_FALSE(a.station);
        EXPECT_EQ(L"", a.firmware);
    }
}

// A model fits a file name only as a whole word of it.
TEST(StationModel, FitsTheFileNameOnlyAsAWhole) {
    EXPECT_TRUE(station::ModelFitsFileName(L"Corvane_RX20", L"v2-Corvane_RX20"));
    EXPECT_TRUE(station::ModelFitsFileName(L"Corvane_RX2", L"Corvane_RX20_Corvane_RX2.img"));
    for (const wchar_t* file : {L"Corvane_RX20_fw.img", L"XCorvane_RX2.img"})
        EXPECT_FALSE(station::ModelFitsFileName(L"Corvane_RX2", file)) << station::Utf8(file);
    EXPECT_FALSE(station::ModelFitsFileName(L"", L"Corvane_RX20_fw.img"));
}
