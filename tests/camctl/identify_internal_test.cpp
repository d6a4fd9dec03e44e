// Inside the library: the ID tables as stored, and the stereo-camera test
// that the HID binding uses (not exported, so it is linked in directly).
#include "identify.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

template <std::size_t N>
std::vector<std::wstring> Entries(const wchar_t (&table)[N][kIdSlotCap]) {
    std::vector<std::wstring> out;
    for (const auto& slot : table) {
        EXPECT_EQ(slot[kIdLen], L'\0') << "slot not terminated after four characters";
        out.emplace_back(slot);
    }
    return out;
}

TEST(IdTables, ContentsInLookupOrder) {
    using V = std::vector<std::wstring>;
    EXPECT_EQ(Entries(DFUDeviceVIDTable), (V{L"4A7E", L"0614", L"04B4"}));
    EXPECT_EQ(Entries(RestrictedCameraPIDTable), (V{L"00C3", L"C05A", L"C051"}));
    EXPECT_EQ(Entries(DFUDevicePIDTable),
              (V{L"D050", L"C150", L"C110", L"C111", L"C080", L"D020", L"D051", L"C151", L"C112", L"C034", L"D150",
                 L"D052", L"CF34", L"C152", L"D010", L"C113", L"C153", L"D151", L"C035", L"C1D0", L"C140", L"C114",
                 L"C130", L"C05B", L"D110", L"040A", L"C154", L"C0D0", L"D201", L"D202", L"C131", L"C081", L"DF00",
                 L"C030", L"C1D1", L"00F3", L"DF01", L"C120", L"0035", L"C132", L"C155"}));
}

TEST(IsStereoCamera, MakerVendorWithC114Only) {
    struct Case {
        const wchar_t* s;
        int expected;
    } cases[] = {
        {L"\\\\?\\usb#vid_4a7e&pid_c114&mi_00#6&173bb4e8&0&0000#{65e8773d-8f56-11d0-a3b9-00a0c9223196}", 1},
        {L"HID\\VID_4A7E&PID_C114&MI_03\\7&2A8F41C&0&0000", 1},
        {L"USB\\VID_0614&PID_C114", 0},
        {L"USB\\VID_04B4&PID_C114", 0},
        {L"USB\\VID_4A7E&PID_C113", 0},
        {L"USB\\VID_4A7E&PID_C11", 0},
        {L"USB\\VID_4A7E", 0},
        {L"USB\\PID_C114", 0},
        {L"", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.s);
        std::wstring s = c.s;
        EXPECT_EQ(IsStereoCamera(&s[0]), c.expected);
        for (wchar_t ch : s) EXPECT_FALSE(ch >= L'a' && ch <= L'z') << "string not upper-cased";
    }
}

}  // namespace
