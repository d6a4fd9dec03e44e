// The updater program itself (the simulated build of Corvane_FW_Updater.exe)
// operated from outside, as an operator does it: the program is started
// against a world described in a scenario file (a HID camera that goes to
// update mode and back), and this program selects the camera, reads its
// version, chooses a two-part firmware file, presses F/W UPDATE and the
// warning's OK, follows the update through the camera's restarts to the end
// and reads the version again. Prints what the dialog shows at each stage,
// saves a picture of each stage and the program's diagnostic log.
//
//   exe_operator_demo <folder of the simulated program> <folder for pictures and log>
//   exe_operator_demo --files <folder>   writes the scenario and firmware files only
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "engine_harness.h"
#include "resource.h"
#include "window_picture.h"

namespace {

const wchar_t kSuccess[] =
    L"Firmware Downloaded Successfully!\r\nDonot Reset the Device.\r\nDevice will boot automatically after "
    L"completing firmware update!";

std::string Narrow(const std::wstring& w) {
    std::string s;
    for (wchar_t c : w) s += c == L'\r' ? ' ' : c == L'\n' ? '|' : (c < 128 ? static_cast<char>(c) : '?');
    return s;
}

std::wstring Wide(const char* s) {
    wchar_t out[MAX_PATH] = L"";
    MultiByteToWideChar(CP_UTF8, 0, s, -1, out, MAX_PATH);
    return out;
}

bool WriteBytes(const std::wstring& path, const std::string& bytes) {
    FILE* f = _wfopen(path.c_str(), L"wb");
    if (f == nullptr) return false;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

// The firmware file (24 KiB + 48 KiB, image type 2; the new image carries
// version 2.3.0.7 in its first bytes) and the scenario that serves it.
bool WriteFiles(const std::wstring& folder, std::wstring* scenario, std::wstring* firmware) {
    std::vector<uint8_t> part2 = Pattern(48 * 1024, 9);
    const uint8_t newVersion[6] = {2, 3, 0, 0, 0, 7};
    std::copy(newVersion, newVersion + 6, part2.begin());
    const auto file = TwoPartFile(2, Pattern(24 * 1024, 8), part2);
    *firmware = folder + L"\\Corvane_RX20_fw.img";
    *scenario = folder + L"\\demo_world.txt";
    std::string text =
        "# A HID camera (4A7E:C110) that goes to update mode as 4A7E:DF00, takes a\n"
        "# two-part image in two runs and comes back with the new image's version.\n"
        "camera kind=hid serial=SN12345678AB name=Corvane_RX20 ports=3,2 runs=2\n"
        "# Browse is answered with the demo's firmware file (ignored when the\n"
        "# open-file dialog is shown for real).\n"
        "open-file path=";
    text += Narrow(*firmware) + "\n";
    return WriteBytes(*firmware, std::string(file.begin(), file.end())) && WriteBytes(*scenario, text);
}

// The firmware and loader files the ready worlds of demo/worlds choose (their
// open-file statements name them in %CORVANE_WORLD_FILES%).
bool WriteWorldFiles(const std::wstring& folder) {
    struct File {
        const wchar_t* name;
        std::vector<uint8_t> bytes;
    };
    auto versioned = [](std::vector<uint8_t> image, std::initializer_list<uint8_t> version) {
        std::copy(version.begin(), version.end(), image.begin());
        return image;
    };
    // The FX3 boot image: one section at the start of the chip's RAM, run there.
    std::vector<uint8_t> program = Pattern(12000, 21);
    std::vector<uint8_t> boot = {'C', 'Y', 0x1C, 0xB0};
    for (const auto& part : {Le32(static_cast<uint32_t>(program.size() / 4)), Le32(0x40000000), program, Le32(0),
                             Le32(0x40000000)})
        boot.insert(boot.end(), part.begin(), part.end());
    const File files[] = {
        {L"Corvane_ST20_fw.img", TwoPartFile(2, Pattern(8 * 1024, 22), versioned(Pattern(16 * 1024, 23), {2, 4, 0, 0, 0, 1}))},
        {L"Corvane_CX30_fw.img", Pattern(20000, 24)},
        {L"bootloader.img", boot},
        {L"RT1060_Flashloader_nopadding.bin", Pattern(86272, 25)},
        {L"Corvane_R7_fw.img", Pattern(30000, 26)},
        // 15 blocks and 640 bytes: the last block gets the pad byte.
        {L"Corvane_TS10_fw.img", versioned(Pattern(16000, 27), {1, 5, 0, 2})},
        {L"Corvane_V9_fw.bin", Pattern(70000, 28)},
    };
    for (const File& f : files)
        if (!WriteBytes(folder + L"\\" + f.name, std::string(f.bytes.begin(), f.bytes.end()))) return false;
    return true;
}

struct Updater {
    PROCESS_INFORMATION pi{};
    HWND dialog = nullptr;
    std::wstring logPath;
    std::wstring folder;
    int shot = 0;
    size_t boxesSeen = 0;

    bool Start(const std::wstring& programFolder, const std::wstring& scenario) {
        SetEnvironmentVariableW(L"CORVANE_SIM_SCENARIO", scenario.c_str());
        // Simulated time runs 20 times faster unless the caller chose a pace.
        if (GetEnvironmentVariableW(L"CORVANE_SIM_TIME_SCALE", nullptr, 0) == 0)
            SetEnvironmentVariableW(L"CORVANE_SIM_TIME_SCALE", L"0.05");
        SetEnvironmentVariableW(L"CORVANE_SIM_DEBUGLOG", logPath.c_str());
        DeleteFileW(logPath.c_str());
        std::wstring exe = programFolder + L"\\Corvane_FW_Updater.exe";
        std::wstring command = L"\"" + exe + L"\"";
        STARTUPINFOW si{};
        si.cb = sizeof(si);
        if (!CreateProcessW(exe.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, programFolder.c_str(), &si,
                            &pi)) {
            std::printf("cannot start %s (error %lu)\n", Narrow(exe).c_str(), GetLastError());
            return false;
        }
        WaitForInputIdle(pi.hProcess, 20000);
        return WaitFor([&] { return (dialog = FindWindowOf(IDC_COMBO_DEVICELIST)) != nullptr; }, 30000);
    }

    // A visible top-level window of the program that holds a control with this ID.
    HWND FindWindowOf(int controlId) const {
        struct Search {
            DWORD pid;
            int id;
            HWND found;
        } search{pi.dwProcessId, controlId, nullptr};
        EnumWindows(
            [](HWND w, LPARAM p) -> BOOL {
                auto* s = reinterpret_cast<Search*>(p);
                DWORD pid = 0;
                GetWindowThreadProcessId(w, &pid);
                if (pid != s->pid || !IsWindowVisible(w) || GetDlgItem(w, s->id) == nullptr) return TRUE;
                s->found = w;
                return FALSE;
            },
            reinterpret_cast<LPARAM>(&search));
        return search.found;
    }

    static bool WaitFor(const std::function<bool()>& cond, DWORD timeoutMs) {
        const DWORD start = GetTickCount();
        while (!cond()) {
            if (GetTickCount() - start > timeoutMs) return false;
            Sleep(20);
        }
        return true;
    }

    std::wstring Text(int id) const {
        wchar_t buf[512] = L"";
        SendMessageTimeoutW(GetDlgItem(dialog, id), WM_GETTEXT, 512, reinterpret_cast<LPARAM>(buf), SMTO_NORMAL, 5000,
                            nullptr);
        return buf;
    }
    bool Enabled(int id) const { return IsWindowEnabled(GetDlgItem(dialog, id)) != FALSE; }
    bool Visible(int id) const { return IsWindowVisible(GetDlgItem(dialog, id)) != FALSE; }
    int Progress() const {
        DWORD_PTR pos = 0;
        SendMessageTimeoutW(GetDlgItem(dialog, IDC_PROGRESS), PBM_GETPOS, 0, 0, SMTO_NORMAL, 5000, &pos);
        return static_cast<int>(pos);
    }
    std::vector<std::wstring> Items() const {
        std::vector<std::wstring> items;
        HWND combo = GetDlgItem(dialog, IDC_COMBO_DEVICELIST);
        DWORD_PTR n = 0;
        SendMessageTimeoutW(combo, CB_GETCOUNT, 0, 0, SMTO_NORMAL, 5000, &n);
        for (DWORD_PTR i = 0; i < n && i < 20; ++i) {
            wchar_t buf[300] = L"";
            DWORD_PTR len = 0;
            SendMessageTimeoutW(combo, CB_GETLBTEXTLEN, i, 0, SMTO_NORMAL, 5000, &len);
            if (len < 300) SendMessageTimeoutW(combo, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(buf), SMTO_NORMAL, 5000, &len);
            items.push_back(buf);
        }
        return items;
    }

    // Presses a button: posted, so that a modal dialog it opens does not hold us.
    void Click(int id) const {
        PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
    }
    void Select(int index) const {
        HWND combo = GetDlgItem(dialog, IDC_COMBO_DEVICELIST);
        SendMessageTimeoutW(combo, CB_SETCURSEL, index, 0, SMTO_NORMAL, 5000, nullptr);
        PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDC_COMBO_DEVICELIST, CBN_SELCHANGE), reinterpret_cast<LPARAM>(combo));
    }

    // The program's message boxes, as the simulator wrote them to the log.
    std::vector<std::wstring> Boxes() const {
        std::vector<std::wstring> boxes;
        HANDLE f = CreateFileW(logPath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, 0, nullptr);
        if (f == INVALID_HANDLE_VALUE) return boxes;
        std::string bytes;
        char buf[65536];
        DWORD got = 0;
        while (ReadFile(f, buf, sizeof buf, &got, nullptr) && got > 0) bytes.append(buf, got);
        CloseHandle(f);
        std::wstring text(bytes.size(), L'\0');
        text.resize(static_cast<size_t>(
            MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), &text[0],
                                static_cast<int>(text.size()))));
        // Lines "[thread] MessageBox "caption": text"; a box's text may span lines
        // and runs to the next "[" line.
        size_t at = 0;
        while ((at = text.find(L"] MessageBox \"", at)) != std::wstring::npos) {
            size_t end = text.find(L"\n[", at);
            if (end == std::wstring::npos) end = text.size();
            std::wstring box = text.substr(at + 13, end - at - 13);
            while (!box.empty() && (box.back() == L'\n' || box.back() == L'\r')) box.pop_back();
            boxes.push_back(box);
            at = end;
        }
        return boxes;
    }
    bool HasBox(const std::wstring& text) const {
        for (const auto& b : Boxes())
            if (b.size() >= text.size() && b.compare(b.size() - text.size(), text.size(), text) == 0) return true;
        return false;
    }

    void Stage(const char* title, HWND picture = nullptr) {
        std::printf("\n== %s\n   list: ", title);
        for (const auto& item : Items()) std::printf("[%s] ", Narrow(item).c_str());
        std::printf("\n   status: \"%s\"  activity: \"%s\"  progress bar: %d\n", Narrow(Text(IDC_STATIC_STATUS)).c_str(),
                    Visible(IDC_STATIC_UPDATING) ? Narrow(Text(IDC_STATIC_UPDATING)).c_str() : "", Progress());
        const auto boxes = Boxes();
        for (; boxesSeen < boxes.size(); ++boxesSeen) std::printf("   message box %s\n", Narrow(boxes[boxesSeen]).c_str());
        wchar_t name[64];
        swprintf(name, 64, L"\\%d.bmp", ++shot);
        if (SaveWindowPicture(picture != nullptr ? picture : dialog, folder + name))
            std::printf("   picture %d.bmp\n", shot);
        std::fflush(stdout);
    }

    void Stop() {
        if (pi.hProcess == nullptr) return;
        PostMessageW(dialog, WM_CLOSE, 0, 0);
        if (WaitForSingleObject(pi.hProcess, 15000) != WAIT_OBJECT_0) TerminateProcess(pi.hProcess, 1);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
        pi = {};
    }
};

bool Expect(bool held, const char* what) {
    if (!held) std::printf("   NOT SEEN: %s\n", what);
    return held;
}

int Run(const std::wstring& programFolder, const std::wstring& folder) {
    std::wstring scenario, firmware;
    if (!WriteFiles(folder, &scenario, &firmware)) {
        std::printf("cannot write the demo files in %s\n", Narrow(folder).c_str());
        return 1;
    }
    Updater u;
    u.folder = folder;
    u.logPath = folder + L"\\diagnostics.log";
    std::printf("== the simulated world: %s\n", Narrow(scenario).c_str());
    if (!u.Start(programFolder, scenario)) {
        std::printf("the updater's main dialog did not appear\n");
        u.Stop();
        return 1;
    }
    bool ok = Expect(Updater::WaitFor([&] { return u.Items().size() == 1; }, 20000), "the camera listed");
    u.Stage("Corvane_FW_Updater.exe starts with a HID camera connected (4A7E:C110, serial SN12345678AB)");

    u.Select(0);
    Updater::WaitFor([&] { return u.Enabled(IDC_BTN_READFW_VERSION); }, 10000);
    u.Click(IDC_BTN_READFW_VERSION);
    ok = Expect(Updater::WaitFor([&] { return u.HasBox(L"Firmware Version = 1.2.10.300"); }, 20000),
                "the version 1.2.10.300") && ok;
    u.Stage("READ F/W VERSION");

    u.Click(IDC_BTN_BROWSE);
    ok = Expect(Updater::WaitFor([&] { return !u.Text(IDC_EDIT_FIRMWARE_PATH).empty(); }, 10000),
                "the firmware file chosen") && ok;
    u.Stage("Browse: a two-part firmware file (24 KiB + 48 KiB, image type 2)");

    u.Click(IDC_BTN_FW_UPDATE);
    HWND warning = nullptr;
    ok = Expect(Updater::WaitFor([&] { return (warning = u.FindWindowOf(IDC_BTN_NOTICE_OK)) != nullptr; }, 20000),
                "the warning before the update") && ok;
    if (warning != nullptr) {
        u.Stage("F/W UPDATE: the warning before the update", warning);
        PostMessageW(warning, WM_COMMAND, MAKEWPARAM(IDC_BTN_NOTICE_OK, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(warning, IDC_BTN_NOTICE_OK)));
    }
    Updater::WaitFor([&] { return u.Visible(IDC_STATIC_STATUS); }, 10000);
    u.Stage("OK: the camera is told to enter its update mode");

    bool shownHalf = false;
    const bool ended = Updater::WaitFor([&] {
        if (!shownHalf && u.Progress() >= 40) {
            shownHalf = true;
            u.Stage("writing the image");
        }
        return u.HasBox(kSuccess) || u.HasBox(L"Firmware Download Failed!") || u.HasBox(L"USB Communication Failure!") ||
               u.HasBox(L"Get Status Failed!");
    }, 180000);
    u.Stage("the update ends");
    const bool success = ended && u.HasBox(kSuccess);

    ok = Expect(Updater::WaitFor([&] {
        const auto items = u.Items();
        return items.size() == 1 && items[0].find(L"Corvane_RX20") == 0 && u.Enabled(IDC_BTN_READFW_VERSION);
    }, 60000), "the camera listed again with READ F/W VERSION enabled") && ok;
    u.Click(IDC_BTN_READFW_VERSION);
    const bool newVersion = Updater::WaitFor([&] { return u.HasBox(L"Firmware Version = 2.3.0.7"); }, 20000);
    u.Stage("the camera is back in normal mode and selected; READ F/W VERSION");
    u.Stop();
    DeleteFileW(firmware.c_str());

    std::printf("\n== %s: the update %s, and the camera %s the new image's version 2.3.0.7\n",
                ok && success && newVersion ? "done" : "FAILED", success ? "succeeded" : "did not succeed",
                newVersion ? "reports" : "does NOT report");
    std::printf("== diagnostic log: diagnostics.log\n");
    return ok && success && newVersion ? 0 : 1;
}

// One of the ready worlds as the program's own world, from the start to the
// end its operator expects: the camera named `camera` is selected, the
// world's firmware file chosen, F/W UPDATE and the warning's OK pressed; then
// "success" waits for the success box and the camera back in normal mode,
// "notice" for the notice after a Tessa update (its OK pressed once the
// camera left) and the camera back, "failure" for the failure box.
int RunWorld(const std::wstring& world, const std::wstring& programFolder, const std::wstring& folder,
             const std::wstring& camera, const std::string& expect) {
    std::wstring demoWorld, demoFirmware;
    if (!WriteFiles(folder, &demoWorld, &demoFirmware) || !WriteWorldFiles(folder)) {
        std::printf("cannot write the world's files in %s\n", Narrow(folder).c_str());
        return 1;
    }
    SetEnvironmentVariableW(L"CORVANE_WORLD_FILES", folder.c_str());
    Updater u;
    u.folder = folder;
    u.logPath = folder + L"\\diagnostics.log";
    std::printf("== world %s, camera %s, expecting %s\n", Narrow(world).c_str(), Narrow(camera).c_str(), expect.c_str());
    if (!u.Start(programFolder, world)) {
        std::printf("the updater's main dialog did not appear\n");
        u.Stop();
        return 1;
    }
    auto index = [&] {
        const auto items = u.Items();
        for (size_t i = 0; i < items.size(); ++i)
            if (items[i].compare(0, camera.size(), camera) == 0) return static_cast<int>(i);
        return -1;
    };
    bool ok = Expect(Updater::WaitFor([&] { return index() >= 0; }, 60000), "the camera listed");
    u.Stage("the program starts");
    if (ok) {
        const int i = index();
        u.Select(i);
        ok = Expect(Updater::WaitFor(
                        [&] {
                            DWORD_PTR selected = 0;
                            SendMessageTimeoutW(GetDlgItem(u.dialog, IDC_COMBO_DEVICELIST), CB_GETCURSEL, 0, 0,
                                                SMTO_NORMAL, 5000, &selected);
                            return static_cast<int>(selected) == i && u.Enabled(IDC_BTN_BROWSE);
                        },
                        20000),
                    "the camera selected");
        Sleep(300);  // the selection change is handled (posted)
    }
    if (ok) {
        u.Click(IDC_BTN_BROWSE);
        ok = Expect(Updater::WaitFor([&] { return u.Enabled(IDC_BTN_FW_UPDATE); }, 20000), "the firmware file chosen");
    }
    HWND warning = nullptr;
    if (ok) {
        u.Click(IDC_BTN_FW_UPDATE);
        ok = Expect(Updater::WaitFor([&] { return (warning = u.FindWindowOf(IDC_BTN_NOTICE_OK)) != nullptr; }, 30000),
                    "the warning before the update");
    }
    if (ok) {
        u.Stage("F/W UPDATE: the warning", warning);
        PostMessageW(warning, WM_COMMAND, MAKEWPARAM(IDC_BTN_NOTICE_OK, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(warning, IDC_BTN_NOTICE_OK)));
    }
    const wchar_t* const failures[] = {L"Firmware Download Failed!", L"USB Communication Failure!", L"Get Status Failed!",
                                       L"Change State Failed!", L"Check File Path!"};
    auto failed = [&] {
        for (const wchar_t* f : failures)
            if (u.HasBox(f)) return true;
        return false;
    };
    HWND notice = nullptr;
    bool shownHalf = false;
    const bool ended = ok && Updater::WaitFor(
                                 [&] {
                                     if (!shownHalf && u.Progress() >= 40) {
                                         shownHalf = true;
                                         u.Stage("writing the image");
                                     }
                                     HWND w = u.FindWindowOf(IDC_BTN_NOTICE_OK);
                                     if (w != nullptr && w != warning && !IsWindow(warning)) notice = w;
                                     return u.HasBox(kSuccess) || failed() || notice != nullptr;
                                 },
                                 240000);
    u.Stage("the update ends", notice);
    const char* ending = !ended ? "no ending" : u.HasBox(kSuccess) ? "success" : notice != nullptr ? "notice" : "failure";
    bool asExpected = expect == ending;
    if (asExpected && notice != nullptr) {
        // The notice's OK waits for the camera to leave the bus.
        HWND okButton = GetDlgItem(notice, IDC_BTN_NOTICE_OK);
        asExpected = Expect(Updater::WaitFor([&] { return IsWindowEnabled(okButton) != FALSE; }, 60000),
                            "the notice's OK enabled when the camera left");
        PostMessageW(notice, WM_COMMAND, MAKEWPARAM(IDC_BTN_NOTICE_OK, BN_CLICKED), reinterpret_cast<LPARAM>(okButton));
    }
    if (asExpected && expect != "failure") {
        asExpected = Expect(Updater::WaitFor([&] { return index() >= 0 && u.Enabled(IDC_BTN_BROWSE); }, 120000),
                            "the camera back in normal mode");
        u.Stage("the camera is back");
    }
    u.Stop();
    std::printf("\n== world %s: the update ended with %s, %s\n", Narrow(world).c_str(), ending,
                asExpected ? "as expected" : "NOT as expected");
    return asExpected ? 0 : 1;
}

// A world file with a statement the simulator does not know: the program
// must not start, and must say which line it is.
int RunRefusedWorld(const std::wstring& programFolder, const std::wstring& folder) {
    const std::wstring world = folder + L"\\refused_world.txt";
    const std::wstring errors = folder + L"\\refused_world_errors.txt";
    if (!WriteBytes(world, "# a camera, then a line the simulator does not know\n"
                           "camera kind=hid serial=SN12345678AB name=Corvane_RX20\n"
                           "plug camera=SN12345678AB\n"))
        return 1;
    SetEnvironmentVariableW(L"CORVANE_SIM_SCENARIO", world.c_str());
    SECURITY_ATTRIBUTES sa{sizeof(sa), nullptr, TRUE};
    HANDLE err = CreateFileW(errors.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &sa, CREATE_ALWAYS, 0, nullptr);
    const std::wstring exe = programFolder + L"\\Corvane_FW_Updater.exe";
    std::wstring command = L"\"" + exe + L"\"";
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdError = err;
    si.hStdOutput = err;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(exe.c_str(), &command[0], nullptr, nullptr, TRUE, 0, nullptr, programFolder.c_str(), &si, &pi)) {
        std::printf("cannot start the program (error %lu)\n", GetLastError());
        return 1;
    }
    CloseHandle(err);
    const bool ended = WaitForSingleObject(pi.hProcess, 60000) == WAIT_OBJECT_0;
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    if (!ended) TerminateProcess(pi.hProcess, 1);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    std::string said;
    if (FILE* f = _wfopen(errors.c_str(), L"rb")) {
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) said.append(buf, n);
        std::fclose(f);
    }
    std::printf("exit code %lu; standard error:\n%s\n", code, said.c_str());
    const bool named = said.find("line 3: unknown statement \"plug\": plug camera=SN12345678AB") != std::string::npos;
    const bool refused = ended && code == 3 && named;
    std::printf("== refused world: %s\n", refused ? "the program did not start and named the line" : "NOT refused");
    return refused ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::string(argv[1]) == "--refused-world") return RunRefusedWorld(Wide(argv[2]), Wide(argv[3]));
    if (argc == 3 && std::string(argv[1]) == "--files") {
        std::wstring scenario, firmware;
        if (!WriteFiles(Wide(argv[2]), &scenario, &firmware) || !WriteWorldFiles(Wide(argv[2]))) return 1;
        std::printf("%s\n%s\n", Narrow(scenario).c_str(), Narrow(firmware).c_str());
        return 0;
    }
    if (argc == 7 && std::string(argv[1]) == "--world")
        return RunWorld(Wide(argv[2]), Wide(argv[3]), Wide(argv[4]), Wide(argv[5]), argv[6]);
    if (argc != 3) {
        std::printf("usage: exe_operator_demo <folder of the simulated program> <folder for pictures and log>\n"
                    "       exe_operator_demo --files <folder>\n"
                    "       exe_operator_demo --world <world file> <folder of the simulated program> <folder for\n"
                    "                         files, pictures and log> <camera name> success|notice|failure\n");
        return 2;
    }
    return Run(Wide(argv[1]), Wide(argv[2]));
}
