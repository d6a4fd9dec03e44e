// The simulated Corvane_FW_Updater.exe started as a station from its command
// line against worlds of cameras plugged in one after another: what it
// writes to its results file, what its window shows, how it ends, and that
// it never shows a box.
#include <windows.h>
#include <commctrl.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "engine_harness.h"
#include "main_dialog.h"
#include "station.h"
#include "station_record.h"
#include "window_picture.h"

namespace {

std::wstring Env(const wchar_t* name) {
    wchar_t buf[MAX_PATH] = L"";
    GetEnvironmentVariableW(name, buf, MAX_PATH);
    return buf;
}

std::wstring Wide(const std::string& s) {
    wchar_t out[4096] = L"";
    MultiByteToWideChar(CP_UTF8, 0, s.c_str(), -1, out, 4096);
    return out;
}

bool WriteBytes(const std::wstring& path, const std::vector<uint8_t>& bytes) {
    HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) return false;
    DWORD n = 0;
    const bool ok = WriteFile(f, bytes.data(), static_cast<DWORD>(bytes.size()), &n, nullptr) && n == bytes.size();
    CloseHandle(f);
    return ok;
}

std::string ReadText(const std::wstring& path) {
    HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) return {};
    std::string text;
    char buf[4096];
    DWORD n = 0;
    while (ReadFile(f, buf, sizeof buf, &n, nullptr) && n > 0) text.append(buf, n);
    CloseHandle(f);
    return text;
}

// RFC 4180 records (quoted fields may hold commas and line breaks).
std::vector<std::vector<std::string>> ParseCsv(const std::string& text, bool* wellFormed) {
    std::vector<std::vector<std::string>> rows;
    std::vector<std::string> row;
    std::string field;
    bool quoted = false, any = false;
    *wellFormed = true;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted) {
            if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') field += text[++i];
            else if (c == '"') quoted = false;
            else field += c;
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            row.push_back(field);
            field.clear();
        } else if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            row.push_back(field);
            rows.push_back(row);
            row.clear();
            field.clear();
            ++i;
            any = false;
            continue;
        } else {
            field += c;
        }
        any = true;
    }
    // A last record without its CRLF was cut off.
    if (any || quoted) *wellFormed = false;
    return rows;
}

constexpr int kTime = 0, kComputer = 1, kVersion = 2, kFile = 3, kSha = 4, kModel = 5, kVidPid = 6, kUniqueId = 7,
              kPort = 8, kBefore = 9, kAfter = 10, kResult = 11, kFailure = 12, kSeconds = 13, kRunId = 14,
              kOperator = 15, kLot = 16, kVerified = 17;

struct Program {
    PROCESS_INFORMATION pi{};
    std::wstring folder, log, results, firmware;
    DWORD exitCode = 0xFFFFFFFF;

    ~Program() {
        if (pi.hProcess != nullptr) {
            if (WaitForSingleObject(pi.hProcess, 0) == WAIT_TIMEOUT) TerminateProcess(pi.hProcess, 99);
            CloseHandle(pi.hProcess);
            CloseHandle(pi.hThread);
        }
    }

    // A fresh folder for this test's files.
    void Prepare(const std::wstring& name) {
        wchar_t temp[MAX_PATH] = L"";
        GetTempPathW(MAX_PATH, temp);
        folder = std::wstring(temp) + L"corvane-station-" + name;
        CreateDirectoryW(folder.c_str(), nullptr);
        log = folder + L"\\debug.log";
        results = folder + L"\\results.csv";
        DeleteFileW(results.c_str());
        DeleteFileW(log.c_str());
        DeleteFileW((folder + L"\\results.log").c_str());
    }

    // The firmware file (two parts, image type 2; the new image carries version
    // 2.3.0.7 in its first bytes) and the FX3 boot image beside the program.
    void WriteFirmware(const std::wstring& name, std::vector<uint8_t> bytes = {}) {
        if (bytes.empty()) {
            std::vector<uint8_t> part2 = Pattern(40 * 1024, 9);
            const uint8_t newVersion[6] = {2, 3, 0, 0, 0, 7};
            std::copy(newVersion, newVersion + 6, part2.begin());
            bytes = TwoPartFile(2, Pattern(20 * 1024, 8), part2);
        }
        firmware = folder + L"\\" + name;
        ASSERT_TRUE(WriteBytes(firmware, bytes));
        ASSERT_TRUE(WriteBytes(folder + L"\\RT1060_Flashloader_nopadding.bin", Pattern(86272, 25)));
        std::vector<uint8_t> program = Pattern(12000, 21);
        std::vector<uint8_t> boot = {'C', 'Y', 0x1C, 0xB0};
        for (const auto& part : {Le32(static_cast<uint32_t>(program.size() / 4)), Le32(0x40000000), program,
                                 Le32(0), Le32(0x40000000)})
            boot.insert(boot.end(), part.begin(), part.end());
        ASSERT_TRUE(WriteBytes(folder + L"\\bootloader.img", boot));
    }

    HANDLE errRead = nullptr;  // the program's standard error, when asked for

    std::string StandardError() {
        std::string text;
        char buf[1024];
        DWORD n = 0, avail = 0;
        while (errRead != nullptr && PeekNamedPipe(errRead, nullptr, 0, nullptr, &avail, nullptr) && avail > 0 &&
               ReadFile(errRead, buf, sizeof buf, &n, nullptr) && n > 0)
            text.append(buf, n);
        return text;
    }

    // A station of one camera at a time unless the test says otherwise: the
    // worlds of most tests play the cameras' trips against each other.
    void Start(const std::string& world, std::wstring arguments, bool captureError = false) {
        if (arguments.find(L"/parallel") == std::wstring::npos && arguments.find(L"/station") != std::wstring::npos)
            arguments += L" /parallel 1";
        const std::wstring worldPath = folder + L"\\world.txt";
        std::string text = world;
        if (text.find("program-folder") == std::string::npos) text += "program-folder path=%CORVANE_WORLD_FILES%\n";
        ASSERT_TRUE(WriteBytes(worldPath, std::vector<uint8_t>(text.begin(), text.end())));
        SetEnvironmentVariableW(L"CORVANE_WORLD_FILES", folder.c_str());
        SetEnvironmentVariableW(L"CORVANE_SIM_SCENARIO", worldPath.c_str());
        if (Env(L"CORVANE_SIM_TIME_SCALE").empty()) SetEnvironmentVariableW(L"CORVANE_SIM_TIME_SCALE", L"0.02");
        SetEnvironmentVariableW(L"CORVANE_SIM_DEBUGLOG", log.c_str());
        wchar_t self[MAX_PATH] = L"";
        GetModuleFileNameW(nullptr, self, MAX_PATH);
        std::wstring programFolder = self;
        programFolder.resize(programFolder.find_last_of(L'\\'));
        // The world's program folder is this test's folder: the Sunplus
        // library stand-in is looked up there too.
        CopyFileW((programFolder + L"\\SunplusCamera.dll").c_str(), (folder + L"\\SunplusCamera.dll").c_str(), FALSE);
        const std::wstring exe = programFolder + L"\\Corvane_FW_Updater.exe";
        std::wstring command = L"\"" + exe + L"\" " + arguments;
        STARTUPINFOW si{};
        si.cb = sizeof(si);
        HANDLE errWrite = nullptr;
        if (captureError) {
            SECURITY_ATTRIBUTES sa{sizeof(sa), nullptr, TRUE};
            ASSERT_TRUE(CreatePipe(&errRead, &errWrite, &sa, 1 << 16));
            SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);
            si.dwFlags = STARTF_USESTDHANDLES;
            si.hStdError = errWrite;
            si.hStdOutput = errWrite;
        }
        ASSERT_TRUE(CreateProcessW(exe.c_str(), &command[0], nullptr, nullptr, captureError, 0, nullptr,
                                   programFolder.c_str(), &si, &pi))
            << GetLastError();
        if (errWrite != nullptr) CloseHandle(errWrite);
    }

    bool Ended(DWORD ms) {
        if (WaitForSingleObject(pi.hProcess, ms) != WAIT_OBJECT_0) return false;
        GetExitCodeProcess(pi.hProcess, &exitCode);
        return true;
    }

    // The station window, or (with a control ID) the window of the
    // program's that holds that control.
    HWND Window(int control = 0) const {
        struct Search {
            DWORD pid;
            int control;
            HWND found;
        } search{pi.dwProcessId, control, nullptr};
        EnumWindows(
            [](HWND w, LPARAM p) -> BOOL {
                auto* s = reinterpret_cast<Search*>(p);
                DWORD pid = 0;
                GetWindowThreadProcessId(w, &pid);
                wchar_t cls[64] = L"";
                GetClassNameW(w, cls, 64);
                if (pid != s->pid || !IsWindowVisible(w)) return TRUE;
                if (s->control != 0 ? GetDlgItem(w, s->control) == nullptr : lstrcmpW(cls, kStationWindowClass) != 0)
                    return TRUE;
                s->found = w;
                return FALSE;
            },
            reinterpret_cast<LPARAM>(&search));
        return search.found;
    }

    std::wstring Text(int id) const {
        wchar_t buf[1024] = L"";
        SendMessageTimeoutW(GetDlgItem(Window(), id), WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(buf), SMTO_NORMAL,
                            5000, nullptr);
        return buf;
    }

    // The list view's cells, read through a buffer in the program's memory.
    std::vector<std::vector<std::wstring>> Rows() const {
        std::vector<std::vector<std::wstring>> rows;
        HWND list = GetDlgItem(Window(), IDC_ST_LIST);
        DWORD_PTR n = 0;
        if (list == nullptr || !SendMessageTimeoutW(list, LVM_GETITEMCOUNT, 0, 0, SMTO_NORMAL, 5000, &n)) return rows;
        const size_t textChars = 256;
        void* remote = VirtualAllocEx(pi.hProcess, nullptr, sizeof(LVITEMW) + textChars * sizeof(wchar_t),
                                      MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
        if (remote == nullptr) return rows;
        auto* remoteText = reinterpret_cast<wchar_t*>(static_cast<BYTE*>(remote) + sizeof(LVITEMW));
        for (DWORD_PTR r = 0; r < n; ++r) {
            std::vector<std::wstring> cells;
            for (int c = 0; c < 9; ++c) {
                LVITEMW item{};
                item.iSubItem = c;
                item.pszText = remoteText;
                item.cchTextMax = static_cast<int>(textChars);
                SIZE_T done = 0;
                WriteProcessMemory(pi.hProcess, remote, &item, sizeof(item), &done);
                DWORD_PTR got = 0;
                if (!SendMessageTimeoutW(list, LVM_GETITEMTEXTW, r, reinterpret_cast<LPARAM>(remote), SMTO_NORMAL,
                                         5000, &got)) {
                    // Not answered in time: no rows rather than rows with holes.
                    VirtualFreeEx(pi.hProcess, remote, 0, MEM_RELEASE);
                    return {};
                }
                wchar_t text[256] = L"";
                ReadProcessMemory(pi.hProcess, remoteText, text, sizeof(text) - sizeof(wchar_t), &done);
                cells.push_back(text);
            }
            rows.push_back(cells);
        }
        VirtualFreeEx(pi.hProcess, remote, 0, MEM_RELEASE);
        // The program serves other messages between ours: a list that
        // changed meanwhile is read again by the caller.
        DWORD_PTR after = 0;
        if (!SendMessageTimeoutW(list, LVM_GETITEMCOUNT, 0, 0, SMTO_NORMAL, 5000, &after) || after != n) return {};
        return rows;
    }

    std::vector<std::vector<std::string>> Csv(bool* wellFormed) const { return ParseCsv(ReadText(results), wellFormed); }

    size_t CsvRows() const {
        bool ok = false;
        const auto rows = Csv(&ok);
        return rows.empty() ? 0 : rows.size() - 1;
    }

    // The boxes the program showed, as the simulator logged them.
    size_t Boxes() const {
        const std::string text = ReadText(log);
        size_t n = 0;
        for (size_t at = 0; (at = text.find("] MessageBox \"", at)) != std::string::npos; ++at) ++n;
        return n;
    }
    bool LogHas(const std::string& part) const { return ReadText(log).find(part) != std::string::npos; }

    void Picture(const std::wstring& stage) const {
        const std::wstring dir = Env(L"CORVANE_STATION_PICTURES").empty() ? folder : Env(L"CORVANE_STATION_PICTURES");
        SaveWindowPicture(Window(), dir + L"\\station-" + stage + L".bmp");
    }
};

bool WaitFor(const std::function<bool()>& cond, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    while (!cond()) {
        if (GetTickCount() - start > timeoutMs) return false;
        Sleep(20);
    }
    return true;
}

std::string Sha256Of(const std::wstring& path) {
    const std::string bytes = ReadText(path);
    return station::Sha256Hex(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

// The ready station world (demo/worlds/station.txt): five cameras of mixed
// kinds plugged one after another, a HID camera that is there when the
// station starts, a HID camera whose update-mode device stalls halfway
// through the second part, a stereo camera the file is not for, a CX3 camera
// that goes through the FX3 boot loader and a HID camera that comes while the
// CX3 camera is updated. They are taken in the order they came.
TEST(StationProgram, CamerasOfMixedKindsAreUpdatedInTurnAndRecorded) {
    Program p;
    p.Prepare(L"five");
    p.WriteFirmware(L"Corvane_RX20_fw.img");
    const std::string world = ReadText(Wide(STATION_WORLD));
    ASSERT_FALSE(world.empty()) << STATION_WORLD;
    p.Start(world, L"/station \"" + p.firmware + L"\" /results \"" + p.results + L"\" /count 5");
    ASSERT_TRUE(WaitFor([&] { return p.Window() != nullptr; }, 30000)) << "no station window";

    // Each stage as the operator sees it: the file, then each result.
    std::vector<std::vector<std::wstring>> windowRows;
    std::wstring counters;
    size_t seen = 0;
    ASSERT_TRUE(WaitFor(
        [&] {
            const size_t n = p.CsvRows();
            if (n == 3 && windowRows.empty()) {
                // Once the CX3 camera is taken after the third result.
                const auto rows = p.Rows();
                if (rows.size() >= 5 && rows[3][6].rfind(L"updating", 0) == 0) {
                    windowRows = rows;
                    counters = p.Text(IDC_ST_COUNTERS);
                    p.Picture(L"cx3-updating");
                }
            }
            if (n > seen && n < 5) {
                seen = n;
                p.Picture(L"result-" + std::to_wstring(n));
            } else if (seen == 0 && p.Text(IDC_ST_STATUS).rfind(L"Updating", 0) == 0) {
                p.Picture(L"updating");
            }
            return p.Ended(0);
        },
        200000))
        << "the station did not end after five cameras";

    EXPECT_EQ(p.exitCode, static_cast<DWORD>(kStationNotAllPassed)) << "one failed and one was skipped";
    EXPECT_EQ(p.Boxes(), 0u) << "a station shows no box";

    bool wellFormed = false;
    const auto csv = p.Csv(&wellFormed);
    EXPECT_TRUE(wellFormed);
    ASSERT_EQ(csv.size(), 6u) << "a header and five rows";
    EXPECT_EQ(csv[0], (std::vector<std::string>{"time", "computer", "program_version", "firmware_file",
                                                "firmware_sha256", "model", "vid_pid", "unique_id", "port",
                                                "version_before", "version_after", "result", "failure",
                                                "seconds", "run_id", "operator", "lot", "verified"}));
    struct Expected {
        const char* uniqueId;
        const char* vidPid;
        const char* result;
        const char* before;
        const char* after;
        const char* failure;  // a part of the failure text
    };
    const Expected expected[] = {
        {"SN00000000A1", "4A7E:C110", "passed", "1.0.0.1", "2.3.0.7", ""},
        {"SN00000000B2", "4A7E:C110", "failed", "1.0.0.2", "", "Firmware Download Failed!"},
        {"ST00000000C3", "4A7E:C114", "skipped", "", "", "not for Corvane_ST20"},
        // READ F/W VERSION reads nothing from a CX3 camera: it passes on coming back.
        {"CX00000000D4", "04B4:C1D0", "passed", "", "", ""},
        {"SN00000000E5", "4A7E:C110", "passed", "1.2.10.300", "2.3.0.7", ""},
    };
    const std::string sha = Sha256Of(p.firmware);
    for (size_t i = 0; i < 5; ++i) {
        const auto& row = csv[i + 1];
        const Expected& e = expected[i];
        ASSERT_EQ(row.size(), 18u) << "row " << i;
        EXPECT_EQ(row[kRunId], csv[1][kRunId]) << "one run";
        EXPECT_EQ(row[kVerified], "not verified") << "no version was expected";
        SCOPED_TRACE(e.uniqueId);
        EXPECT_EQ(row[kUniqueId], e.uniqueId);
        EXPECT_EQ(row[kVidPid], e.vidPid);
        EXPECT_EQ(row[kResult], e.result);
        EXPECT_EQ(row[kBefore], e.before);
        EXPECT_EQ(row[kAfter], e.after);
        if (std::string(e.result) == "passed") {
            EXPECT_TRUE(row[kFailure].empty()) << row[kFailure];
        } else {
            EXPECT_NE(row[kFailure].find(e.failure), std::string::npos) << row[kFailure];
        }
        EXPECT_EQ(row[kFile], "Corvane_RX20_fw.img");
        EXPECT_EQ(row[kSha], sha);
        EXPECT_EQ(row[kVersion], "1.0.50.0");
        EXPECT_FALSE(row[kComputer].empty());
        EXPECT_NE(row[kPort].find("Port_#"), std::string::npos) << row[kPort];
        // 2026-12-08T14:03:09+01:00
        ASSERT_EQ(row[kTime].size(), 25u) << row[kTime];
        EXPECT_EQ(row[kTime][10], 'T');
        EXPECT_TRUE(row[kTime][19] == '+' || row[kTime][19] == '-') << row[kTime];
        if (std::string(e.result) != "skipped") {
            EXPECT_GT(std::stod(row[kSeconds]), 0.0);
        }
    }
    EXPECT_EQ(csv[1][kModel], "Corvane_RX20");
    EXPECT_EQ(csv[3][kModel], "Corvane_ST20");

    // The window after three results: their rows as written, then the CX3
    // camera being updated, the last HID camera waiting; and the counters.
    std::string shown;
    for (const auto& r : windowRows) shown += station::Utf8(r[2] + L" " + r[6]) + "; ";
    ASSERT_EQ(windowRows.size(), 5u) << shown;
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(windowRows[i][2], Wide(csv[i + 1][kUniqueId]));
        EXPECT_EQ(windowRows[i][6], Wide(csv[i + 1][kResult]));
        EXPECT_EQ(windowRows[i][4], Wide(csv[i + 1][kBefore]));
        EXPECT_EQ(windowRows[i][5], Wide(csv[i + 1][kAfter]));
    }
    EXPECT_EQ(windowRows[3][2], L"CX00000000D4");
    EXPECT_EQ(windowRows[3][6].rfind(L"updating", 0), 0u) << station::Utf8(windowRows[3][6]);
    EXPECT_EQ(windowRows[4][2], L"SN00000000E5");
    EXPECT_EQ(windowRows[4][6], L"waiting");
    EXPECT_EQ(counters.rfind(L"Passed: 1    Failed: 1    Skipped: 1    Line: ", 0), 0u) << station::Utf8(counters);
    EXPECT_NE(counters.find(L" cameras per hour"), std::wstring::npos);
}

// Every other kind through its own path: the stereo camera through its
// update-mode device, the R7 camera through the NXP ROM and the flash
// loader, the V9 camera through the Sunplus library.
TEST(StationProgram, EveryKindOfCameraPassesThroughItsOwnPath) {
    struct Case {
        const char* camera;
        const wchar_t* file;
        std::vector<uint8_t> image;
        const char* before;
        const char* after;
    };
    std::vector<uint8_t> stereo = Pattern(16 * 1024, 23);
    const uint8_t stereoVersion[6] = {2, 4, 0, 0, 0, 1};
    std::copy(stereoVersion, stereoVersion + 6, stereo.begin());
    const Case cases[] = {
        {"camera kind=stereo serial=ST00000000L1 name=Corvane_ST20 runs=2 version=1.1.0.5", L"Corvane_ST20_fw.img",
         TwoPartFile(2, Pattern(8 * 1024, 22), stereo), "1.1.0.5", "2.4.0.1"},
        {"camera kind=r7 serial=R700000000L2 name=Corvane_R7", L"Corvane_R7_fw.img", Pattern(30000, 26), nullptr,
         nullptr},
        {"camera kind=v9 serial=V900000000L3 name=Corvane_V9 flash-type=2 step-ms=40", L"Corvane_V9_fw.bin",
         Pattern(70000, 28), nullptr, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.camera);
        Program p;
        p.Prepare(L"kind");
        p.WriteFirmware(c.file, c.image);
        p.Start(std::string(c.camera) + "\n",
                L"/station \"" + p.firmware + L"\" /results \"" + p.results + L"\" /count 1");
        ASSERT_TRUE(WaitFor([&] { return p.Ended(0); }, 120000));
        EXPECT_EQ(p.exitCode, static_cast<DWORD>(kStationAllPassed));
        EXPECT_EQ(p.Boxes(), 0u);
        bool wellFormed = false;
        const auto csv = p.Csv(&wellFormed);
        ASSERT_EQ(csv.size(), 2u);
        EXPECT_EQ(csv[1][kResult], "passed") << csv[1][kFailure];
        if (c.before != nullptr) {
            EXPECT_EQ(csv[1][kBefore], c.before);
        }
        if (c.after != nullptr) {
            EXPECT_EQ(csv[1][kAfter], c.after);
        }
        EXPECT_FALSE(csv[1][kAfter].empty()) << "its version is read back";
    }
}

// Cameras that are connected together when the station starts wait for
// their turn, listed as waiting.
TEST(StationProgram, CamerasConnectedTogetherWaitTheirTurn) {
    Program p;
    p.Prepare(L"together");
    p.WriteFirmware(L"Corvane_RX20_fw.img");
    // The first camera's device answers busy a while after each block, so
    // that its row is seen while it is written.
    p.Start("camera kind=hid serial=SN00000000E5 name=Corvane_RX20 ports=1 runs=2 fault=busy-polls:40\n"
            "camera kind=hid serial=SN00000000F6 name=Corvane_RX20 ports=2 runs=2\n",
            L"/station \"" + p.firmware + L"\" /results \"" + p.results + L"\" /count 2");
    ASSERT_TRUE(WaitFor([&] { return p.Window() != nullptr; }, 30000));
    // The first camera's row follows its phases and percentage; the second waits.
    std::vector<std::wstring> states;
    bool waited = false;
    ASSERT_TRUE(WaitFor(
        [&] {
            const auto rows = p.Rows();
            if (p.CsvRows() == 0 && rows.size() == 2 && rows[0][6].rfind(L"updating", 0) == 0) {
                if (states.empty() || states.back() != rows[0][6]) states.push_back(rows[0][6]);
                if (!waited) p.Picture(L"waiting");
                waited = waited || rows[1][6] == L"waiting";
            }
            return p.Ended(0);
        },
        120000));
    EXPECT_TRUE(waited);
    EXPECT_TRUE(std::any_of(states.begin(), states.end(), [](const std::wstring& state) {
        return state.rfind(L"updating: writing part 2 ", 0) == 0 && state.back() == L'%';
    })) << "the row showed its percentage: " << testing::PrintToString(states);
    EXPECT_EQ(p.exitCode, static_cast<DWORD>(kStationAllPassed));
    bool wellFormed = false;
    const auto csv = p.Csv(&wellFormed);
    ASSERT_EQ(csv.size(), 3u);
    EXPECT_EQ(csv[1][kResult], "passed");
    EXPECT_EQ(csv[2][kResult], "passed");
    EXPECT_NE(csv[1][kUniqueId], csv[2][kUniqueId]) << "each camera is updated once";
}

// The ready line world (demo/worlds/line.txt): four cameras at once, each
// through a worker of its own, one of which stalls halfway: the others pass,
// every row is right, and the run says a camera failed.
TEST(StationProgram, CamerasAreUpdatedAtOnce) {
    Program p;
    p.Prepare(L"parallel");
    p.WriteFirmware(L"Corvane_RX20_fw.img");
    const std::string world = ReadText(Wide(LINE_WORLD));
    ASSERT_FALSE(world.empty()) << LINE_WORLD;
    p.Start(world, L"/station \"" + p.firmware + L"\" /results \"" + p.results +
                       L"\" /count 4 /parallel 4 /expect-version 2.3.0.7");
    ASSERT_TRUE(WaitFor([&] { return p.Ended(0); }, 180000));
    EXPECT_EQ(p.exitCode, static_cast<DWORD>(kStationNotAllPassed));
    bool wellFormed = false;
    const auto csv = p.Csv(&wellFormed);
    ASSERT_EQ(csv.size(), 5u);
    std::vector<std::string> serials;
    for (size_t i = 1; i < csv.size(); ++i) {
        const bool stalled = csv[i][kUniqueId] == "SN00000000L3";
        serials.push_back(csv[i][kUniqueId]);
        EXPECT_EQ(csv[i][kResult], stalled ? "failed" : "passed") << csv[i][kUniqueId];
        EXPECT_EQ(csv[i][kAfter], stalled ? "" : "2.3.0.7") << csv[i][kUniqueId];
        EXPECT_EQ(csv[i][kVerified], stalled ? "not verified" : "verified") << csv[i][kUniqueId];
        EXPECT_EQ(csv[i][kBefore], "1.2.10.300") << csv[i][kUniqueId];
    }
    std::sort(serials.begin(), serials.end());
    EXPECT_EQ(serials, (std::vector<std::string>{"SN00000000L1", "SN00000000L2", "SN00000000L3", "SN00000000L4"}));
    // All four were under way before the first result.
    const std::string log = ReadText(p.folder + L"\\results.log");
    const size_t firstResult = std::min(log.find("Station :: passed at"), log.find("Station :: failed at"));
    size_t workers = 0;
    for (size_t at = 0; (at = log.find(" updates SN00000000L", at)) < firstResult; ++at) ++workers;
    EXPECT_EQ(workers, 4u) << log.substr(0, 4000);
    EXPECT_EQ(p.Boxes(), 0u);
}

// A Tessa camera stays in update mode after its update until the operator
// replugs it: its row and the status say so, and it passes once it is back.
TEST(StationProgram, TessaCameraIsToldToBeReplugged) {
    Program p;
    p.Prepare(L"tessa");
    p.WriteFirmware(L"Corvane_TS10_fw.img");
    p.Start("camera kind=tessa serial=TS00000000K1 name=Corvane_TS10 runs=2 replug-ms=20000\n",
            L"/station \"" + p.firmware + L"\" /results \"" + p.results + L"\" /count 1");
    ASSERT_TRUE(WaitFor([&] { return p.Window() != nullptr; }, 30000));
    std::wstring rowState, status;
    ASSERT_TRUE(WaitFor(
        [&] {
            if (rowState.empty()) {
                const auto rows = p.Rows();
                if (!rows.empty() && rows[0][6] == L"unplug and replug it") {
                    rowState = rows[0][6];
                    status = p.Text(IDC_ST_STATUS);
                    p.Picture(L"replug");
                }
            }
            return p.Ended(0);
        },
        120000));
    EXPECT_EQ(rowState, L"unplug and replug it");
    EXPECT_EQ(status.rfind(L"Unplug Corvane_TS10 TS00000000K1", 0), 0u) << status;
    EXPECT_EQ(p.exitCode, static_cast<DWORD>(kStationAllPassed));
    bool wellFormed = false;
    const auto csv = p.Csv(&wellFormed);
    ASSERT_EQ(csv.size(), 2u);
    EXPECT_EQ(csv[1][kResult], "passed");
    EXPECT_FALSE(csv[1][kAfter].empty());
    EXPECT_EQ(p.Boxes(), 0u);
}

// The dialog's window menu starts a station for the file chosen in the
// open-file dialog, with the results file in the user's local application
// data. Closing and the end of the session wait for the camera being
// updated; once it is done, closing ends the program.
TEST(StationProgram, StartedFromTheDialogsMenuAndClosedWhenNoCameraIsUpdated) {
    Program p;
    p.Prepare(L"menu");
    p.WriteFirmware(L"Corvane_RX20_fw.img");
    wchar_t* local = nullptr;
    ASSERT_TRUE(SUCCEEDED(SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &local)));
    const std::wstring results = std::wstring(local) + L"\\Corvane\\Firmware Updater\\station-results.csv";
    CoTaskMemFree(local);
    DeleteFileW(results.c_str());
    p.results = results;
    p.Start("camera kind=hid serial=SN00000000M1 name=Corvane_RX20 runs=2\n"
            "open-file path=" + station::Utf8(p.firmware) + "\n",
            L"");
    HWND dialog = nullptr;
    ASSERT_TRUE(WaitFor(
        [&] {
            dialog = p.Window(1012);
            return dialog != nullptr && IsWindowVisible(dialog);
        },
        30000));
    PostMessageW(dialog, WM_SYSCOMMAND, IDM_STATION_MODE, 0);
    ASSERT_TRUE(WaitFor([&] { return p.Window() != nullptr; }, 30000));
    EXPECT_FALSE(IsWindowVisible(dialog)) << "the station's window takes the dialog's place";
    EXPECT_NE(p.Text(IDC_ST_RESULTS).find(L"\\Corvane\\Firmware Updater\\station-results.csv"), std::wstring::npos)
        << "[" << station::Utf8(p.Text(IDC_ST_RESULTS)) << "]";

    ASSERT_TRUE(WaitFor([&] { return p.Text(IDC_ST_STATUS).rfind(L"Updating", 0) == 0; }, 60000));
    PostMessageW(p.Window(), WM_CLOSE, 0, 0);
    DWORD_PTR answer = 1;
    SendMessageTimeoutW(p.Window(), WM_QUERYENDSESSION, 0, 0, SMTO_NORMAL, 5000, &answer);
    EXPECT_EQ(answer, 0u) << "the session does not end in the middle of an update";
    ASSERT_TRUE(WaitFor([&] { return p.CsvRows() == 1 || p.Ended(0); }, 60000));
    EXPECT_FALSE(p.Ended(0)) << "closing waited for the camera being updated";
    bool wellFormed = false;
    const auto csv = p.Csv(&wellFormed);
    ASSERT_EQ(csv.size(), 2u);
    EXPECT_EQ(csv[1][kResult], "passed");
    EXPECT_EQ(csv[1][kUniqueId], "SN00000000M1");

    PostMessageW(p.Window(), WM_CLOSE, 0, 0);
    ASSERT_TRUE(p.Ended(30000));
    EXPECT_EQ(p.exitCode, static_cast<DWORD>(kStationAllPassed));
    EXPECT_EQ(p.Boxes(), 0u);
}

// A camera that does not come back, bounded each way: one that takes the
// handshake but never goes to update mode, and an update-mode device (taken
// with /recover) that is written but comes back in update mode instead of as
// the camera. A camera whose device answers busy to every block (for two
// minutes each) is given up at /camera-timeout, and the next camera goes on.
TEST(StationProgram, CameraThatNeverComesBackFails) {
    const struct Case {
        const char* world;
        const wchar_t* arguments;
        const char* failure;
    } cases[] = {
        {"camera kind=hid serial=SN00000000G7 name=Corvane_RX20 fault=no-update-mode\n", L"/count 1 /recover",
         "did not come back"},
        {"update-mode-device pid=DF00 serial=SN00000000G8 runs=2 becomes=update-mode\n", L"/count 1 /recover",
         "did not come back"},
        {"camera kind=hid serial=SN00000000G9 name=Corvane_RX20 ports=1 runs=2 fault=stay-busy\n"
         "camera kind=hid serial=SN00000000H1 name=Corvane_RX20 ports=2 runs=2\n",
         L"/count 2 /camera-timeout 40", "took too long"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.world);
        Program p;
        p.Prepare(L"gone");
        p.WriteFirmware(L"Corvane_RX20_fw.img");
        p.Start(c.world, L"/station \"" + p.firmware + L"\" /results \"" + p.results + L"\" " + c.arguments);
        ASSERT_TRUE(WaitFor([&] { return p.Ended(0); }, 120000));
        EXPECT_EQ(p.exitCode, static_cast<DWORD>(kStationNotAllPassed));
        bool wellFormed = false;
        const auto csv = p.Csv(&wellFormed);
        ASSERT_GE(csv.size(), 2u);
        EXPECT_EQ(csv[1][kResult], "failed");
        EXPECT_EQ(csv[1][kFailure], c.failure);
        if (csv.size() > 2) EXPECT_EQ(csv[2][kResult], "passed");
        // Given up at its bound, not when the device's own two minutes ran out.
        if (std::string(c.failure) == "took too long") EXPECT_LT(std::stod(csv[1][kSeconds]), 100.0);
        EXPECT_EQ(p.Boxes(), 0u);
    }
}

// The results file locked by another program after the first row: the second
// camera's row waits (no camera is taken meanwhile) and is written once the
// file can be written again. A firmware file changed on disk meanwhile is
// not written to the next camera (its recorded SHA-256 would be wrong).
TEST(StationProgram, ResultsFileLockedAndFirmwareFileChanged) {
    Program p;
    p.Prepare(L"locked");
    p.WriteFirmware(L"Corvane_RX20_fw.img");
    p.Start("camera kind=hid serial=SN00000000N1 name=Corvane_RX20 ports=1 runs=2\n"
            "camera kind=hid serial=SN00000000N2 name=Corvane_RX20 ports=2 runs=2\n"
            "camera kind=hid serial=SN00000000N3 name=Corvane_RX20 ports=3 runs=2\n",
            L"/station \"" + p.firmware + L"\" /results \"" + p.results + L"\" /count 3");
    ASSERT_TRUE(WaitFor([&] { return p.CsvRows() == 1 || p.Ended(0); }, 120000));
    HANDLE lock = CreateFileW(p.results.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(lock, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(WaitFor([&] { return p.Text(IDC_ST_STATUS).find(L"results file cannot be written") !=
                                     std::wstring::npos; },
                        120000))
        << station::Utf8(p.Text(IDC_ST_STATUS));
    const auto rows = p.Rows();
    ASSERT_EQ(rows.size(), 3u) << "the second row in the window, the third camera waiting";
    EXPECT_EQ(rows[1][6], L"passed");
    EXPECT_EQ(rows[2][6], L"waiting");
    // The file changes while the station waits for its results file.
    const std::string bytes = ReadText(p.firmware);
    std::vector<uint8_t> other(bytes.begin(), bytes.end());
    other.back() ^= 0x5A;
    ASSERT_TRUE(WriteBytes(p.firmware, other));
    CloseHandle(lock);
    ASSERT_TRUE(p.Ended(120000));
    EXPECT_EQ(p.exitCode, static_cast<DWORD>(kStationFileChanged));
    bool wellFormed = false;
    const auto csv = p.Csv(&wellFormed);
    EXPECT_TRUE(wellFormed);
    ASSERT_EQ(csv.size(), 4u);
    EXPECT_EQ(csv[2][kUniqueId], "SN00000000N2");
    EXPECT_EQ(csv[2][kResult], "passed");
    EXPECT_EQ(csv[3][kUniqueId], "SN00000000N3");
    EXPECT_EQ(csv[3][kResult], "failed");
    EXPECT_NE(csv[3][kFailure].find("changed on disk"), std::string::npos);
}

// The program ends in the middle of the third camera's update (killed): the
// two rows written before are in the file, whole. (The second camera's model
// is only a part of the file's: it is skipped.)
TEST(StationProgram, RowsWrittenBeforeACrashAreInTheFile) {
    Program p;
    p.Prepare(L"crash");
    p.WriteFirmware(L"Corvane_RX20_fw.img");
    p.Start("camera kind=hid serial=SN00000000H1 name=Corvane_RX20 ports=1 runs=2\n"
            "camera kind=hid serial=SN00000000H2 name=Corvane_RX2 ports=2 runs=2\n"
            "camera kind=hid serial=SN00000000H3 name=Corvane_RX20 ports=3 runs=2\n",
            L"/station \"" + p.firmware + L"\" /results \"" + p.results + L"\"");
    ASSERT_TRUE(WaitFor([&] { return p.Window() != nullptr; }, 30000));
    ASSERT_TRUE(WaitFor([&] { return p.CsvRows() == 2 && p.Text(IDC_ST_STATUS).rfind(L"Updating", 0) == 0; },
                        120000));
    TerminateProcess(p.pi.hProcess, 99);
    ASSERT_TRUE(p.Ended(10000));
    bool wellFormed = false;
    const auto csv = p.Csv(&wellFormed);
    EXPECT_TRUE(wellFormed);
    ASSERT_EQ(csv.size(), 3u);
    EXPECT_EQ(csv[1][kUniqueId], "SN00000000H1");
    EXPECT_EQ(csv[1][kResult], "passed");
    EXPECT_EQ(csv[2][kUniqueId], "SN00000000H2");
    EXPECT_EQ(csv[2][kResult], "skipped");
}

// An update-mode device that is no stage of a camera's trip has no model to
// check: without /recover it is listed and left alone.
TEST(StationProgram, UpdateModeDeviceOfNoCameraIsLeftAlone) {
    Program p;
    p.Prepare(L"stray");
    p.WriteFirmware(L"Corvane_RX20_fw.img");
    p.Start("update-mode-device pid=DF00 serial=SN00000000S9 runs=2\n",
            L"/station \"" + p.firmware + L"\" /results \"" + p.results + L"\" /timeout 20");
    ASSERT_TRUE(WaitFor([&] {
        const auto rows = p.Rows();
        return rows.size() == 1 && rows[0][6] == L"in update mode, model unknown";
    }, 30000));
    ASSERT_TRUE(p.Ended(60000));
    EXPECT_EQ(p.exitCode, static_cast<DWORD>(kStationTimedOut)) << "nothing was taken";
    EXPECT_FALSE(p.LogHas("Station :: takes"));
}

// The Sunplus library writes the first V9 camera it finds: with two
// connected, neither is taken (their rows say why) until one is unplugged.
TEST(StationProgram, TwoV9CamerasAreNotWrittenTogether) {
    Program p;
    p.Prepare(L"v9");
    p.WriteFirmware(L"Corvane_V9_fw.bin", Pattern(70000, 28));
    // The second leaves after 30 s (the world's time runs 50 times faster).
    p.Start("camera kind=v9 serial=V900000000W1 name=Corvane_V9 flash-type=2 step-ms=40\n"
            "camera kind=v9 serial=V900000000W2 name=Corvane_V9 flash-type=2 step-ms=40 ports=2\n"
            "unplug device=V900000000W2 at=1500000\n",
            L"/station \"" + p.firmware + L"\" /results \"" + p.results + L"\" /count 1");
    ASSERT_TRUE(WaitFor([&] {
        const auto rows = p.Rows();
        return rows.size() == 2 && rows[0][6] == L"waiting: another V9 camera is connected" && rows[1][6] == rows[0][6];
    }, 25000)) << "both wait";
    EXPECT_EQ(p.CsvRows(), 0u);
    ASSERT_TRUE(WaitFor([&] { return p.Ended(0); }, 120000));
    EXPECT_EQ(p.exitCode, static_cast<DWORD>(kStationAllPassed)) << "the first passed once alone";
    EXPECT_NE(ReadText(p.results).find("V900000000W1"), std::string::npos);
}

// What a row claims: with /expect-version a camera passes only with that
// version read back ("verified"), a results file of an earlier version takes
// rows of its own columns, and closing the station while its results file
// is locked asks first and ends with exit code 3.
TEST(StationProgram, RecordSaysWhatWasVerified) {
    const struct Case {
        const char* name;
        const wchar_t* expect;
        bool earlierFile, lockAfterFirst;
        const char *result, *verified, *failure;
        DWORD exitCode;
        const char* second = "serial=SN00000000V2";
    } cases[] = {
        {"expected version", L"2.3.0.7", false, false, "passed", "verified", "", kStationAllPassed},
        {"other version, earlier file", L"9.9.9.9", true, false, "failed", nullptr, "9.9.9.9 expected",
         kStationNotAllPassed},
        {"closed with a row unwritten", L"2.3.0.7", false, true, "passed", "verified", "", kStationNotRecorded},
        // Two cameras before their serials were programmed, the second plugged
        // in while the first is in update mode (Windows then names the first
        // by its port when it comes back): two cameras, two rows.
        {"one serial on two ports", L"2.3.0.7", false, false, "passed", "verified", "", kStationAllPassed,
         "serial=SN00000000V1 label=second when=handshake of=first after=500"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Program p;
        p.Prepare(L"verified");
        p.WriteFirmware(L"Corvane_RX20_fw.img");
        const std::string header = station::CsvHeader(), earlier = header.substr(0, header.find(",run_id")) + "\r\n";
        if (c.earlierFile) ASSERT_TRUE(WriteBytes(p.results, std::vector<uint8_t>(earlier.begin(), earlier.end())));
        p.Start("message-box answer=yes\n"
                "camera kind=hid serial=SN00000000V1 label=first name=Corvane_RX20 ports=1 runs=2\n"
                "camera kind=hid " + std::string(c.second) + " name=Corvane_RX20 ports=2 runs=2\n",
                L"/station \"" + p.firmware + L"\" /results \"" + p.results + L"\" /expect-version " + c.expect +
                    L" /operator \"Jo Night\" /lot L7" + (c.lockAfterFirst ? L"" : L" /count 2"));
        ASSERT_TRUE(WaitFor([&] { return p.CsvRows() >= 1 || p.Ended(0); }, 120000));
        if (c.lockAfterFirst) {
            // (Not while the program still writes the first row.)
            HANDLE lock = INVALID_HANDLE_VALUE;
            ASSERT_TRUE(WaitFor([&] {
                lock = CreateFileW(p.results.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
                return lock != INVALID_HANDLE_VALUE;
            }, 10000));
            ASSERT_TRUE(WaitFor([&] { return p.Text(IDC_ST_STATUS).find(L"cannot be written") != std::wstring::npos; },
                                120000));
            PostMessageW(p.Window(), WM_CLOSE, 0, 0);
            ASSERT_TRUE(p.Ended(60000));
            CloseHandle(lock);
            EXPECT_EQ(p.Boxes(), 1u) << "closing asked first";
            EXPECT_TRUE(p.LogHas("SN00000000V2")) << "the unwritten row is in the diagnostic log";
        }
        ASSERT_TRUE(p.Ended(120000));
        EXPECT_EQ(p.exitCode, c.exitCode);
        bool wellFormed = false;
        const auto csv = p.Csv(&wellFormed);
        EXPECT_TRUE(wellFormed);
        ASSERT_EQ(csv.size(), c.lockAfterFirst ? 2u : 3u);
        for (size_t i = 1; i < csv.size(); ++i) {
            ASSERT_EQ(csv[i].size(), c.earlierFile ? 14u : 18u);
            EXPECT_EQ(csv[i][kResult], c.result);
            EXPECT_NE(csv[i][kFailure].find(c.failure), std::string::npos) << csv[i][kFailure];
            if (c.verified == nullptr) continue;
            EXPECT_EQ(csv[i][kVerified], c.verified);
            EXPECT_EQ(csv[i][kOperator], "Jo Night");
            EXPECT_EQ(csv[i][kLot], "L7");
            EXPECT_EQ(csv[i][kRunId].size(), 36u);
            EXPECT_EQ(csv[i][kAfter], "2.3.0.7");
        }
        if (csv.size() == 3) EXPECT_NE(csv[1][kPort], csv[2][kPort]);
        // The run's diagnostic lines beside the results.
        EXPECT_NE(ReadText(p.folder + L"\\results.log").find("Station :: " + std::string(c.result) + " at "),
                  std::string::npos);
    }
}

// With /timeout and no camera: exit code 2, the file holds its header only.
TEST(StationProgram, NoCameraInTimeEndsWithTimeout) {
    Program p;
    p.Prepare(L"timeout");
    p.WriteFirmware(L"Corvane_RX20_fw.img");
    p.Start("", L"/station \"" + p.firmware + L"\" /results \"" + p.results + L"\" /timeout 30");
    ASSERT_TRUE(WaitFor([&] { return p.Ended(0); }, 60000));
    EXPECT_EQ(p.exitCode, static_cast<DWORD>(kStationTimedOut));
    bool wellFormed = false;
    EXPECT_EQ(p.Csv(&wellFormed).size(), 1u);
}

// A bad command line or an unreadable file: no station, exit code 4, and a
// message that says what is wrong, on the standard error of the script that
// started it (no box to hold the script up).
TEST(StationProgram, BadArgumentsStartNoStation) {
    struct Case {
        const wchar_t* arguments;  // %F: the firmware file
        const char* said;          // part of the box's text
    };
    const Case cases[] = {
        {L"/station", "/station needs the firmware file"},
        {L"/station %F /count x", "/count"},
        {L"/station %F /bogus", "bogus"},
        {L"/station C:\\no\\such\\file.img", "cannot be read"},
        {L"/station %F /sha256 00000000000000000000000000000000000000000000000000000000000000ff",
         "not the one pinned with /sha256"},
    };
    for (const Case& c : cases) {
        Program p;
        p.Prepare(L"bad");
        p.WriteFirmware(L"Corvane_RX20_fw.img");
        std::wstring arguments = c.arguments;
        const size_t at = arguments.find(L"%F");
        if (at != std::wstring::npos) arguments.replace(at, 2, L"\"" + p.firmware + L"\"");
        SCOPED_TRACE(arguments);
        p.Start("camera kind=hid serial=SN00000000J1 name=Corvane_RX20\n", arguments, true);
        ASSERT_TRUE(p.Ended(60000));
        EXPECT_EQ(p.exitCode, static_cast<DWORD>(kStationRefused));
        EXPECT_EQ(p.Boxes(), 0u);
        const std::string said = p.StandardError();
        EXPECT_NE(said.find(c.said), std::string::npos) << said;
        EXPECT_FALSE(p.LogHas("Station :: started"));
    }
}

}  // namespace
