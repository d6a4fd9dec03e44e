// The ID text rules: upper-casing, cutting IDs out of device strings,
// comparing and looking them up.
#include "id_text.h"

#include <gtest/gtest.h>

#include <array>
#include <cwchar>
#include <string>

namespace {

// A field of the updater's size, filled with a recognisable text so that a
// test sees whether it was written.
struct Field {
    wchar_t text[kIdFieldCap];
    explicit Field(const wchar_t* initial) {
        std::wmemset(text, L'#', kIdFieldCap);
        std::wcsncpy(text, initial, kIdFieldCap - 1);
        text[kIdFieldCap - 1] = L'\0';
    }
    std::wstring str() const { return std::wstring(text); }
};

// A writable copy of a string in a buffer of exactly its size (terminator
// included): the sanitizers catch a read or write past it.
template <std::size_t N>
std::array<wchar_t, N> Buffer(const wchar_t (&s)[N]) {
    std::array<wchar_t, N> b{};
    for (std::size_t i = 0; i < N; ++i) b[i] = s[i];
    return b;
}

TEST(IdToUpperInPlace, ChangesOnlyAsciiLowerCaseLetters) {
    struct Case {
        const wchar_t* input;
        const wchar_t* expected;
    } cases[] = {
        {L"\\\\?\\usb#vid_4a7e&pid_c05c&mi_00", L"\\\\?\\USB#VID_4A7E&PID_C05C&MI_00"},
        {L"abcdefghijklmnopqrstuvwxyz", L"ABCDEFGHIJKLMNOPQRSTUVWXYZ"},
        {L"ABC xyz 0123456789", L"ABC XYZ 0123456789"},
        // The neighbours of a-z in ASCII: '`' before 'a', '{' after 'z'.
        {L"`a z{@[", L"`A Z{@["},
        // Letters outside ASCII stay as they are (a locale-aware upper-casing
        // would change them).
        {L"\u00e9\u00df\u00ff\u03b1\u0444", L"\u00e9\u00df\u00ff\u03b1\u0444"},
        {L"", L""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input);
        std::wstring s = c.input;
        IdToUpperInPlace(&s[0], s.size() + 1);
        EXPECT_EQ(s, c.expected);
    }
}

TEST(IdToUpperInPlace, StopsAtTheTerminatorAndAtTheCapacity) {
    wchar_t terminated[] = {L'a', L'b', L'\0', L'c', L'd', L'\0'};
    IdToUpperInPlace(terminated, 6);
    EXPECT_EQ(std::wstring(terminated, 5), std::wstring(L"AB\0cd", 5));

    auto unterminated = std::array<wchar_t, 4>{L'a', L'b', L'c', L'd'};
    IdToUpperInPlace(unterminated.data(), 3);
    EXPECT_EQ(std::wstring(unterminated.data(), 4), L"ABCd");
}

TEST(IdCutAfterMarker, TakesUpToFourCharactersAfterTheFirstMarker) {
    struct Case {
        const char* name;
        const wchar_t* input;
        const wchar_t* marker;
        bool found;
        const wchar_t* expected;  // field afterwards; it starts as "KEEP"
    } cases[] = {
        {"device path", L"USB\\VID_4A7E&PID_C05C\\SN12345678AB", L"VID_", true, L"4A7E"},
        {"pid of the same path", L"USB\\VID_4A7E&PID_C05C\\SN12345678AB", L"PID_", true, L"C05C"},
        {"absent marker leaves the field", L"USB\\ROOT_HUB30\\4&1", L"VID_", false, L"KEEP"},
        {"marker is case-sensitive", L"usb\\vid_4a7e&pid_c05c", L"VID_", false, L"KEEP"},
        {"lower-case marker", L"usb#vid_4a7e&pid_c05c", L"vid_", true, L"4a7e"},
        {"three characters at the end", L"USB\\VID_4A7", L"VID_", true, L"4A7"},
        {"one character at the end", L"USB\\PID_C", L"PID_", true, L"C"},
        {"marker at the very end", L"USB\\VID_", L"VID_", true, L""},
        {"non-hex characters as they stand", L"VID_ZZ#&x", L"VID_", true, L"ZZ#&"},
        {"separator inside the four", L"VID_4A&PID_0001", L"VID_", true, L"4A&P"},
        {"first of two markers wins", L"VID_1111&VID_2222", L"VID_", true, L"1111"},
        {"false start before the marker", L"VIVID_4A7E", L"VID_", true, L"4A7E"},
        {"marker without underscore skipped", L"VID4A7E&VID_0614", L"VID_", true, L"0614"},
        {"marker at the start", L"PID_DF00", L"PID_", true, L"DF00"},
        {"empty string", L"", L"VID_", false, L"KEEP"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::wstring s = c.input;
        Field field(L"KEEP");
        EXPECT_EQ(IdCutAfterMarker(s.c_str(), s.size() + 1, c.marker, field.text, kIdFieldCap), c.found);
        EXPECT_EQ(field.str(), c.expected);
        EXPECT_EQ(s, c.input) << "the string itself is not changed";
    }
}

TEST(IdCutAfterMarker, TerminatesTheFieldAfterTheId) {
    Field field(L"ABCDEFGHI");  // nine characters of old text
    ASSERT_TRUE(IdCutAfterMarker(L"VID_4A7E", 9, L"VID_", field.text, kIdFieldCap));
    EXPECT_EQ(field.str(), L"4A7E");

    Field shorter(L"ABCDEFGHI");
    ASSERT_TRUE(IdCutAfterMarker(L"VID_4A", 7, L"VID_", shorter.text, kIdFieldCap));
    EXPECT_EQ(shorter.str(), L"4A");
}

TEST(IdCutAfterMarker, RespectsTheCapacitiesOfStringAndField) {
    struct Case {
        const char* name;
        std::size_t s_cap;
        std::size_t field_cap;
        bool found;
        const wchar_t* expected;
    } cases[] = {
        {"whole string", 8, kIdFieldCap, true, L"4A7E"},
        {"string ends after two id characters", 6, kIdFieldCap, true, L"4A"},
        {"string ends right after the marker", 4, kIdFieldCap, true, L""},
        {"string ends inside the marker", 3, kIdFieldCap, false, L"zzzz"},
        {"field of three keeps two", 8, 3, true, L"4A"},
        {"field of one keeps only the terminator", 8, 1, true, L""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // Not terminated: only the capacity stops the scan.
        auto s = std::array<wchar_t, 8>{L'V', L'I', L'D', L'_', L'4', L'A', L'7', L'E'};
        auto field = std::array<wchar_t, kIdFieldCap>{L'z', L'z', L'z', L'z', L'\0'};
        EXPECT_EQ(IdCutAfterMarker(s.data(), c.s_cap, L"VID_", field.data(), c.field_cap), c.found);
        EXPECT_EQ(std::wstring(field.data()), c.expected);
    }

    // A field of capacity 0 is never written.
    auto field = std::array<wchar_t, 2>{L'z', L'\0'};
    IdCutAfterMarker(L"VID_4A7E", 9, L"VID_", field.data(), 0);
    EXPECT_EQ(field[0], L'z');
}

TEST(IdCutVidPidUpper, UpperCasesTheStringThenCutsBothIds) {
    struct Case {
        const char* name;
        const wchar_t* input;
        const wchar_t* upper;  // the string afterwards
        const wchar_t* vid;    // fields start as "KEEP"
        const wchar_t* pid;
    } cases[] = {
        {"lower-case video path",
         L"\\\\?\\usb#vid_4a7e&pid_c05c&mi_00#6&173bb4e8&0&0000#{65e8773d-8f56-11d0-a3b9-00a0c9223196}\\global",
         L"\\\\?\\USB#VID_4A7E&PID_C05C&MI_00#6&173BB4E8&0&0000#{65E8773D-8F56-11D0-A3B9-00A0C9223196}\\GLOBAL",
         L"4A7E", L"C05C"},
        {"hardware id", L"USB\\VID_04B4&PID_DF00&REV_0100", L"USB\\VID_04B4&PID_DF00&REV_0100", L"04B4", L"DF00"},
        {"pid before vid", L"pid_0b12&vid_1bcf", L"PID_0B12&VID_1BCF", L"1BCF", L"0B12"},
        {"no pid marker", L"usb\\vid_4a7e\\5&2f3c1a0", L"USB\\VID_4A7E\\5&2F3C1A0", L"4A7E", L"KEEP"},
        {"no marker at all", L"hid_device_system_video", L"HID_DEVICE_SYSTEM_VIDEO", L"KEEP", L"KEEP"},
        {"ids cut short by the end", L"vid_4a7e&pid_c0", L"VID_4A7E&PID_C0", L"4A7E", L"C0"},
        {"pid marker inside the vid's four", L"vid_pid_1234", L"VID_PID_1234", L"PID_", L"1234"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::wstring s = c.input;
        Field vid(L"KEEP"), pid(L"KEEP");
        IdCutVidPidUpper(&s[0], s.size() + 1, vid.text, kIdFieldCap, pid.text, kIdFieldCap);
        EXPECT_EQ(s, c.upper);
        EXPECT_EQ(vid.str(), c.vid);
        EXPECT_EQ(pid.str(), c.pid);
    }
}

TEST(IdCutVidPidUpper, StaysInsideAStringWithoutTerminator) {
    auto s = Buffer(L"vid_4a7e&pid_c05c");
    s.back() = L'c';  // no terminator left: the capacity is the only limit
    Field vid(L"KEEP"), pid(L"KEEP");
    IdCutVidPidUpper(s.data(), s.size(), vid.text, kIdFieldCap, pid.text, kIdFieldCap);
    EXPECT_EQ(vid.str(), L"4A7E");
    EXPECT_EQ(pid.str(), L"C05C");
    EXPECT_EQ(std::wstring(s.data(), s.size()), L"VID_4A7E&PID_C05CC");
}

TEST(IdCutVidPidLower, CutsFromALowerCasedViewAndLeavesTheStringAlone) {
    struct Case {
        const char* name;
        const wchar_t* input;
        const wchar_t* vid;  // fields start as "KEEP"
        const wchar_t* pid;
    } cases[] = {
        {"lower-case video path", L"\\\\?\\usb#vid_4a7e&pid_c05c&mi_00#6&173bb4e8&0&0000", L"4a7e", L"c05c"},
        {"upper-case path", L"USB\\VID_4A7E&PID_C05C\\SN12345678AB", L"4a7e", L"c05c"},
        {"mixed case", L"\\\\?\\Usb#Vid_1BcF&pId_0B12", L"1bcf", L"0b12"},
        {"no pid marker", L"usb#vid_4a7e#x", L"4a7e", L"KEEP"},
        {"no marker at all", L"root#media#0000", L"KEEP", L"KEEP"},
        {"first marker wins", L"vid_0614&pid_c123&vid_4a7e&pid_c129", L"0614", L"c123"},
        {"short at the end", L"vid_04b4&pid_d", L"04b4", L"d"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::wstring s = c.input;
        Field vid(L"KEEP"), pid(L"KEEP");
        IdCutVidPidLower(s.c_str(), s.size() + 1, vid.text, kIdFieldCap, pid.text, kIdFieldCap);
        EXPECT_EQ(vid.str(), c.vid);
        EXPECT_EQ(pid.str(), c.pid);
        EXPECT_EQ(s, c.input);
    }
}

TEST(IdCutBothWays, SameDeviceGivesIdsThatCompareEqual) {
    const std::wstring lower = L"\\\\?\\usb#vid_4a7e&pid_c05c&mi_00#6&173bb4e8&0&0000";
    std::wstring copy = lower;
    Field uvid(L""), upid(L""), lvid(L""), lpid(L"");
    IdCutVidPidUpper(&copy[0], copy.size() + 1, uvid.text, kIdFieldCap, upid.text, kIdFieldCap);
    IdCutVidPidLower(lower.c_str(), lower.size() + 1, lvid.text, kIdFieldCap, lpid.text, kIdFieldCap);
    EXPECT_EQ(uvid.str(), L"4A7E");
    EXPECT_EQ(upid.str(), L"C05C");
    EXPECT_EQ(lvid.str(), L"4a7e");
    EXPECT_EQ(lpid.str(), L"c05c");
    EXPECT_TRUE(IdEqualsText(uvid.text, kIdFieldCap, L"4A7E"));
    EXPECT_TRUE(IdEqualsText(upid.text, kIdFieldCap, L"C05C"));
    EXPECT_TRUE(IdEqualsText(lvid.text, kIdFieldCap, L"4A7E"));
    EXPECT_TRUE(IdEqualsText(lpid.text, kIdFieldCap, L"C05C"));
}

struct EqualCase {
    const wchar_t* a;
    const wchar_t* b;
    bool equal;
};

const EqualCase kEqualCases[] = {
    {L"C05C", L"C05C", true},
    {L"c05c", L"C05C", true},
    {L"4a7E", L"4A7e", true},
    {L"C05", L"C05C", false},    // three characters never equal four
    {L"C05C0", L"C05C", false},  // nor five
    {L"C05C", L"C05", false},
    {L"C05C", L"C05C ", false},
    {L"4A7E", L"4A7F", false},
    {L"0B12", L"OB12", false},  // letter O is not digit 0
    {L"", L"", true},
    {L"", L"4A7E", false},
    {L"\u00e9", L"\u00c9", false},  // only a-z fold
};

TEST(IdEqualUpperInPlace, ComparesUpperCasedTextsExactly) {
    for (const EqualCase& c : kEqualCases) {
        SCOPED_TRACE(std::wstring(c.a) + L" vs " + c.b);
        Field a(c.a), b(c.b);
        EXPECT_EQ(IdEqualUpperInPlace(a.text, kIdFieldCap, b.text, kIdFieldCap), c.equal);
        EXPECT_EQ(IdEqualUpperInPlace(b.text, kIdFieldCap, a.text, kIdFieldCap), c.equal);
    }
}

TEST(IdEqualUpperInPlace, LeavesBothBuffersUpperCased) {
    Field a(L"c05c"), b(L"df0a");
    EXPECT_FALSE(IdEqualUpperInPlace(a.text, kIdFieldCap, b.text, kIdFieldCap));
    EXPECT_EQ(a.str(), L"C05C");
    EXPECT_EQ(b.str(), L"DF0A");
}

TEST(IdEqualsText, ComparesWithTextsThatAreNotWritten) {
    for (const EqualCase& c : kEqualCases) {
        SCOPED_TRACE(std::wstring(c.a) + L" vs " + c.b);
        Field id(c.a);
        EXPECT_EQ(IdEqualsText(id.text, kIdFieldCap, c.b), c.equal);
    }
    // The stored ID is upper-cased in place; the text is only read (a literal
    // in read-only memory would fault if it were written).
    Field id(L"c05c");
    EXPECT_TRUE(IdEqualsText(id.text, kIdFieldCap, L"c05c"));
    EXPECT_EQ(id.str(), L"C05C");
}

TEST(IdTableFind, FirstEqualEntryWins) {
    wchar_t table[][kIdSlotCap] = {L"4A7E", L"0614", L"C114", L"c114", L"04B4"};
    struct Case {
        const wchar_t* id;
        int index;
    } cases[] = {
        {L"4A7E", 0}, {L"4a7e", 0}, {L"04B4", 4}, {L"c114", 2}, {L"C114", 2},
        {L"C11", -1}, {L"C1140", -1}, {L"114", -1}, {L"", -1}, {L"4A7F", -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        Field id(c.id);
        EXPECT_EQ(IdTableFind(id.text, kIdFieldCap, table, 5), c.index);
    }
}

TEST(IdTableFind, UpperCasesTheIdAndTheEntriesItExamines) {
    wchar_t table[][kIdSlotCap] = {L"0614", L"4a7e"};
    Field id(L"4a7e");
    EXPECT_EQ(IdTableFind(id.text, kIdFieldCap, table, 2), 1);
    EXPECT_EQ(id.str(), L"4A7E");
    EXPECT_EQ(std::wstring(table[1]), L"4A7E");
}

TEST(IdTableFind, SearchesOnlyTheGivenCount) {
    wchar_t table[][kIdSlotCap] = {L"4A7E", L"0614", L"04B4"};
    Field id(L"04B4");
    EXPECT_EQ(IdTableFind(id.text, kIdFieldCap, table, 2), -1);
    EXPECT_EQ(IdTableFind(id.text, kIdFieldCap, table, 0), -1);
    EXPECT_EQ(IdTableFind(id.text, kIdFieldCap, table, 3), 2);
}

}  // namespace
