// corvane-fw.exe (simulated) run as a script runs it: its lines and JSON
// events, its exit codes, and Ctrl+Break refused while a camera is written.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "console_args.h"
#include "engine_harness.h"

namespace {

std::wstring Folder() {
    wchar_t temp[MAX_PATH] = L"";
    GetTempPathW(MAX_PATH, temp);
    std::wstring folder = std::wstring(temp) + L"corvane-console";
    CreateDirectoryW(folder.c_str(), nullptr);
    return folder;
}

void WriteBytes(const std::wstring& path, const std::string& bytes) {
    HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(f, INVALID_HANDLE_VALUE);
    DWORD n = 0;
    WriteFile(f, bytes.data(), static_cast<DWORD>(bytes.size()), &n, nullptr);
    CloseHandle(f);
}

// The firmware for Corvane_RX20 (two parts of 20 and 40 blocks; the new
// image says version 2.3.0.7).
std::wstring Firmware(const std::wstring& name) {
    std::vector<uint8_t> part2 = Pattern(40 * 1024, 9);
    const uint8_t version[6] = {2, 3, 0, 0, 0, 7};
    std::copy(version, version + 6, part2.begin());
    const std::vector<uint8_t> bytes = TwoPartFile(2, Pattern(20 * 1024, 8), part2);
    const std::wstring path = Folder() + L"\\" + name;
    WriteBytes(path, std::string(bytes.begin(), bytes.end()));
    return path;
}

struct Ran {
    DWORD exitCode = 0xFFFFFFFF;
    std::string out, err;
    std::vector<std::string> Lines() const {
        std::vector<std::string> lines;
        size_t at = 0;
        for (size_t end; (end = out.find("\r\n", at)) != std::string::npos; at = end + 2)
            lines.push_back(out.substr(at, end - at));
        return lines;
    }
};

std::string Drain(HANDLE pipe) {
    std::string text;
    char buf[4096];
    DWORD n = 0, avail = 0;
    while (PeekNamedPipe(pipe, nullptr, 0, nullptr, &avail, nullptr) && avail > 0 &&
           ReadFile(pipe, buf, sizeof buf, &n, nullptr) && n > 0)
        text.append(buf, n);
    return text;
}

// Runs the program against a world; `during` is called with what it printed
// so far until it returns true (once).
Ran RunProgram(const std::string& world, const std::wstring& arguments,
        bool (*during)(const std::string& out, DWORD pid) = nullptr) {
    const std::wstring folder = Folder();
    WriteBytes(folder + L"\\world.txt", world);
    SetEnvironmentVariableW(L"CORVANE_SIM_SCENARIO", (folder + L"\\world.txt").c_str());
    SetEnvironmentVariableW(L"CORVANE_SIM_TIME_SCALE", L"0.05");
    SetEnvironmentVariableW(L"CORVANE_SIM_DEBUGLOG", (folder + L"\\debug.log").c_str());
    wchar_t self[MAX_PATH] = L"";
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring exe = self;
    exe = exe.substr(0, exe.find_last_of(L'\\')) + L"\\corvane-fw.exe";
    std::wstring command = L"\"" + exe + L"\" " + arguments;
    SECURITY_ATTRIBUTES sa{sizeof(sa), nullptr, TRUE};
    HANDLE outRead, outWrite, errRead, errWrite;
    CreatePipe(&outRead, &outWrite, &sa, 1 << 20);
    CreatePipe(&errRead, &errWrite, &sa, 1 << 20);
    SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = outWrite;
    si.hStdError = errWrite;
    PROCESS_INFORMATION pi{};
    Ran ran;
    EXPECT_TRUE(CreateProcessW(exe.c_str(), &command[0], nullptr, nullptr, TRUE, 0, nullptr,
                               folder.c_str(), &si, &pi));
    CloseHandle(outWrite);
    CloseHandle(errWrite);
    const DWORD start = GetTickCount();
    while (WaitForSingleObject(pi.hProcess, 20) == WAIT_TIMEOUT && GetTickCount() - start < 240000) {
        ran.out += Drain(outRead);
        if (during != nullptr && during(ran.out, pi.dwProcessId)) during = nullptr;
    }
    if (WaitForSingleObject(pi.hProcess, 0) == WAIT_TIMEOUT) TerminateProcess(pi.hProcess, 99);
    ran.out += Drain(outRead);
    ran.err = Drain(errRead);
    GetExitCodeProcess(pi.hProcess, &ran.exitCode);
    for (HANDLE h : {outRead, errRead, pi.hProcess, pi.hThread}) CloseHandle(h);
    return ran;
}

// The value of a member of a JSON line ("" when it has none): enough for
// the flat events the program prints.
std::string Member(const std::string& line, const std::string& key) {
    const std::string quoted = "\"" + key + "\":";
    const size_t at = line.rfind(quoted);
    if (at == std::string::npos) return "";
    size_t from = at + quoted.size();
    if (line[from] == '"') return line.substr(from + 1, line.find('"', from + 1) - from - 1);
    return line.substr(from, line.find_first_of(",}", from) - from);
}

std::wstring Quoted(const std::wstring& path) { return L"\"" + path + L"\""; }

const char kTwoHid[] =
    "camera kind=hid serial=SN00000000A1 name=Corvane_RX20 ports=3,1 runs=2 version=1.0.0.1\n"
    "camera kind=hid serial=SN00000000B2 name=Corvane_RX20 ports=3,2 runs=2 version=1.0.0.2\n";

TEST(ConsoleProgram, ListsEveryCameraWithWhatItIs) {
    const Ran ran = RunProgram(
        "camera kind=hid serial=SN00000000A1 name=Corvane_RX20 ports=3,1 version=1.0.0.1\n"
        "camera kind=stereo serial=ST00000000C3 name=Corvane_ST20 ports=2\n"
        "camera kind=tessa serial=TS00000000D4 name=Corvane_TS10 ports=4\n"
        "update-mode-device pid=DF00 serial=SN00000000E5 ports=5\n",
        L"list --json");
    ASSERT_EQ(ran.exitCode, 0u) << ran.err;
    ASSERT_EQ(ran.Lines().size(), 1u) << ran.out;
    const std::string json = ran.Lines()[0];
    struct Expected {
        const char *serial, *kind, *state, *vidPid;
        bool version;
    } cases[] = {{"SN00000000A1", "HID", "normal mode", "4A7E:C110", true},
                 {"ST00000000C3", "stereo", "normal mode", "4A7E:C114", true},
                 {"TS00000000D4", "Tessa", "normal mode", "4A7E:C123", true},
                 {"SN00000000E5", "update-mode device", "update mode", "4A7E:DF00", false}};
    for (const Expected& e : cases) {
        const size_t at = json.find(std::string("\"serial\":\"") + e.serial);
        ASSERT_NE(at, std::string::npos) << e.serial << " in " << json;
        const std::string camera = json.substr(json.rfind('{', at), json.find('}', at) - json.rfind('{', at) + 1);
        EXPECT_EQ(Member(camera, "kind"), e.kind) << camera;
        EXPECT_EQ(Member(camera, "state"), e.state) << camera;
        EXPECT_EQ(Member(camera, "vidPid"), e.vidPid) << camera;
        EXPECT_EQ(Member(camera, "version") != "null", e.version) << camera;
        EXPECT_FALSE(Member(camera, "port").empty()) << camera;
    }
    EXPECT_NE(json.find("\"version\":\"1.0.0.1\""), std::string::npos) << json;
}

// One camera of two, by serial: its events in order, and the version the
// camera reports afterwards is the file's.
TEST(ConsoleProgram, UpdatesTheChosenCameraAndSaysSoInJson) {
    const std::wstring file = Firmware(L"Corvane_RX20_fw.img");
    const Ran ran = RunProgram(kTwoHid, L"update " + Quoted(file) + L" --camera SN00000000B2 --json --expect-version 2.3.0.7");
    ASSERT_EQ(ran.exitCode, 0u) << ran.out << ran.err;
    std::vector<std::string> events, phases;
    int lastPercent = -1;
    std::string lastPhase;
    for (const std::string& line : ran.Lines()) {
        events.push_back(Member(line, "event"));
        if (events.back() == "phase") phases.push_back(Member(line, "phase"));
        if (events.back() == "progress") {
            const int percent = std::stoi(Member(line, "percent"));
            if (Member(line, "phase") == lastPhase) EXPECT_GT(percent, lastPercent) << line;
            lastPhase = Member(line, "phase");
            lastPercent = percent;
            // As the dialog writes it: the first part, then the whole image.
            EXPECT_EQ(Member(line, "total"), lastPhase == "writing part 1" ? "20" : "60") << line;
        }
    }
    ASSERT_GE(events.size(), 3u) << ran.out;
    EXPECT_EQ(events.front(), "start");
    EXPECT_EQ(events.back(), "result");
    // Every phase in order, however short.
    EXPECT_EQ(phases, (std::vector<std::string>{"entering update mode", "waiting for the camera", "writing part 1",
                                                "waiting for the camera", "writing part 2", "written"}))
        << ran.out;
    const std::string start = ran.Lines().front(), result = ran.Lines().back();
    EXPECT_EQ(Member(start, "serial"), "SN00000000B2");
    EXPECT_EQ(Member(start, "versionBefore"), "1.0.0.2");
    EXPECT_EQ(Member(result, "result"), "passed");
    EXPECT_EQ(Member(result, "versionAfter"), "2.3.0.7");
    EXPECT_EQ(Member(result, "verified"), "true");
}

// What is refused or fails ends with its own code and never with a
// success line.
TEST(ConsoleProgram, RefusalsAndFailuresEndWithTheirCodes) {
    const std::wstring rx20 = Firmware(L"Corvane_RX20_fw.img"), st20 = Firmware(L"Corvane_ST20_fw.img");
    struct Case {
        const char* what;
        std::string world;
        std::wstring arguments;
        DWORD code;
        const char* says;  // on standard output or error
    } cases[] = {
        {"a file for another model", kTwoHid, L"update " + Quoted(st20) + L" --camera SN00000000A1", 5,
         "not for Corvane_RX20"},
        {"two cameras and no choice", kTwoHid, L"update " + Quoted(rx20), 3, "SN00000000B2"},
        {"a version other than expected", kTwoHid,
         L"update " + Quoted(rx20) + L" --camera SN00000000A1 --expect-version 2.3.0.8", 5, "2.3.0.8 expected"},
        {"a write that fails halfway",
         "camera kind=hid serial=SN00000000A1 name=Corvane_RX20 runs=2 fault=stall-at-block:20 part=2\n",
         L"update " + Quoted(rx20), 1, "FAILED"},
        {"no camera", "", L"update " + Quoted(rx20), 2, "No camera"},
        {"an unreadable file", kTwoHid, L"update nowhere.img --all", 4, "cannot be read"},
        {"a bad command line", kTwoHid, L"update " + Quoted(rx20) + L" --all --camera SN00000000A1", 4, "together"},
    };
    for (const Case& c : cases) {
        const Ran ran = RunProgram(c.world, c.arguments);
        EXPECT_EQ(ran.exitCode, c.code) << c.what << "\n" << ran.out << ran.err;
        EXPECT_NE((ran.out + ran.err).find(c.says), std::string::npos) << c.what << "\n" << ran.out << ran.err;
        EXPECT_EQ(ran.out.find("PASSED"), std::string::npos) << c.what << "\n" << ran.out;
    }
}

// Ctrl+Break while the image is written is refused, and the update ends as
// it would have.
TEST(ConsoleProgram, BreakIsRefusedWhileACameraIsWritten) {
    const std::wstring file = Firmware(L"Corvane_RX20_fw.img");
    static bool sent = false;
    const Ran ran = RunProgram("camera kind=hid serial=SN00000000A1 name=Corvane_RX20 runs=2\n", L"update " + Quoted(file),
                        [](const std::string& out, DWORD pid) {
                            if (out.find("writing part") == std::string::npos) return false;
                            // The event as the console host delivers it: a thread of the
                            // system's control routine in the program (a test run under
                            // Wine has no console to send it through).
                            auto routine = reinterpret_cast<LPTHREAD_START_ROUTINE>(
                                GetProcAddress(GetModuleHandleW(L"kernelbase.dll"), "CtrlRoutine"));
                            HANDLE process = OpenProcess(PROCESS_ALL_ACCESS, FALSE, pid);
                            HANDLE thread = routine == nullptr || process == nullptr ? nullptr
                                : CreateRemoteThread(process, nullptr, 0, routine,
                                                     reinterpret_cast<void*>(CTRL_BREAK_EVENT), 0, nullptr);
                            sent = thread != nullptr || GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, pid) != FALSE;
                            if (thread != nullptr) CloseHandle(thread);
                            if (process != nullptr) CloseHandle(process);
                            return true;
                        });
    ASSERT_TRUE(sent) << GetLastError();
    EXPECT_EQ(ran.exitCode, 0u) << ran.out << ran.err;
    EXPECT_NE(ran.err.find("cannot be stopped"), std::string::npos) << ran.err;
    EXPECT_NE(ran.out.find("PASSED"), std::string::npos) << ran.out;
}

}  // namespace
