// The updater's own ID helpers (updater/discovery/device_id.h): its GetVidPid
// with its two diagnostic lines, the enumeration's lower-case cut and the ID
// comparison.
#include "device_id.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cwchar>
#include <string>
#include <vector>

#include "debug_capture.h"

namespace {

using Lines = std::vector<std::wstring>;

TEST(UpdaterGetVidPid, WritesItsTwoLinesAndUpperCasesInPlace) {
    struct Case {
        const char* name;
        const wchar_t* input;
        const wchar_t* upper;
        const wchar_t* vid;  // fields start as "KEEP"
        const wchar_t* pid;
    } cases[] = {
        {"lower-case video path", L"\\\\?\\usb#vid_4a7e&pid_c05c&mi_00#6&173bb4e8&0&0000",
         L"\\\\?\\USB#VID_4A7E&PID_C05C&MI_00#6&173BB4E8&0&0000", L"4A7E", L"C05C"},
        {"hardware id", L"USB\\VID_04b4&PID_df00&REV_0100", L"USB\\VID_04B4&PID_DF00&REV_0100", L"04B4", L"DF00"},
        {"no markers", L"usb\\root_hub30\\4&1", L"USB\\ROOT_HUB30\\4&1", L"KEEP", L"KEEP"},
        {"no pid", L"usb\\vid_1fc9\\x", L"USB\\VID_1FC9\\X", L"1FC9", L"KEEP"},
        {"short at the end", L"VID_4A7E&PID_C1", L"VID_4A7E&PID_C1", L"4A7E", L"C1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        wchar_t path[MAX_PATH];
        wcscpy_s(path, c.input);
        wchar_t vid[kIdFieldCap] = L"KEEP", pid[kIdFieldCap] = L"KEEP";
        StartDebugCapture();
        updater::GetVidPid(path, vid, pid);
        EXPECT_EQ(CapturedDebugLines(), (Lines{L"GetVidPid ++\r\n", L"GetVidPid --\r\n"}));
        EXPECT_EQ(std::wstring(path), c.upper);
        EXPECT_EQ(std::wstring(vid), c.vid);
        EXPECT_EQ(std::wstring(pid), c.pid);
    }
}

TEST(UpdaterGetVidPidLowerCase, LowerCaseIdsAndPathUnchanged) {
    struct Case {
        const wchar_t* input;
        const wchar_t* vid;
        const wchar_t* pid;
    } cases[] = {
        {L"\\\\?\\usb#vid_4a7e&pid_c05c&mi_00#6&173bb4e8&0&0000", L"4a7e", L"c05c"},
        {L"\\\\?\\USB#VID_1BCF&PID_0B12&MI_00#7&3&0&0000", L"1bcf", L"0b12"},
        {L"\\\\?\\root#media#0000", L"KEEP", L"KEEP"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input);
        const std::wstring path = c.input;
        wchar_t vid[kIdFieldCap] = L"KEEP", pid[kIdFieldCap] = L"KEEP";
        StartDebugCapture();
        updater::GetVidPidLowerCase(path.c_str(), vid, pid);
        EXPECT_EQ(std::wstring(vid), c.vid);
        EXPECT_EQ(std::wstring(pid), c.pid);
        EXPECT_EQ(path, c.input);
        EXPECT_EQ(CapturedDebugLines(), Lines{}) << "the enumeration's cut writes no lines";
    }
}

TEST(UpdaterIsSameId, UpperCasesTheStoredIdAndComparesExactly) {
    struct Case {
        const wchar_t* stored;
        const wchar_t* text;
        bool same;
        const wchar_t* storedAfter;
    } cases[] = {
        {L"c05c", L"C05C", true, L"C05C"},
        {L"4a7e", L"4A7E", true, L"4A7E"},
        {L"df00", L"df00", true, L"DF00"},
        {L"c05", L"C05C", false, L"C05"},
        {L"c05c0", L"C05C", false, L"C05C0"},
        {L"1bcf", L"1BCE", false, L"1BCF"},
        {L"", L"0B12", false, L""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::wstring(c.stored) + L" vs " + c.text);
        wchar_t id[kIdFieldCap];
        wcscpy_s(id, c.stored);
        EXPECT_EQ(updater::IsSameId(id, c.text), c.same);
        EXPECT_EQ(std::wstring(id), c.storedAfter);
    }
}

}  // namespace
