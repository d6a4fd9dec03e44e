// The launcher's decisions, driven through a copy of the OS table whose
// process, version, path, wait, sleep and debugger entries are stand-ins that
// record what the launcher did, in order.
#include "tandemset.h"

#include <gtest/gtest.h>

#include <cwctype>
#include <set>
#include <string>
#include <vector>

namespace {

enum class Wow64Answer { No, Yes, Missing };

struct StartCall {
    std::wstring application;  // "(null)" when none was passed
    std::wstring commandLine;
    bool plain;                // no inheritance, no flags, caller's environment and folder, bare STARTUPINFO
};

// The world the launcher sees. One test runs in one process, so the stand-ins
// reach it through a plain pointer.
struct World {
    std::wstring modulePath = L"C:\\Corvane Tools\\Tandemset.exe";
    DWORD moduleFileResult = 0;  // when set, GetModuleFileNameW returns this instead (0: failure)
    bool moduleFileFails = false;
    bool versionFails = false;
    DWORD major = 10, minor = 0;
    Wow64Answer wow64 = Wow64Answer::No;
    std::set<std::wstring> files;        // lower-case full paths
    std::set<std::wstring> directories;  // lower-case full paths
    std::set<int> failingStarts;         // 0-based CreateProcessW calls that fail

    int starts = 0;
    std::vector<StartCall> startCalls;
    std::vector<std::wstring> events;
    std::vector<std::wstring> debugLines;
    std::vector<DWORD> versionSizes;
};

World* g_world = nullptr;

std::wstring Lower(std::wstring text) {
    for (auto& c : text) c = static_cast<wchar_t>(std::towlower(c));
    return text;
}

std::wstring Hex(const void* value) {
    wchar_t text[32];
    swprintf(text, 32, L"%llx", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(value)));
    return text;
}

BOOL WINAPI FakeIsWow64Process(HANDLE process, PBOOL wow64) {
    if (process != GetCurrentProcess()) {
        g_world->events.push_back(L"IsWow64Process for another process");
        return FALSE;
    }
    *wow64 = g_world->wow64 == Wow64Answer::Yes;
    return TRUE;
}

FARPROC WINAPI FakeGetProcAddress(HMODULE module, LPCSTR name) {
    if (HIWORD(reinterpret_cast<uintptr_t>(name)) != 0 && std::string(name) == "IsWow64Process") {
        if (module != GetModuleHandleW(L"kernel32")) {
            g_world->events.push_back(L"IsWow64Process looked up outside kernel32");
            return nullptr;
        }
        if (g_world->wow64 == Wow64Answer::Missing) {
            SetLastError(ERROR_PROC_NOT_FOUND);
            return nullptr;
        }
        return reinterpret_cast<FARPROC>(&FakeIsWow64Process);
    }
    return CorvaneRealOsApi()->GetProcAddress(module, name);
}

// Behaves as Windows does: a path that does not fit is cut, terminated, and the
// buffer size returned with ERROR_INSUFFICIENT_BUFFER.
DWORD WINAPI FakeGetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size) {
    if (module != nullptr) {
        g_world->events.push_back(L"GetModuleFileNameW of another module");
        return 0;
    }
    if (g_world->moduleFileFails) {
        SetLastError(ERROR_ACCESS_DENIED);
        return 0;
    }
    const std::wstring& path = g_world->modulePath;
    if (path.size() >= size) {
        path.copy(buffer, size - 1);
        buffer[size - 1] = L'\0';
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    path.copy(buffer, path.size());
    buffer[path.size()] = L'\0';
    return static_cast<DWORD>(path.size());
}

BOOL WINAPI FakeGetVersionExW(LPOSVERSIONINFOW info) {
    g_world->versionSizes.push_back(info->dwOSVersionInfoSize);
    if (info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOW) && info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOEXW)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    if (g_world->versionFails) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    info->dwMajorVersion = g_world->major;
    info->dwMinorVersion = g_world->minor;
    info->dwBuildNumber = 1;
    info->dwPlatformId = VER_PLATFORM_WIN32_NT;
    return TRUE;
}

DWORD WINAPI FakeGetFileAttributesW(LPCWSTR path) {
    std::wstring key = Lower(path);
    if (g_world->files.count(key)) return FILE_ATTRIBUTE_ARCHIVE;
    if (g_world->directories.count(key)) return FILE_ATTRIBUTE_DIRECTORY;
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_FILE_ATTRIBUTES;
}

bool IsBareStartupInfo(const STARTUPINFOW* startup) {
    if (startup == nullptr || startup->cb != sizeof(STARTUPINFOW)) return false;
    STARTUPINFOW zero;
    ZeroMemory(&zero, sizeof(zero));
    zero.cb = sizeof(STARTUPINFOW);
    return memcmp(startup, &zero, sizeof(zero)) == 0;
}

BOOL WINAPI FakeCreateProcessW(LPCWSTR application, LPWSTR commandLine, LPSECURITY_ATTRIBUTES processAttributes,
                               LPSECURITY_ATTRIBUTES threadAttributes, BOOL inherit, DWORD flags, LPVOID environment,
                               LPCWSTR currentDirectory, LPSTARTUPINFOW startup, LPPROCESS_INFORMATION info) {
    int index = g_world->starts++;
    StartCall call;
    call.application = application ? application : L"(null)";
    call.commandLine = commandLine ? commandLine : L"(null)";
    call.plain = processAttributes == nullptr && threadAttributes == nullptr && !inherit && flags == 0 &&
                 environment == nullptr && currentDirectory == nullptr && IsBareStartupInfo(startup);
    g_world->startCalls.push_back(call);
    if (g_world->failingStarts.count(index)) {
        g_world->events.push_back(L"start failed " + call.commandLine);
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    g_world->events.push_back(L"start " + call.commandLine);
    info->hProcess = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x1000 + 0x10 * index));
    info->hThread = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x1008 + 0x10 * index));
    info->dwProcessId = 100 + index;
    info->dwThreadId = 200 + index;
    return TRUE;
}

DWORD WINAPI FakeWaitForSingleObject(HANDLE handle, DWORD timeout) {
    g_world->events.push_back(L"wait " + Hex(handle) + (timeout == INFINITE ? L" forever" : L" limited"));
    return WAIT_OBJECT_0;
}

BOOL WINAPI FakeCloseHandle(HANDLE handle) {
    g_world->events.push_back(L"close " + Hex(handle));
    return TRUE;
}

void WINAPI FakeSleep(DWORD milliseconds) { g_world->events.push_back(L"sleep " + std::to_wstring(milliseconds)); }

void WINAPI FakeOutputDebugStringW(LPCWSTR text) {
    g_world->debugLines.push_back(text);
    g_world->events.push_back(L"debug " + std::wstring(text));
}

OsApi FakeOs(World& world) {
    g_world = &world;
    OsApi os = *CorvaneRealOsApi();
    os.GetProcAddress = FakeGetProcAddress;
    os.GetModuleFileNameW = FakeGetModuleFileNameW;
    os.GetVersionExW = FakeGetVersionExW;
    os.GetFileAttributesW = FakeGetFileAttributesW;
    os.CreateProcessW = FakeCreateProcessW;
    os.WaitForSingleObject = FakeWaitForSingleObject;
    os.CloseHandle = FakeCloseHandle;
    os.Sleep = FakeSleep;
    os.OutputDebugStringW = FakeOutputDebugStringW;
    return os;
}

std::wstring SystemFolder() {
    wchar_t folder[MAX_PATH];
    UINT length = GetSystemDirectoryW(folder, MAX_PATH);
    EXPECT_GT(length, 0u);
    return std::wstring(folder, length);
}

// The events of one started tool: the n-th CreateProcessW call (0-based)
// waited for without a limit, then both handles closed.
std::vector<std::wstring> StartedTool(int n, const std::wstring& commandLine) {
    std::wstring process = Hex(reinterpret_cast<void*>(static_cast<uintptr_t>(0x1000 + 0x10 * n)));
    std::wstring thread = Hex(reinterpret_cast<void*>(static_cast<uintptr_t>(0x1008 + 0x10 * n)));
    return {L"start " + commandLine, L"wait " + process + L" forever", L"close " + thread, L"close " + process};
}

void Append(std::vector<std::wstring>& to, const std::vector<std::wstring>& more) {
    to.insert(to.end(), more.begin(), more.end());
}

const wchar_t kFolder[] = L"C:\\Corvane Tools\\";

// ---------------------------------------------------------------------------
// Every row of the version table, on 32-bit Windows and under WOW64, and the
// 64-bit build (no WOW64 process, yet on 64-bit Windows).

struct VersionRow {
    const char* name;
    DWORD major, minor;
    ProcessWidth width;
    Wow64Answer wow64;
    const wchar_t* debugLine;       // written before anything starts, or nullptr
    const wchar_t* packageCommand;  // nullptr: no package tool is started
    const wchar_t* packageTool;     // the file started for it
    const wchar_t* installer;       // full path of the installer tool
};

void PrintTo(const VersionRow& row, std::ostream* out) { *out << row.name; }

const VersionRow kVersionRows[] = {
    {"Windows10_32bit", 10, 0, ProcessWidth::Bits32, Wow64Answer::No, nullptr,
     L"PnPutil.exe  -i  -a C:\\Corvane Tools\\Drivers\\win8\\x86\\cyusb3.inf", L"C:\\Corvane Tools\\PnPutil.exe",
     L"C:\\Corvane Tools\\wdi.exe"},
    {"Windows10_Wow64", 10, 0, ProcessWidth::Bits32, Wow64Answer::Yes, nullptr,
     L"PnPutil7.exe  -i  -a C:\\Corvane Tools\\Drivers\\win8\\x64\\cyusb3.inf", L"C:\\Corvane Tools\\PnPutil7.exe",
     L"C:\\Corvane Tools\\wdi_x64.exe"},
    {"Windows7_32bit", 6, 1, ProcessWidth::Bits32, Wow64Answer::No, nullptr,
     L"PnPutil.exe  -i  -a C:\\Corvane Tools\\Drivers\\win7\\x86\\cyusb3.inf", L"C:\\Corvane Tools\\PnPutil.exe",
     L"C:\\Corvane Tools\\wdi.exe"},
    {"Windows7_Wow64", 6, 1, ProcessWidth::Bits32, Wow64Answer::Yes, nullptr,
     L"PnPutil7.exe  -i  -a C:\\Corvane Tools\\Drivers\\win7\\x64\\cyusb3.inf", L"C:\\Corvane Tools\\PnPutil7.exe",
     L"C:\\Corvane Tools\\wdi_x64.exe"},
    {"Windows8_32bit", 6, 2, ProcessWidth::Bits32, Wow64Answer::No, L"2 windows 8  32 Bit\n",
     L"PnPutil.exe  -i  -a \"C:\\Corvane Tools\\Drivers\\win8\\x86\\cyusb3.inf\"", L"C:\\Corvane Tools\\PnPutil.exe",
     L"C:\\Corvane Tools\\wdi.exe"},
    {"Windows8_Wow64", 6, 2, ProcessWidth::Bits32, Wow64Answer::Yes, L" 2 windows 8  64 Bit\n",
     L"PnPutil7.exe  -i  -a C:\\Corvane Tools\\Drivers\\win8\\x64\\cyusb3.inf", L"C:\\Corvane Tools\\PnPutil7.exe",
     L"C:\\Corvane Tools\\wdi_x64.exe"},
    {"Windows81_32bit", 6, 3, ProcessWidth::Bits32, Wow64Answer::No, L"3 windows 8  32 Bit\n",
     L"PnPutil.exe  -i  -a C:\\Corvane Tools\\Drivers\\win8\\x86\\cyusb3.inf", L"C:\\Corvane Tools\\PnPutil.exe",
     L"C:\\Corvane Tools\\wdi.exe"},
    {"Windows81_Wow64", 6, 3, ProcessWidth::Bits32, Wow64Answer::Yes, L"3 windows 8  64 Bit\n",
     L"PnPutil7.exe  -i  -a C:\\Corvane Tools\\Drivers\\win8\\x64\\cyusb3.inf", L"C:\\Corvane Tools\\PnPutil7.exe",
     L"C:\\Corvane Tools\\wdi_x64.exe"},
    {"Vista_32bit", 6, 0, ProcessWidth::Bits32, Wow64Answer::No, nullptr, nullptr, nullptr,
     L"C:\\Corvane Tools\\wdi.exe"},
    {"Vista_Wow64", 6, 0, ProcessWidth::Bits32, Wow64Answer::Yes, nullptr, nullptr, nullptr,
     L"C:\\Corvane Tools\\wdi_x64.exe"},
    {"WindowsXP_32bit", 5, 1, ProcessWidth::Bits32, Wow64Answer::No, nullptr, nullptr, nullptr,
     L"C:\\Corvane Tools\\wdi.exe"},
    {"WindowsXP_Wow64", 5, 1, ProcessWidth::Bits32, Wow64Answer::Yes, nullptr, nullptr, nullptr,
     L"C:\\Corvane Tools\\wdi_x64.exe"},
    {"Version6_4_32bit", 6, 4, ProcessWidth::Bits32, Wow64Answer::No, nullptr, nullptr, nullptr,
     L"C:\\Corvane Tools\\wdi.exe"},
    {"Version11_Wow64", 11, 0, ProcessWidth::Bits32, Wow64Answer::Yes, nullptr, nullptr, nullptr,
     L"C:\\Corvane Tools\\wdi_x64.exe"},
    // Systems without IsWow64Process are 32-bit.
    {"Windows7_NoWow64Lookup", 6, 1, ProcessWidth::Bits32, Wow64Answer::Missing, nullptr,
     L"PnPutil.exe  -i  -a C:\\Corvane Tools\\Drivers\\win7\\x86\\cyusb3.inf", L"C:\\Corvane Tools\\PnPutil.exe",
     L"C:\\Corvane Tools\\wdi.exe"},
    // The 64-bit build is not a WOW64 process, yet runs on 64-bit Windows only.
    {"Windows10_64bitBuild", 10, 0, ProcessWidth::Bits64, Wow64Answer::No, nullptr,
     L"PnPutil7.exe  -i  -a C:\\Corvane Tools\\Drivers\\win8\\x64\\cyusb3.inf", L"C:\\Corvane Tools\\PnPutil7.exe",
     L"C:\\Corvane Tools\\wdi_x64.exe"},
    {"Windows7_64bitBuild", 6, 1, ProcessWidth::Bits64, Wow64Answer::No, nullptr,
     L"PnPutil7.exe  -i  -a C:\\Corvane Tools\\Drivers\\win7\\x64\\cyusb3.inf", L"C:\\Corvane Tools\\PnPutil7.exe",
     L"C:\\Corvane Tools\\wdi_x64.exe"},
    {"Windows8_64bitBuild", 6, 2, ProcessWidth::Bits64, Wow64Answer::No, L" 2 windows 8  64 Bit\n",
     L"PnPutil7.exe  -i  -a C:\\Corvane Tools\\Drivers\\win8\\x64\\cyusb3.inf", L"C:\\Corvane Tools\\PnPutil7.exe",
     L"C:\\Corvane Tools\\wdi_x64.exe"},
    {"Windows81_64bitBuild", 6, 3, ProcessWidth::Bits64, Wow64Answer::No, L"3 windows 8  64 Bit\n",
     L"PnPutil7.exe  -i  -a C:\\Corvane Tools\\Drivers\\win8\\x64\\cyusb3.inf", L"C:\\Corvane Tools\\PnPutil7.exe",
     L"C:\\Corvane Tools\\wdi_x64.exe"},
    {"Vista_64bitBuild", 6, 0, ProcessWidth::Bits64, Wow64Answer::No, nullptr, nullptr, nullptr,
     L"C:\\Corvane Tools\\wdi_x64.exe"},
};

class VersionTable : public ::testing::TestWithParam<VersionRow> {};

TEST_P(VersionTable, StartsThePackageToolAndBothInstallerRunsInOrder) {
    const VersionRow& row = GetParam();
    World world;
    world.major = row.major;
    world.minor = row.minor;
    world.wow64 = row.wow64;
    world.files = {Lower(std::wstring(kFolder) + L"PnPutil.exe"), Lower(std::wstring(kFolder) + L"PnPutil7.exe")};
    OsApi os = FakeOs(world);

    EXPECT_EQ(0, RunTandemset(os, row.width));

    const std::wstring installer = row.installer;
    std::vector<std::wstring> expected;
    if (row.debugLine) expected.push_back(std::wstring(L"debug ") + row.debugLine);
    int n = 0;
    if (row.packageCommand) {
        Append(expected, StartedTool(n++, row.packageCommand));
        expected.push_back(L"debug Driver installed successfully");
    }
    expected.push_back(L"sleep 2000");
    Append(expected, StartedTool(n++, installer + L" -n orviDFU -m orvi -v 0x4A7E -p 0xDF00 -t 0 -b"));
    Append(expected, StartedTool(n++, installer + L" -n orviDFU -m orvi -v 0x4A7E -p 0xDF01 -t 0 -b"));
    expected.push_back(L"sleep 1000");
    EXPECT_EQ(expected, world.events);

    // Each tool is started by its full path, never by a bare name that the
    // system would also look for in the current folder.
    std::vector<std::wstring> applications;
    for (const StartCall& call : world.startCalls) {
        applications.push_back(call.application);
        EXPECT_TRUE(call.plain) << "CreateProcessW for " << call.commandLine;
    }
    std::vector<std::wstring> expectedApplications;
    if (row.packageTool) expectedApplications.push_back(row.packageTool);
    expectedApplications.push_back(installer);
    expectedApplications.push_back(installer);
    EXPECT_EQ(expectedApplications, applications);

    ASSERT_FALSE(world.versionSizes.empty());
    EXPECT_EQ(sizeof(OSVERSIONINFOW), world.versionSizes[0]);
}

INSTANTIATE_TEST_SUITE_P(Tandemset, VersionTable, ::testing::ValuesIn(kVersionRows),
                         [](const ::testing::TestParamInfo<VersionRow>& info) { return info.param.name; });

TEST(Tandemset, UnreadableVersionStartsNoPackageToolButBothInstallers) {
    World world;
    world.versionFails = true;
    world.files = {Lower(std::wstring(kFolder) + L"PnPutil.exe")};
    OsApi os = FakeOs(world);

    EXPECT_EQ(0, RunTandemset(os, ProcessWidth::Bits32));

    ASSERT_EQ(2u, world.startCalls.size());
    EXPECT_EQ(L"C:\\Corvane Tools\\wdi.exe -n orviDFU -m orvi -v 0x4A7E -p 0xDF00 -t 0 -b",
              world.startCalls[0].commandLine);
    EXPECT_EQ(L"C:\\Corvane Tools\\wdi.exe -n orviDFU -m orvi -v 0x4A7E -p 0xDF01 -t 0 -b",
              world.startCalls[1].commandLine);
    EXPECT_TRUE(world.debugLines.empty());
}

// ---------------------------------------------------------------------------
// Where the package tool comes from: the program folder, then the system
// folder, never the current folder.

struct ToolRow {
    const char* name;
    ProcessWidth width;
    std::vector<std::wstring> files;        // beside the launcher
    std::vector<std::wstring> directories;  // beside the launcher
    const wchar_t* fromProgramFolder;       // expected path, or nullptr for the system folder
    const wchar_t* fileName;
};

void PrintTo(const ToolRow& row, std::ostream* out) { *out << row.name; }

const ToolRow kToolRows[] = {
    {"BesideTheLauncher32", ProcessWidth::Bits32, {L"PnPutil.exe"}, {}, L"C:\\Corvane Tools\\PnPutil.exe",
     L"PnPutil.exe"},
    {"BesideTheLauncher64", ProcessWidth::Bits64, {L"PnPutil7.exe"}, {}, L"C:\\Corvane Tools\\PnPutil7.exe",
     L"PnPutil7.exe"},
    {"OnlyTheOtherWidthBeside", ProcessWidth::Bits32, {L"PnPutil7.exe"}, {}, nullptr, L"PnPutil.exe"},
    {"NoneBeside", ProcessWidth::Bits64, {}, {}, nullptr, L"PnPutil7.exe"},
    {"FolderOfThatName", ProcessWidth::Bits32, {}, {L"PnPutil.exe"}, nullptr, L"PnPutil.exe"},
};

class PackageToolLookup : public ::testing::TestWithParam<ToolRow> {};

TEST_P(PackageToolLookup, ProgramFolderFirstThenSystemFolder) {
    const ToolRow& row = GetParam();
    World world;
    world.major = 6;
    world.minor = 1;
    for (const auto& f : row.files) world.files.insert(Lower(std::wstring(kFolder) + f));
    for (const auto& d : row.directories) world.directories.insert(Lower(std::wstring(kFolder) + d));
    OsApi os = FakeOs(world);

    RunTandemset(os, row.width);

    ASSERT_EQ(3u, world.startCalls.size());
    std::wstring expected =
        row.fromProgramFolder ? std::wstring(row.fromProgramFolder) : SystemFolder() + L"\\" + row.fileName;
    EXPECT_EQ(Lower(expected), Lower(world.startCalls[0].application));
    // The command line names the tool as before, without a folder.
    EXPECT_EQ(0u, world.startCalls[0].commandLine.find(std::wstring(row.fileName) + L"  -i  -a C:\\"))
        << world.startCalls[0].commandLine;
}

INSTANTIATE_TEST_SUITE_P(Tandemset, PackageToolLookup, ::testing::ValuesIn(kToolRows),
                         [](const ::testing::TestParamInfo<ToolRow>& info) { return info.param.name; });

// ---------------------------------------------------------------------------
// A tool that cannot be started is skipped and the next step still runs.

struct FailureRow {
    const char* name;
    std::set<int> failing;
    std::vector<std::wstring> startedPids;  // the installer runs that got started
    bool packageStarted;
};

void PrintTo(const FailureRow& row, std::ostream* out) { *out << row.name; }

const FailureRow kFailureRows[] = {
    {"PackageTool", {0}, {L"0xDF00", L"0xDF01"}, false},
    {"FirstInstallerRun", {1}, {L"0xDF01"}, true},
    {"SecondInstallerRun", {2}, {L"0xDF00"}, true},
    {"Everything", {0, 1, 2}, {}, false},
};

class StartFailure : public ::testing::TestWithParam<FailureRow> {};

TEST_P(StartFailure, IsSkippedAndTheNextStepRuns) {
    const FailureRow& row = GetParam();
    World world;
    world.major = 6;
    world.minor = 1;
    world.failingStarts = row.failing;
    OsApi os = FakeOs(world);

    EXPECT_EQ(0, RunTandemset(os, ProcessWidth::Bits32));

    // All three are attempted, in order, whatever became of the earlier ones.
    ASSERT_EQ(3u, world.startCalls.size());
    EXPECT_EQ(0u, world.startCalls[0].commandLine.find(L"PnPutil.exe  -i  -a "));
    EXPECT_NE(std::wstring::npos, world.startCalls[1].commandLine.find(L"-p 0xDF00 "));
    EXPECT_NE(std::wstring::npos, world.startCalls[2].commandLine.find(L"-p 0xDF01 "));

    // Only started tools are waited for and closed; success is claimed only
    // for a package tool that started.
    std::vector<std::wstring> expected;
    int n = 0;
    if (row.packageStarted) {
        Append(expected, StartedTool(n, world.startCalls[0].commandLine));
        expected.push_back(L"debug Driver installed successfully");
    } else {
        expected.push_back(L"start failed " + world.startCalls[0].commandLine);
    }
    ++n;
    expected.push_back(L"sleep 2000");
    for (int i = 1; i <= 2; ++i, ++n) {
        if (row.failing.count(n)) {
            expected.push_back(L"start failed " + world.startCalls[i].commandLine);
        } else {
            Append(expected, StartedTool(n, world.startCalls[i].commandLine));
        }
    }
    expected.push_back(L"sleep 1000");
    EXPECT_EQ(expected, world.events);

    std::vector<std::wstring> startedPids;
    for (const auto& event : world.events) {
        if (event.rfind(L"start C:", 0) == 0) startedPids.push_back(event.substr(event.find(L"-p ") + 3, 6));
    }
    EXPECT_EQ(row.startedPids, startedPids);
}

INSTANTIATE_TEST_SUITE_P(Tandemset, StartFailure, ::testing::ValuesIn(kFailureRows),
                         [](const ::testing::TestParamInfo<FailureRow>& info) { return info.param.name; });

// ---------------------------------------------------------------------------
// The 260-character bound: a command line longer than 259 characters is cut
// there, and a cut line is not started (it would name another package, or
// another VID or PID).

std::wstring FolderOfLength(size_t length) {
    // "C:\" + name + "\"
    return L"C:\\" + std::wstring(length - 4, L'd') + L"\\";
}

struct LongFolderRow {
    const char* name;
    size_t folderLength;
    bool packageWhole;
    bool installersWhole;
};

void PrintTo(const LongFolderRow& row, std::ostream* out) { *out << row.name; }

// Package line: 20 + folder + 27 characters (Windows 7, 32-bit). Installer
// lines: folder + 7 + 47 characters.
const LongFolderRow kLongFolderRows[] = {
    {"AllFit", 205, true, true},
    {"InstallerLinesOneOver", 206, true, false},
    {"PackageLineExactly259", 212, true, false},
    {"PackageLineOneOver", 213, false, false},
    {"ProgramPathOf259Characters", 246, false, false},
};

class LongFolder : public ::testing::TestWithParam<LongFolderRow> {};

TEST_P(LongFolder, CommandLinesAreCutAt259AndCutLinesNotStarted) {
    const LongFolderRow& row = GetParam();
    const std::wstring folder = FolderOfLength(row.folderLength);
    ASSERT_EQ(row.folderLength, folder.size());
    World world;
    world.major = 6;
    world.minor = 1;
    world.modulePath = folder + L"Tandemset.exe";
    ASSERT_LE(world.modulePath.size(), 259u);
    world.files = {Lower(folder + L"PnPutil.exe")};
    OsApi os = FakeOs(world);

    EXPECT_EQ(0, RunTandemset(os, ProcessWidth::Bits32));

    const std::wstring package = L"PnPutil.exe  -i  -a " + folder + L"Drivers\\win7\\x86\\cyusb3.inf";
    const std::wstring first = folder + L"wdi.exe -n orviDFU -m orvi -v 0x4A7E -p 0xDF00 -t 0 -b";
    const std::wstring second = folder + L"wdi.exe -n orviDFU -m orvi -v 0x4A7E -p 0xDF01 -t 0 -b";

    std::vector<std::wstring> started;
    std::vector<std::wstring> refused;
    const std::wstring note = L"Command line too long, not started: ";
    for (const auto& call : world.startCalls) started.push_back(call.commandLine);
    for (const auto& line : world.debugLines) {
        if (line.rfind(note, 0) == 0) refused.push_back(line.substr(note.size()));
    }

    std::vector<std::wstring> expectedStarted;
    std::vector<std::wstring> expectedRefused;
    for (const std::wstring* line : {&package, &first, &second}) {
        bool whole = line == &package ? row.packageWhole : row.installersWhole;
        ASSERT_EQ(whole, line->size() <= 259) << "row does not match its folder length";
        if (whole) {
            expectedStarted.push_back(*line);
        } else {
            expectedRefused.push_back(line->substr(0, 259) + L"\n");
        }
    }
    EXPECT_EQ(expectedStarted, started);
    EXPECT_EQ(expectedRefused, refused);
    for (const auto& line : refused) EXPECT_EQ(260u, line.size());  // 259 characters and the line end
    bool claimed = false;
    for (const auto& line : world.debugLines) claimed = claimed || line == L"Driver installed successfully";
    EXPECT_EQ(row.packageWhole, claimed);
}

INSTANTIATE_TEST_SUITE_P(Tandemset, LongFolder, ::testing::ValuesIn(kLongFolderRows),
                         [](const ::testing::TestParamInfo<LongFolderRow>& info) { return info.param.name; });

// ---------------------------------------------------------------------------
// A program path that cannot be read whole gives no program folder: a cut path
// names a parent folder, whose tools must not run with our rights.

struct ModulePathRow {
    const char* name;
    std::wstring path;
    bool fails;
};

void PrintTo(const ModulePathRow& row, std::ostream* out) { *out << row.name; }

const ModulePathRow kModulePathRows[] = {
    {"CutByTheBuffer", L"C:\\Tools\\" + std::wstring(300, L'x') + L"\\Tandemset.exe", false},
    {"ExactlyTheBufferSize", L"C:\\Tools\\" + std::wstring(260 - 9 - 14, L'x') + L"\\Tandemset.exe", false},
    {"NoBackslash", L"Tandemset.exe", false},
    {"CallFails", L"C:\\Tools\\Tandemset.exe", true},
};

class ModulePath : public ::testing::TestWithParam<ModulePathRow> {};

TEST_P(ModulePath, WithoutAProgramFolderNothingIsStarted) {
    const ModulePathRow& row = GetParam();
    World world;
    world.major = 6;
    world.minor = 1;
    world.modulePath = row.path;
    world.moduleFileFails = row.fails;
    world.files = {L"c:\\tools\\pnputil.exe", L"c:\\tools\\wdi.exe"};
    OsApi os = FakeOs(world);

    EXPECT_EQ(0, RunTandemset(os, ProcessWidth::Bits32));

    EXPECT_EQ(0u, world.startCalls.size());
    const std::vector<std::wstring> expected = {L"debug Program folder not found\n", L"sleep 2000",
                                                L"debug Program folder not found\n", L"sleep 1000"};
    EXPECT_EQ(expected, world.events);
}

INSTANTIATE_TEST_SUITE_P(Tandemset, ModulePath, ::testing::ValuesIn(kModulePathRows),
                         [](const ::testing::TestParamInfo<ModulePathRow>& info) { return info.param.name; });

}  // namespace
