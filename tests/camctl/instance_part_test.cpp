// Inside the library: cutting the instance part and the interface marker out
// of device strings, within the strings' ends and the callers' buffers.
#include "instance_part.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <string>

namespace {

TEST(CutInstancePart, AfterTheMarkerOrAtPosition26) {
    struct Case {
        const wchar_t* s;
        bool fallback;
        bool found;
        const wchar_t* part;
    } cases[] = {
        {L"\\\\?\\USB#VID_4A7E&PID_C05C&MI_00#6&173BB4E8&0&0000#{65E8773D}", true, true, L"6&173BB4E8"},
        {L"USB\\VID_4A7E&PID_C05C&MI_02\\6&173BB4E8&0&0002", false, true, L"6&173BB4E8"},
        {L"\\\\?\\USB#VID_4A7E&PID_DF00#SN12345678AB#{A5DCBF10}", true, true, L"SN12345678"},
        {L"\\\\?\\USB#VID_4A7E&PID_DF00#SN12345678AB#{A5DCBF10}", false, false, L""},
        // Exactly long enough, and one character short.
        {L"\\\\?\\USB#VID_4A7E&PID_DF00#0123456789", true, true, L"0123456789"},
        {L"\\\\?\\USB#VID_4A7E&PID_DF00#012345678", true, false, L""},
        {L"X&MI_02\\0123456789", false, true, L"0123456789"},
        {L"X&MI_02\\012345678", false, false, L""},
        // A marker with too little after it does not fall back to position 26.
        {L"\\\\?\\USB#VID_4A7E&PID_DF00#0123456789&MI_0", true, false, L""},
        {L"", true, false, L""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.s);
        wchar_t part[kInstancePartCap];
        std::wmemset(part, L'#', kInstancePartCap);
        EXPECT_EQ(CutInstancePart(c.s, 4096, c.fallback, part, kInstancePartCap), c.found);
        EXPECT_EQ(std::wstring(part), c.part);
    }
}

TEST(CutInstancePart, StopsAtTheCapacityOfAnUnterminatedString) {
    // 30 characters without a terminator inside the capacity: the part at
    // 26 would need 36.
    const wchar_t text[] = L"\\\\?\\USB#VID_4A7E&PID_DF00#0123456789";
    wchar_t part[kInstancePartCap] = L"unchanged";
    EXPECT_FALSE(CutInstancePart(text, 30, true, part, kInstancePartCap));
    EXPECT_EQ(std::wstring(part), L"");
    EXPECT_TRUE(CutInstancePart(text, 36, true, part, kInstancePartCap));
    EXPECT_EQ(std::wstring(part), L"0123456789");
    wchar_t small[5] = L"abc";
    EXPECT_FALSE(CutInstancePart(text, 36, true, small, 5)) << "a buffer too small for ten characters";
}

TEST(CutInterfaceMarker, FiveCharactersOrWhatIsLeft) {
    struct Case {
        const wchar_t* s;
        bool found;
        const wchar_t* marker;
    } cases[] = {
        {L"USB\\VID_4A7E&PID_C114&MI_03\\6&1&0&0003", true, L"MI_03"},
        {L"HID\\VID_4A7E&PID_C114&REV_0100&MI_02", true, L"MI_02"},
        {L"HID\\VID_4A7E&PID_C114&MI_0", true, L"MI_0"},
        {L"USB\\VID_1FC9&PID_0135\\5&1&0&3", false, L"KEEP"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.s);
        wchar_t marker[kMarkerCap] = L"KEEP";
        EXPECT_EQ(CutInterfaceMarker(c.s, 4096, marker, kMarkerCap), c.found);
        EXPECT_EQ(std::wstring(marker), c.marker);
        EXPECT_EQ(HasInterfaceMarker(c.s, 4096), c.found);
    }
}

TEST(SameInstancePart, OnlyWholeEqualParts) {
    EXPECT_TRUE(SameInstancePart(L"6&173BB4E8", L"6&173BB4E8"));
    EXPECT_FALSE(SameInstancePart(L"6&173BB4E8", L"6&173BB4E9"));
    EXPECT_FALSE(SameInstancePart(L"", L"")) << "two missing parts are no match";
    EXPECT_FALSE(SameInstancePart(L"6&173BB4E", L"6&173BB4E"));
    EXPECT_FALSE(SameInstancePart(nullptr, L"6&173BB4E8"));
}

TEST(ContainsText, SubstringsOfBoundedStrings) {
    EXPECT_TRUE(ContainsText(L"USB\\VID_1FC9&PID_0135\\5&1", 64, L"1FC9", 5));
    EXPECT_TRUE(ContainsText(L"USB\\VID_1FC9&PID_0135\\5&1", 64, L"0135", 5));
    EXPECT_FALSE(ContainsText(L"USB\\VID_1FC9&PID_0135\\5&1", 64, L"0136", 5));
    EXPECT_FALSE(ContainsText(L"USB\\VID_1FC9&PID_0135", 64, L"", 5)) << "an empty ID matches nothing";
    EXPECT_FALSE(ContainsText(L"USB\\VID_1FC9&PID_0135", 20, L"0135", 5)) << "beyond the capacity";
}

}  // namespace
