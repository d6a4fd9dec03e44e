// The diagnostic lines of the identification exports, read back from the
// simulated-flavour KivoFWSW.dll, whose debugger output is captured.
#include <gtest/gtest.h>

#include <cwchar>
#include <string>
#include <vector>

#include "debug_capture.h"
#include "kivofwsw_loader.h"
#include "library_paths.h"

namespace {

using Lines = std::vector<std::wstring>;

const KivoFwSw& Lib() { return LoadKivoFwSw(kSimulatedKivoFwSw); }

struct TableCase {
    const char* name;
    int (*KivoFwSw::*fn)(wchar_t*);
    const wchar_t* id;
    int result;
    const wchar_t* line;
};

const TableCase kTableCases[] = {
    {"vid found", &KivoFwSw::IsDFUDeviceVID, L"04b4", 1, L" IsDFUDeviceVID sucess...\r\n"},
    {"vid not found", &KivoFwSw::IsDFUDeviceVID, L"1BCF", 0, L"IsDFUDeviceVID Failed --\r\n"},
    {"pid found", &KivoFwSw::IsDFUDevicePID, L"c155", 1, L" MatchPidForVideoDevice sucess...\r\n"},
    {"pid not found", &KivoFwSw::IsDFUDevicePID, L"C05C", 0, L"MacthPidForVideoDevice --\r\n"},
    {"restricted found", &KivoFwSw::IsRestrictedCameraPID, L"C051", 1, L" IsRestricatedCameraPID sucess...\r\n"},
    {"restricted not found", &KivoFwSw::IsRestrictedCameraPID, L"C05", 0, L"IsRestricatedCameraPID --\r\n"},
};

TEST(TableLogLines, OneLineForTheAnswer) {
    const KivoFwSw& lib = Lib();
    ASSERT_TRUE(lib.complete()) << "simulated KivoFWSW.dll not loaded";
    for (const TableCase& c : kTableCases) {
        SCOPED_TRACE(c.name);
        wchar_t id[10];
        wcscpy_s(id, c.id);
        StartDebugCapture();
        EXPECT_EQ((lib.*c.fn)(id), c.result);
        EXPECT_EQ(CapturedDebugLines(), Lines{c.line});
    }
}

struct ModelCase {
    const char* name;
    int (*KivoFwSw::*fn)(wchar_t*);
    const wchar_t* path;
    int result;
};

const ModelCase kModelCases[] = {
    {"tessa", &KivoFwSw::IsTessaDeviceAvail, L"\\\\?\\usb#vid_4a7e&pid_c129&mi_00#6&1&0&0000", 1},
    {"not tessa", &KivoFwSw::IsTessaDeviceAvail, L"\\\\?\\usb#vid_4a7e&pid_c05c&mi_00#6&1&0&0000", 0},
    {"r7", &KivoFwSw::IsKivoR7DeviceAvail, L"USB\\VID_4A7E&PID_C05C\\SN1", 1},
    {"not r7", &KivoFwSw::IsKivoR7DeviceAvail, L"USB\\VID_4A7E&PID_C181\\SN1", 0},
    {"v9", &KivoFwSw::IsKivoV9_DeviceAvail, L"usb\\vid_1bcf&pid_0b12\\sn1", 1},
    {"not v9", &KivoFwSw::IsKivoV9_DeviceAvail, L"USB\\VID_1BCF&PID_C181\\SN1", 0},
};

TEST(ModelLogLines, EntryLineAndExitLineOnlyWhenNo) {
    const KivoFwSw& lib = Lib();
    ASSERT_TRUE(lib.complete()) << "simulated KivoFWSW.dll not loaded";
    for (const ModelCase& c : kModelCases) {
        SCOPED_TRACE(c.name);
        wchar_t path[MAX_PATH];
        wcscpy_s(path, c.path);
        StartDebugCapture();
        EXPECT_EQ((lib.*c.fn)(path), c.result);
        const Lines expected = c.result ? Lines{L"IsTessaDevice ++\r\n"}
                                        : Lines{L"IsTessaDevice ++\r\n", L"IsTessaDevice --\r\n"};
        EXPECT_EQ(CapturedDebugLines(), expected);
    }
}

TEST(GetVidPidLogLines, TheLibraryCopyWritesNone) {
    const KivoFwSw& lib = Lib();
    ASSERT_TRUE(lib.complete()) << "simulated KivoFWSW.dll not loaded";
    wchar_t path[] = L"usb\\vid_4a7e&pid_c05c\\sn1";
    wchar_t vid[10] = L"", pid[10] = L"";
    StartDebugCapture();
    lib.GetVidPid(path, vid, pid);
    EXPECT_EQ(CapturedDebugLines(), Lines{});
    EXPECT_EQ(std::wstring(vid), L"4A7E");
    EXPECT_EQ(std::wstring(pid), L"C05C");
}

}  // namespace
