// The production table with tracing: Windows itself answers (here Wine), the
// records are the same, and without CORVANE_TRACE Os() is Windows' table.
#include "json_lines.h"

#include "os_api.h"
#include "os_trace.h"

#include <gtest/gtest.h>

namespace {

constexpr DWORD kMarker = 0x0BADF00D;

}  // namespace

TEST(ProductionTrace, RecordsWhatWindowsAnswers) {
    const std::wstring trace = jsonl::FreshTempPath(L"trc");
    ::SetEnvironmentVariableW(L"CORVANE_TRACE", trace.c_str());
    ::SetLastError(kMarker);
    const OsApi& os = Os();
    EXPECT_EQ(kMarker, ::GetLastError());
    ASSERT_TRUE(ostrace::Active());
    EXPECT_NE(CorvaneRealOsApi(), &os);
    EXPECT_STREQ(L"windows", os.name);

    // A firmware file: opened, measured, read; its bytes stay out.
    const std::wstring file = jsonl::FreshTempPath(L"fw");
    const std::string content = "orviIMG-0123456789-content-that-must-not-appear";
    HANDLE w = ::CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD n = 0;
    ::WriteFile(w, content.data(), static_cast<DWORD>(content.size()), &n, nullptr);
    ::CloseHandle(w);
    HANDLE h = os.CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    char buffer[256] = {};
    ASSERT_TRUE(os.ReadFile(h, buffer, sizeof buffer, &n, nullptr));
    EXPECT_EQ(content, std::string(buffer, n));
    EXPECT_TRUE(os.CloseHandle(h));
    ::DeleteFileW(file.c_str());

    // A device that is not there: the caller and the record see the same error.
    const wchar_t* device = L"\\\\?\\usb#vid_4a7e&pid_df00#sn0#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
    ::SetLastError(kMarker);
    EXPECT_EQ(INVALID_HANDLE_VALUE,
              os.CreateFileW(device, GENERIC_READ | GENERIC_WRITE, 3, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                             nullptr));
    const DWORD openError = ::GetLastError();
    EXPECT_NE(kMarker, openError);

    const GUID usb = {0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};
    HDEVINFO set = os.SetupDiGetClassDevsW(&usb, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    SP_DEVICE_INTERFACE_DATA data = {};
    data.cbSize = sizeof(data);
    DWORD count = 0;
    while (os.SetupDiEnumDeviceInterfaces(set, nullptr, &usb, count, &data)) ++count;
    const DWORD endError = ::GetLastError();
    os.SetupDiDestroyDeviceInfoList(set);
    os.OutputDebugStringW(L"KivoFwSw: line\r\n");
    os.Sleep(1);

    const jsonl::Trace t = jsonl::ReadTrace(trace);
    for (const std::string& p : t.problems) ADD_FAILURE() << p;
    ASSERT_FALSE(t.records.empty());
    EXPECT_EQ("TraceStart", t.records[0].Str("call"));
    EXPECT_EQ("windows", t.records[0].Str("table"));

    const auto opens = t.Calls("CreateFileW");
    ASSERT_EQ(2u, opens.size());
    EXPECT_EQ(file, opens[0]->WStr("file"));
    EXPECT_EQ(1, opens[0]->Num("result"));
    EXPECT_EQ(std::wstring(device), opens[1]->WStr("dev"));
    EXPECT_EQ(0, opens[1]->Num("result"));
    EXPECT_EQ(static_cast<double>(openError), opens[1]->Num("error"));
    const auto reads = t.Calls("ReadFile");
    ASSERT_EQ(1u, reads.size());
    EXPECT_EQ(static_cast<double>(content.size()), reads[0]->Num("count"));
    EXPECT_FALSE(reads[0]->Has("in"));
    EXPECT_EQ(std::string::npos, t.raw.find("content-that")) << "no file bytes, not even as text";
    EXPECT_EQ(std::string::npos, t.raw.find(jsonl::Hex(std::vector<BYTE>(content.begin(), content.begin() + 8))));

    const auto enums = t.Calls("SetupDiEnumDeviceInterfaces");
    ASSERT_EQ(count + 1, enums.size());
    EXPECT_EQ(static_cast<double>(endError), enums.back()->Num("error"));
    const auto debug = t.Calls("OutputDebugStringW");
    ASSERT_EQ(1u, debug.size());
    EXPECT_EQ(L"KivoFwSw: line\r\n", debug[0]->WStr("text"));
    EXPECT_EQ(1u, t.Calls("Sleep").size());
    if (!::testing::Test::HasFailure()) ::DeleteFileW(trace.c_str());
}

TEST(ProductionTrace, WithoutTheVariableOsIsWindowsOwnTable) {
    ::SetEnvironmentVariableW(L"CORVANE_TRACE", nullptr);
    ::SetLastError(kMarker);
    EXPECT_EQ(CorvaneRealOsApi(), &Os());
    EXPECT_EQ(kMarker, ::GetLastError());
    EXPECT_FALSE(ostrace::Active());
}

namespace {

bool ProcessIsElevated() {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    const BOOL ok = ::GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size);
    ::CloseHandle(token);
    return ok && elevation.TokenIsElevated != 0;
}

bool Exists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

}  // namespace

// Wine runs every process with an elevated token, as an administrator's
// program runs on Windows: a trace file outside the user's profile is never
// opened, however the path is spelt; one inside it is.
TEST(ProductionTrace, WithAdministratorRightsOnlyAFileInTheProfileIsTraced) {
    ASSERT_TRUE(ProcessIsElevated()) << "this test needs an elevated process";
    wchar_t system[MAX_PATH];
    ASSERT_NE(0u, ::GetSystemDirectoryW(system, MAX_PATH));
    const std::wstring name = L"corvane-trace-" + std::to_wstring(::GetCurrentProcessId()) + L".jsonl";
    const std::wstring inProfile = jsonl::FreshTempPath(L"trc");
    // Up from the temporary folder (inside the profile) into the system folder.
    std::wstring up = inProfile.substr(0, inProfile.rfind(L'\\'));
    for (int i = 0; i < 8; ++i) up += L"\\..";
    const std::wstring systemFile = std::wstring(system) + L"\\" + name;
    const std::wstring refused[] = {
        systemFile,
        up + std::wstring(system).substr(2) + L"\\" + name,  // drive letter left out after the "..": C:\...
        L"\\\\?\\" + systemFile,
        L"\\\\.\\" + systemFile,
    };
    for (const std::wstring& path : refused) {
        SCOPED_TRACE(testing::Message() << "CORVANE_TRACE=" << testing::PrintToString(path));
        ::SetEnvironmentVariableW(L"CORVANE_TRACE", path.c_str());
        EXPECT_EQ(CorvaneRealOsApi(), CorvaneTracedTable(CorvaneRealOsApi()));
        EXPECT_FALSE(ostrace::Active());
        EXPECT_FALSE(Exists(systemFile)) << "a file was created in the system folder";
        ::DeleteFileW(systemFile.c_str());
    }
    ::SetEnvironmentVariableW(L"CORVANE_TRACE", inProfile.c_str());
    EXPECT_NE(CorvaneRealOsApi(), &Os());
    EXPECT_TRUE(ostrace::Active());
    EXPECT_TRUE(Exists(inProfile));
    ::DeleteFileW(inProfile.c_str());
}

// hid.dll and winusb.dll are not imported: the table loads them from the
// system folder when one of their entry points is first called.
TEST(ProductionTable, HidAndWinUsbAreLoadedAtTheirFirstUse) {
    const OsApi& os = *CorvaneRealOsApi();
    for (const wchar_t* dll : {L"hid.dll", L"winusb.dll"}) {
        EXPECT_EQ(nullptr, ::GetModuleHandleW(dll)) << "loaded before its first use: " << testing::PrintToString(dll);
    }
    HIDD_ATTRIBUTES attributes{};
    attributes.Size = sizeof(attributes);
    ::SetLastError(kMarker);
    EXPECT_FALSE(os.HidD_GetAttributes(nullptr, &attributes));
    EXPECT_NE(static_cast<DWORD>(ERROR_PROC_NOT_FOUND), ::GetLastError()) << "the system's own answer";
    EXPECT_NE(nullptr, ::GetModuleHandleW(L"hid.dll"));
    // Wine's winusb.dll has no working entry points to call; it is at least
    // still not loaded by the HID call.
    EXPECT_EQ(nullptr, ::GetModuleHandleW(L"winusb.dll"));
}
