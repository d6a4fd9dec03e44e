#include "update_history.h"

#include <shellapi.h>

#include <mutex>
#include <vector>

#include "app_state.h"
#include "debug_print.h"
#include "device_identity.h"
#include "device_table.h"
#include "os_api.h"
#include "product_version.h"
#include "results_file.h"
#include "station_record.h"
#include "ui_state.h"
#include "update_outcome.h"

namespace {

bool g_bEntryOpen = false;
station::Row g_entry;
DWORD g_dwEntryStart = 0;
std::mutex g_failureLock;
std::wstring g_failure;
bool g_bToldUnwritable = false;
std::wstring g_historyFolder;

std::wstring HistoryFolder() { return g_historyFolder.empty() ? ProgramDataFolder() : g_historyFolder; }

std::string Sha256OfFile(const wchar_t* path) {
    HANDLE file = Os().CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return {};
    std::vector<uint8_t> bytes;
    uint8_t chunk[65536];
    DWORD got = 0;
    while (Os().ReadFile(file, chunk, sizeof(chunk), &got, nullptr) && got > 0)
        bytes.insert(bytes.end(), chunk, chunk + got);
    Os().CloseHandle(file);
    return station::Sha256Hex(bytes.data(), bytes.size());
}

// A box's text on one line.
std::wstring OneLine(std::wstring text) {
    for (auto& c : text)
        if (c == L'\r' || c == L'\n') c = L' ';
    while (text.find(L"  ") != std::wstring::npos) text.erase(text.find(L"  "), 1);
    while (!text.empty() && text.back() == L' ') text.pop_back();
    return text;
}

}  // namespace

std::wstring UpdateHistoryPath() {
    const std::wstring folder = HistoryFolder();
    return folder.empty() ? folder : folder + L"\\update-history.csv";
}

void SetUpdateHistoryFolder(const std::wstring& folder) { g_historyFolder = folder; }

void HistoryUpdateBegins() {
    CameraUpdate& u = DialogUpdate();
    // Only an update the operator started (a worker that resumes an update
    // opens the busy window again, but it is the same update).
    if (UpdateReportsGoToSink() || u.phase != UpdatePhase::Starting) return;
    g_entry = station::Row{};
    g_bEntryOpen = true;
    g_dwEntryStart = Os().GetTickCount();
    {
        std::lock_guard<std::mutex> lock(g_failureLock);
        g_failure.clear();
    }
    g_entry.computer = ComputerNameText();
    g_entry.programVersion = CORVANE_VERSION_TEXT;
    g_entry.firmwareFile = station::Utf8(u.szFirmwareFileName);
    g_entry.firmwareSha256 = Sha256OfFile(u.szFirmwareFilePath);
    for (int i = 0; i < g_nDeviceCount && i < kMaxDevices; ++i) {
        if (!DevicePathsEqual(g_szDevicePathList[i], u.szUpdateDevicePath)) continue;
        g_entry.model = station::Utf8(g_szDeviceNameList[i]);
        g_entry.vidPid = station::Utf8(std::wstring(g_szVIDList[i]) + L":" + g_szPIDList[i]);
        break;
    }
    g_entry.port = station::Utf8(IdentifyPath(u.szUpdateDevicePath).port);
}

void HistoryNoteFailure(const wchar_t* text) {
    if (text == nullptr || *text == L'\0') return;
    std::lock_guard<std::mutex> lock(g_failureLock);
    const std::wstring line = OneLine(text);
    if (g_failure.find(line) != std::wstring::npos) return;
    g_failure += (g_failure.empty() ? L"" : L" / ") + line;
}

void HistoryUpdateEnds() {
    if (!g_bEntryOpen) return;
    g_bEntryOpen = false;
    CameraUpdate& u = DialogUpdate();
    const UpdateOutcome outcome = u.outcome;
    station::Row& row = g_entry;
    row.time = NowIsoText();
    row.uniqueId = station::Utf8(u.USBUniqueID);
    row.seconds = static_cast<double>(Os().GetTickCount() - g_dwEntryStart) / 1000.0;
    if (outcome == UpdateOutcome::Succeeded || outcome == UpdateOutcome::SucceededReplug) {
        row.result = station::Result::Passed;
    } else {
        row.result = station::Result::Failed;
        std::lock_guard<std::mutex> lock(g_failureLock);
        row.failure = station::Utf8(g_failure.empty() ? L"the update ended without writing the firmware" : g_failure);
    }
    const std::wstring path = UpdateHistoryPath();
    if (EnsureFolderOf(path) && AppendResultRows(path, {row})) return;
    DebugPrint(1, L"Update history :: %s could not be written\r\n", path.c_str());
    if (g_bToldUnwritable) return;
    g_bToldUnwritable = true;
    ShowStatusNotice(kHistoryUnwritableText, false);
}

void OpenUpdateHistory() {
    const std::wstring path = UpdateHistoryPath();
    if (path.empty() || Os().GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
        ShowStatusNotice(L"No update has been recorded yet", false);
        return;
    }
    ShellExecuteW(g_hMainDlg.load(), L"open", path.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}
