// System knobs through the table: the Windows version, the IsWow64Process
// look-up, the program's own path, processes and COM object creation.
#include "sim_test_support.h"

#include "os_api.h"

using namespace simtest;

namespace {

TEST(SimVersion, DefaultIsWindows10AndTheKnobChangesIt) {
    OSVERSIONINFOW v = {};
    v.dwOSVersionInfoSize = sizeof(v);
    ASSERT_EQ(276u, sizeof(v));
    ASSERT_TRUE(Os().GetVersionExW(&v));
    EXPECT_EQ(10u, v.dwMajorVersion);
    EXPECT_EQ(0u, v.dwMinorVersion);
    EXPECT_EQ(static_cast<DWORD>(VER_PLATFORM_WIN32_NT), v.dwPlatformId);

    struct Case {
        DWORD major, minor, build;
    } cases[] = {{5, 1, 2600}, {5, 2, 3790}, {6, 1, 7601}};
    for (const Case& c : cases) {
        sim::SetWindowsVersion(c.major, c.minor, c.build);
        OSVERSIONINFOEXW ex = {};
        ex.dwOSVersionInfoSize = sizeof(ex);
        ASSERT_TRUE(Os().GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&ex)));
        EXPECT_EQ(c.major, ex.dwMajorVersion);
        EXPECT_EQ(c.minor, ex.dwMinorVersion);
        EXPECT_EQ(c.build, ex.dwBuildNumber);
        EXPECT_EQ(VER_NT_WORKSTATION, ex.wProductType);
    }
    v.dwOSVersionInfoSize = sizeof(v) - 4;
    ::SetLastError(kMarker);
    EXPECT_FALSE(Os().GetVersionExW(&v));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), ::GetLastError());
}

TEST(SimWow64, LookupFollowsTheKnob) {
    HMODULE kernel32 = Os().GetModuleHandleW(L"kernel32.dll");
    ASSERT_NE(nullptr, kernel32);
    struct Case {
        sim::Wow64 mode;
        bool present;
        BOOL answer;
    } cases[] = {
        {sim::Wow64::Absent, false, FALSE},
        {sim::Wow64::True, true, TRUE},
        {sim::Wow64::False, true, FALSE},
        {sim::Wow64::Real, true, FALSE},  // a 64-bit process is never under WOW64
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.mode));
        sim::SetWow64(c.mode);
        ::SetLastError(kMarker);
        auto fn = reinterpret_cast<PFN_IsWow64Process>(Os().GetProcAddress(kernel32, "IsWow64Process"));
        EXPECT_EQ(c.present, fn != nullptr);
        if (!fn) {
            EXPECT_EQ(static_cast<DWORD>(ERROR_PROC_NOT_FOUND), ::GetLastError());
            continue;
        }
        BOOL wow = 7;
        EXPECT_TRUE(fn(::GetCurrentProcess(), &wow));
        EXPECT_EQ(c.answer, wow);
    }
    // Other names of kernel32 are the real ones.
    EXPECT_EQ(reinterpret_cast<FARPROC>(::GetProcAddress(kernel32, "GetTickCount")),
              Os().GetProcAddress(kernel32, "GetTickCount"));
}

TEST(SimModuleFileName, OverrideForTheProgramCutsAsWindowsDoes) {
    std::wstring folder = L"C:\\Program Files\\" + std::wstring(240, L'x');
    std::wstring path = folder + L"\\Corvane_FW_Updater.exe";
    ASSERT_GT(path.size(), static_cast<size_t>(MAX_PATH));
    sim::SetModuleFileName(path);
    wchar_t small[MAX_PATH];
    ::SetLastError(kMarker);
    EXPECT_EQ(static_cast<DWORD>(MAX_PATH), Os().GetModuleFileNameW(nullptr, small, MAX_PATH));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), ::GetLastError());
    EXPECT_EQ(path.substr(0, MAX_PATH - 1), std::wstring(small));
    std::vector<wchar_t> big(1024);
    EXPECT_EQ(path.size(), Os().GetModuleFileNameW(nullptr, big.data(), 1024));
    EXPECT_EQ(path, big.data());
    // Other modules keep their real names.
    wchar_t real[MAX_PATH];
    ASSERT_NE(0u, Os().GetModuleFileNameW(Os().GetModuleHandleW(L"kernel32.dll"), real, MAX_PATH));
    EXPECT_NE(std::wstring::npos, std::wstring(real).find(L"kernel32"));
}

const DWORD kElevationRequired = 740;  // ERROR_ELEVATION_REQUIRED, Vista and later

TEST(SimProcesses, CallsAreRecordedAndTheKnobsDecideTheOutcome) {
    wchar_t cmd1[] = L"PnPutil.exe -i -a cyusb3.inf";
    sim::SetCreateProcessFailure(kElevationRequired);
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    ::SetLastError(kMarker);
    EXPECT_FALSE(Os().CreateProcessW(nullptr, cmd1, nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, L"C:\\drivers", &si,
                                     &pi));
    EXPECT_EQ(static_cast<DWORD>(kElevationRequired), ::GetLastError());

    wchar_t cmd2[] = L"wdi-simple.exe --vid 0x4A7E --pid 0xDF00 --type 0";
    sim::SetCreateProcessExitCode(3);
    ASSERT_TRUE(Os().CreateProcessW(L"C:\\drivers\\wdi-simple.exe", cmd2, nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                    &si, &pi));
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), Os().WaitForSingleObject(pi.hProcess, 1000));
    DWORD code = 0;
    EXPECT_TRUE(Os().GetExitCodeProcess(pi.hProcess, &code));
    EXPECT_EQ(3u, code);
    EXPECT_TRUE(Os().CloseHandle(pi.hProcess));
    EXPECT_TRUE(Os().CloseHandle(pi.hThread));

    std::vector<sim::ProcessCall> calls = sim::ProcessCalls();
    ASSERT_EQ(2u, calls.size());
    EXPECT_EQ(L"", calls[0].applicationName);
    EXPECT_EQ(L"PnPutil.exe -i -a cyusb3.inf", calls[0].commandLine);
    EXPECT_EQ(L"C:\\drivers", calls[0].currentDirectory);
    EXPECT_EQ(static_cast<DWORD>(CREATE_NO_WINDOW), calls[0].creationFlags);
    EXPECT_EQ(L"C:\\drivers\\wdi-simple.exe", calls[1].applicationName);
    EXPECT_EQ(L"wdi-simple.exe --vid 0x4A7E --pid 0xDF00 --type 0", calls[1].commandLine);
}

TEST(SimProcesses, PassThroughRunsTheRealProgram) {
    wchar_t cmd[] = L"cmd.exe /c exit 7";
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    ASSERT_TRUE(Os().CreateProcessW(nullptr, cmd, nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi));
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), ::WaitForSingleObject(pi.hProcess, 30000));
    DWORD code = 0;
    EXPECT_TRUE(Os().GetExitCodeProcess(pi.hProcess, &code));
    EXPECT_EQ(7u, code);
    EXPECT_TRUE(Os().CloseHandle(pi.hProcess));
    EXPECT_TRUE(Os().CloseHandle(pi.hThread));
    EXPECT_EQ(1u, sim::ProcessCalls().size());
}

TEST(SimCom, AHookServesItsClassesAndTheRestIsReal) {
    ASSERT_TRUE(SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    static const CLSID kServed = {0x11111111, 0x2222, 0x3333, {4, 4, 4, 4, 4, 4, 4, 4}};
    static const CLSID kUnknown = {0x99999999, 0x2222, 0x3333, {4, 4, 4, 4, 4, 4, 4, 4}};
    int hookCalls = 0;
    sim::SetCoCreateInstanceHook([&](REFCLSID clsid, LPUNKNOWN, DWORD, REFIID, LPVOID* out, HRESULT* result) {
        ++hookCalls;
        if (!IsEqualCLSID(clsid, kServed)) return false;
        *out = nullptr;
        *result = S_FALSE;
        return true;
    });
    void* object = reinterpret_cast<void*>(1);
    EXPECT_EQ(S_FALSE, Os().CoCreateInstance(kServed, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &object));
    EXPECT_EQ(nullptr, object);
    EXPECT_EQ(REGDB_E_CLASSNOTREG, Os().CoCreateInstance(kUnknown, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &object));
    EXPECT_EQ(2, hookCalls);
    ::CoUninitialize();
}

TEST(SimWorld, ResetForgetsDevicesRecordsAndKnobs) {
    ReferenceWorld w = PlugReferenceWorld();
    sim::SetTimeScale(0.5);
    sim::SetWindowsVersion(5, 1, 2600);
    Os().OutputDebugStringW(L"line\r\n");
    Os().MessageBoxW(nullptr, L"t", L"c", MB_OK);
    HANDLE h = Os().CreateFileW(sim::InterfacePaths(w.dfu, sim::kGuidUsbDevice).at(0).c_str(), GENERIC_READ, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    sim::Reset();
    EXPECT_TRUE(EnumerateClass(sim::kGuidUsbDevice).empty());
    EXPECT_FALSE(sim::IsPresent(w.camera));
    EXPECT_TRUE(sim::DebugLines().empty());
    EXPECT_TRUE(sim::MessageBoxes().empty());
    EXPECT_DOUBLE_EQ(1.0, sim::TimeScale());
    OSVERSIONINFOW v = {};
    v.dwOSVersionInfoSize = sizeof(v);
    Os().GetVersionExW(&v);
    EXPECT_EQ(10u, v.dwMajorVersion);
    BYTE b[4];
    ::SetLastError(kMarker);
    EXPECT_FALSE(Os().ReadFile(h, b, 4, nullptr, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED), ::GetLastError());
    EXPECT_TRUE(Os().CloseHandle(h));
}

TEST(SimTable, TheSimulatedTableIsTheSimulatorsAndMatchesThisBuild) {
    EXPECT_EQ(SimOsApi(), &Os());
    EXPECT_EQ(static_cast<DWORD>(CORVANE_OS_API_VERSION), Os().version);
    EXPECT_EQ(sizeof(OsApi), Os().size);
    EXPECT_STREQ(L"simulator", Os().name);
    EXPECT_NE(&::SetupDiGetClassDevsW, Os().SetupDiGetClassDevsW);
}

}  // namespace

namespace {

// The first use of the simulator in a process makes its table and its world;
// a caller's last error must survive that as it survives any other call.
TEST(SimTable, FirstUseKeepsTheLastError) {
    ::SetLastError(kMarker);
    const OsApi* table = SimOsApi();
    EXPECT_EQ(kMarker, ::GetLastError());
    ::SetLastError(kMarker);
    table->GetTickCount();
    EXPECT_EQ(kMarker, ::GetLastError());
}

}  // namespace
