#include "console_run.h"

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>
#include <vector>

#include "app_state.h"
#include "camera_facts.h"
#include "debug_print.h"
#include "device_identity.h"
#include "device_table.h"
#include "id_text.h"
#include "main_dialog.h"
#include "os_api.h"
#include "product_version.h"
#include "resource.h"
#include "station_record.h"
#include "timed_log.h"
#include "ui_wait.h"
#include "update_guard.h"
#include "update_outcome.h"
#include <strsafe.h>

namespace {

// How long a camera has to be back in normal mode after its firmware was
// written, and how long a Tessa camera waits to be unplugged and replugged
// (as in a station).
constexpr DWORD kComeBackMs = 90000;
constexpr DWORD kReplugMs = 300000;
constexpr UINT kPollMs = 100;
// A refused end of the program is asked again after this long (real time).
constexpr DWORD kEndRetryMs = 2000;

using console::JsonObject;

std::string Narrow(const std::wstring& w) { return station::Utf8(w); }

// --- output ------------------------------------------------------------------------

bool IsConsole(HANDLE h) {
    DWORD mode = 0;
    return h != nullptr && h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode) != FALSE;
}

void Write(HANDLE h, const std::wstring& text) {
    if (h == nullptr || h == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    if (IsConsole(h)) {
        WriteConsoleW(h, text.c_str(), static_cast<DWORD>(text.size()), &written, nullptr);
        return;
    }
    const std::string bytes = Narrow(text);
    WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

// A progress line shown in place on a console, to be ended before the next.
bool g_lineInPlace = false;

void EndLineInPlace() {
    if (!g_lineInPlace) return;
    g_lineInPlace = false;
    Write(GetStdHandle(STD_OUTPUT_HANDLE), L"\r\n");
}

// --- the devices -------------------------------------------------------------------

bool IdIs(const wchar_t* field, const wchar_t* text) {
    wchar_t copy[kIdFieldChars];
    StringCchCopyW(copy, kIdFieldChars, field);
    return IdEqualsText(copy, kIdFieldChars, text);
}

struct Device {
    std::wstring path, name, vidPid, serial, port;
    const char* kind = "";
    const char* state = "";
    bool normalMode = false;
    std::string version;
    bool versionRead = false;
    // Its serial is its own, not one Windows made up (it names a second
    // device with a serial it knows already by its port).
    bool RealSerial() const { return !serial.empty() && serial.find(L'&') == std::wstring::npos; }
    // What tells it from the others: its serial and its port (two cameras
    // may share a serial), its port where it has no serial of its own, else
    // its path.
    std::wstring Key() const {
        if (RealSerial()) return port.empty() ? serial : serial + L" @ " + port;
        return port.empty() ? UpperText(path) : L"port " + port;
    }
};

const char* KindOf(int i) {
    const wchar_t* vid = g_szVIDList[i];
    const wchar_t* pid = g_szPIDList[i];
    if (IdIs(vid, L"04B4")) return IdIs(pid, L"00F3") ? "FX3 boot loader" : "CX3";
    if (IdIs(vid, L"1FC9")) return "NXP ROM";
    if (IdIs(vid, L"1BCF")) return "V9";
    if (IdIs(pid, L"DF00")) return "update-mode device";
    if (IdIs(pid, L"DF01")) return "update-mode device (Tessa)";
    if (IdIs(pid, L"DF02")) return "NXP flash loader";
    if (IdIs(pid, L"C114")) return "stereo";
    if (IdIs(pid, L"C123") || IdIs(pid, L"C129")) return "Tessa";
    if (IdIs(pid, L"C05C")) return "R7";
    if (IdIs(pid, L"C181")) return "V9";
    return "HID";
}

Device DeviceOf(int i) {
    Device d;
    d.path = g_szDevicePathList[i];
    d.name = g_szDeviceNameList[i];
    d.vidPid = UpperText(std::wstring(g_szVIDList[i]) + L":" + g_szPIDList[i]);
    const Identity id = IdentifyPath(d.path.c_str());
    d.serial = id.serial;
    d.port = id.port;
    d.kind = KindOf(i);
    d.normalMode = !EntryInUpdateMode(i) && !EntryIsBootLoader(i);
    d.state = EntryIsBootLoader(i) ? "boot loader" : EntryInUpdateMode(i) ? "update mode" : "normal mode";
    return d;
}

std::vector<Device> ListedDevices() {
    std::vector<Device> all;
    for (int i = 0; i < g_nDeviceCount && i < kMaxDevices; ++i) all.push_back(DeviceOf(i));
    return all;
}

// The list entry of a device now (lists are rebuilt by every arrival).
int EntryNow(const Device& d) {
    for (int i = 0; i < g_nDeviceCount && i < kMaxDevices; ++i) {
        if (EntryIsBootLoader(i)) continue;
        if (DevicePathsEqual(g_szDevicePathList[i], d.path.c_str())) return i;
    }
    return -1;
}

// The camera back in normal mode (not as an update-mode device or a boot
// loader): under its key; or on its port under a serial Windows made up
// (another camera holds its serial now); or, one that was to be unplugged
// and plugged in again, under its serial on another port.
int ReturnedEntry(const Device& was, bool replug) {
    for (int i = 0; i < g_nDeviceCount && i < kMaxDevices; ++i) {
        if (EntryInUpdateMode(i) || EntryIsBootLoader(i)) continue;
        const Device now = DeviceOf(i);
        if (now.Key() == was.Key()) return i;
        if (!was.port.empty() && now.port == was.port && !now.RealSerial()) return i;
        if (replug && was.RealSerial() && now.serial == was.serial) return i;
    }
    return -1;
}

bool Chosen(const Device& d, const std::wstring& choice) {
    return lstrcmpiW(d.serial.c_str(), choice.c_str()) == 0 || lstrcmpiW(d.port.c_str(), choice.c_str()) == 0 ||
           lstrcmpiW(d.path.c_str(), choice.c_str()) == 0;
}

std::string CameraJson(const Device& d) {
    JsonObject o;
    o.Add("model", Narrow(d.name))
        .Add("kind", d.kind)
        .Add("serial", Narrow(d.serial))
        .Add("port", Narrow(d.port))
        .Add("vidPid", Narrow(d.vidPid))
        .Add("state", d.state);
    if (d.versionRead) o.Add("version", d.version);
    else o.AddRaw("version", "null");
    return o.Text();
}

std::wstring CameraText(const Device& d) {
    std::wstring line = d.name + L"  " + WideOfUtf8(d.kind) + L"  serial " + (d.serial.empty() ? L"-" : d.serial) +
                        L"  port " + (d.port.empty() ? L"-" : d.port) + L"  " + d.vidPid + L"  " +
                        WideOfUtf8(d.state);
    if (d.versionRead) line += L"  version " + WideOfUtf8(d.version);
    return line;
}

// --- the run ------------------------------------------------------------------------

enum class Step { Begin, Updating, Ending, ComingBack, Resetting, Done };

struct Run {
    console::Arguments args;
    std::vector<uint8_t> image;
    std::wstring firmwarePath, firmwareName;
    std::string sha256;

    std::vector<Device> targets;  // to be updated, in turn
    size_t next = 0;
    Device current, started;  // the camera now, and as it was taken
    DWORD beginTick = 0;
    Step step = Step::Begin;
    DWORD startTick = 0, deadline = 0;
    bool replug = false;
    std::string versionBefore;
    std::wstring failure;
    // Progress shown so far.
    uint32_t phasesSeen = 0;  // of the update's phasesEntered
    bool phaseShown = false;
    int shownStep = -1;  // of 5 % (JSON), of 10 % (plain lines)
    DWORD partStart = 0;
    uint32_t partBlocks = 0;  // sent when the part was first looked at

    int passed = 0, failed = 0, refused = 0;
    int exitCode = console::kDone;
    bool polling = false;
    bool ending = false;
    DWORD endAskedAt = 0;
};

Run* g_run = nullptr;
// A camera is being written: Ctrl+C, Ctrl+Break and closing are refused.
std::atomic<bool> g_holding{false};

void Emit(const JsonObject& o) {
    EndLineInPlace();
    Write(GetStdHandle(STD_OUTPUT_HANDLE), WideOfUtf8(o.Text()) + L"\r\n");
}

// What the run tells: a line, or an event with --json.
void Tell(const std::wstring& text, const JsonObject& event) {
    if (g_run->args.json) Emit(event);
    else ConsoleLine(text);
}

void TellError(const std::wstring& text, int code) {
    DebugPrint(1, L"corvane-fw :: %s\r\n", text.c_str());
    if (g_run->args.json) {
        Emit(JsonObject().Add("event", "error").Add("message", Narrow(text)).Add("exitCode", static_cast<long long>(code)));
    } else {
        ConsoleLine(text, true);
    }
}

void AskForTheEnd() {
    g_run->endAskedAt = GetTickCount();
    PostMessageW(g_hMainDlg.load(), WM_COMMAND, MAKEWPARAM(IDC_BTN_EXIT, BN_CLICKED), 0);
}

void End(int code) {
    Run& r = *g_run;
    if (r.ending) return;
    r.ending = true;
    r.step = Step::Done;
    r.exitCode = code;
    g_holding = false;
    EndLineInPlace();
    DebugPrint(1, L"corvane-fw :: ends with exit code %d\r\n", code);
    FlushTimedLog();
    AskForTheEnd();
}

void Sink(UpdateReport kind, const wchar_t* text) {
    Run* r = g_run;
    if (r == nullptr) return;
    kind = KeepDialogUpdateReport(kind, text);
    DebugPrint(1, L"corvane-fw :: update report %d at %lu ms: %s\r\n", static_cast<int>(kind), Os().GetTickCount(),
               text != nullptr ? text : L"");
}

// Every listed device, with its version where it is in normal mode and its
// kind reads one.
std::vector<Device> DevicesWithVersions(const std::vector<Device>& devices) {
    std::vector<Device> out;
    for (Device d : devices) {
        const int i = EntryNow(d);
        if (d.normalMode && i >= 0) d.version = ReadEntryVersion(i, &d.versionRead);
        out.push_back(d);
    }
    return out;
}

void PrintDevices(const std::vector<Device>& devices) {
    if (g_run->args.json) {
        std::string array = "[";
        for (const Device& d : devices) array += (array.size() > 1 ? "," : "") + CameraJson(d);
        Emit(JsonObject().AddRaw("cameras", array + "]"));
        return;
    }
    if (devices.empty()) ConsoleLine(L"No camera is connected.");
    for (const Device& d : devices) ConsoleLine(CameraText(d));
}

void TellCameras(const std::wstring& why, const std::vector<Device>& devices, int code) {
    std::wstring text = why;
    for (const Device& d : devices) text += L"\r\n  " + CameraText(d);
    TellError(text, code);
}

// The cameras a command acts on: the one named with --camera (in any
// state but the boot loader's), else the cameras in normal mode. Ends the
// run (and returns false) when the choice cannot be made.
bool Choose(bool allowMany, std::vector<Device>* chosen) {
    Run& r = *g_run;
    std::vector<Device> listed;
    for (const Device& d : ListedDevices())
        if (std::string(d.state) != "boot loader") listed.push_back(d);
    std::vector<Device> candidates;
    if (!r.args.camera.empty()) {
        for (const Device& d : listed)
            if (Chosen(d, r.args.camera)) candidates.push_back(d);
        if (candidates.empty()) {
            TellCameras(L"No camera " + r.args.camera + L" is connected. Connected:", listed, console::kNoCamera);
            End(console::kNoCamera);
            return false;
        }
        if (candidates.size() > 1) {
            TellCameras(L"More than one camera is " + r.args.camera + L": choose one by its port.", candidates,
                        console::kAmbiguous);
            End(console::kAmbiguous);
            return false;
        }
    } else {
        for (const Device& d : listed)
            if (d.normalMode) candidates.push_back(d);
        if (candidates.empty()) {
            TellCameras(listed.empty() ? L"No camera is connected."
                                       : L"No camera is connected in normal mode; a device in update mode is "
                                         L"updated only when it is named with --camera:",
                        listed, console::kNoCamera);
            End(console::kNoCamera);
            return false;
        }
        if (candidates.size() > 1 && !allowMany) {
            TellCameras(L"More than one camera is connected: choose one with --camera <serial or port>" +
                            std::wstring(r.args.command == console::Command::Update ? L" or update them all with --all:"
                                                                                     : L":"),
                        candidates, console::kAmbiguous);
            End(console::kAmbiguous);
            return false;
        }
    }
    *chosen = candidates;
    return true;
}

// --- update ----------------------------------------------------------------------------

bool AnotherV9Connected(const Device& d) {
    for (int j = 0; j < g_nDeviceCount && j < kMaxDevices; ++j)
        if (EntryIsV9(j) && DeviceOf(j).Key() != d.Key()) return true;
    return false;
}

JsonObject ResultEvent(const char* result) {
    Run& r = *g_run;
    JsonObject o;
    o.Add("event", "result")
        .AddRaw("camera", CameraJson(r.current))
        .Add("result", result)
        .Add("failure", Narrow(r.failure))
        .Add("versionBefore", r.versionBefore)
        .Add("versionAfter", r.current.versionRead ? r.current.version : std::string())
        .Add("verified", r.current.versionRead && !r.args.expectVersion.empty())
        .Add("seconds", static_cast<double>(Os().GetTickCount() - r.startTick) / 1000.0);
    return o;
}

void StartNext();

// The camera's result; the next camera's turn.
void Finish(const char* result, const std::wstring& failure) {
    Run& r = *g_run;
    r.failure = failure;
    g_holding = false;
    const std::wstring who = r.current.name + L" " + r.current.serial;
    const double seconds = static_cast<double>(Os().GetTickCount() - r.startTick) / 1000.0;
    wchar_t took[32];
    StringCchPrintfW(took, 32, L"%.1f s", seconds);
    std::wstring text;
    if (std::string(result) == "passed") {
        ++r.passed;
        text = L"PASSED  " + who + L"  version " +
               (r.current.versionRead ? WideOfUtf8(r.current.version) : std::wstring(L"(not read by this kind)")) +
               (r.current.versionRead && !r.args.expectVersion.empty() ? L", verified" : L"") + L"  " + took;
    } else {
        (std::string(result) == "refused" ? r.refused : r.failed) += 1;
        text = (std::string(result) == "refused" ? L"REFUSED: " : L"FAILED: ") + failure + L"  (" + who + L")";
    }
    DebugPrint(1, L"corvane-fw :: %S: %s %s\r\n", result, who.c_str(), failure.c_str());
    Tell(text, ResultEvent(result));
    FlushTimedLog();
    r.step = Step::Begin;
    StartNext();
}

void StartUpdate(const Device& target) {
    Run& r = *g_run;
    r.current = target;
    r.started = target;
    r.versionBefore.clear();
    r.failure.clear();
    r.replug = false;
    r.phasesSeen = DialogUpdate().phasesEntered.load();
    r.phaseShown = false;
    r.shownStep = -1;
    r.startTick = Os().GetTickCount();
    ForgetDialogUpdateReports();
    r.step = Step::Updating;

    int i = EntryNow(target);
    if (i < 0) {
        Finish("failed", L"the camera left before its update");
        return;
    }
    if (!r.args.force && !DeviceFitsFile(target.name, r.firmwareName)) {
        Finish("refused", L"the firmware file is not for " + target.name + L" (--force writes it all the same)");
        return;
    }
    if (EntryIsV9(i) && AnotherV9Connected(target)) {
        // The Sunplus library writes the first V9 camera it finds.
        Finish("refused", L"another V9 camera is connected: V9 cameras are updated one at a time");
        return;
    }
    if (target.normalMode) {
        bool ok = false;
        r.versionBefore = ReadEntryVersion(i, &ok);
        i = EntryNow(target);
        if (i < 0) {
            Finish("failed", L"the camera left before its update");
            return;
        }
    }
    Tell(L"Updating " + target.name + L" " + target.serial + (r.versionBefore.empty() ? L"" : L" (version " +
                                                                   WideOfUtf8(r.versionBefore) + L")") +
             L" with " + r.firmwareName,
         JsonObject()
             .Add("event", "start")
             .AddRaw("camera", CameraJson(target))
             .Add("file", Narrow(r.firmwareName))
             .Add("sha256", r.sha256)
             .Add("versionBefore", r.versionBefore));
    // The bytes written are the bytes checked: the Sunplus download reads
    // the file again, and nothing may have changed it.
    std::vector<uint8_t> now;
    if (!ReadWholeFile(r.firmwarePath, &now) || now != r.image) {
        Finish("failed", L"the firmware file changed on disk");
        return;
    }
    DebugPrint(1, L"corvane-fw :: updating at %lu ms: %s\r\n", Os().GetTickCount(), target.path.c_str());
    g_holding = true;
    if (!StartDialogUpdate(i, r.firmwarePath, r.firmwareName, r.image)) {
        Finish("failed", L"the firmware file cannot be read");
        return;
    }
    const KeptReports kept = DialogUpdateReports();
    if (!kept.reported && !DialogUpdateRuns()) Finish("failed", kept.trouble.empty() ? L"the update did not start" : kept.trouble);
}

void StartNext() {
    Run& r = *g_run;
    if (r.next >= r.targets.size()) {
        End(r.failed > 0 ? console::kFailed : r.refused > 0 ? console::kRefused : console::kDone);
        return;
    }
    StartUpdate(r.targets[r.next++]);
}

// Phase and percentage of the part being written: in place on a console,
// a line every 10 % when redirected, an event every 5 % with --json.
void ShowProgress() {
    Run& r = *g_run;
    const UpdatePhase phase = DialogUpdate().phase.load();
    const uint32_t total = DialogUpdate().nProgressTotal.load();
    const uint32_t blocks = DialogUpdate().dwBlocksSent.load();
    const DWORD now = Os().GetTickCount();
    const bool writing = phase == UpdatePhase::WritingPart1 || phase == UpdatePhase::WritingPart2 ||
                         phase == UpdatePhase::WritingLoader;
    // Every phase the update entered since the last look, in order (the
    // start and the end are the start and result events).
    CameraUpdate& u = DialogUpdate();
    const uint32_t entered = u.phasesEntered.load();
    if (entered - r.phasesSeen > CameraUpdate::kPhaseRing) r.phasesSeen = entered - CameraUpdate::kPhaseRing;
    for (; r.phasesSeen < entered; ++r.phasesSeen) {
        const UpdatePhase next = u.phaseRing[r.phasesSeen % CameraUpdate::kPhaseRing].load();
        if (next == UpdatePhase::Idle || next == UpdatePhase::Starting || next == UpdatePhase::Ended) continue;
        // (The start waits for the camera before it is told to go.)
        if (next == UpdatePhase::WaitingForCamera && !r.phaseShown) continue;
        r.phaseShown = true;
        r.shownStep = -1;
        r.partStart = 0;
        std::string text = UpdatePhaseText(next);
        if (text.rfind("updating: ", 0) == 0) text = text.substr(10);
        Tell(WideOfUtf8(text), JsonObject()
                                   .Add("event", "phase")
                                   .Add("phase", text)
                                   .Add("seconds", static_cast<double>(now - r.startTick) / 1000.0));
    }

    if (!writing || total == 0) return;
    // The rate is measured from the first look at the part on.
    if (r.partStart == 0 || blocks < r.partBlocks) {
        r.partStart = now;
        r.partBlocks = blocks;
    }
    console::Progress p;
    p.phase = UpdatePhaseText(phase);
    p.phase = p.phase.substr(p.phase.find(':') + 2);
    p.blocks = blocks;
    p.total = total;
    p.elapsedMs = now - r.startTick;
    p.partMs = now - r.partStart;
    p.partBlocks = blocks - r.partBlocks;
    const int percent = static_cast<int>(console::PercentOf(p));
    if (r.args.json) {
        if (blocks == 0 || percent / 5 <= r.shownStep) return;
        r.shownStep = percent / 5;
        Emit(JsonObject()
                 .Add("event", "progress")
                 .Add("phase", p.phase)
                 .Add("percent", static_cast<long long>(percent))
                 .Add("blocks", static_cast<long long>(blocks))
                 .Add("total", static_cast<long long>(total))
                 .Add("seconds", static_cast<double>(p.elapsedMs) / 1000.0));
    } else if (IsConsole(GetStdHandle(STD_OUTPUT_HANDLE))) {
        std::wstring line = L"\r" + WideOfUtf8(console::ProgressLine(p));
        line.resize(79, L' ');
        Write(GetStdHandle(STD_OUTPUT_HANDLE), line);
        g_lineInPlace = true;
    } else if (blocks > 0 && percent / 10 > r.shownStep) {
        r.shownStep = percent / 10;
        ConsoleLine(WideOfUtf8(console::ProgressLine(p)));
    }
}

void FollowUpdate() {
    Run& r = *g_run;
    const KeptReports kept = DialogUpdateReports();
    const bool reported = kept.reported;
    const UpdateReport kind = kept.kind;
    const std::wstring& text = kept.text;
    const std::wstring& trouble = kept.trouble;
    const DWORD now = Os().GetTickCount();
    // --camera-timeout: the write stops at the next block, or while the
    // device keeps answering busy, and the update fails.
    if (r.args.cameraTimeoutSeconds != 0 && r.step != Step::Ending &&
        now - r.startTick >= r.args.cameraTimeoutSeconds * 1000u) {
        DialogUpdate().bStopRequested = true;
        DebugPrint(1, L"corvane-fw :: gives up the update at %lu ms: it took too long\r\n", now);
        r.failure = L"took too long";
        r.args.cameraTimeoutSeconds = 0;
        r.step = Step::Ending;
    }
    if (r.step == Step::Updating) {
        // What happened since the last look is told before the ending.
        ShowProgress();
        if (reported && kind == UpdateReport::Failed) {
            r.failure = text.empty() ? trouble : text;
            r.step = Step::Ending;
        } else if (reported) {
            r.replug = kind == UpdateReport::SucceededReplug;
            r.deadline = now + (r.replug ? kReplugMs : kComeBackMs);
            r.step = Step::ComingBack;
            if (r.replug) {
                const std::wstring notice = L"Unplug " + r.current.name + L" " + r.current.serial +
                                            L" and plug it in again (within 5 minutes).";
                Tell(notice, JsonObject().Add("event", "replug").Add("message", Narrow(notice)));
            } else {
                Tell(L"Written; waiting for the camera to come back.",
                     JsonObject().Add("event", "phase").Add("phase", "written").Add(
                         "seconds", static_cast<double>(now - r.startTick) / 1000.0));
            }
        } else if (!DialogUpdateRuns()) {
            // The update ended without an ending: the camera never came back
            // in update mode.
            Finish("failed", trouble.empty() ? L"did not come back" : trouble);
            return;
        }
    }
    if (r.step == Step::Ending) {
        // The failed update's threads end first; its wait for the camera
        // ends with it.
        if (DialogUpdateWorkersRun()) return;
        GiveUpDialogUpdate();
        Finish("failed", r.failure.empty() ? L"the update failed" : r.failure);
        return;
    }
    if (r.step == Step::ComingBack) {
        g_holding = DialogUpdateRuns();
        if (static_cast<LONG>(now - r.deadline) >= 0) {
            Finish("failed", L"did not come back");
            return;
        }
        if (DialogUpdateRuns()) return;
        const int i = ReturnedEntry(r.started, r.replug);
        if (i < 0) return;
        r.current = DeviceOf(i);
        const bool kindHasVersion = IdIs(g_szVIDList[i], L"4A7E");
        bool ok = false;
        const std::string version = ReadEntryVersion(i, &ok);
        r.current.version = version;
        r.current.versionRead = ok;
        const std::string expected = Narrow(r.args.expectVersion);
        if (ok && !expected.empty() && version != expected) {
            Finish("refused", L"version " + WideOfUtf8(version) + L" read back, " + r.args.expectVersion +
                                  L" expected");
        } else if (!ok && !expected.empty()) {
            Finish("failed", L"its version could not be read back, " + r.args.expectVersion + L" expected");
        } else if (ok || !kindHasVersion) {
            Finish("passed", L"");
        } else {
            Finish("failed", L"its version could not be read back");
        }
    }
}

// --- the commands ----------------------------------------------------------------------

void BeginUpdate() {
    Run& r = *g_run;
    // --wait: the named camera may still be on its way.
    if (!r.args.camera.empty() && r.args.waitSeconds != 0 &&
        Os().GetTickCount() - r.beginTick < r.args.waitSeconds * 1000u) {
        bool listed = false;
        for (const Device& d : ListedDevices()) listed = listed || Chosen(d, r.args.camera);
        if (!listed) return;
    }
    std::vector<Device> chosen;
    if (!Choose(r.args.all, &chosen)) return;
    if (r.args.all) {
        // Every fitting camera; the others are said and left alone.
        for (const Device& d : chosen) {
            if (r.args.force || DeviceFitsFile(d.name, r.firmwareName)) {
                r.targets.push_back(d);
            } else {
                Tell(L"Skipped: " + d.name + L" " + d.serial + L" (the firmware file is not for it)",
                     JsonObject().Add("event", "skipped").AddRaw("camera", CameraJson(d)).Add(
                         "failure", "the firmware file is not for " + Narrow(d.name)));
            }
        }
        if (r.targets.empty()) {
            TellError(L"No connected camera is one the firmware file is for.", console::kNoCamera);
            End(console::kNoCamera);
            return;
        }
    } else {
        r.targets = chosen;
    }
    StartNext();
}

void BeginReset() {
    std::vector<Device> chosen;
    if (!Choose(false, &chosen)) return;
    Run& r = *g_run;
    r.current = chosen.front();
    const int i = EntryNow(r.current);
    if (i < 0) {
        TellError(L"The camera left before its reset.", console::kFailed);
        End(console::kFailed);
        return;
    }
    SelectListEntry(i);
    r.step = Step::Resetting;
    // RESET as the operator presses it: the command thread resets the
    // selected camera.
    SendMessageW(g_hMainDlg.load(), WM_COMMAND, MAKEWPARAM(IDC_BTN_RESET, BN_CLICKED), 0);
}

void Begin() {
    Run& r = *g_run;
    switch (r.args.command) {
        case console::Command::List:
            PrintDevices(DevicesWithVersions(ListedDevices()));
            End(console::kDone);
            return;
        case console::Command::ReadVersion: {
            std::vector<Device> devices;
            if (!r.args.camera.empty()) {
                if (!Choose(false, &devices)) return;
            } else {
                for (const Device& d : ListedDevices())
                    if (d.normalMode) devices.push_back(d);
                if (devices.empty()) {
                    TellError(L"No camera is connected.", console::kNoCamera);
                    End(console::kNoCamera);
                    return;
                }
            }
            devices = DevicesWithVersions(devices);
            PrintDevices(devices);
            bool any = false;
            for (const Device& d : devices) any = any || d.versionRead;
            End(any ? console::kDone : console::kFailed);
            return;
        }
        case console::Command::Update:
            BeginUpdate();
            return;
        case console::Command::Reset:
            BeginReset();
            return;
        default:
            End(console::kBadCommand);
            return;
    }
}

void CALLBACK Poll(HWND, UINT, UINT_PTR, DWORD) {
    Run& r = *g_run;
    if (r.ending) {
        if (!UiInPause() && !CommandActive() && !DialogUpdateRuns() && GetTickCount() - r.endAskedAt >= kEndRetryMs)
            AskForTheEnd();
        return;
    }
    if (r.polling || UiInPause() || CommandActive()) return;
    r.polling = true;
    switch (r.step) {
        case Step::Begin:
            Begin();
            break;
        case Step::Updating:
        case Step::Ending:
        case Step::ComingBack:
            FollowUpdate();
            break;
        case Step::Resetting:
            if (!g_bResetRequested) {
                Tell(L"Reset sent to " + r.current.name + L" " + r.current.serial,
                     JsonObject().Add("event", "reset").AddRaw("camera", CameraJson(r.current)));
                End(console::kDone);
            }
            break;
        case Step::Done:
            break;
    }
    r.polling = false;
}

// Ctrl+C, Ctrl+Break and closing the console while a camera is written:
// refused, as the dialog refuses closing. Windows ends a program whose
// console is closed (or whose session ends) once its handler has had a few
// seconds; the handler holds on meanwhile, so the write has them.
BOOL WINAPI CtrlHandler(DWORD type) {
    DebugPrint(1, L"corvane-fw :: console control event %lu%s\r\n", type,
               g_holding ? L" refused: a camera is being written" : L"");
    if (!g_holding) return FALSE;
    ConsoleLine(L"A camera is being written: the update cannot be stopped. Wait for it to end.", true);
    if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT) {
        while (g_holding) Sleep(100);
    }
    return TRUE;
}

}  // namespace

void KeepStandardOutputForLines() {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    HANDLE kept = nullptr;
    if (out == nullptr || out == INVALID_HANDLE_VALUE ||
        !DuplicateHandle(GetCurrentProcess(), out, GetCurrentProcess(), &kept, 0, FALSE, DUPLICATE_SAME_ACCESS))
        return;
    // The C library's stdout (the camera library echoes device IDs there)
    // goes nowhere; its closing of the old handle leaves the copy.
    if (_wfreopen(L"NUL", L"w", stdout) == nullptr) {
        CloseHandle(kept);
        return;
    }
    SetStdHandle(STD_OUTPUT_HANDLE, kept);
}

void ConsoleLine(const std::wstring& text, bool toError) {
    EndLineInPlace();
    Write(GetStdHandle(toError ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE), text + L"\r\n");
}

int ConsoleRunExitCode() { return g_run != nullptr ? g_run->exitCode : console::kBadCommand; }

void StartConsoleRun(const console::Arguments& arguments) {
    auto r = std::make_unique<Run>();
    r->args = arguments;
    g_run = r.release();
    g_run->beginTick = Os().GetTickCount();
    const std::wstring prefix = arguments.worker ? L"[" + arguments.camera + L"] " : L"";
    if (!arguments.log.empty() && !OpenTimedLog(arguments.log, prefix)) {
        TellError(L"The log file cannot be written: " + arguments.log, console::kBadCommand);
        g_run->exitCode = console::kBadCommand;
        g_run->ending = true;
        AskForTheEnd();
        return;
    }
    DebugPrint(1, L"corvane-fw %S :: %s\r\n", CORVANE_VERSION_TEXT, GetCommandLineW());
    if (arguments.command == console::Command::Update) {
        wchar_t full[MAX_PATH] = L"";
        if (GetFullPathNameW(arguments.firmware.c_str(), MAX_PATH, full, nullptr) == 0)
            StringCchCopyW(full, MAX_PATH, arguments.firmware.c_str());
        g_run->firmwarePath = full;
        const size_t slash = g_run->firmwarePath.find_last_of(L"\\/");
        g_run->firmwareName =
            slash == std::wstring::npos ? g_run->firmwarePath : g_run->firmwarePath.substr(slash + 1);
        bool parsed = false;
        if (!ReadWholeFile(g_run->firmwarePath, &g_run->image)) {
            TellError(L"The firmware file cannot be read: " + g_run->firmwarePath, console::kBadCommand);
        } else if (LayoutText(g_run->image, &parsed), !parsed) {
            TellError(L"The file is not a firmware image this program can write: " + g_run->firmwarePath,
                      console::kBadCommand);
        }
        if (g_run->image.empty() || !parsed) {
            g_run->exitCode = console::kBadCommand;
            g_run->ending = true;
            AskForTheEnd();
            return;
        }
        g_run->sha256 = station::Sha256Hex(g_run->image.data(), g_run->image.size());
        if (!arguments.sha256.empty() && arguments.sha256 != g_run->sha256) {
            TellError(L"The firmware file is not the one pinned with --sha256: its SHA-256 is " +
                          WideOfUtf8(g_run->sha256) + L" (" + g_run->firmwarePath + L").",
                      console::kBadCommand);
            g_run->exitCode = console::kBadCommand;
            g_run->ending = true;
            AskForTheEnd();
            return;
        }
        SetUpdateReportSink(Sink);
    }
    SetConsoleCtrlHandler(CtrlHandler, TRUE);
    SetTimer(nullptr, 0, kPollMs, Poll);
}
