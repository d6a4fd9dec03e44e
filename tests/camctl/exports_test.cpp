// The identification exports of the production KivoFWSW.dll, reached through
// LoadLibraryW and GetProcAddress like any program that uses the library.
#include <gtest/gtest.h>

#include <cwchar>
#include <cwctype>
#include <string>

#include "kivofwsw_loader.h"
#include "library_paths.h"

namespace {

const KivoFwSw& Lib() {
    const KivoFwSw& lib = LoadKivoFwSw(kProductionKivoFwSw);
    if (lib.module == nullptr) ADD_FAILURE() << "LoadLibraryW failed for the production library";
    return lib;
}

std::wstring Upper(std::wstring s) {
    for (wchar_t& c : s) {
        if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
    }
    return s;
}

// A caller's buffer of the size the updater uses for IDs and paths.
struct Text {
    wchar_t buf[MAX_PATH];
    explicit Text(const std::wstring& s) {
        std::wmemset(buf, L'#', MAX_PATH);
        wcsncpy_s(buf, MAX_PATH, s.c_str(), _TRUNCATE);
    }
    std::wstring str() const { return buf; }
};

struct IdCase {
    const wchar_t* id;
    int expected;
};

void ExpectTable(int (*predicate)(wchar_t*), const char* name, std::initializer_list<IdCase> cases) {
    for (const IdCase& c : cases) {
        SCOPED_TRACE(std::string(name) + "(\"" + std::string(c.id, c.id + wcslen(c.id)) + "\")");
        Text id(c.id);
        EXPECT_EQ(predicate(id.buf), c.expected);
        EXPECT_EQ(id.str(), Upper(c.id)) << "the caller's buffer comes back upper-cased";
    }
}

// The product IDs of the family's cameras and update-mode devices.
const wchar_t* const kDfuPids[] = {
    L"D050", L"C150", L"C110", L"C111", L"C080", L"D020", L"D051", L"C151", L"C112", L"C034", L"D150",
    L"D052", L"CF34", L"C152", L"D010", L"C113", L"C153", L"D151", L"C035", L"C1D0", L"C140", L"C114",
    L"C130", L"C05B", L"D110", L"040A", L"C154", L"C0D0", L"D201", L"D202", L"C131", L"C081", L"DF00",
    L"C030", L"C1D1", L"00F3", L"DF01", L"C120", L"0035", L"C132", L"C155",
};

TEST(Exports, AllFoundByName) {
    const KivoFwSw& lib = Lib();
    ASSERT_NE(lib.module, nullptr);
    EXPECT_TRUE(lib.missing.empty()) << "missing exports:\n" << std::string(lib.missing.begin(), lib.missing.end());
}

TEST(IsDFUDeviceVID, FamilyVendorsOnly) {
    const KivoFwSw& lib = Lib();
    ASSERT_TRUE(lib.complete());
    ExpectTable(lib.IsDFUDeviceVID, "IsDFUDeviceVID",
                {
                    {L"4A7E", 1}, {L"0614", 1}, {L"04B4", 1},
                    {L"4a7e", 1}, {L"04b4", 1},
                    {L"1BCF", 0}, {L"1FC9", 0}, {L"4A7F", 0}, {L"0000", 0},
                    {L"4A7", 0}, {L"4A7E0", 0}, {L"04B", 0}, {L"0614 ", 0}, {L"", 0},
                });
}

TEST(IsDFUDevicePID, EveryEntryOfTheTable) {
    const KivoFwSw& lib = Lib();
    ASSERT_TRUE(lib.complete());
    for (const wchar_t* pid : kDfuPids) {
        SCOPED_TRACE(pid);
        Text exact(pid);
        EXPECT_EQ(lib.IsDFUDevicePID(exact.buf), 1);
        std::wstring lower = pid;
        for (wchar_t& c : lower) c = static_cast<wchar_t>(towlower(c));
        Text lowered(lower);
        EXPECT_EQ(lib.IsDFUDevicePID(lowered.buf), 1) << "lower case";
        EXPECT_EQ(lowered.str(), pid);
        // Three or five characters that share the entry's start never match.
        Text three(std::wstring(pid).substr(0, 3));
        EXPECT_EQ(lib.IsDFUDevicePID(three.buf), 0) << "three characters";
        Text five(std::wstring(pid) + L"0");
        EXPECT_EQ(lib.IsDFUDevicePID(five.buf), 0) << "five characters";
    }
}

TEST(IsDFUDevicePID, OtherProductsAreNotInTheTable) {
    const KivoFwSw& lib = Lib();
    ASSERT_TRUE(lib.complete());
    ExpectTable(lib.IsDFUDevicePID, "IsDFUDevicePID",
                {
                    {L"c114", 1}, {L"df01", 1},
                    // model and restricted products, boot loaders
                    {L"C05C", 0}, {L"C123", 0}, {L"C129", 0}, {L"C181", 0}, {L"0B12", 0},
                    {L"00C3", 0}, {L"C05A", 0}, {L"C051", 0}, {L"DF02", 0}, {L"0135", 0},
                    {L"C11", 0}, {L"C1140", 0}, {L"", 0}, {L"C1 4", 0},
                });
}

TEST(IsRestrictedCameraPID, RestrictedCamerasOnly) {
    const KivoFwSw& lib = Lib();
    ASSERT_TRUE(lib.complete());
    ExpectTable(lib.IsRestrictedCameraPID, "IsRestrictedCameraPID",
                {
                    {L"00C3", 1}, {L"C05A", 1}, {L"C051", 1},
                    {L"00c3", 1}, {L"c05a", 1},
                    {L"C05C", 0}, {L"C05B", 0}, {L"0B12", 0}, {L"DF00", 0},
                    {L"C05", 0}, {L"C05A0", 0}, {L"00C", 0}, {L"", 0},
                });
}

TEST(GetVidPid, CutsBothIdsAndUpperCasesTheString) {
    const KivoFwSw& lib = Lib();
    ASSERT_TRUE(lib.complete());
    struct Case {
        const char* name;
        const wchar_t* input;
        const wchar_t* vid;  // fields start as "KEEP"
        const wchar_t* pid;
    } cases[] = {
        {"lower-case video path", L"\\\\?\\usb#vid_4a7e&pid_c05c&mi_00#6&173bb4e8&0&0000#{65e8773d-8f56-11d0-a3b9-00a0c9223196}",
         L"4A7E", L"C05C"},
        {"instance id", L"USB\\VID_4A7E&PID_C05C\\SN12345678AB", L"4A7E", L"C05C"},
        {"hardware id", L"HID\\VID_04b4&PID_df00&REV_0100&MI_02", L"04B4", L"DF00"},
        {"no pid marker", L"USB\\VID_1FC9\\5&2F3C1A0&0&3", L"1FC9", L"KEEP"},
        {"no vid marker", L"USB\\PID_0135", L"KEEP", L"0135"},
        {"no marker at all", L"HID_DEVICE_SYSTEM_VIDEO", L"KEEP", L"KEEP"},
        {"first marker wins", L"VID_0614&PID_C123&VID_4A7E&PID_C129", L"0614", L"C123"},
        {"short at the end", L"vid_4a7e&pid_c0", L"4A7E", L"C0"},
        {"characters as they stand", L"VID_xy&z&PID_!!!!", L"XY&Z", L"!!!!"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Text s(c.input);
        wchar_t vid[10] = L"KEEP", pid[10] = L"KEEP";
        lib.GetVidPid(s.buf, vid, pid);
        EXPECT_EQ(std::wstring(vid), c.vid);
        EXPECT_EQ(std::wstring(pid), c.pid);
        EXPECT_EQ(s.str(), Upper(c.input));
    }
}

TEST(GetVidPid, TerminatesTheFieldsAfterFourCharacters) {
    const KivoFwSw& lib = Lib();
    ASSERT_TRUE(lib.complete());
    Text s(L"usb\\vid_4a7e&pid_c05c\\x");
    wchar_t vid[10] = L"123456789", pid[10] = L"123456789";
    lib.GetVidPid(s.buf, vid, pid);
    EXPECT_EQ(std::wstring(vid), L"4A7E");
    EXPECT_EQ(std::wstring(pid), L"C05C");
}

struct ModelCase {
    const char* name;
    const wchar_t* path;
    int tessa, r7, v9;
};

const ModelCase kModelCases[] = {
    {"tessa C123", L"\\\\?\\usb#vid_4a7e&pid_c123&mi_00#6&173bb4e8&0&0000#{65e8773d-8f56-11d0-a3b9-00a0c9223196}\\global", 1, 0, 0},
    {"tessa C129", L"USB\\VID_4A7E&PID_C129&MI_00\\6&173BB4E8&0&0000", 1, 0, 0},
    {"r7", L"\\\\?\\usb#vid_4a7e&pid_c05c&mi_00#6&1&0&0000#{65e8773d-8f56-11d0-a3b9-00a0c9223196}", 0, 1, 0},
    {"r7 instance id", L"USB\\VID_4A7E&PID_C05C\\SN12345678AB", 0, 1, 0},
    {"v9", L"\\\\?\\usb#vid_4a7e&pid_c181&mi_00#7&2&0&0000", 0, 0, 1},
    {"sunplus, lower case", L"\\\\?\\usb#vid_1bcf&pid_0b12&mi_00#7&3&0&0000", 0, 0, 1},
    {"sunplus, mixed case", L"\\\\?\\USB#Vid_1bCF&Pid_0B12&mi_00#7&3&0&0000", 0, 0, 1},
    // Each pair only as a whole.
    {"sunplus vendor, v9 product", L"USB\\VID_1BCF&PID_C181", 0, 0, 0},
    {"maker vendor, sunplus product", L"USB\\VID_4A7E&PID_0B12", 0, 0, 0},
    {"other family vendor, tessa product", L"USB\\VID_0614&PID_C123", 0, 0, 0},
    {"other family vendor, r7 product", L"USB\\VID_04B4&PID_C05C", 0, 0, 0},
    {"stereo camera", L"USB\\VID_4A7E&PID_C114&MI_02", 0, 0, 0},
    {"update-mode device", L"USB\\VID_4A7E&PID_DF00", 0, 0, 0},
    {"product cut short", L"USB\\VID_4A7E&PID_C12", 0, 0, 0},
    {"vendor cut short", L"VID_4A7&PID_C123", 0, 0, 0},
    {"no product", L"USB\\VID_4A7E\\SN", 0, 0, 0},
    {"no vendor", L"USB\\PID_C05C\\SN", 0, 0, 0},
    {"empty", L"", 0, 0, 0},
};

TEST(ModelPredicates, EachModelByItsPairs) {
    const KivoFwSw& lib = Lib();
    ASSERT_TRUE(lib.complete());
    for (const ModelCase& c : kModelCases) {
        SCOPED_TRACE(c.name);
        Text a(c.path), b(c.path), d(c.path);
        EXPECT_EQ(lib.IsTessaDeviceAvail(a.buf), c.tessa) << "IsTessaDeviceAvail";
        EXPECT_EQ(lib.IsKivoR7DeviceAvail(b.buf), c.r7) << "IsKivoR7DeviceAvail";
        EXPECT_EQ(lib.IsKivoV9_DeviceAvail(d.buf), c.v9) << "IsKivoV9_DeviceAvail";
        EXPECT_EQ(a.str(), Upper(c.path));
        EXPECT_EQ(b.str(), Upper(c.path));
        EXPECT_EQ(d.str(), Upper(c.path));
    }
}

TEST(ModelPredicates, FirstPairInTheStringDecides) {
    const KivoFwSw& lib = Lib();
    ASSERT_TRUE(lib.complete());
    Text s(L"USB\\VID_4A7E&PID_C05C\\VID_4A7E&PID_C123");
    EXPECT_EQ(lib.IsKivoR7DeviceAvail(s.buf), 1);
    EXPECT_EQ(lib.IsTessaDeviceAvail(s.buf), 0);
}

}  // namespace
