// The built Tandemset.exe, run for real: copied into a fresh folder with
// stand-in tools beside it that record how they were started, run under this
// test as its debugger (so that its debugger lines are captured), on a Windows
// version chosen per run through Wine's per-program version setting.
#include <windows.h>

#include <gtest/gtest.h>

#include <cwctype>
#include <string>
#include <vector>

#include "tandemset_paths.h"

namespace {

std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

// A build path as this process sees it: under Wine, drive Z: is the Linux root.
std::wstring HostPath(const char* path) {
    std::wstring result = Widen(path);
    for (auto& c : result) {
        if (c == L'/') c = L'\\';
    }
    if (!result.empty() && result[0] == L'\\') result = L"Z:" + result;
    return result;
}

std::wstring Lower(std::wstring text) {
    for (auto& c : text) c = static_cast<wchar_t>(std::towlower(c));
    return text;
}

bool FileExists(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

std::vector<std::wstring> ReadCalls(const std::wstring& path) {
    std::vector<std::wstring> lines;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return lines;
    std::wstring text;
    wchar_t buffer[1024];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read > 0) {
        text.append(buffer, read / sizeof(wchar_t));
    }
    CloseHandle(file);
    size_t start = 0;
    for (size_t end; (end = text.find(L'\n', start)) != std::wstring::npos; start = end + 1) {
        lines.push_back(text.substr(start, end - start));
    }
    return lines;
}

void RemoveTree(const std::wstring& folder) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = found.cFileName;
            if (name == L"." || name == L"..") continue;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(folder + name + L"\\");
            } else {
                DeleteFileW((folder + name).c_str());
            }
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(folder.c_str());
}

// A fresh folder tree for one run:
//   <root>\prog dir\     the launcher and its tools (a blank in the name on purpose)
//   <root>\prog.exe      what Windows would try first for an unquoted "<root>\prog dir\..."
//   <root>\current\      the launcher's current folder, holding decoy tools
class Workspace {
  public:
    explicit Workspace(const std::wstring& tag) {
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        root_ = std::wstring(temp) + L"tandemset-" + tag + L"-" + std::to_wstring(GetCurrentProcessId()) + L"\\";
        RemoveTree(root_);
        CreateDirectoryW(root_.c_str(), nullptr);
        CreateDirectoryW(program().c_str(), nullptr);
        CreateDirectoryW(current().c_str(), nullptr);
    }
    ~Workspace() { RemoveTree(root_); }

    std::wstring root() const { return root_; }
    std::wstring program() const { return root_ + L"prog dir\\"; }
    std::wstring current() const { return root_ + L"current\\"; }

    // A copy of the stand-in tool under the given name.
    void PlaceRecorder(const std::wstring& path) const {
        ASSERT_TRUE(CopyFileW(HostPath(TANDEMSET_RECORDER_EXE).c_str(), path.c_str(), FALSE))
            << "copy to " << path << ": error " << GetLastError();
    }

  private:
    std::wstring root_;
};

// Wine reports the Windows version that HKCU\Software\Wine\AppDefaults\<program
// file name>\Version names; each run uses a program file name of its own, so
// runs in parallel do not see each other's setting.
class WineVersion {
  public:
    WineVersion(const std::wstring& programFile, const wchar_t* version)
        : key_(L"Software\\Wine\\AppDefaults\\" + programFile) {
        HKEY key = nullptr;
        LONG result = RegCreateKeyExW(HKEY_CURRENT_USER, key_.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                                      nullptr);
        EXPECT_EQ(ERROR_SUCCESS, result);
        if (result != ERROR_SUCCESS) return;
        DWORD bytes = static_cast<DWORD>((wcslen(version) + 1) * sizeof(wchar_t));
        EXPECT_EQ(ERROR_SUCCESS,
                  RegSetValueExW(key, L"Version", 0, REG_SZ, reinterpret_cast<const BYTE*>(version), bytes));
        RegCloseKey(key);
    }
    ~WineVersion() { RegDeleteTreeW(HKEY_CURRENT_USER, key_.c_str()); }

  private:
    std::wstring key_;
};

struct LauncherRun {
    bool finished = false;
    DWORD exitCode = 0xFFFFFFFF;
    std::vector<std::wstring> debugLines;
};

std::wstring ReadDebugString(HANDLE process, const OUTPUT_DEBUG_STRING_INFO& info) {
    std::wstring text;
    const SIZE_T length = info.nDebugStringLength;
    SIZE_T read = 0;
    if (info.fUnicode) {
        std::vector<wchar_t> buffer(length + 1, L'\0');
        ReadProcessMemory(process, info.lpDebugStringData, buffer.data(), length * sizeof(wchar_t), &read);
        text.assign(buffer.data());
    } else {
        std::vector<char> buffer(length + 1, '\0');
        ReadProcessMemory(process, info.lpDebugStringData, buffer.data(), length, &read);
        text = Widen(buffer.data());
    }
    return text;
}

// Starts the program as its debugger, collects its debugger lines and waits
// (at most a minute) until it ends.
LauncherRun RunUnderDebugger(const std::wstring& program, const std::wstring& currentFolder) {
    LauncherRun run;
    STARTUPINFOW startup;
    ZeroMemory(&startup, sizeof(startup));
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process;
    ZeroMemory(&process, sizeof(process));
    std::wstring commandLine = L"\"" + program + L"\"";
    if (!CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE, DEBUG_ONLY_THIS_PROCESS, nullptr,
                        currentFolder.c_str(), &startup, &process)) {
        ADD_FAILURE() << "cannot start " << program << ": error " << GetLastError();
        return run;
    }
    for (;;) {
        DEBUG_EVENT event;
        if (!WaitForDebugEvent(&event, 60000)) {
            ADD_FAILURE() << "the launcher did not end within a minute";
            TerminateProcess(process.hProcess, 99);
            break;
        }
        DWORD continueStatus = DBG_CONTINUE;
        switch (event.dwDebugEventCode) {
            case CREATE_PROCESS_DEBUG_EVENT:
                if (event.u.CreateProcessInfo.hFile) CloseHandle(event.u.CreateProcessInfo.hFile);
                break;
            case LOAD_DLL_DEBUG_EVENT:
                if (event.u.LoadDll.hFile) CloseHandle(event.u.LoadDll.hFile);
                break;
            case OUTPUT_DEBUG_STRING_EVENT:
                run.debugLines.push_back(ReadDebugString(process.hProcess, event.u.DebugString));
                break;
            case EXCEPTION_DEBUG_EVENT:
                if (event.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT) {
                    continueStatus = DBG_EXCEPTION_NOT_HANDLED;
                }
                break;
            case EXIT_PROCESS_DEBUG_EVENT:
                run.finished = true;
                run.exitCode = event.u.ExitProcess.dwExitCode;
                break;
            default:
                break;
        }
        ContinueDebugEvent(event.dwProcessId, event.dwThreadId, continueStatus);
        if (event.dwDebugEventCode == EXIT_PROCESS_DEBUG_EVENT) break;
    }
    WaitForSingleObject(process.hProcess, 10000);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return run;
}

struct Call {
    std::wstring file;  // as the tool saw itself
    std::wstring commandLine;
};

std::vector<Call> Calls(const std::wstring& folder) {
    std::vector<Call> calls;
    for (const auto& line : ReadCalls(folder + L"calls.txt")) {
        size_t bar = line.find(L'|');
        calls.push_back({line.substr(0, bar), bar == std::wstring::npos ? L"" : line.substr(bar + 1)});
    }
    return calls;
}

// ---------------------------------------------------------------------------

struct VersionRun {
    const char* name;
    const wchar_t* wineVersion;
    std::vector<std::wstring> debugLines;
    const wchar_t* package;  // below the program folder, or nullptr: no package tool
};

void PrintTo(const VersionRun& row, std::ostream* out) { *out << row.name; }

// This is the 64-bit build: always the x64 package and tools. Its manifest
// lists no supported systems, so Windows 8.1 and 10 report version 6.2.
const VersionRun kVersionRuns[] = {
    {"Windows7", L"win7", {L"Driver installed successfully"}, L"Drivers\\win7\\x64\\cyusb3.inf"},
    {"Windows8", L"win8", {L" 2 windows 8  64 Bit\n", L"Driver installed successfully"},
     L"Drivers\\win8\\x64\\cyusb3.inf"},
    {"Windows81", L"win81", {L" 2 windows 8  64 Bit\n", L"Driver installed successfully"},
     L"Drivers\\win8\\x64\\cyusb3.inf"},
    {"Windows10", L"win10", {L" 2 windows 8  64 Bit\n", L"Driver installed successfully"},
     L"Drivers\\win8\\x64\\cyusb3.inf"},
    {"Vista", L"vista", {}, nullptr},
};

class BuiltProgram : public ::testing::TestWithParam<VersionRun> {};

TEST_P(BuiltProgram, RunsThePackageToolAndBothInstallersInOrder) {
    const VersionRun& row = GetParam();
    Workspace space(Widen(row.name));
    const std::wstring programFile = L"Tandemset-" + Widen(row.name) + L"-" + std::to_wstring(GetCurrentProcessId()) +
                                     L".exe";
    const std::wstring program = space.program() + programFile;
    ASSERT_TRUE(CopyFileW(HostPath(TANDEMSET_EXE).c_str(), program.c_str(), FALSE)) << "error " << GetLastError();
    space.PlaceRecorder(space.program() + L"PnPutil7.exe");
    space.PlaceRecorder(space.program() + L"wdi_x64.exe");
    // Decoys that must never run: tools in the current folder, and the program
    // that an unquoted path with a blank would start first.
    space.PlaceRecorder(space.current() + L"PnPutil7.exe");
    space.PlaceRecorder(space.current() + L"wdi_x64.exe");
    space.PlaceRecorder(space.root() + L"prog.exe");
    WineVersion version(programFile, row.wineVersion);

    LauncherRun run = RunUnderDebugger(program, space.current());

    ASSERT_TRUE(run.finished);
    EXPECT_EQ(0u, run.exitCode);
    EXPECT_EQ(row.debugLines, run.debugLines);

    const std::wstring folder = space.program();
    std::vector<Call> expected;
    if (row.package) {
        expected.push_back({folder + L"PnPutil7.exe", L"PnPutil7.exe  -i  -a " + folder + row.package});
    }
    expected.push_back({folder + L"wdi_x64.exe", folder + L"wdi_x64.exe -n orviDFU -m orvi -v 0x4A7E -p 0xDF00 -t 0 -b"});
    expected.push_back({folder + L"wdi_x64.exe", folder + L"wdi_x64.exe -n orviDFU -m orvi -v 0x4A7E -p 0xDF01 -t 0 -b"});

    std::vector<Call> calls = Calls(folder);
    ASSERT_EQ(expected.size(), calls.size());
    for (size_t i = 0; i < calls.size(); ++i) {
        EXPECT_EQ(Lower(expected[i].file), Lower(calls[i].file)) << "run " << i;
        EXPECT_EQ(expected[i].commandLine, calls[i].commandLine) << "run " << i;
    }
    EXPECT_TRUE(Calls(space.current()).empty()) << "a tool from the current folder ran";
    EXPECT_TRUE(Calls(space.root()).empty()) << "prog.exe ran in place of a tool";
}

INSTANTIATE_TEST_SUITE_P(Tandemset, BuiltProgram, ::testing::ValuesIn(kVersionRuns),
                         [](const ::testing::TestParamInfo<VersionRun>& info) { return info.param.name; });

TEST(BuiltProgram, PackageToolMissingBesideItIsNotTakenFromTheCurrentFolder) {
    Workspace space(L"missing");
    const std::wstring programFile = L"Tandemset-missing-" + std::to_wstring(GetCurrentProcessId()) + L".exe";
    const std::wstring program = space.program() + programFile;
    ASSERT_TRUE(CopyFileW(HostPath(TANDEMSET_EXE).c_str(), program.c_str(), FALSE)) << "error " << GetLastError();
    space.PlaceRecorder(space.program() + L"wdi_x64.exe");
    space.PlaceRecorder(space.current() + L"PnPutil7.exe");
    space.PlaceRecorder(space.current() + L"PnPutil.exe");
    WineVersion version(programFile, L"win7");
    wchar_t system[MAX_PATH];
    GetSystemDirectoryW(system, MAX_PATH);
    ASSERT_FALSE(FileExists(std::wstring(system) + L"\\PnPutil7.exe"));

    LauncherRun run = RunUnderDebugger(program, space.current());

    ASSERT_TRUE(run.finished);
    EXPECT_EQ(0u, run.exitCode);
    EXPECT_TRUE(Calls(space.current()).empty()) << "a tool from the current folder ran";
    EXPECT_TRUE(run.debugLines.empty()) << run.debugLines[0];
    std::vector<Call> calls = Calls(space.program());
    ASSERT_EQ(2u, calls.size());
    EXPECT_NE(std::wstring::npos, calls[0].commandLine.find(L" -p 0xDF00 "));
    EXPECT_NE(std::wstring::npos, calls[1].commandLine.find(L" -p 0xDF01 "));
}

// The launcher runs with administrator rights: it never opens a file that
// its environment names, not even one in the user's profile.
TEST(BuiltProgram, NeverTracesWhateverTheEnvironmentSays) {
    Workspace space(L"trace");
    const std::wstring programFile = L"Tandemset-trace-" + std::to_wstring(GetCurrentProcessId()) + L".exe";
    const std::wstring program = space.program() + programFile;
    ASSERT_TRUE(CopyFileW(HostPath(TANDEMSET_EXE).c_str(), program.c_str(), FALSE)) << "error " << GetLastError();
    space.PlaceRecorder(space.program() + L"PnPutil7.exe");
    space.PlaceRecorder(space.program() + L"wdi_x64.exe");
    WineVersion version(programFile, L"win10");
    const std::wstring trace = space.root() + L"trace.jsonl";  // in the temporary folder of the profile
    ASSERT_TRUE(SetEnvironmentVariableW(L"CORVANE_TRACE", trace.c_str()));

    LauncherRun run = RunUnderDebugger(program, space.current());
    SetEnvironmentVariableW(L"CORVANE_TRACE", nullptr);

    ASSERT_TRUE(run.finished);
    EXPECT_EQ(0u, run.exitCode);
    EXPECT_EQ(3u, Calls(space.program()).size()) << "the launcher did its work";
    EXPECT_FALSE(FileExists(trace));
    for (const auto& line : run.debugLines) EXPECT_EQ(std::wstring::npos, line.find(L"CORVANE_TRACE")) << line;
}

// ---------------------------------------------------------------------------
// The form of the built programs: console programs of the right machine whose
// manifest asks for administrator rights and lists no supported systems.

struct Image {
    WORD machine = 0;
    WORD subsystem = 0;
};

Image ReadImageHeader(const std::wstring& path) {
    Image image;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return image;
    unsigned char head[4096] = {};
    DWORD read = 0;
    ReadFile(file, head, sizeof(head), &read, nullptr);
    CloseHandle(file);
    if (read < 0x40 || head[0] != 'M' || head[1] != 'Z') return image;
    DWORD pe = head[0x3C] | head[0x3D] << 8 | head[0x3E] << 16 | static_cast<DWORD>(head[0x3F]) << 24;
    // "PE\0\0", file header (machine first), then the optional header whose
    // Subsystem sits at offset 68 in both the 32- and the 64-bit form.
    if (pe + 24 + 70 > read || memcmp(head + pe, "PE\0\0", 4) != 0) return image;
    image.machine = static_cast<WORD>(head[pe + 4] | head[pe + 5] << 8);
    image.subsystem = static_cast<WORD>(head[pe + 24 + 68] | head[pe + 24 + 69] << 8);
    return image;
}

std::string ManifestOf(const std::wstring& path) {
    HMODULE module = LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (!module) return "";
    std::string text;
    HRSRC resource = FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));  // RT_MANIFEST
    if (resource) {
        HGLOBAL data = LoadResource(module, resource);
        const char* bytes = static_cast<const char*>(LockResource(data));
        if (bytes) text.assign(bytes, SizeofResource(module, resource));
    }
    FreeLibrary(module);
    return text;
}

struct BuildRow {
    const char* name;
    const char* path;
    WORD machine;
};

void PrintTo(const BuildRow& row, std::ostream* out) { *out << row.name; }

const BuildRow kBuildRows[] = {
    {"x86_64", TANDEMSET_EXE, IMAGE_FILE_MACHINE_AMD64},
    {"i686", TANDEMSET_I686_EXE, IMAGE_FILE_MACHINE_I386},
};

class BuiltImage : public ::testing::TestWithParam<BuildRow> {};

TEST_P(BuiltImage, IsAConsoleProgramThatRequiresAdministratorRights) {
    const BuildRow& row = GetParam();
    ASSERT_STRNE("", row.path) << "the i686 build folder was not given to this build (CORVANE_I686_DIR)";
    const std::wstring path = HostPath(row.path);
    ASSERT_TRUE(FileExists(path)) << path;

    Image image = ReadImageHeader(path);
    EXPECT_EQ(row.machine, image.machine);
    EXPECT_EQ(IMAGE_SUBSYSTEM_WINDOWS_CUI, image.subsystem);

    std::string manifest = ManifestOf(path);
    EXPECT_NE(std::string::npos, manifest.find("<requestedExecutionLevel level=\"requireAdministrator\""))
        << manifest;
    EXPECT_EQ(std::string::npos, manifest.find("<supportedOS")) << manifest;
}

INSTANTIATE_TEST_SUITE_P(Tandemset, BuiltImage, ::testing::ValuesIn(kBuildRows),
                         [](const ::testing::TestParamInfo<BuildRow>& info) { return info.param.name; });

}  // namespace
