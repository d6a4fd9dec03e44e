// A seeded soak of the whole program. The real main dialog runs on a thread
// of its own with its message loop, as in the program; an operator on another
// thread updates camera after camera of every kind through it, while a random
// schedule drawn from the seed injects operator actions at any moment (every
// button, selection changes, close attempts, the end of the session), other
// cameras arriving and leaving, the camera under update leaving the bus,
// device faults, slow replies, re-enumeration delays and both orders of
// interface arrivals. After every step it checks what must always hold:
//
// - the dialog answers a message within 5 s (of the program's clock);
// - a success box or notice appears only when the device holds the file;
// - never two update threads, never two library calls at once;
// - Windows' end of the session is refused while an update runs;
// - after every ending the operator can start a new update within a bound;
// - the camera selected after an update is the one that was updated.
//
//   soak --round <seed> [--updates <n>]
//
// runs one round (one program session of n updates, 3 by default) and prints
// a STATS line; a violation prints the seed, the update and the step, the
// world file that builds the update's world (faults and events included) and
// the operator's schedule, and the round ends with exit code 1. tools/soak
// runs rounds for a number of minutes.
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "app_state.h"
#include "dfu_device.h"
#include "engine_harness.h"
#include "hidden_window.h"
#include "main_dialog.h"
#include "nxp_flashloader.h"
#include "resource.h"
#include "scenario_file.h"
#include "sim_events.h"
#include "sim_world.h"
#include "sunplus_chip.h"
#include "ui_wait.h"
#include "update_guard.h"

namespace {

// ---------------------------------------------------------------- basics

double g_scale = 0.05;  // simulated to real time

void SleepSim(DWORD simMs) { ::Sleep(static_cast<DWORD>(simMs * g_scale) + 1); }

std::string Narrow(const std::wstring& w) {
    std::string s;
    for (wchar_t c : w) s += c < 128 ? static_cast<char>(c) : '?';
    return s;
}

class Rng {
public:
    explicit Rng(unsigned long long seed) : g_(seed) {}
    int Int(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(g_); }
    bool Chance(double p) { return std::uniform_real_distribution<double>(0, 1)(g_) < p; }
    template <typename T>
    const T& Pick(const std::vector<T>& v) { return v[static_cast<size_t>(Int(0, static_cast<int>(v.size()) - 1))]; }

private:
    std::mt19937_64 g_;
};

std::wstring TempFolder() {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring folder = std::wstring(temp) + L"corvane-soak-" + std::to_wstring(GetCurrentProcessId()) + L"\\";
    CreateDirectoryW(folder.c_str(), nullptr);
    return folder;
}

bool WriteBytes(const std::wstring& path, const std::vector<uint8_t>& bytes) {
    FILE* f = _wfopen(path.c_str(), L"wb");
    if (f == nullptr) return false;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

// ---------------------------------------------------------------- violations

std::mutex g_mu;
std::vector<std::string> g_violations;
std::string g_step = "start";

// The operator posted a close attempt during this session. The attempt is
// checked to be refused while the update runs; but the update may end
// between the operator's look and the program's handling of the message
// (or the program keeps it behind others until a pause is over), and then
// closing ends the program, as it should once nothing runs. The pause may
// outlast the update's ending and its checks: a close attempt of one update
// can end the program while the next one is being prepared, so the flag
// stays for the rest of the round.
std::atomic<bool> g_closePosted{false};
bool ClosedOnceNothingRan();

void Violation(const std::string& what) {
    // What is left unseen once the operator closed the program after the
    // update ended is no fault of the program's.
    if (ClosedOnceNothingRan()) return;
    std::lock_guard<std::mutex> lock(g_mu);
    g_violations.push_back("[" + g_step + "] " + what);
}

void Step(const std::string& step) {
    std::lock_guard<std::mutex> lock(g_mu);
    g_step = step;
}

bool Violated() {
    std::lock_guard<std::mutex> lock(g_mu);
    return !g_violations.empty();
}

// ---------------------------------------------------------------- the update's plan

enum class Kind { Hid, Stereo, Cx3, Tessa, R7, V9, Df00, Df01 };

const char* KindName(Kind k) {
    switch (k) {
        case Kind::Hid: return "hid";
        case Kind::Stereo: return "stereo";
        case Kind::Cx3: return "cx3";
        case Kind::Tessa: return "tessa";
        case Kind::R7: return "r7";
        case Kind::V9: return "v9";
        case Kind::Df00: return "df00";
        case Kind::Df01: return "df01";
    }
    return "?";
}

enum class Layout { Plain, TwoPart };

struct OperatorAction {
    DWORD atMs;  // simulated ms after F/W UPDATE
    std::string what;
    std::function<void()> act;
};

struct Plan {
    Kind kind = Kind::Hid;
    std::wstring label, name;
    Layout layout = Layout::Plain;
    std::vector<uint8_t> part1, part2;  // part2 alone for a plain file
    std::wstring file;
    std::wstring world;
    bool faulty = false;       // a fault or an event that may fail the update
    bool comesBack = false;    // back in normal mode after a success
    bool retargeted = false;   // a device change between the choice and F/W UPDATE made it another device's
    std::vector<OperatorAction> actions;
    std::vector<std::string> schedule;  // the actions' texts, for a replay
};

// The counts the round prints.
struct Stats {
    int updates[8][3] = {};  // kind x {success, failure, no ending box}
    int retargeted = 0;
    int closedAfterTheEnd = 0;
    int selectedAfterTheEnd = 0;
    int actions = 0, closeAttempts = 0, sessionEnds = 0, faults = 0, leaves = 0, bystanders = 0, reversedArrivals = 0,
        slowDevices = 0;
} g_stats;

// ---------------------------------------------------------------- what the program shows

enum class Outcome { None, Success, Failure };
std::atomic<int> g_outcome{0};
std::atomic<int> g_successes{0};
const Plan* g_current = nullptr;  // the update whose ending the hooks judge

bool MemoryHoldsFile(const Plan& p) {
    using sim::DfuFlash;
    if (p.kind == Kind::V9) {
        const sim::DeviceId camera = sim::PresentDeviceLabelled(p.label);
        auto chip = camera != 0 ? sim::SunplusChipOf(camera) : nullptr;
        return chip != nullptr && chip->Flash() == p.part2;
    }
    for (sim::DeviceId d : sim::DevicesLabelled(p.label)) {
        auto model = sim::ModelOf(d);
        if (auto dfu = std::dynamic_pointer_cast<sim::DfuDeviceModel>(model)) {
            auto flash = dfu->flash();
            if (p.layout == Layout::TwoPart)
                return DfuFlash::Holds(flash->image1, p.part1) && DfuFlash::Holds(flash->image2, p.part2);
            return DfuFlash::Holds(flash->image2, p.part2);
        }
        if (auto loader = std::dynamic_pointer_cast<sim::NxpFlashLoaderModel>(model))
            return loader->Flash(sim::kNxpFlashBase + 0x1000, static_cast<uint32_t>(p.part2.size())) == p.part2;
    }
    return false;
}

const wchar_t kSuccessText[] =
    L"Firmware Downloaded Successfully!\r\nDonot Reset the Device.\r\nDevice will boot automatically after "
    L"completing firmware update!";

bool IsFailureText(const std::wstring& t) {
    return t == L"Firmware Download Failed!" || t == L"USB Communication Failure!" ||
           t == L"MCU firmware update failed. Please retry again...!!" ||
           t == L"Firmware update failed. Please retry again...!!";
}

void Judge(bool success, const wchar_t* how) {
    const Plan* p = g_current;
    if (p == nullptr) {
        if (success) Violation("a success (" + Narrow(how) + ") for no update the operator started");
        return;
    }
    if (success && !p->retargeted) {
        ++g_successes;
        if (!MemoryHoldsFile(*p)) Violation("success (" + Narrow(how) + ") but the device does not hold the file");
    }
    g_outcome = static_cast<int>(success ? Outcome::Success : Outcome::Failure);
}

int OnBox(const sim::MessageBoxCall& c) {
    if (c.text == kSuccessText) Judge(true, L"success box");
    else if (IsFailureText(c.text)) Judge(false, c.text.c_str());
    return 0;  // answered as the simulator does (OK, Yes)
}

bool OnDialog(const sim::DialogCall& call, DLGPROC proc, INT_PTR* result) {
    switch (call.templateId) {
        case IDD_UPDATE_WARNING: {
            // The operator presses OK on the real dialog's procedure.
            HWND warning = CreateDialogParamW(call.instance, MAKEINTRESOURCEW(IDD_UPDATE_WARNING), call.parent, proc,
                                              call.initParam);
            SendMessageW(warning, WM_COMMAND, MAKEWPARAM(IDC_BTN_NOTICE_OK, BN_CLICKED), 0);
            DestroyWindow(warning);
            *result = IDC_BTN_NOTICE_OK;
            return true;
        }
        case IDD_WARNING_NOTICE: {
            Judge(true, L"notice 143");
            // The operator replugs the camera as the notice asks (the world
            // does), and then closes it.
            for (int i = 0; i < 600 && !DialogUpdate().bWrittenDeviceGone; ++i) SleepSim(100);
            *result = 1;
            return true;
        }
        case IDD_ERROR_NOTICE:
            Judge(false, L"notice 144");
            *result = 1;
            return true;
        default:
            return false;
    }
}

// ---------------------------------------------------------------- the dialog's thread

HANDLE g_uiReady = nullptr;
HWND g_dialog = nullptr;

// Whether the program was busy at the moment its dialog began to be
// destroyed (-1: it was not). A shown window is hidden first, and hiding it
// can take the window system a while (Wine without a window manager waits up
// to 2 s for it) before WM_DESTROY: the program is on its way out meanwhile.
// Nothing else hides the dialog here (the soak never starts station mode).
std::atomic<int> g_busyAtDestroy{-1};
// A selection the operator made during this update reached the program once
// nothing ran any more (the update may end between the operator's look and
// the program's handling of it, as with a close attempt): the program then
// rightly takes it as the operator's choice, and the camera it selects after
// the update is the operator's, not the updated one.
std::atomic<bool> g_selectionTakenOnceNothingRan{false};
WNDPROC g_dialogClassProc = nullptr;

LRESULT CALLBACK WatchDestroy(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) {
    const bool hiding = message == WM_WINDOWPOSCHANGING &&
                        (reinterpret_cast<const WINDOWPOS*>(lParam)->flags & SWP_HIDEWINDOW) != 0;
    if ((message == WM_DESTROY || hiding) && g_busyAtDestroy < 0) g_busyAtDestroy = UpdateIsBusy() ? 1 : 0;
    const LRESULT result = CallWindowProcW(g_dialogClassProc, hWnd, message, wParam, lParam);
    // Looked at once the program has handled (or kept) it: a selection it
    // refused was refused while the update ran.
    if (message == WM_COMMAND && LOWORD(wParam) == IDC_COMBO_DEVICELIST && HIWORD(wParam) == CBN_SELCHANGE &&
        !UpdateIsBusy())
        g_selectionTakenOnceNothingRan = true;
    return result;
}

DWORD WINAPI UiThread(LPVOID) {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&icc);
    g_hInst = GetModuleHandleW(nullptr);
    g_hBoldFont = CreateFontW(15, 0, 0, 0, FW_BOLD, FALSE, FALSE, FALSE, OEM_CHARSET, OUT_DEFAULT_PRECIS,
                              CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, DEFAULT_PITCH | FF_DONTCARE, L"Arial");
    WNDCLASSW wc{};
    wc.lpfnWndProc = HiddenWindowProc;
    wc.hInstance = g_hInst;
    wc.lpszClassName = L"CorvaneSoakOwner";
    RegisterClassW(&wc);
    g_hMainWnd = CreateWindowExW(0, wc.lpszClassName, L"soak", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, g_hInst, nullptr);
    g_dialog = CreateDialogParamW(g_hInst, MAKEINTRESOURCEW(IDD_MAIN_DIALOG), g_hMainWnd, MainDialogProc, 0);
    g_dialogClassProc = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(g_dialog, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(WatchDestroy)));
    ShowWindow(g_dialog, SW_SHOW);
    SetEvent(g_uiReady);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (IsWindow(g_dialog) && IsDialogMessageW(g_dialog, &msg)) continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return 0;
}

bool DialogAlive() { return IsWindow(g_dialog) != FALSE; }

bool ClosedOnceNothingRan() { return g_closePosted && g_busyAtDestroy == 0; }

// A message to the dialog as another thread sends it; false when the dialog
// did not answer within the bound (or is gone).
bool Send(UINT message, WPARAM wParam, LPARAM lParam, DWORD_PTR* result = nullptr, DWORD timeoutMs = 20000) {
    DWORD_PTR r = 0;
    const bool ok = SendMessageTimeoutW(g_dialog, message, wParam, lParam, SMTO_NORMAL, timeoutMs, &r) != 0;
    if (result != nullptr) *result = r;
    return ok;
}

void Post(UINT message, WPARAM wParam, LPARAM lParam = 0) { PostMessageW(g_dialog, message, wParam, lParam); }

void PostClick(int id) { Post(WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(g_dialog, id))); }

void SelectItem(int index) {
    HWND combo = GetDlgItem(g_dialog, IDC_COMBO_DEVICELIST);
    DWORD_PTR r = 0;
    SendMessageTimeoutW(combo, CB_SETCURSEL, static_cast<WPARAM>(index), 0, SMTO_NORMAL, 20000, &r);
    Post(WM_COMMAND, MAKEWPARAM(IDC_COMBO_DEVICELIST, CBN_SELCHANGE), reinterpret_cast<LPARAM>(combo));
}

int Selection() {
    DWORD_PTR r = 0;
    HWND combo = GetDlgItem(g_dialog, IDC_COMBO_DEVICELIST);
    if (!SendMessageTimeoutW(combo, CB_GETCURSEL, 0, 0, SMTO_NORMAL, 20000, &r)) return -1;
    return static_cast<int>(static_cast<LRESULT>(r));
}

std::wstring ControlText(int id) {
    wchar_t text[300] = L"";
    DWORD_PTR r = 0;
    SendMessageTimeoutW(GetDlgItem(g_dialog, id), WM_GETTEXT, 300, reinterpret_cast<LPARAM>(text), SMTO_NORMAL, 20000,
                        &r);
    return text;
}

bool Enabled(int id) { return IsWindowEnabled(GetDlgItem(g_dialog, id)) != FALSE; }

// Waits (simulated time) until cond holds; false after boundMs.
bool WaitSim(const std::function<bool()>& cond, DWORD boundMs) {
    for (DWORD waited = 0; waited < boundMs; waited += 50) {
        if (cond()) return true;
        SleepSim(50);
    }
    return cond();
}

// ---------------------------------------------------------------- the watchdog

std::atomic<bool> g_watch{true};

// What holds all the time: the dialog answers, one update thread, one library
// call at a time.
DWORD WINAPI Watchdog(LPVOID) {
    // 5 s of the program's clock, and what Wine's scheduler may add to it.
    const DWORD limitRealMs = static_cast<DWORD>(5000 * g_scale) + 60;
    size_t linesSeen = 0;
    int tick = 0;
    while (g_watch) {
        if (DialogAlive()) {
            const DWORD start = GetTickCount();
            DWORD_PTR r = 0;
            const bool answered = SendMessageTimeoutW(g_dialog, WM_NULL, 0, 0, SMTO_NORMAL, 60000, &r) != 0;
            const DWORD took = GetTickCount() - start;
            if (DialogAlive() && (!answered || took > limitRealMs))
                Violation("the dialog did not answer for " + std::to_string(static_cast<int>(took / g_scale)) +
                          " ms of the program's clock");
        }
        if (DialogUpdate().RunningWorkers(WorkerKind::Update) > 1) Violation("two update threads run at once");
        if (++tick % 10 == 0) {
            const auto lines = sim::DebugLines();
            for (; linesSeen < lines.size(); ++linesSeen) {
                const std::wstring& t = lines[linesSeen].text;
                if (t.find(L"KivoFwSw: ") == 0 && t.find(L" called while ") != std::wstring::npos)
                    Violation("two library calls at once: " + Narrow(t));
            }
        }
        ::Sleep(20);
    }
    return 0;
}

// ---------------------------------------------------------------- worlds

std::wstring g_folder;  // the program folder and the files

std::vector<uint8_t> BootImage() {
    std::vector<uint8_t> program = Pattern(6000, 21);
    std::vector<uint8_t> boot = {'C', 'Y', 0x1C, 0xB0};
    for (const auto& part : {Le32(static_cast<uint32_t>(program.size() / 4)), Le32(0x40000000), program, Le32(0),
                             Le32(0x40000000)})
        boot.insert(boot.end(), part.begin(), part.end());
    return boot;
}

struct FaultChoice {
    const char* text;  // the world-file fault, %d a number the schedule draws
    int lo, hi;
};

// Faults that a kind's devices can take. They may fail the update; the
// checks judge its ending, not its success.
std::vector<FaultChoice> FaultsOf(Kind k) {
    const std::vector<FaultChoice> dfu = {{"busy-polls:%d", 1, 4},       {"erasing-polls:%d", 1, 6},
                                          {"stall-at-block:%d", 1, 30}, {"error-state-at-block:%d", 1, 30},
                                          {"leave-at-block:%d", 1, 30}, {"short-count-at-block:%d", 1, 30},
                                          {"start-state:%d", 0, 10}};
    switch (k) {
        case Kind::Hid:
        case Kind::Stereo: {
            auto v = dfu;
            v.push_back({"reply-code:%d", 0x31, 0x33});
            v.push_back({"no-reply", 0, 0});
            return v;
        }
        case Kind::R7: return {{"loader-leave-at-report:%d", 3, 40}, {"rom-reject-report:%d", 1, 10}};
        case Kind::V9: return {{"fail-at-percent:%d", 1, 99}};
        default: return dfu;
    }
}

std::string Format(const char* text, int value) {
    char buf[96];
    std::snprintf(buf, sizeof(buf), text, value);
    return buf;
}

std::wstring W(const std::string& s) { return std::wstring(s.begin(), s.end()); }

// The update's world: its camera (or device), the faults and timing the seed
// draws, the camera leaving at a random block, and bystanders coming and going.
Plan MakePlan(Rng& rng, int update) {
    Plan p;
    const std::vector<Kind> kinds = {Kind::Hid, Kind::Stereo, Kind::Cx3, Kind::Tessa,
                                     Kind::R7,  Kind::V9,     Kind::Df00, Kind::Df01};
    p.kind = rng.Pick(kinds);
    p.label = L"CAM" + std::to_wstring(update);
    const std::wstring serial = L"SOAK" + std::to_wstring(100000 + rng.Int(0, 899999)) + std::to_wstring(update) + L"X";
    p.name = std::wstring(L"Corvane_") + W(KindName(p.kind)) + std::to_wstring(update);
    const int blocks = rng.Int(3, 40);
    p.layout = (p.kind == Kind::Hid || p.kind == Kind::Stereo || p.kind == Kind::Tessa || p.kind == Kind::Df01) &&
                       rng.Chance(0.7)
                   ? Layout::TwoPart
                   : Layout::Plain;
    if (p.kind == Kind::Tessa || p.kind == Kind::Df01) p.layout = Layout::TwoPart;
    if (p.layout == Layout::TwoPart) p.part1 = Pattern(static_cast<size_t>(rng.Int(1, 12)) * 1024 + rng.Int(0, 1023), 40 + update);
    p.part2 = Pattern(static_cast<size_t>(blocks) * 1024 - rng.Int(0, 1023), 50 + update);
    if (p.kind == Kind::Hid || p.kind == Kind::Stereo) {
        const uint8_t version[6] = {2, static_cast<uint8_t>(update), 0, 0, 0, 9};
        std::copy(version, version + 6, p.part2.begin());
    }
    p.file = g_folder + p.name + L"_fw.img";
    if (p.layout == Layout::TwoPart) WriteBytes(p.file, TwoPartFile(2, p.part1, p.part2));
    else WriteBytes(p.file, p.part2);

    std::string line;
    const std::string serialA = Narrow(serial), labelA = Narrow(p.label), nameA = Narrow(p.name);
    const std::string ports = "ports=" + std::to_string(rng.Int(1, 4)) + "," + std::to_string(rng.Int(1, 4));
    const std::string runs = p.layout == Layout::TwoPart ? " runs=2" : " runs=1";
    switch (p.kind) {
        case Kind::Df00:
            line = "update-mode-device pid=DF00 becomes=hid runs=1";
            break;
        case Kind::Df01:
            line = "update-mode-device pid=DF01 becomes=tessa runs=2";
            break;
        default:
            line = std::string("camera kind=") + KindName(p.kind) + " name=" + nameA;
            if (p.kind != Kind::R7 && p.kind != Kind::V9) line += runs;
            break;
    }
    line += " serial=" + serialA + " label=" + labelA + " " + ports;
    if (p.kind == Kind::Tessa || p.kind == Kind::Df01) line += " replug-ms=" + std::to_string(rng.Int(200, 3000));
    p.comesBack = p.kind != Kind::V9;
    // Timing: how soon the device leaves, how long it stays away, how slowly
    // it answers.
    if (rng.Chance(0.5)) {
        line += " leave-ms=" + std::to_string(rng.Int(5, 600)) + " arrive-ms=" + std::to_string(rng.Int(50, 4000));
        ++g_stats.slowDevices;
    }
    if (rng.Chance(0.25)) line += " reply-ms=" + std::to_string(rng.Int(1, 30));
    if (rng.Chance(0.35)) {
        const auto faults = FaultsOf(p.kind);
        const FaultChoice& f = rng.Pick(faults);
        line += std::string(" fault=") + Format(f.text, rng.Int(f.lo, f.hi));
        if (std::string(f.text).find("block") != std::string::npos && p.layout == Layout::TwoPart)
            line += " part=" + std::to_string(rng.Int(1, 2));
        p.faulty = true;
        ++g_stats.faults;
    }
    std::string world = line + "\n";
    world += "program-folder path=" + Narrow(g_folder) + "\n";
    // The camera under update leaves the bus at a random block.
    if (p.kind != Kind::V9 && rng.Chance(0.15)) {
        world += "unplug device=" + labelA + " when=block:" + std::to_string(rng.Int(1, blocks)) +
                 (p.layout == Layout::TwoPart ? " part=" + std::to_string(rng.Int(1, 2)) : std::string()) +
                 (rng.Chance(0.5) ? " back-after=" + std::to_string(rng.Int(100, 3000)) : std::string()) + "\n";
        p.faulty = true;
        ++g_stats.leaves;
    }
    // Bystanders: other cameras that arrive and leave meanwhile.
    const int bystanders = rng.Int(0, 2);
    for (int b = 0; b < bystanders; ++b) {
        const std::vector<const char*> kindsB = {"hid", "stereo", "tessa", "cx3"};
        const std::string lb = "BY" + std::to_string(update) + std::to_string(b);
        world += std::string("camera kind=") + rng.Pick(kindsB) + " serial=BYST" + std::to_string(rng.Int(100000, 999999)) +
                 std::to_string(b) + " label=" + lb + " ports=" + std::to_string(5 + b) + " at=" +
                 std::to_string(rng.Int(0, 6000)) + "\n";
        if (rng.Chance(0.6)) world += "unplug device=" + lb + " at=" + std::to_string(rng.Int(2000, 12000)) + "\n";
        ++g_stats.bystanders;
    }
    p.world = W(world);
    return p;
}

// The operator's actions during the update, at moments the seed draws.
void PlanActions(Rng& rng, Plan& p) {
    const int n = rng.Int(0, 6);
    DWORD at = 0;
    for (int i = 0; i < n; ++i) {
        at += static_cast<DWORD>(rng.Int(0, 4000));
        const int which = rng.Int(0, 9);
        OperatorAction a;
        a.atMs = at;
        switch (which) {
            case 0: a.what = "Browse"; a.act = [] { PostClick(IDC_BTN_BROWSE); }; break;
            case 1: a.what = "READ F/W VERSION"; a.act = [] { PostClick(IDC_BTN_READFW_VERSION); }; break;
            case 2: a.what = "RESET"; a.act = [] { PostClick(IDC_BTN_RESET); }; break;
            case 3: a.what = "F/W UPDATE"; a.act = [] { PostClick(IDC_BTN_FW_UPDATE); }; break;
            case 4: {
                const int index = rng.Int(0, 2);
                a.what = "select item " + std::to_string(index);
                a.act = [index] {
                    // Selecting once nothing runs is the operator's own
                    // choice: only while the update runs is it one to refuse.
                    if (!UpdateIsBusy()) return;
                    SelectItem(index);
                };
                break;
            }
            case 5:
            case 6:
            case 7: {
                static const char* const names[] = {"close box", "system menu close", "EXIT"};
                const int how = which - 5;
                // Every other system-menu close goes to the owner window, as
                // the taskbar's "Close window" does (no draw of its own: the
                // seeds' schedules stay as they were).
                const bool owner = how == 1 && (at & 1) != 0;
                a.what = std::string(owner ? "taskbar's close window" : names[how]) + " (while the update runs)";
                a.act = [how, owner] {
                    // Closing while nothing runs ends the program, as it should:
                    // only while the update runs is it an attempt to refuse.
                    if (!UpdateIsBusy()) return;
                    ++g_stats.closeAttempts;
                    g_closePosted = true;
                    if (how == 0) Post(WM_CLOSE, 0);
                    else if (how == 1) PostMessageW(owner ? g_hMainWnd : g_dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
                    else PostClick(IDC_BTN_EXIT);
                    // The program is to refuse: it is still there once the
                    // attempt was handled.
                    DWORD_PTR r = 0;
                    SendMessageTimeoutW(g_dialog, WM_NULL, 0, 0, SMTO_NORMAL, 20000, &r);
                    if (!DialogAlive()) Violation("the program closed while an update ran");
                };
                break;
            }
            default:
                a.what = "end of the session";
                a.act = [] {
                    ++g_stats.sessionEnds;
                    const bool busyBefore = UpdateIsBusy();
                    DWORD_PTR dialogAnswer = 1, ownerAnswer = 1;
                    Send(WM_QUERYENDSESSION, 0, ENDSESSION_CLOSEAPP, &dialogAnswer);
                    SendMessageTimeoutW(g_hMainWnd, WM_QUERYENDSESSION, 0, ENDSESSION_CLOSEAPP, SMTO_NORMAL, 20000,
                                        &ownerAnswer);
                    if (busyBefore && UpdateIsBusy() && (dialogAnswer != FALSE || ownerAnswer != FALSE))
                        Violation("the end of the session was allowed while an update ran");
                };
                break;
        }
        p.schedule.push_back("at " + std::to_string(at) + " ms: " + a.what);
        p.actions.push_back(std::move(a));
    }
}

// ---------------------------------------------------------------- the operator

std::wstring PathOfLabel(const std::wstring& label, bool normalMode) {
    const sim::DeviceId d = sim::PresentDeviceLabelled(label);
    if (d == 0) return L"";
    const auto paths = sim::InterfacePaths(d, normalMode ? sim::kGuidKsCategoryCapture : sim::kGuidUsbDevice);
    return paths.empty() ? L"" : paths[0];
}

int ListedAt(const std::wstring& path) {
    if (path.empty()) return -1;
    for (int i = 0; i < g_nDeviceCount && i < kMaxDevices; ++i)
        if (lstrcmpiW(g_szDevicePathList[i], path.c_str()) == 0) return i;
    return -1;
}

bool StartsInNormalMode(Kind k) { return k != Kind::Df00 && k != Kind::Df01; }

// Chooses the camera and the file and presses F/W UPDATE; true when the
// update started.
bool StartUpdate(const Plan& p) {
    Step("choose the camera");
    int index = -1;
    if (!WaitSim([&] { return (index = ListedAt(PathOfLabel(p.label, StartsInNormalMode(p.kind)))) >= 0; }, 30000)) {
        Violation("the camera is not listed");
        return false;
    }
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (!WaitSim([] { return !UpdateIsBusy() && Enabled(IDC_BTN_BROWSE); }, 90000)) {
            Violation("the operator cannot start an update: Browse stays disabled");
            return false;
        }
        // The list is rebuilt at every device change (and empty meanwhile).
        WaitSim([&] { return (index = ListedAt(PathOfLabel(p.label, StartsInNormalMode(p.kind)))) >= 0; }, 20000);
        if (index < 0) {
            std::fprintf(stderr, "soak: attempt %d: the camera is not listed\n", attempt);
            continue;
        }
        SelectItem(index);
        SleepSim(200);
        sim::QueueOpenFileAnswer(p.file);
        PostClick(IDC_BTN_BROWSE);
        if (!WaitSim([&] { return ControlText(IDC_EDIT_FIRMWARE_PATH) == p.file && Enabled(IDC_BTN_FW_UPDATE); },
                     20000)) {
            std::fprintf(stderr, "soak: attempt %d: the file was not taken (path box \"%s\")\n", attempt,
                         Narrow(ControlText(IDC_EDIT_FIRMWARE_PATH)).c_str());
            continue;  // a device change took the file away meanwhile
        }
        // The operator looks at the list before pressing F/W UPDATE.
        WaitSim([&] { return ListedAt(PathOfLabel(p.label, StartsInNormalMode(p.kind))) >= 0; }, 20000);
        if (Selection() != ListedAt(PathOfLabel(p.label, StartsInNormalMode(p.kind)))) {
            std::fprintf(stderr, "soak: attempt %d: item %d selected, the camera is %d\n", attempt, Selection(),
                         ListedAt(PathOfLabel(p.label, StartsInNormalMode(p.kind))));
            continue;
        }
        Step("F/W UPDATE");
        PostClick(IDC_BTN_FW_UPDATE);
        if (WaitSim([] { return UpdateIsBusy(); }, 20000)) {
            // A device change between the look and the press can still make
            // it another device's update: the checks that compare this
            // camera are then left out.
            SleepSim(100);
            if (lstrcmpiW(DialogUpdate().szUpdateDevicePath, PathOfLabel(p.label, StartsInNormalMode(p.kind)).c_str()) != 0 &&
                lstrcmpiW(DialogUpdate().szUpdateDevicePath, PathOfLabel(p.label, !StartsInNormalMode(p.kind)).c_str()) != 0) {
                const_cast<Plan&>(p).retargeted = true;
                ++g_stats.retargeted;
            }
            return true;
        }
    }
    Violation("the update did not start after five attempts");
    return false;
}

bool RunActionsAndWaitForTheEnding(Plan& p) {
    Step("the update runs");
    const DWORD start = GetTickCount();
    size_t next = 0;
    // The ending: a box or notice, or the busy window ended without one (a
    // camera that never came back); bounded.
    const DWORD bound = 600000;
    for (DWORD waited = 0; waited < bound; waited += 50) {
        const DWORD simNow = static_cast<DWORD>((GetTickCount() - start) / g_scale);
        while (next < p.actions.size() && p.actions[next].atMs <= simNow) {
            Step("action: " + p.actions[next].what);
            ++g_stats.actions;
            p.actions[next].act();
            ++next;
            if (!DialogAlive()) return false;
        }
        // Once the update is over the operator waits for the camera: the
        // rest of the schedule is left out (a selection of their own would
        // rightly move the selection away from the updated camera).
        if (!UpdateIsBusy()) {
            SleepSim(500);
            if (!UpdateIsBusy()) {
                for (; next < p.actions.size(); ++next) p.schedule[next] += " (left out: the update had ended)";
                return true;
            }
        }
        SleepSim(50);
    }
    Violation("the update did not end within 600 s");
    return false;
}

// After the ending: the updated camera is selected again once it is back, and
// the operator can start a new update.
void CheckAfterTheEnding(const Plan& p) {
    const Outcome outcome = static_cast<Outcome>(g_outcome.load());
    if (g_selectionTakenOnceNothingRan) ++g_stats.selectedAfterTheEnd;
    if (outcome == Outcome::Success && p.comesBack && !p.retargeted && !g_selectionTakenOnceNothingRan) {
        Step("the camera comes back");
        std::wstring path;
        const bool back = WaitSim(
            [&] {
                path = PathOfLabel(p.label, true);
                return ListedAt(path) >= 0;
            },
            60000);
        if (!back) {
            if (!p.faulty) Violation("the updated camera did not come back in normal mode");
        } else {
            // The last arrivals handled (the list is empty while a handler
            // rebuilds it).
            int selected = -1, at = -1;
            WaitSim([&] { return (selected = Selection()) == (at = ListedAt(PathOfLabel(p.label, true))) && at >= 0; },
                    10000);
            if (selected != at || at < 0)
                Violation("after the update item " + std::to_string(selected) + " is selected, the updated camera is " +
                          std::to_string(at));
        }
    }
    Step("a new update can start");
    if (!WaitSim([] { return !UpdateIsBusy() && Enabled(IDC_BTN_EXIT); }, 90000)) {
        Violation("the program stays busy after the ending");
        return;
    }
    if (g_nDeviceCount > 0 && !Enabled(IDC_BTN_BROWSE)) {
        // A failure leaves the dialog as it was until the next device
        // change: the operator replugs the camera.
        const sim::DeviceId d = sim::PresentDeviceLabelled(p.label);
        if (d != 0) sim::UnplugLabelled(p.label, 1000);
        if (!WaitSim([] { return g_nDeviceCount == 0 || Enabled(IDC_BTN_BROWSE); }, 60000))
            Violation("Browse stays disabled after the ending, also after the camera was replugged");
    }
}

void ClearTheBench() {
    Step("clear the bench");
    for (sim::DeviceId d : sim::PresentDevices()) sim::Unplug(d);
    WaitSim([] { return g_nDeviceCount == 0 && !UpdateIsBusy(); }, 30000);
    SleepSim(1000);
}

void Report(unsigned long long seed, int update, const Plan* p) {
    std::lock_guard<std::mutex> lock(g_mu);
    for (const auto& v : g_violations)
        std::printf("VIOLATION seed=%llu update=%d: %s\n", seed, update, v.c_str());
    if (p != nullptr) {
        std::printf("  replay: soak --round %llu (update %d, kind %s)\n  world file of the update:\n", seed, update,
                    KindName(p->kind));
        std::string w = Narrow(p->world);
        size_t from = 0;
        while (from < w.size()) {
            const size_t to = w.find('\n', from);
            std::printf("    %s\n", w.substr(from, to - from).c_str());
            if (to == std::string::npos) break;
            from = to + 1;
        }
        std::printf("  operator's schedule after F/W UPDATE:\n");
        for (const auto& s : p->schedule) std::printf("    %s\n", s.c_str());
    }
    std::printf("  the program then: busy=%d wait=%d workers update=%d fx3=%d rom=%d sunplus=%d command=%d pause=%d "
                "from-normal-mode=%d from-update-mode=%d looking-for-camera=%d devices=%d EXIT=%d Browse=%d\n",
                UpdateIsBusy(), DialogUpdate().WaitActive(), DialogUpdate().RunningWorkers(WorkerKind::Update),
                DialogUpdate().RunningWorkers(WorkerKind::Fx3Download), DialogUpdate().RunningWorkers(WorkerKind::RomDownload),
                DialogUpdate().RunningWorkers(WorkerKind::Sunplus), CommandActive(), UiInPause(), DialogUpdate().bUpdatedFromHIDMode.load(),
                DialogUpdate().bIsStartUpdatedFromDFU.load(), DialogUpdate().bMatchUpdatedDeviceHID.load(), g_nDeviceCount.load(),
                Enabled(IDC_BTN_EXIT), Enabled(IDC_BTN_BROWSE));
    const auto lines = sim::DebugLines();
    std::printf("  its last diagnostic lines:\n");
    for (size_t i = lines.size() > 40 ? lines.size() - 40 : 0; i < lines.size(); ++i) {
        std::string t = Narrow(lines[i].text);
        while (!t.empty() && (t.back() == '\n' || t.back() == '\r')) t.pop_back();
        std::printf("    [%lu] %s\n", static_cast<unsigned long>(lines[i].threadId), t.c_str());
    }
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    unsigned long long seed = 1;
    int updates = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--round") seed = std::strtoull(argv[i + 1], nullptr, 10);
        else if (a == "--updates") updates = std::atoi(argv[i + 1]);
    }
    if (const char* s = std::getenv("CORVANE_SOAK_SCALE")) g_scale = std::atof(s);
    Rng rng(seed);
    sim::Reset();
    sim::SetTimeScale(g_scale);
    g_folder = TempFolder();
    WriteBytes(g_folder + L"bootloader.img", BootImage());
    WriteBytes(g_folder + L"RT1060_Flashloader_nopadding.bin", Pattern(86272, 25));
    {
        // The Sunplus library stand-in lies beside the program.
        wchar_t exe[MAX_PATH];
        GetModuleFileNameW(nullptr, exe, MAX_PATH);
        std::wstring dir(exe);
        dir.erase(dir.find_last_of(L'\\') + 1);
        CopyFileW((dir + L"SunplusCamera.dll").c_str(), (g_folder + L"SunplusCamera.dll").c_str(), FALSE);
    }
    sim::SetModuleFileName(g_folder + L"Corvane_FW_Updater.exe");
    sim::SetMessageBoxHook(OnBox);
    sim::SetDialogHook(OnDialog);

    g_uiReady = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE ui = CreateThread(nullptr, 0, UiThread, nullptr, 0, nullptr);
    WaitForSingleObject(g_uiReady, 30000);
    if (!DialogAlive()) {
        std::printf("soak: the main dialog could not be created (no display?)\n");
        std::fflush(stdout);
        ExitProcess(2);
    }
    HANDLE watchdog = CreateThread(nullptr, 0, Watchdog, nullptr, 0, nullptr);

    int done = 0;
    Plan plan;
    for (int u = 0; u < updates && !Violated() && DialogAlive(); ++u) {
        plan = MakePlan(rng, u);
        PlanActions(rng, plan);
        const bool reversed = rng.Chance(0.4);
        sim::SetArrivalOrder(reversed ? sim::ArrivalOrder::FunctionsFirst : sim::ArrivalOrder::UsbDeviceFirst);
        if (reversed) ++g_stats.reversedArrivals;
        Step("update " + std::to_string(u) + " (" + KindName(plan.kind) + "): build the world");
        const auto errors = sim::LoadScenario(plan.world);
        for (const auto& e : errors) Violation("world file: " + Narrow(sim::ErrorText(e)));
        if (!errors.empty()) break;
        g_outcome = static_cast<int>(Outcome::None);
        g_current = &plan;
        // Now and then the operator reads the version first.
        if (rng.Chance(0.3)) {
            WaitSim([&] { return ListedAt(PathOfLabel(plan.label, StartsInNormalMode(plan.kind))) >= 0; }, 20000);
            PostClick(IDC_BTN_READFW_VERSION);
        }
        if (!StartUpdate(plan)) break;
        // The operator's selections before F/W UPDATE were handled before it.
        g_selectionTakenOnceNothingRan = false;
        const bool ended = RunActionsAndWaitForTheEnding(plan);
        if (!DialogAlive()) {
            if (UpdateIsBusy()) Violation("the program was closed while the update ran");
            break;
        }
        if (!ended) break;
        const Outcome o = static_cast<Outcome>(g_outcome.load());
        ++g_stats.updates[static_cast<int>(plan.kind)][o == Outcome::Success ? 0 : o == Outcome::Failure ? 1 : 2];
        if (o == Outcome::None && !plan.faulty && plan.kind != Kind::Df00)
            Violation("the update ended without a box or notice, and no fault was injected");
        CheckAfterTheEnding(plan);
        if (Violated()) break;
        if (ClosedOnceNothingRan()) {
            // The round ends with the session the operator closed.
            ++g_stats.closedAfterTheEnd;
            break;
        }
        ClearTheBench();
        g_current = nullptr;
        ++done;
    }
    // The session the operator closed may have ended in another step (a
    // close attempt the program kept until a pause was over).
    if (g_stats.closedAfterTheEnd == 0 && ClosedOnceNothingRan()) ++g_stats.closedAfterTheEnd;
    g_watch = false;
    WaitForSingleObject(watchdog, 10000);
    const bool failed = Violated();
    if (failed) Report(seed, done, &plan);
    std::printf("STATS seed=%llu updates=%d", seed, done);
    for (int k = 0; k < 8; ++k)
        std::printf(" %s=%d/%d/%d", KindName(static_cast<Kind>(k)), g_stats.updates[k][0], g_stats.updates[k][1],
                    g_stats.updates[k][2]);
    std::printf(" retargeted=%d closed-after-the-end=%d selected-after-the-end=%d", g_stats.retargeted,
                g_stats.closedAfterTheEnd, g_stats.selectedAfterTheEnd);
    std::printf(" actions=%d closes=%d session-ends=%d faults=%d leaves=%d bystanders=%d reversed-arrivals=%d "
                "slow-devices=%d\n",
                g_stats.actions, g_stats.closeAttempts, g_stats.sessionEnds, g_stats.faults, g_stats.leaves,
                g_stats.bystanders, g_stats.reversedArrivals, g_stats.slowDevices);
    std::fflush(stdout);
    // The program's threads may still hold the world; end the process here.
    ExitProcess(failed ? 1 : 0);
    (void)ui;
}
