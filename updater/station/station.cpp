#include "station.h"

#include <commctrl.h>
#include <shlobj.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "KivoFWSW.h"
#include "app_state.h"
#include "camera_facts.h"
#include "console_args.h"
#include "debug_print.h"
#include "timed_log.h"
#include "results_file.h"
#include "device_identity.h"
#include "accessible_names.h"
#include "dialog_keys.h"
#include "id_text.h"
#include "image_file.h"
#include "image_format.h"
#include "main_dialog.h"
#include "os_api.h"
#include "product_version.h"
#include "resource.h"
#include "ui_wait.h"
#include "update_engine.h"
#include "update_guard.h"
#include "update_outcome.h"
#include "update_start.h"
#include <strsafe.h>

namespace {

// How long a camera has to be back in normal mode after its firmware was
// written: the restart into the new firmware and the driver's binding. A
// Tessa camera waits for the operator to unplug and replug it.
constexpr DWORD kComeBackMs = 90000;
constexpr DWORD kReplugMs = 300000;

constexpr UINT WM_STATION_REPORT = WM_APP + 20;
constexpr UINT_PTR kPollTimer = 1;
constexpr UINT kPollMs = 100;
// A refused end of the station is asked again after this long (real time).
constexpr DWORD kEndRetryMs = 2000;


enum class Phase { Idle, Updating, ComingBack, Ending };

std::vector<std::wstring> WaitingCameras();
std::vector<std::wstring> StrayUpdateModeDevices();
bool WaitsForAnotherV9(int i);
enum class Look { Waiting, Busy, Passed, Failed, Skipped };






// --- the station ---------------------------------------------------------------

struct Camera {
    std::wstring path, name, vidPid;
    std::wstring key;  // what tells it from the other cameras (KeyOf)
    Identity identity;
    bool updateMode = false;
    std::wstring returnedKey;  // the key it came back under
};

// A camera updated by a worker of its own (corvane-fw.exe, beside the
// program) while others are: /parallel above 1. The worker runs the same
// update in a process of its own and tells it in JSON events on its
// standard output.
struct Job {
    Camera camera;
    station::Row row;
    DWORD startTick = 0;
    PROCESS_INFORMATION process{};
    HANDLE output = nullptr;
    std::string pending;          // the start of a line still on its way
    std::string state = "updating";
    int turnClass = 0;  // TurnClass
    bool resulted = false;
    station::Result result = station::Result::Failed;
    std::wstring failure;
};

struct Station {
    station::Arguments args;
    std::vector<uint8_t> image;
    std::wstring firmwarePath, firmwareName;
    std::string sha256;
    std::wstring layoutText, meantFor;
    std::wstring resultsPath;
    bool resultsBroken = false;

    HWND window = nullptr;
    HWND focus = nullptr;  // the control that had the focus when the window was left
    HFONT bigFont = nullptr, textFont = nullptr;
    HBRUSH brushes[5] = {};
    Look look = Look::Waiting;

    // The rows written, in order, and what is still to come.
    std::vector<station::Row> rows;
    int passed = 0, failed = 0, skipped = 0;
    std::map<std::wstring, station::Result> handled;  // serial or path -> the row written for it
    // Cameras in the order they came (their turn), by key; a camera that
    // leaves before its turn comes last when it is back.
    std::map<std::wstring, unsigned long long> arrival;
    unsigned long long arrivals = 0;
    std::map<std::wstring, Identity> identities;    // listed path -> its USB device
    unsigned tableBuilds = 0;                        // of the device table, when they were found
    std::vector<std::wstring> waitingShown;
    std::vector<std::wstring> straysShown;  // update-mode devices left alone
    std::string rowState;       // what the updating camera's row says
    DWORD runStart = GetTickCount();

    Phase phase = Phase::Idle;
    Camera current;
    station::Row row;
    DWORD startTick = 0, deadline = 0, idleSince = 0;
    bool replug = false;
    bool stopped = false;  // given up: it took longer than /camera-timeout
    std::wstring failure;
    bool polling = false;
    bool ending = false;
    DWORD endAskedAt = 0;       // when the dialog was last asked to end (real time)
    bool fileChanged = false;
    DWORD noticeUntil = 0;      // a notice in the status stays this long (real time)
    std::wstring lastKey;       // the camera of the last result, until it is unplugged
    std::vector<station::Row> unwritten;  // rows the results file did not take yet
    std::vector<std::unique_ptr<Job>> jobs;  // cameras their workers update now
    std::string runId;          // on every row of this run
    DWORD unwrittenSince = 0;
    int exitCode = kStationAllPassed;

};

Station* g_station = nullptr;

void Sink(UpdateReport kind, const wchar_t* text) {
    Station* s = g_station;
    if (s == nullptr) return;
    kind = KeepDialogUpdateReport(kind, text);
    DebugPrint(1, L"Station :: update report %d at %lu ms: %s\r\n", static_cast<int>(kind), Os().GetTickCount(),
               text != nullptr ? text : L"");
    PostMessageW(s->window, WM_STATION_REPORT, 0, 0);
}

std::string Narrow(const std::wstring& w) { return station::Utf8(w); }





// --- the window ------------------------------------------------------------------

HWND Item(int id) { return GetDlgItem(g_station->window, id); }

void SetStatus(Look look, const std::wstring& text) {
    Station& s = *g_station;
    s.look = look;
    SetWindowTextW(Item(IDC_ST_STATUS), text.c_str());
    InvalidateRect(Item(IDC_ST_STATUS), nullptr, TRUE);
}

void ShowCounters() {
    Station& s = *g_station;
    wchar_t text[200];
    StringCchPrintfW(text, 200, L"Passed: %d    Failed: %d    Skipped: %d", s.passed, s.failed, s.skipped);
    // The line's throughput over the run so far (real time).
    const double hours = static_cast<double>(GetTickCount() - s.runStart) / 3600000.0;
    const int done = s.passed + s.failed + s.skipped;
    if (done > 0 && hours > 0) {
        const size_t n = wcslen(text);
        StringCchPrintfW(text + n, 200 - n, L"    Line: %.0f cameras per hour", done / hours);
    }
    SetWindowTextW(Item(IDC_ST_COUNTERS), text);
}

// What the camera being updated is doing, for its row.

void SetCell(HWND list, int row, int column, const std::string& text) {
    std::wstring w = WideOfUtf8(text);
    LVITEMW item{};
    item.iSubItem = column;
    item.pszText = &w[0];
    SendMessageW(list, LVM_SETITEMTEXTW, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
}

const char* kColumns[] = {"Time", "Model", "Unique ID", "Port", "Version before", "Version after",
                          "Result", "Seconds", "Failure"};

void FillRow(int index, const station::Row& r, const char* result) {
    HWND list = Item(IDC_ST_LIST);
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f", r.seconds);
    const std::string cells[] = {r.time, r.model, r.uniqueId, r.port, r.versionBefore, r.versionAfter,
                                 result, seconds, r.failure};
    for (int c = 0; c < 9; ++c) SetCell(list, index, c, cells[c]);
}

int InsertRow(int index) {
    std::wstring empty;
    LVITEMW item{};
    item.mask = LVIF_TEXT;
    item.iItem = index;
    item.pszText = const_cast<wchar_t*>(L"");
    return static_cast<int>(SendMessageW(Item(IDC_ST_LIST), LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item)));
}

// The list: the rows written, the camera being updated, then the cameras
// that wait for their turn.
void ShowList() {
    Station& s = *g_station;
    HWND list = Item(IDC_ST_LIST);
    SendMessageW(list, WM_SETREDRAW, FALSE, 0);
    const int done = static_cast<int>(s.rows.size());
    while (SendMessageW(list, LVM_GETITEMCOUNT, 0, 0) > done) SendMessageW(list, LVM_DELETEITEM, done, 0);
    int next = done;
    if (s.phase != Phase::Idle) {
        InsertRow(next);
        FillRow(next, s.row, s.phase == Phase::ComingBack && s.replug ? "unplug and replug it" : "updating");
        s.rowState.clear();
        ++next;
    }
    for (const auto& job : s.jobs) {
        InsertRow(next);
        FillRow(next, job->row, job->state.c_str());
        ++next;
    }
    s.waitingShown = WaitingCameras();
    for (const std::wstring& path : s.waitingShown) {
        station::Row w;
        const char* state = "waiting";
        for (int i = 0; i < g_nDeviceCount && i < kMaxDevices; ++i) {
            if (lstrcmpiW(g_szDevicePathList[i], path.c_str()) != 0) continue;
            if (WaitsForAnotherV9(i)) state = "waiting: another V9 camera is connected";
            w.model = Narrow(g_szDeviceNameList[i]);
            auto id = s.identities.find(path);
            if (id != s.identities.end()) {
                w.uniqueId = Narrow(id->second.serial);
                w.port = Narrow(id->second.port);
            }
        }
        InsertRow(next);
        FillRow(next, w, state);
        ++next;
    }
    s.straysShown = StrayUpdateModeDevices();
    for (const std::wstring& path : s.straysShown) {
        station::Row w;
        auto id = s.identities.find(path);
        if (id != s.identities.end()) {
            w.uniqueId = Narrow(id->second.serial);
            w.port = Narrow(id->second.port);
        }
        InsertRow(next);
        FillRow(next, w, "in update mode, model unknown");
        ++next;
    }
    SendMessageW(list, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(list, nullptr, TRUE);
}

// --- the run log ------------------------------------------------------------------

// "results.csv" -> "results.log" beside it.
std::wstring RunLogPath(const std::wstring& results) {
    const size_t dot = results.find_last_of(L'.');
    const size_t slash = results.find_last_of(L"\\/");
    const bool hasExtension = dot != std::wstring::npos && (slash == std::wstring::npos || dot > slash);
    return (hasExtension ? results.substr(0, dot) : results) + L".log";
}

// --- results ----------------------------------------------------------------------

bool AppendToResults(const std::vector<station::Row>& rows) { return AppendResultRows(g_station->resultsPath, rows); }

// Appends the rows not written yet. A results file that cannot be written
// (the disk is full, another program locked it) keeps them: no camera is
// taken until they are written, and they are tried again on every poll.
bool WriteUnwritten() {
    Station& s = *g_station;
    if (s.unwritten.empty()) return true;
    if (AppendToResults(s.unwritten)) {
        s.unwritten.clear();
        if (s.resultsBroken) DebugLine(L"Station :: the results file takes the rows again\r\n");
        s.resultsBroken = false;
        return true;
    }
    if (!s.resultsBroken) {
        s.unwrittenSince = GetTickCount();
        DebugLine(L"Station :: the results file cannot be written; its rows:\r\n");
        for (const station::Row& row : s.unwritten) DebugLine(WideOfUtf8(station::CsvRow(row)).c_str());
    }
    s.resultsBroken = true;
    return false;
}

void WriteRow(const station::Row& r) {
    g_station->unwritten.push_back(r);
    WriteUnwritten();
}

// --- one camera -------------------------------------------------------------------

// A serial the device carries, not one Windows made up (it names a second
// device with a serial it already knows by its port).
bool RealSerial(const Identity& id) { return !id.serial.empty() && id.serial.find(L'&') == std::wstring::npos; }

constexpr wchar_t kPortKey[] = L"port ";

// What tells a camera from the others: its USB serial and its port. Two
// cameras that share a serial (common before serials are programmed) on two
// ports are two cameras. A device without a serial of its own is its port
// (or its path where Windows names none): once it is gone, the next camera
// there is a new one.
std::wstring KeyOf(const std::wstring& path) {
    Station& s = *g_station;
    auto found = s.identities.find(path);
    if (found == s.identities.end()) return UpperText(path);
    const Identity& id = found->second;
    if (RealSerial(id)) return id.port.empty() ? id.serial : id.serial + L" @ " + id.port;
    if (!id.port.empty()) return kPortKey + id.port;
    return UpperText(path);
}

bool KeyWithoutSerial(const std::wstring& key) {
    return key.rfind(L"\\\\?\\", 0) == 0 || key.rfind(kPortKey, 0) == 0;
}

void Finish(station::Result result, const std::wstring& failure) {
    Station& s = *g_station;
    s.row.result = result;
    s.row.failure = Narrow(failure);
    s.row.seconds = static_cast<double>(Os().GetTickCount() - s.startTick) / 1000.0;
    WriteRow(s.row);
    // The camera's row in the window takes its result in place.
    const int index = static_cast<int>(s.rows.size());
    if (SendMessageW(Item(IDC_ST_LIST), LVM_GETITEMCOUNT, 0, 0) <= index) InsertRow(index);
    FillRow(index, s.row, station::ResultText(result));
    s.rows.push_back(s.row);
    s.handled[s.current.key] = result;
    if (!s.current.returnedKey.empty()) s.handled[s.current.returnedKey] = result;
    s.lastKey = s.current.key;
    const std::wstring who = WideOfUtf8(s.row.model) + L" " + WideOfUtf8(s.row.uniqueId);
    switch (result) {
        case station::Result::Passed:
            ++s.passed;
            SetStatus(Look::Passed, L"PASSED  " + who);
            MessageBeep(MB_OK);
            break;
        case station::Result::Failed:
            ++s.failed;
            SetStatus(Look::Failed, L"FAILED: " + failure + L"  (" + who + L")");
            MessageBeep(MB_ICONHAND);
            break;
        case station::Result::Skipped:
            ++s.skipped;
            SetStatus(Look::Skipped, L"SKIPPED: " + failure + L"  (" + who + L")");
            MessageBeep(MB_ICONEXCLAMATION);
            break;
    }
    DebugPrint(1, L"Station :: %s at %lu ms: %s %s\r\n", WideOfUtf8(station::ResultText(result)).c_str(), Os().GetTickCount(),
               who.c_str(),
               failure.c_str());
    FlushTimedLog();
    if (s.resultsBroken)
        SetStatus(Look::Failed, L"The results file cannot be written: " + s.resultsPath);
    s.phase = Phase::Idle;
    s.idleSince = Os().GetTickCount();
    ShowCounters();
    ShowList();
}



// List entry i as the camera taken, and the start of its row.
Camera CameraOf(int i) {
    Station& s = *g_station;
    Camera c;
    c.path = g_szDevicePathList[i];
    c.name = g_szDeviceNameList[i];
    c.vidPid = std::wstring(g_szVIDList[i]) + L":" + g_szPIDList[i];
    c.updateMode = EntryInUpdateMode(i);
    c.key = KeyOf(c.path);
    c.identity = s.identities[c.path];
    return c;
}

station::Row RowOf(const Camera& c) {
    Station& s = *g_station;
    station::Row row;
    row.time = NowIsoText();
    row.computer = ComputerNameText();
    row.runId = s.runId;
    row.operatorName = Narrow(s.args.operatorName);
    row.lot = Narrow(s.args.lot);
    row.programVersion = CORVANE_VERSION_TEXT;
    row.firmwareFile = Narrow(s.firmwareName);
    row.firmwareSha256 = s.sha256;
    row.model = Narrow(c.name);
    row.vidPid = Narrow(UpperText(c.vidPid));
    row.uniqueId = Narrow(c.identity.serial);
    row.port = Narrow(c.identity.port);
    return row;
}

void StartCamera(int i) {
    Station& s = *g_station;
    s.current = CameraOf(i);
    const Identity id = s.current.identity;
    s.row = RowOf(s.current);
    s.startTick = Os().GetTickCount();
    DebugPrint(1, L"Station :: takes %s at %lu ms\r\n", s.current.path.c_str(), s.startTick);
    s.replug = false;
    s.stopped = false;
    ForgetDialogUpdateReports();
    s.phase = Phase::Updating;

    // The dialog's rule: an update-mode device ("DFU" in its name) has no
    // model to check.
    if (!DeviceFitsFile(s.current.name, s.firmwareName)) {
        Finish(station::Result::Skipped, L"the firmware file is not for " + s.current.name);
        return;
    }
    SetStatus(Look::Busy, L"Updating " + s.current.name + L" " + id.serial);
    s.waitingShown = WaitingCameras();
    ShowList();
    if (!s.current.updateMode) {
        bool ok = false;
        s.row.versionBefore = ReadEntryVersion(i, &ok);
        i = EntryOfPath(s.current.path);
        if (i < 0) {
            Finish(station::Result::Failed, L"the camera left before its update");
            return;
        }
        FillRow(static_cast<int>(s.rows.size()), s.row, "updating");
    }

    // The bytes recorded (their SHA-256) are the bytes written: the Sunplus
    // download reads the file again, and nothing may have changed it.
    std::vector<uint8_t> now;
    if (!ReadWholeFile(s.firmwarePath, &now) || now != s.image) {
        s.fileChanged = true;
        Finish(station::Result::Failed, L"the firmware file changed on disk: start the station again");
        return;
    }

    DebugPrint(1, L"Station :: updating at %lu ms: %s\r\n", Os().GetTickCount(), s.current.path.c_str());
    if (!StartDialogUpdate(i, s.firmwarePath, s.firmwareName, s.image)) {
        Finish(station::Result::Failed, L"the firmware file cannot be read");
        return;
    }
    const KeptReports kept = DialogUpdateReports();
    if (!kept.reported && !DialogUpdateRuns())
        Finish(station::Result::Failed, kept.trouble.empty() ? L"the update did not start" : kept.trouble);
}

// The camera is back in normal mode: listed again under its serial, and not
// as an update-mode device or a boot loader.
// The camera is back in normal mode under its key; or on its port under a
// serial Windows made up (another device holds its serial now); or, a camera
// that was to be unplugged and plugged in again, under its serial on
// another port.
int ReturnedEntry() {
    Station& s = *g_station;
    const Identity& was = s.current.identity;
    for (int i = 0; i < g_nDeviceCount && i < kMaxDevices; ++i) {
        if (EntryInUpdateMode(i) || EntryIsBootLoader(i)) continue;
        const std::wstring path = g_szDevicePathList[i];
        if (KeyOf(path) == s.current.key) return i;
        auto found = s.identities.find(path);
        if (found == s.identities.end() || s.handled.count(KeyOf(path)) != 0) continue;
        const Identity& now = found->second;
        if (!was.port.empty() && now.port == was.port && !RealSerial(now)) return i;
        if (s.replug && RealSerial(was) && now.serial == was.serial) return i;
    }
    return -1;
}

void FollowUpdate() {
    Station& s = *g_station;
    const KeptReports kept = DialogUpdateReports();
    const bool reported = kept.reported;
    const UpdateReport kind = kept.kind;
    const std::wstring& text = kept.text;
    const std::wstring& trouble = kept.trouble;
    const DWORD now = Os().GetTickCount();

    // A camera not done within /camera-timeout is given up, so that one
    // whose device keeps the write waiting does not hold the line: the
    // engines stop at the next block, and it fails.
    if (!s.stopped && s.phase != Phase::Ending && now - s.startTick >= s.args.cameraTimeoutSeconds * 1000u) {
        s.stopped = true;
        DialogUpdate().bStopRequested = true;
        DebugPrint(1, L"Station :: gives up the camera at %lu ms: it took too long\r\n", now);
        s.failure = L"took too long";
        s.phase = Phase::Ending;
    }
    if (s.phase == Phase::Updating) {
        if (reported && kind == UpdateReport::Failed) {
            s.failure = text.empty() ? trouble : text;
            s.phase = Phase::Ending;
        } else if (reported) {
            s.replug = kind == UpdateReport::SucceededReplug;
            s.deadline = now + (s.replug ? kReplugMs : kComeBackMs);
            s.phase = Phase::ComingBack;
            if (s.replug) {
                SetStatus(Look::Busy, L"Unplug " + s.current.name + L" " + WideOfUtf8(s.row.uniqueId) +
                                          L" and plug it in again");
                MessageBeep(MB_ICONASTERISK);
            }
            ShowList();
        } else if (!DialogUpdateRuns()) {
            // The update ended without an ending: the camera never came back
            // in update mode (or the update could not start).
            Finish(station::Result::Failed, trouble.empty() ? L"did not come back" : trouble);
            return;
        } else {
            wchar_t percent[64] = L"";
            GetDlgItemTextW(g_hMainDlg.load(), IDC_STATIC_STATUS, percent, 64);
            std::wstring status = L"Updating " + s.current.name + L" " + WideOfUtf8(s.row.uniqueId);
            const bool writing = wcschr(percent, L'%') != nullptr;
            if (writing) status += std::wstring(L" \x2014 ") + percent;
            // The camera's row: its phase and percentage.
            std::string state = UpdatePhaseText(DialogUpdate().phase.load());
            if (writing && state.find("writing") != std::string::npos) state += " " + Narrow(percent);
            if (state != s.rowState) {
                s.rowState = state;
                SetCell(Item(IDC_ST_LIST), static_cast<int>(s.rows.size()), 6, state);
            }
            wchar_t shown[300] = L"";
            GetWindowTextW(Item(IDC_ST_STATUS), shown, 300);
            if (status != shown && static_cast<LONG>(GetTickCount() - s.noticeUntil) >= 0)
                SetStatus(Look::Busy, status);
        }
    }
    if (s.phase == Phase::Ending) {
        // The failed update's threads end first; its wait for the camera
        // ends with it (the station takes the next camera, this one failed).
        if (DialogUpdateWorkersRun()) return;
        GiveUpDialogUpdate();
        Finish(station::Result::Failed, s.failure.empty() ? L"the update failed" : s.failure);
        return;
    }
    if (s.phase == Phase::ComingBack) {
        if (static_cast<LONG>(now - s.deadline) >= 0) {
            Finish(station::Result::Failed, L"did not come back");
            return;
        }
        if (DialogUpdateRuns()) return;
        const int i = ReturnedEntry();
        if (i < 0) return;
        DebugPrint(1, L"Station :: back in normal mode at %lu ms\r\n", Os().GetTickCount());
        s.current.path = g_szDevicePathList[i];
        s.current.returnedKey = KeyOf(s.current.path);
        // READ F/W VERSION reads a version from the 4A7E cameras (HID,
        // stereo, Tessa, R7, V9); the CX3 camera's read shows nothing.
        const bool kindHasVersion = IdEqualsText(g_szVIDList[i], kIdFieldChars, L"4A7E");
        bool ok = false;
        const std::string version = ReadEntryVersion(i, &ok);
        s.row.versionAfter = version;
        const std::string expected = Narrow(s.args.expectVersion);
        if (ok && !expected.empty() && version != expected) {
            Finish(station::Result::Failed,
                   L"version " + WideOfUtf8(version) + L" read back, " + s.args.expectVersion + L" expected");
        } else if (ok || !kindHasVersion) {
            // Verified only where a version was read and one was expected.
            s.row.verified = ok && !expected.empty();
            Finish(station::Result::Passed, L"");
        } else {
            Finish(station::Result::Failed, L"its version could not be read back");
        }
    }
}

// --- cameras at once (/parallel) ------------------------------------------------

// A camera's trip that goes through a device without a serial (the FX3 boot
// loader, the NXP ROM), or a write that holds one binding of a library for
// its whole length (the NXP flash loader, the Sunplus library): such cameras
// take turns among their kind.
int TurnClass(int i) {
    if (IdEqualsText(g_szVIDList[i], kIdFieldChars, L"04B4")) return 1;  // CX3, the FX3 boot loader
    if (IdEqualsText(g_szPIDList[i], kIdFieldChars, L"C05C") || IdEqualsText(g_szPIDList[i], kIdFieldChars, L"DF02"))
        return 2;  // R7, the NXP ROM and flash loader
    if (EntryIsV9(i)) return 3;
    return 0;
}

// List entry i is a stage of a running job's trip: the camera itself, a
// device on its port, or one that carries its serial.
bool PartOfAJob(int i) {
    Station& s = *g_station;
    const std::wstring path = g_szDevicePathList[i];
    const std::wstring key = KeyOf(path);
    auto found = s.identities.find(path);
    for (const auto& job : s.jobs) {
        if (key == job->camera.key) return true;
        if (found == s.identities.end()) continue;
        const Identity& was = job->camera.identity;
        if (!was.port.empty() && found->second.port == was.port) return true;
        if (RealSerial(was) && found->second.serial == was.serial) return true;
    }
    return false;
}

// Entry i waits for a job: one of its kind runs, or a camera with its serial
// (the update-mode devices of both would carry the same one).
bool WaitsForAJob(int i) {
    Station& s = *g_station;
    const int kind = TurnClass(i);
    const Identity& id = s.identities[g_szDevicePathList[i]];
    for (const auto& job : s.jobs) {
        if (kind != 0 && job->turnClass == kind) return true;
        if (RealSerial(id) && RealSerial(job->camera.identity) && id.serial == job->camera.identity.serial) return true;
    }
    return false;
}

// The job's result, in the row and the results file as any camera's.
void FinishJob(Job& job) {
    Station& s = *g_station;
    s.current = job.camera;
    s.row = job.row;
    s.startTick = job.startTick;
    // Back under a serial Windows made up, a camera is its port.
    if (!job.camera.identity.port.empty()) s.current.returnedKey = kPortKey + job.camera.identity.port;
    Finish(job.result, job.failure);
}

void TakeJobEvent(Job& job, int index, const std::string& line) {
    Station& s = *g_station;
    const std::string event = console::JsonMember(line, "event");
    const std::string before = job.state;
    if (event == "start") {
        job.row.versionBefore = console::JsonMember(line, "versionBefore");
        SetCell(Item(IDC_ST_LIST), static_cast<int>(s.rows.size()) + index, 4, job.row.versionBefore);
    } else if (event == "phase") {
        job.state = "updating: " + console::JsonMember(line, "phase");
    } else if (event == "progress") {
        job.state = "updating: " + console::JsonMember(line, "phase") + " " + console::JsonMember(line, "percent") + "%";
    } else if (event == "replug") {
        job.state = "unplug and replug it";
        SetStatus(Look::Busy, L"Unplug " + job.camera.name + L" " + job.camera.identity.serial + L" and plug it in again");
        s.noticeUntil = GetTickCount() + 5000;
        MessageBeep(MB_ICONASTERISK);
    } else if (event == "result" || event == "error") {
        job.resulted = true;
        job.result = console::JsonMember(line, "result") == "passed" ? station::Result::Passed : station::Result::Failed;
        job.failure = WideOfUtf8(console::JsonMember(line, event == "error" ? "message" : "failure"));
        job.row.versionAfter = console::JsonMember(line, "versionAfter");
        job.row.verified = console::JsonMember(line, "verified") == "true";
        // The worker refused a file whose bytes are not the ones checked here.
        if (job.failure.find(L"--sha256") != std::wstring::npos) {
            s.fileChanged = true;
            job.failure = L"the firmware file changed on disk: start the station again";
        }
    }
    if (job.state != before) SetCell(Item(IDC_ST_LIST), static_cast<int>(s.rows.size()) + index, 6, job.state);
}

void ReadJobOutput(Job& job, int index) {
    char buffer[4096];
    DWORD available = 0, got = 0;
    while (PeekNamedPipe(job.output, nullptr, 0, nullptr, &available, nullptr) && available > 0 &&
           ReadFile(job.output, buffer, sizeof buffer, &got, nullptr) && got > 0) {
        job.pending.append(buffer, got);
        for (size_t end; (end = job.pending.find('\n')) != std::string::npos;) {
            std::string line = job.pending.substr(0, end);
            job.pending.erase(0, end + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (!line.empty() && line[0] == '{') TakeJobEvent(job, index, line);
        }
    }
}

// Reads what the workers tell, and takes the result of each that ended.
void FollowJobs() {
    Station& s = *g_station;
    for (size_t k = 0; k < s.jobs.size();) {
        Job& job = *s.jobs[k];
        ReadJobOutput(job, static_cast<int>(k));
        if (WaitForSingleObject(job.process.hProcess, 0) != WAIT_OBJECT_0) {
            ++k;
            continue;
        }
        ReadJobOutput(job, static_cast<int>(k));
        DWORD code = 0;
        GetExitCodeProcess(job.process.hProcess, &code);
        if (!job.resulted) {
            job.result = station::Result::Failed;
            job.failure = L"its update process ended without a result (exit code " + std::to_wstring(code) + L")";
        }
        DebugPrint(1, L"Station :: worker %lu for %s ended with exit code %lu\r\n", job.process.dwProcessId,
                   job.camera.key.c_str(), code);
        CloseHandle(job.output);
        CloseHandle(job.process.hProcess);
        CloseHandle(job.process.hThread);
        std::unique_ptr<Job> done = std::move(s.jobs[k]);
        s.jobs.erase(s.jobs.begin() + static_cast<long>(k));
        FinishJob(*done);
    }
    if (s.jobs.empty() || static_cast<LONG>(GetTickCount() - s.noticeUntil) < 0) return;
    s.idleSince = Os().GetTickCount();
    std::wstring status = L"Updating ";
    if (s.jobs.size() == 1) status += s.jobs[0]->camera.name + L" " + s.jobs[0]->camera.identity.serial;
    else status += std::to_wstring(s.jobs.size()) + L" cameras";
    wchar_t shown[300] = L"";
    GetWindowTextW(Item(IDC_ST_STATUS), shown, 300);
    if (status != shown) SetStatus(Look::Busy, status);
}

// Starts list entry i's update in a worker of its own.
void StartJob(int i) {
    Station& s = *g_station;
    auto job = std::make_unique<Job>();
    job->camera = CameraOf(i);
    job->row = RowOf(job->camera);
    job->startTick = Os().GetTickCount();
    job->turnClass = TurnClass(i);
    DebugPrint(1, L"Station :: takes %s at %lu ms\r\n", job->camera.path.c_str(), job->startTick);
    if (!DeviceFitsFile(job->camera.name, s.firmwareName)) {
        job->result = station::Result::Skipped;
        job->failure = L"the firmware file is not for " + job->camera.name;
        FinishJob(*job);
        return;
    }
    std::vector<uint8_t> now;
    if (!ReadWholeFile(s.firmwarePath, &now) || now != s.image) {
        s.fileChanged = true;
        job->failure = L"the firmware file changed on disk: start the station again";
        FinishJob(*job);
        return;
    }
    wchar_t self[MAX_PATH] = L"";
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring exe = self;
    exe = exe.substr(0, exe.find_last_of(L'\\') + 1) + L"corvane-fw.exe";
    // The worker finds its camera by its port (one device at a time is on
    // a port), or by its serial where Windows names no port.
    const Identity& id = job->camera.identity;
    std::wstring command = L"\"" + exe + L"\" update \"" + s.firmwarePath + L"\" --camera \"" +
                           (id.port.empty() ? id.serial : id.port) + L"\" --json --worker --wait 60 --sha256 " +
                           WideOfUtf8(s.sha256) + L" --camera-timeout " + std::to_wstring(s.args.cameraTimeoutSeconds) +
                           L" --log \"" + RunLogPath(s.resultsPath) + L"\"";
    if (!s.args.expectVersion.empty()) command += L" --expect-version \"" + s.args.expectVersion + L"\"";
    SECURITY_ATTRIBUTES sa{sizeof(sa), nullptr, TRUE};
    HANDLE read = nullptr, write = nullptr;
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    bool started = CreatePipe(&read, &write, &sa, 1 << 16) && SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
    if (started) {
        si.hStdOutput = write;
        si.hStdError = write;
        si.hStdInput = nullptr;
        started = CreateProcessW(exe.c_str(), &command[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr,
                                 &si, &job->process) != FALSE;
    }
    if (write != nullptr) CloseHandle(write);
    if (!started) {
        if (read != nullptr) CloseHandle(read);
        DebugPrint(1, L"Station :: the worker cannot be started (error %lu): %s\r\n", GetLastError(), command.c_str());
        job->failure = L"its update process cannot be started";
        FinishJob(*job);
        return;
    }
    job->output = read;
    DebugPrint(1, L"Station :: worker %lu updates %s\r\n", job->process.dwProcessId, job->camera.key.c_str());
    s.jobs.push_back(std::move(job));
    s.waitingShown = WaitingCameras();
    ShowList();
}

// The station ends through the dialog's EXIT. An EXIT refused (something
// became busy meanwhile) is asked again by the poll once nothing is busy.
void AskForTheEnd() {
    Station& s = *g_station;
    s.endAskedAt = GetTickCount();
    PostMessageW(g_hMainDlg.load(), WM_COMMAND, MAKEWPARAM(IDC_BTN_EXIT, BN_CLICKED), 0);
}

void EndStation(int code) {
    Station& s = *g_station;
    if (s.ending) return;
    s.ending = true;
    s.exitCode = code;
    DebugPrint(1, L"Station :: ends with exit code %d\r\n", code);
    FlushTimedLog();
    AskForTheEnd();
}

int CodeOfResults() {
    Station& s = *g_station;
    if (!s.unwritten.empty()) return kStationNotRecorded;
    if (s.fileChanged) return kStationFileChanged;
    return s.failed == 0 && s.skipped == 0 ? kStationAllPassed : kStationNotAllPassed;
}

// The cameras that wait for their turn, in the order they came.
// The Sunplus library writes the first V9 camera it finds, which need not be
// the one the station took: a V9 camera is not taken while another is
// connected (the one being written included).
bool WaitsForAnotherV9(int i) {
    if (!EntryIsV9(i)) return false;
    const std::wstring key = KeyOf(g_szDevicePathList[i]);
    for (int j = 0; j < g_nDeviceCount && j < kMaxDevices; ++j)
        if (j != i && EntryIsV9(j) && KeyOf(g_szDevicePathList[j]) != key) return true;
    return false;
}

std::vector<std::wstring> WaitingCameras() {
    Station& s = *g_station;
    std::vector<std::wstring> waiting;
    for (int i = 0; i < g_nDeviceCount && i < kMaxDevices; ++i) {
        if (EntryIsBootLoader(i) || EntryInUpdateMode(i)) continue;
        const std::wstring path = g_szDevicePathList[i];
        const std::wstring k = KeyOf(path);
        if (k == s.current.key || s.handled.count(k) != 0 || PartOfAJob(i)) continue;
        waiting.push_back(path);
    }
    std::stable_sort(waiting.begin(), waiting.end(), [&](const std::wstring& a, const std::wstring& b) {
        return s.arrival[KeyOf(a)] < s.arrival[KeyOf(b)];
    });
    return waiting;
}

// Update-mode devices that are no stage of a camera's trip in this run
// (found when no camera is being updated, and not one the station handled):
// their model is unknown, so they are left alone unless /recover is given.
std::vector<std::wstring> StrayUpdateModeDevices() {
    Station& s = *g_station;
    std::vector<std::wstring> strays;
    if (s.args.recover || s.phase != Phase::Idle || !s.jobs.empty()) return strays;
    for (int i = 0; i < g_nDeviceCount && i < kMaxDevices; ++i)
        if (EntryInUpdateMode(i) && s.handled.count(KeyOf(g_szDevicePathList[i])) == 0)
            strays.push_back(g_szDevicePathList[i]);
    return strays;
}

void Poll() {
    Station& s = *g_station;
    if (s.ending) {
        if (!UiInPause() && !CommandActive() && !DialogUpdateRuns() && GetTickCount() - s.endAskedAt >= kEndRetryMs) {
            DebugLine(L"Station :: the end was not taken: asked again\r\n");
            AskForTheEnd();
        }
        return;
    }
    if (s.polling || UiInPause() || CommandActive()) return;
    s.polling = true;
    // Every listed device gets to know its USB device once, and again after
    // the device table was rebuilt (its path may belong to another device
    // now: a camera that took the serial of one in update mode).
    if (s.tableBuilds != g_nDeviceTableBuilds.load()) {
        s.tableBuilds = g_nDeviceTableBuilds.load();
        s.identities.clear();
    }
    std::map<std::wstring, Identity> seen;
    std::vector<std::wstring> listed;
    for (int i = 0; i < g_nDeviceCount && i < kMaxDevices; ++i) {
        const std::wstring path = g_szDevicePathList[i];
        auto known = s.identities.find(path);
        // A device Windows had not finished describing is looked at again.
        seen[path] = known != s.identities.end() && !known->second.serial.empty() ? known->second
                                                                                  : IdentifyPath(path.c_str());
        listed.push_back(path);
    }
    // Paths that left are forgotten (a camera plugged in again is looked at anew).
    s.identities.swap(seen);
    std::map<std::wstring, unsigned long long> arrival;
    for (const std::wstring& path : listed) {
        const std::wstring key = KeyOf(path);
        auto known = s.arrival.find(key);
        if (known != s.arrival.end()) {
            arrival[key] = known->second;
            continue;
        }
        arrival[key] = ++s.arrivals;
        auto done = s.handled.find(key);
        const int i = EntryOfPath(path);
        if (done != s.handled.end() && s.phase == Phase::Idle && i >= 0 && !EntryInUpdateMode(i) && !EntryIsBootLoader(i)) {
            // Plugged in again: each camera is taken once per station run.
            SetStatus(s.look, std::wstring(L"Already ") + WideOfUtf8(station::ResultText(done->second)) + L" in this run: " +
                                  g_szDeviceNameList[i] + L" " + KeyOf(path));
        }
    }
    if (s.phase != Phase::Idle) arrival[s.current.key] = 0;
    s.arrival.swap(arrival);
    // A camera without a serial is known by its path (its port): once it is
    // gone, the next camera on that port is a new one.
    for (auto it = s.handled.begin(); it != s.handled.end();) {
        if (KeyWithoutSerial(it->first) && s.arrival.count(it->first) == 0 &&
            (s.phase == Phase::Idle || it->first != s.current.key))
            it = s.handled.erase(it);
        else
            ++it;
    }
    if (s.phase == Phase::Idle && !s.lastKey.empty() && s.arrival.count(s.lastKey) == 0) {
        // The last camera was unplugged: the bench is ready for the next.
        s.lastKey.clear();
        if (!s.resultsBroken && !s.fileChanged) SetStatus(Look::Waiting, L"Plug in the next camera");
    }
    if (s.phase == Phase::Idle && !WriteUnwritten())
        SetStatus(Look::Failed, L"The results file cannot be written: " + s.resultsPath);

    FollowJobs();
    if (s.phase != Phase::Idle) FollowUpdate();

    if (s.phase == Phase::Idle && !s.ending && !DialogUpdateRuns()) {
        // A changed file takes no further camera: a script's run ends.
        const bool scripted = s.args.count != 0 || s.args.timeoutSeconds != 0;
        if ((s.args.count != 0 && s.rows.size() >= s.args.count) || (s.fileChanged && scripted)) {
            // The workers end first, and the rows are in the file; a file
            // that stays unwritable for a minute ends the program all the
            // same (the rows are in the diagnostic log).
            if (!s.jobs.empty()) {
            } else if (s.unwritten.empty()) EndStation(CodeOfResults());
            else if (GetTickCount() - s.unwrittenSince >= 60000) EndStation(CodeOfResults());
        } else if (s.args.timeoutSeconds != 0 &&
                   Os().GetTickCount() - s.idleSince >= s.args.timeoutSeconds * 1000u) {
            // Rows not written yet are tried for a minute first.
            if (s.unwritten.empty()) EndStation(kStationTimedOut);
            else if (GetTickCount() - s.unwrittenSince >= 60000) EndStation(CodeOfResults());
        } else if (!s.resultsBroken && !s.fileChanged && s.jobs.size() < s.args.parallel &&
                   (s.args.count == 0 || s.rows.size() + s.jobs.size() < s.args.count)) {
            // The camera that came first; the others wait (with /parallel,
            // up to that many at once, one more started on each poll).
            int next = -1;
            bool v9Waits = false;
            unsigned long long first = 0;
            for (int i = 0; i < g_nDeviceCount && i < kMaxDevices; ++i) {
                const std::wstring key = KeyOf(g_szDevicePathList[i]);
                if (EntryIsBootLoader(i) || s.handled.count(key) != 0 || PartOfAJob(i)) continue;
                if (WaitsForAJob(i)) continue;
                if (WaitsForAnotherV9(i)) {
                    v9Waits = true;
                    continue;
                }
                if (EntryInUpdateMode(i) && !s.args.recover) continue;
                const unsigned long long turn = s.arrival[key];
                if (next < 0 || turn < first) {
                    next = i;
                    first = turn;
                }
            }
            if (next < 0 && StrayUpdateModeDevices() != s.straysShown) ShowList();
            if (next >= 0) {
                if (s.args.parallel > 1) StartJob(next);
                else StartCamera(next);
            } else if (!s.jobs.empty()) {
            } else if (v9Waits) {
                if (WaitingCameras() != s.waitingShown) {
                    ShowList();
                    // (A result stays until its camera is unplugged.)
                    if (s.lastKey.empty())
                        SetStatus(Look::Waiting, L"Unplug all V9 cameras but one: they are updated one at a time");
                }
            } else if (s.look != Look::Waiting && s.look != Look::Passed && s.look != Look::Failed &&
                       s.look != Look::Skipped) {
                SetStatus(Look::Waiting, L"Plug in the next camera");
            }
        }
    }
    if (s.phase != Phase::Idle || !s.jobs.empty()) {
        const std::vector<std::wstring> waiting = WaitingCameras();
        if (waiting != s.waitingShown) {
            s.waitingShown = waiting;
            ShowList();
        }
    }
    s.polling = false;
}

// Status colours: readable from a step away.
COLORREF Background(Look look) {
    switch (look) {
        case Look::Busy: return RGB(255, 214, 0);
        case Look::Passed: return RGB(0, 160, 60);
        case Look::Failed: return RGB(200, 0, 0);
        case Look::Skipped: return RGB(255, 140, 0);
        default: return RGB(230, 230, 230);
    }
}

// The window's DPI (per monitor where Windows has GetDpiForWindow, as the
// program's manifest asks), else the screen's.
int WindowDpi() {
    using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
    static const auto getDpi = reinterpret_cast<GetDpiForWindowFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
    if (getDpi != nullptr && g_station != nullptr && g_station->window != nullptr) {
        const UINT dpi = getDpi(g_station->window);
        if (dpi != 0) return static_cast<int>(dpi);
    }
    HDC dc = GetDC(nullptr);
    const int dpi = dc != nullptr ? GetDeviceCaps(dc, LOGPIXELSY) : 96;
    if (dc != nullptr) ReleaseDC(nullptr, dc);
    return dpi;
}

int Scale(int px) { return MulDiv(px, WindowDpi(), 96); }

void Layout(HWND hWnd) {
    RECT r{};
    GetClientRect(hWnd, &r);
    const int m = Scale(10), w = r.right - 2 * m;
    int y = m;
    MoveWindow(Item(IDC_ST_FILE), m, y, w, Scale(36), TRUE);
    y += Scale(38);
    MoveWindow(Item(IDC_ST_MODEL), m, y, w, Scale(18), TRUE);
    y += Scale(22);
    MoveWindow(Item(IDC_ST_STATUS), m, y, w, Scale(70), TRUE);
    y += Scale(76);
    MoveWindow(Item(IDC_ST_COUNTERS), m, y, w, Scale(22), TRUE);
    y += Scale(26);
    MoveWindow(Item(IDC_ST_RESULTS), m, y + Scale(4), w - Scale(130), Scale(18), TRUE);
    MoveWindow(Item(IDC_ST_OPEN_FOLDER), r.right - m - Scale(120), y, Scale(120), Scale(26), TRUE);
    y += Scale(32);
    MoveWindow(Item(IDC_ST_LIST), m, y, w, std::max(Scale(60), static_cast<int>(r.bottom) - y - m), TRUE);
}

HWND Child(HWND parent, const wchar_t* cls, const wchar_t* text, DWORD style, int id) {
    return CreateWindowExW(0, cls, text, WS_CHILD | WS_VISIBLE | style, 0, 0, 10, 10, parent,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), g_hInst, nullptr);
}

const int kColumnWidths[] = {150, 130, 110, 150, 100, 100, 200, 60, 220};

// The fonts and column widths for the window's DPI.
void ApplyDpi(HWND hWnd) {
    Station& s = *g_station;
    HFONT oldBig = s.bigFont, oldText = s.textFont;
    s.bigFont = CreateFontW(-Scale(30), 0, 0, 0, FW_BOLD, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                            CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, DEFAULT_PITCH | FF_DONTCARE, L"Arial");
    s.textFont = CreateFontW(-Scale(13), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                             CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, DEFAULT_PITCH | FF_DONTCARE, L"Segoe UI");
    for (int id = IDC_ST_FILE; id <= IDC_ST_LIST; ++id)
        SendMessageW(GetDlgItem(hWnd, id), WM_SETFONT, reinterpret_cast<WPARAM>(s.textFont), TRUE);
    SendMessageW(GetDlgItem(hWnd, IDC_ST_STATUS), WM_SETFONT, reinterpret_cast<WPARAM>(s.bigFont), TRUE);
    for (int c = 0; c < 9; ++c)
        SendMessageW(GetDlgItem(hWnd, IDC_ST_LIST), LVM_SETCOLUMNWIDTH, static_cast<WPARAM>(c),
                     MAKELPARAM(Scale(kColumnWidths[c]), 0));
    if (oldBig != nullptr) DeleteObject(oldBig);
    if (oldText != nullptr) DeleteObject(oldText);
    Layout(hWnd);
}

void CreateControls(HWND hWnd) {
    Station& s = *g_station;
    s.window = hWnd;
    wchar_t file[1024];
    StringCchPrintfW(file, 1024, L"Firmware: %s    %u bytes    %s\r\nSHA-256: %s", s.firmwareName.c_str(),
                     static_cast<unsigned>(s.image.size()), s.layoutText.c_str(), WideOfUtf8(s.sha256).c_str());
    Child(hWnd, L"STATIC", file, SS_LEFT | SS_NOPREFIX, IDC_ST_FILE);
    Child(hWnd, L"STATIC", s.meantFor.c_str(), SS_LEFT | SS_NOPREFIX, IDC_ST_MODEL);
    Child(hWnd, L"STATIC", L"Plug in the next camera", SS_CENTER | SS_CENTERIMAGE | SS_NOPREFIX, IDC_ST_STATUS);
    Child(hWnd, L"STATIC", L"", SS_LEFT, IDC_ST_COUNTERS);
    Child(hWnd, L"STATIC", (L"Results: " + s.resultsPath).c_str(), SS_LEFT | SS_NOPREFIX | SS_PATHELLIPSIS,
          IDC_ST_RESULTS);
    Child(hWnd, L"BUTTON", L"Open folder", BS_PUSHBUTTON | WS_TABSTOP, IDC_ST_OPEN_FOLDER);
    HWND list = Child(hWnd, WC_LISTVIEWW, L"", LVS_REPORT | LVS_SHOWSELALWAYS | WS_BORDER | WS_TABSTOP,
                      IDC_ST_LIST);
    NameControl(list, L"Cameras");
    SendMessageW(list, LVM_SETEXTENDEDLISTVIEWSTYLE, 0, LVS_EX_FULLROWSELECT | LVS_EX_GRIDLINES);
    for (int c = 0; c < 9; ++c) {
        std::wstring title = WideOfUtf8(kColumns[c]);
        LVCOLUMNW col{};
        col.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM;
        col.cx = Scale(kColumnWidths[c]);
        col.pszText = &title[0];
        col.iSubItem = c;
        SendMessageW(list, LVM_INSERTCOLUMNW, static_cast<WPARAM>(c), reinterpret_cast<LPARAM>(&col));
    }
    for (int k = 0; k < 5; ++k) s.brushes[k] = CreateSolidBrush(Background(static_cast<Look>(k)));
    ShowCounters();
    ApplyDpi(hWnd);
}

void OpenResultsFolder() {
    Station& s = *g_station;
    std::wstring folder = s.resultsPath;
    const size_t slash = folder.find_last_of(L"\\/");
    if (slash != std::wstring::npos) folder.resize(slash);
    ShellExecuteW(s.window, L"open", folder.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

// Closing waits for the camera being updated: the operator is told so in
// the status, without a box that would hold up the line.
bool CloseRefused() {
    Station& s = *g_station;
    if (s.phase == Phase::Idle && !DialogUpdateRuns() && s.jobs.empty()) return false;
    DebugLine(L"Station :: closing refused: a camera is being updated\r\n");
    SetStatus(s.look, L"Wait: " + (s.jobs.size() > 1 ? std::to_wstring(s.jobs.size()) + L" cameras are"
                                   : (s.jobs.empty() ? s.current.name : s.jobs[0]->camera.name) + L" is") +
                          L" being updated (closing refused)");
    s.noticeUntil = GetTickCount() + 3000;
    MessageBeep(MB_ICONEXCLAMATION);
    return true;
}

// Rows the results file has not taken yet would be lost with the window:
// closing asks first (they are in the diagnostic log all the same).
bool CloseWithUnwrittenRows() {
    Station& s = *g_station;
    if (WriteUnwritten()) return true;
    wchar_t text[600];
    StringCchPrintfW(text, 600,
                     L"%u camera results are not in the results file yet: it cannot be written (%s).\r\n\r\n"
                     L"Close it in the program that holds it and they are written. Close the station anyway?",
                     static_cast<unsigned>(s.unwritten.size()), s.resultsPath.c_str());
    return Os().MessageBoxW(s.window, text, L"Corvane_FW_Updater - Station",
                            MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2) == IDYES;
}

// The result column of a camera being written ("updating: writing part 2
// 45%") carries a progress bar behind its text.
LRESULT DrawListCell(NMLVCUSTOMDRAW* draw) {
    switch (draw->nmcd.dwDrawStage) {
        case CDDS_PREPAINT: return CDRF_NOTIFYITEMDRAW;
        case CDDS_ITEMPREPAINT: return CDRF_NOTIFYSUBITEMDRAW;
        case CDDS_ITEMPREPAINT | CDDS_SUBITEM: break;
        default: return CDRF_DODEFAULT;
    }
    if (draw->iSubItem != 6) return CDRF_DODEFAULT;
    HWND list = draw->nmcd.hdr.hwndFrom;
    const int item = static_cast<int>(draw->nmcd.dwItemSpec);
    wchar_t text[128] = L"";
    LVITEMW cell{};
    cell.iSubItem = 6;
    cell.pszText = text;
    cell.cchTextMax = 128;
    SendMessageW(list, LVM_GETITEMTEXTW, item, reinterpret_cast<LPARAM>(&cell));
    const size_t n = wcslen(text);
    if (n < 2 || text[n - 1] != L'%' || wcsncmp(text, L"updating", 8) != 0) return CDRF_DODEFAULT;
    size_t digits = n - 1;
    while (digits > 0 && iswdigit(text[digits - 1])) --digits;
    if (digits == n - 1) return CDRF_DODEFAULT;
    const int percent = std::min(100, _wtoi(text + digits));
    RECT cellRect{};
    cellRect.top = 6;
    cellRect.left = LVIR_BOUNDS;
    if (!SendMessageW(list, LVM_GETSUBITEMRECT, item, reinterpret_cast<LPARAM>(&cellRect))) return CDRF_DODEFAULT;
    HDC dc = draw->nmcd.hdc;
    FillRect(dc, &cellRect, GetSysColorBrush(COLOR_WINDOW));
    RECT bar = cellRect;
    InflateRect(&bar, -2, -2);
    bar.right = bar.left + (bar.right - bar.left) * percent / 100;
    FillRect(dc, &bar, GetSysColorBrush(COLOR_HIGHLIGHT));
    RECT textRect = cellRect;
    textRect.left += 6;
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
    DrawTextW(dc, text, -1, &textRect, DT_SINGLELINE | DT_VCENTER | DT_END_ELLIPSIS | DT_NOPREFIX);
    return CDRF_SKIPDEFAULT;
}

LRESULT CALLBACK StationProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) {
    Station* s = g_station;
    switch (message) {
        case WM_CREATE:
            CreateControls(hWnd);
            SetTimer(hWnd, kPollTimer, kPollMs, nullptr);
            return 0;
        case WM_SIZE:
            if (s != nullptr && s->window != nullptr) Layout(hWnd);
            return 0;
        case WM_DPICHANGED: {
            // Moved to a monitor of another DPI: Windows suggests the new size.
            const RECT* r = reinterpret_cast<const RECT*>(lParam);
            SetWindowPos(hWnd, nullptr, r->left, r->top, r->right - r->left, r->bottom - r->top,
                         SWP_NOZORDER | SWP_NOACTIVATE);
            if (s != nullptr && s->window != nullptr) ApplyDpi(hWnd);
            return 0;
        }
        case WM_GETMINMAXINFO:
            reinterpret_cast<MINMAXINFO*>(lParam)->ptMinTrackSize = {Scale(640), Scale(420)};
            return 0;
        case WM_CTLCOLORSTATIC:
            if (s != nullptr && reinterpret_cast<HWND>(lParam) == GetDlgItem(hWnd, IDC_ST_STATUS)) {
                HDC dc = reinterpret_cast<HDC>(wParam);
                SetBkColor(dc, Background(s->look));
                SetTextColor(dc, s->look == Look::Busy || s->look == Look::Waiting ? RGB(0, 0, 0)
                                                                                    : RGB(255, 255, 255));
                return reinterpret_cast<LRESULT>(s->brushes[static_cast<int>(s->look)]);
            }
            break;
        case WM_TIMER:
            if (wParam == kPollTimer && s != nullptr) {
                try {
                    Poll();
                } catch (...) {
                    DebugLine(L"Station :: exception\r\n");
                    s->polling = false;
                }
            }
            return 0;
        case WM_NOTIFY: {
            auto* header = reinterpret_cast<NMHDR*>(lParam);
            if (header->idFrom == IDC_ST_LIST && header->code == NM_CUSTOMDRAW)
                return DrawListCell(reinterpret_cast<NMLVCUSTOMDRAW*>(lParam));
            break;
        }
        case WM_STATION_REPORT:
            return 0;
        case WM_COMMAND:
            switch (LOWORD(wParam)) {
                case IDC_ST_OPEN_FOLDER:
                    OpenResultsFolder();
                    break;
                case IDOK:
                    // Enter: the focused button.
                    PressFocusedButton(hWnd);
                    break;
                case IDCANCEL:
                    // Esc: what closing does.
                    PostMessageW(hWnd, WM_CLOSE, 0, 0);
                    break;
                default:
                    break;
            }
            return 0;
        case WM_ACTIVATE:
            // A plain window forgets its focus when it is left; it is given
            // back when the window is active again.
            if (s != nullptr && LOWORD(wParam) == WA_INACTIVE) s->focus = GetFocus();
            break;
        case WM_SETFOCUS:
            if (s != nullptr && s->window != nullptr) {
                HWND back = s->focus;
                if (back != nullptr && IsChild(hWnd, back) && IsWindowEnabled(back)) {
                    SetFocus(back);
                } else {
                    const int ids[] = {IDC_ST_LIST, IDC_ST_OPEN_FOLDER};
                    PlaceFocus(hWnd, ids, 2, true);
                }
            }
            return 0;
        case WM_CLOSE:
            if (s != nullptr && !CloseRefused() && CloseWithUnwrittenRows()) EndStation(CodeOfResults());
            return 0;
        case WM_QUERYENDSESSION:
            if (s != nullptr && (s->phase != Phase::Idle || DialogUpdateRuns() || !s->jobs.empty())) return FALSE;
            return TRUE;
        default:
            break;
    }
    return DefWindowProcW(hWnd, message, wParam, lParam);
}




void Refuse(const std::wstring& text) {
    DebugPrint(1, L"Station :: %s\r\n", text.c_str());
    if (TellTheConsole(text)) return;
    Os().MessageBoxW(nullptr, text.c_str(), L"Corvane_FW_Updater - Station", MB_ICONERROR);
}

}  // namespace

// Writes the text to the standard error a script gave the program, or to
// the console it was started from; false when there is neither.
bool TellTheConsole(const std::wstring& text) {
    const std::wstring line = text + L"\r\n";
    HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    if (err != nullptr && err != INVALID_HANDLE_VALUE && GetFileType(err) != FILE_TYPE_UNKNOWN) {
        const int n = WideCharToMultiByte(CP_UTF8, 0, line.c_str(), -1, nullptr, 0, nullptr, nullptr);
        std::string bytes(static_cast<size_t>(n > 0 ? n : 1), '\0');
        WideCharToMultiByte(CP_UTF8, 0, line.c_str(), -1, &bytes[0], n, nullptr, nullptr);
        DWORD written = 0;
        return WriteFile(err, bytes.data(), static_cast<DWORD>(n > 0 ? n - 1 : 0), &written, nullptr) != FALSE;
    }
    if (!AttachConsole(ATTACH_PARENT_PROCESS)) return false;
    HANDLE console = CreateFileW(L"CONOUT$", GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    DWORD written = 0;
    const bool ok = console != INVALID_HANDLE_VALUE &&
                    WriteConsoleW(console, line.c_str(), static_cast<DWORD>(line.size()), &written, nullptr);
    if (console != INVALID_HANDLE_VALUE) CloseHandle(console);
    FreeConsole();
    return ok;
}

std::wstring DefaultStationResultsPath() { return ProgramDataFolder() + L"\\station-results.csv"; }

bool StationActive() { return g_station != nullptr; }

int StationExitCode() { return g_station != nullptr ? g_station->exitCode : 0; }

bool StartStation(const station::Arguments& arguments) {
    if (g_station != nullptr) return false;
    auto s = std::make_unique<Station>();
    s->args = arguments;
    // One ID for every row of this run, so that a run's rows can be told
    // from another's in one results file.
    GUID run{};
    wchar_t runText[40] = L"";
    if (SUCCEEDED(CoCreateGuid(&run)) && StringFromGUID2(run, runText, 40) > 2) {
        std::wstring id(runText + 1);
        id.pop_back();  // the braces
        s->runId = Narrow(id);
    }
    wchar_t full[MAX_PATH] = L"";
    if (GetFullPathNameW(arguments.firmware.c_str(), MAX_PATH, full, nullptr) == 0)
        StringCchCopyW(full, MAX_PATH, arguments.firmware.c_str());
    s->firmwarePath = full;
    const size_t slash = s->firmwarePath.find_last_of(L"\\/");
    s->firmwareName = slash == std::wstring::npos ? s->firmwarePath : s->firmwarePath.substr(slash + 1);
    if (!ReadWholeFile(s->firmwarePath, &s->image)) {
        Refuse(L"The firmware file cannot be read: " + s->firmwarePath);
        return false;
    }
    bool parsed = false;
    s->layoutText = LayoutText(s->image, &parsed);
    if (!parsed) {
        Refuse(L"The file is not a firmware image this program can write: " + s->firmwarePath);
        return false;
    }
    s->sha256 = station::Sha256Hex(s->image.data(), s->image.size());
    if (!arguments.sha256.empty() && arguments.sha256 != s->sha256) {
        Refuse(L"The firmware file is not the one pinned with /sha256: its SHA-256 is " + WideOfUtf8(s->sha256) + L", not " +
               WideOfUtf8(arguments.sha256) + L" (" + s->firmwarePath + L").");
        return false;
    }
    const std::wstring model = ModelInFileName(s->firmwareName);
    s->meantFor = model.empty()
                      ? L"Meant for: the file name names no camera model (a camera whose name is not in it is skipped)"
                      : L"Meant for: " + model + L" (from the file name; a camera whose name is not in it is skipped)";
    s->resultsPath = arguments.results.empty() ? DefaultStationResultsPath() : arguments.results;
    wchar_t results[MAX_PATH] = L"";
    if (GetFullPathNameW(s->resultsPath.c_str(), MAX_PATH, results, nullptr) != 0) s->resultsPath = results;
    g_station = s.get();
    if (!EnsureFolderOf(s->resultsPath) || !AppendToResults({})) {
        g_station = nullptr;
        Refuse(L"The results file cannot be written: " + s->resultsPath);
        return false;
    }

    static bool registered = false;
    if (!registered) {
        INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_LISTVIEW_CLASSES};
        InitCommonControlsEx(&icc);
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof(wc);
        wc.lpfnWndProc = StationProc;
        wc.hInstance = g_hInst;
        wc.hIcon = LoadIconW(g_hInst, MAKEINTRESOURCEW(IDI_APPLICATION_ICON));
        wc.hIconSm = wc.hIcon;
        wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
        wc.lpszClassName = kStationWindowClass;
        registered = RegisterClassExW(&wc) != 0;
    }
    SetUpdateReportSink(Sink);
    s->idleSince = Os().GetTickCount();
    Station* raw = s.release();
    // The station's window takes the dialog's place.
    const bool dialogShown = IsWindowVisible(g_hMainDlg.load()) != FALSE;
    ShowWindow(g_hMainDlg.load(), SW_HIDE);
    HWND window = CreateWindowExW(WS_EX_APPWINDOW | WS_EX_CONTROLPARENT, kStationWindowClass, L"Corvane_FW_Updater - Station",
                                  WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, Scale(1000), Scale(640),
                                  g_hMainWnd, nullptr, g_hInst, nullptr);
    if (window == nullptr) {
        SetUpdateReportSink(nullptr);
        g_station = nullptr;
        delete raw;
        if (dialogShown) ShowWindow(g_hMainDlg.load(), SW_SHOW);
        Refuse(L"The station window cannot be created.");
        return false;
    }
    ShowWindow(window, SW_SHOW);
    UpdateWindow(window);
    OpenTimedLog(RunLogPath(raw->resultsPath));
    DebugPrint(1, L"Station :: started with %s (%S), results in %s, run %S\r\n", raw->firmwarePath.c_str(),
               raw->sha256.c_str(), raw->resultsPath.c_str(), raw->runId.c_str());
    FlushTimedLog();
    return true;
}

void StartStationFromMenu() {
    if (g_station != nullptr) return;
    wchar_t path[kPathChars] = L"";
    OPENFILENAMEW ofn{};
    ofn.lStructSize = sizeof(ofn);
    ofn.hwndOwner = g_hMainDlg.load();
    ofn.lpstrFilter = L"Binary Files (*.IMG)\0*.img\0Binary Files (*.BIN)\0*.bin\0";
    ofn.nFilterIndex = 1;
    ofn.lpstrFile = path;
    ofn.nMaxFile = kPathChars;
    ofn.lpstrTitle = L"Station mode: the firmware for every camera";
    ofn.Flags = OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR;
    if (!Os().GetOpenFileNameW(&ofn)) return;
    station::Arguments arguments;
    arguments.station = true;
    arguments.firmware = path;
    StartStation(arguments);
}
