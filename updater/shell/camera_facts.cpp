#include "camera_facts.h"

#include <mutex>

#include "KivoFWSW.h"
#include "app_state.h"
#include "camera_commands.h"
#include "device_table.h"
#include "id_text.h"
#include "image_format.h"
#include "main_dialog.h"
#include "os_api.h"
#include "station_record.h"
#include "ui_wait.h"
#include "image_file.h"
#include "resource.h"
#include "update_engine.h"
#include "update_guard.h"
#include "update_start.h"
#include <strsafe.h>

namespace {

bool IdIs(const wchar_t* field, const wchar_t* text) {
    wchar_t copy[kIdFieldChars];
    StringCchCopyW(copy, kIdFieldChars, field);
    return IdEqualsText(copy, kIdFieldChars, text);
}

struct VersionRead {
    int entry;
    wchar_t text[kPathChars];
    bool ok;
};

void ReadVersionOnItsThread(void* context) {
    auto* v = static_cast<VersionRead*>(context);
    // The read binds the camera's interfaces on this thread and lets them go
    // before it ends.
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    v->ok = ReadCameraVersionText(v->entry, v->text, kPathChars);
    DeinitExtUnit();
    DeinitExtensionUnit();
    CoUninitialize();
}

}  // namespace

bool EntryInUpdateMode(int i) {
    return IdIs(g_szPIDList[i], L"DF00") || IdIs(g_szPIDList[i], L"DF01") || IdIs(g_szPIDList[i], L"DF02");
}

bool EntryIsBootLoader(int i) {
    return (IdIs(g_szVIDList[i], L"04B4") && IdIs(g_szPIDList[i], L"00F3")) ||
           (IdIs(g_szVIDList[i], L"1FC9") && IdIs(g_szPIDList[i], L"0135"));
}

bool EntryIsV9(int i) {
    wchar_t path[kPathChars];
    StringCchCopyW(path, kPathChars, g_szDevicePathList[i]);
    return IsKivoV9_DeviceAvail(path) != 0;
}

int EntryOfPath(const std::wstring& path) {
    for (int i = 0; i < g_nDeviceCount && i < kMaxDevices; ++i)
        if (lstrcmpiW(g_szDevicePathList[i], path.c_str()) == 0) return i;
    return -1;
}

std::string VersionOfText(const wchar_t* text) {
    std::wstring t = text;
    const size_t eq = t.find_first_of(L"=:");
    if (eq != std::wstring::npos && t.find(L'\n') > eq) t = t.substr(eq + 1);
    std::wstring out;
    bool blank = false;
    for (wchar_t c : t) {
        if (c == L'\r' || c == L'\n' || c == L'\t') c = L' ';
        if (c == L' ') {
            blank = true;
            continue;
        }
        if (blank && !out.empty()) out += L' ';
        blank = false;
        out += c;
    }
    return station::Utf8(out);
}

std::string ReadEntryVersion(int i, bool* ok) {
    VersionRead v{i, L"", false};
    DeinitExtUnit();
    UiRunWhileServing(ReadVersionOnItsThread, &v);
    *ok = v.ok;
    return v.ok ? VersionOfText(v.text) : std::string();
}

bool DialogUpdateWorkersRun() {
    CameraUpdate& u = DialogUpdate();
    return UpdateThreadWriting(u) || u.RunningWorkers(WorkerKind::Update) > 0 ||
           u.RunningWorkers(WorkerKind::Fx3Download) > 0 || u.RunningWorkers(WorkerKind::RomDownload) > 0 ||
           u.RunningWorkers(WorkerKind::Sunplus) > 0;
}

bool DialogUpdateRuns() { return UpdateIsBusy() || DialogUpdateWorkersRun(); }

bool ReadWholeFile(const std::wstring& path, std::vector<uint8_t>* out) {
    HANDLE file = Os().CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    LARGE_INTEGER size{};
    bool ok = Os().GetFileSizeEx(file, &size) && size.QuadPart > 0 && size.QuadPart < 0x7FFFFFFF;
    if (ok) {
        out->resize(static_cast<size_t>(size.QuadPart));
        size_t done = 0;
        while (done < out->size()) {
            DWORD got = 0;
            if (!Os().ReadFile(file, out->data() + done, static_cast<DWORD>(out->size() - done), &got, nullptr) ||
                got == 0)
                break;
            done += got;
        }
        ok = done == out->size();
    }
    Os().CloseHandle(file);
    return ok;
}

std::wstring LayoutText(const std::vector<uint8_t>& data, bool* ok) {
    fwimage::ParsedImage parsed;
    const fwimage::ParseStatus st = fwimage::ParseFirmwareImage(data.data(), static_cast<uint32_t>(data.size()),
                                                                &parsed);
    *ok = st == fwimage::ParseStatus::Ok;
    const wchar_t* layout = parsed.layout == fwimage::Layout::TwoPart ? L"two-part image"
                            : parsed.layout == fwimage::Layout::Mcu   ? L"MCU and image"
                            : parsed.layout == fwimage::Layout::Fpga  ? L"FPGA and image"
                                                                      : L"plain image";
    wchar_t text[128];
    if (parsed.hasImageType)
        StringCchPrintfW(text, 128, L"%s, image type %u", layout, static_cast<unsigned>(parsed.imageType));
    else
        StringCchCopyW(text, 128, layout);
    return text;
}

// By the dialog's rule read backwards: the "Corvane_..." words up to the
// first that is not a model's (a model's words are capitals and digits).
std::wstring ModelInFileName(const std::wstring& name) {
    const size_t at = name.find(L"Corvane_");
    if (at == std::wstring::npos) return {};
    std::wstring model = L"Corvane";
    size_t i = at + 7;
    while (i < name.size() && name[i] == L'_') {
        size_t j = i + 1;
        std::wstring word;
        while (j < name.size() && (iswupper(name[j]) || iswdigit(name[j]))) word += name[j++];
        if (word.empty() || (j < name.size() && name[j] != L'_' && name[j] != L'.' && name[j] != L'-')) break;
        model += L"_" + word;
        i = j;
    }
    return model == L"Corvane" ? std::wstring() : model;
}

bool DeviceFitsFile(const std::wstring& deviceName, const std::wstring& fileName) {
    if (deviceName.find(L"DFU") != std::wstring::npos) return true;
    return station::ModelFitsFileName(ModelOfDeviceName(deviceName.c_str()), fileName);
}

std::wstring WideOfUtf8(const std::string& utf8) {
    if (utf8.empty()) return {};
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring w(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &w[0], n);
    return w;
}

std::wstring UpperText(std::wstring s) {
    for (auto& c : s) c = static_cast<wchar_t>(towupper(c));
    return s;
}

bool StartDialogUpdate(int i, const std::wstring& firmwarePath, const std::wstring& firmwareName,
                       const std::vector<uint8_t>& image) {
    CameraUpdate& u = DialogUpdate();
    const std::wstring path = g_szDevicePathList[i];
    u.bStopRequested = false;
    SelectListEntry(i);
    StringCchCopyW(u.szFirmwareFilePath, kPathChars, firmwarePath.c_str());
    StringCchCopyW(u.szFirmwareFileName, kPathChars, firmwareName.c_str());
    SetDlgItemTextW(g_hMainDlg.load(), IDC_EDIT_FIRMWARE_PATH, firmwarePath.c_str());
    if (!LoadFirmwareImage(u, image.data(), static_cast<uint32_t>(image.size()))) return false;
    g_bNoFilePending = false;
    u.bTessaDevice = false;
    g_nSelectedIndex = i;
    StringCchCopyW(g_szCurrentDevicePath, kPathChars, path.c_str());
    StringCchCopyW(u.szUpdateDevicePath, kPathChars, path.c_str());
    StartFirmwareUpdate();
    ApplyBusyState();
    ReplayDeferredMessages();
    return true;
}

namespace {
std::mutex g_reportLock;
KeptReports g_reports;
}  // namespace

UpdateReport KeepDialogUpdateReport(UpdateReport kind, const wchar_t* text) {
    if (kind == UpdateReport::Failed && DialogUpdate().WaitActive()) kind = UpdateReport::Trouble;
    std::lock_guard<std::mutex> guard(g_reportLock);
    if (kind == UpdateReport::Trouble) {
        if (g_reports.trouble.empty()) g_reports.trouble = text != nullptr ? text : L"";
    } else if (!g_reports.reported) {
        g_reports.reported = true;
        g_reports.kind = kind;
        g_reports.text = text != nullptr ? text : L"";
    }
    return kind;
}

KeptReports DialogUpdateReports() {
    std::lock_guard<std::mutex> guard(g_reportLock);
    return g_reports;
}

void ForgetDialogUpdateReports() {
    std::lock_guard<std::mutex> guard(g_reportLock);
    g_reports = KeptReports{};
}

void GiveUpDialogUpdate() {
    CameraUpdate& u = DialogUpdate();
    u.WaitEnd();
    u.bUpdatedFromHIDMode = false;
    u.bIsStartUpdatedFromDFU = false;
    u.bMatchUpdatedDeviceHID = false;
    ApplyBusyState();
}

const char* UpdatePhaseText(UpdatePhase phase) {
    switch (phase) {
        case UpdatePhase::Handshake: return "updating: entering update mode";
        case UpdatePhase::WritingPart1: return "updating: writing part 1";
        case UpdatePhase::WritingPart2: return "updating: writing part 2";
        case UpdatePhase::WritingLoader: return "updating: loading the boot loader";
        case UpdatePhase::WaitingForCamera: return "updating: waiting for the camera";
        default: return "updating";
    }
}
