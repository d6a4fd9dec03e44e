#include "scenario_file.h"

#include "camera_plug.h"
#include "sim_internal.h"
#include "update_cycle.h"

#include <cwchar>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>

namespace sim {

namespace {

using Fields = std::map<std::wstring, std::wstring>;

std::wstring Field(const Fields& f, const wchar_t* key, const wchar_t* fallback = L"") {
    auto it = f.find(key);
    return it == f.end() ? fallback : it->second;
}

std::vector<int> Ports(const std::wstring& text) {
    std::vector<int> ports;
    std::wstringstream in(text);
    std::wstring part;
    while (std::getline(in, part, L','))
        if (!part.empty()) ports.push_back(static_cast<int>(std::wcstol(part.c_str(), nullptr, 10)));
    if (ports.empty()) ports.push_back(1);
    return ports;
}

// Keeps the update cycles alive as long as the world (their plans refer to
// themselves weakly).
std::vector<std::shared_ptr<UpdateCycle>>& Cycles() {
    static auto* cycles = new std::vector<std::shared_ptr<UpdateCycle>>();
    return *cycles;
}

CameraPlace PlaceOf(const Fields& f) {
    CameraPlace place;
    place.serial = Field(f, L"serial");
    place.ports = Ports(Field(f, L"ports", L"1"));
    place.friendlyName = Field(f, L"name");
    return place;
}

int Runs(const Fields& f) {
    const int runs = static_cast<int>(std::wcstol(Field(f, L"runs", L"2").c_str(), nullptr, 10));
    return runs > 0 ? runs : 2;
}

// Sends the camera through update mode as `pid` with its serial; `runs`
// downloads, then back as makeFinal makes it (or gone).
template <typename Camera>
bool WithUpdateCycle(const Camera& camera, const Fields& f, USHORT pid, UpdateCycle::MakeFinal makeFinal) {
    auto cycle = std::make_shared<UpdateCycle>();
    cycle->runs = Runs(f);
    const UsbDeviceSpec updateSpec = WinUsbSpec(0x4A7E, pid, camera.spec.serial, camera.spec.ports);
    camera.model->SetUpdateModePlan(updateSpec, cycle->Start(updateSpec, camera.spec, std::move(makeFinal)));
    Cycles().push_back(cycle);
    return camera.device != 0;
}

bool PlugCamera(const Fields& f) {
    const std::wstring kind = Field(f, L"kind");
    const CameraPlace place = PlaceOf(f);
    if (kind == L"hid") return WithUpdateCycle(PlugHidCamera(place), f, 0xDF00, HidCameraCarryingImage);
    if (kind == L"stereo") return WithUpdateCycle(PlugStereoCamera(place), f, 0xDF00, HidCameraCarryingImage);
    if (kind == L"tessa") return WithUpdateCycle(PlugTessaCamera(place), f, 0xDF01, nullptr);
    if (kind == L"cx3") return PlugCx3Camera(place).device != 0;
    if (kind == L"r7") return PlugKivoR7Camera(place).device != 0;
    if (kind == L"v9") return PlugKivoV9Camera(place).device != 0;
    if (kind == L"sunplus") return PlugSunplusCamera(place).device != 0;
    return false;
}

bool PlugUpdateModeDevice(const Fields& f) {
    const std::wstring pid = Field(f, L"pid", L"DF00");
    const USHORT p = static_cast<USHORT>(std::wcstoul(pid.c_str(), nullptr, 16));
    if (p != 0xDF00 && p != 0xDF01) return false;
    auto model = std::make_shared<DfuDeviceModel>(std::make_shared<DfuFlash>());
    return Plug(WinUsbSpec(0x4A7E, p, Field(f, L"serial"), Ports(Field(f, L"ports", L"1"))), model) != 0;
}

bool AnswerMessageBox(const Fields& f) {
    static const std::map<std::wstring, int> answers = {
        {L"ok", IDOK}, {L"cancel", IDCANCEL}, {L"yes", IDYES}, {L"no", IDNO}};
    auto it = answers.find(Field(f, L"answer"));
    if (it == answers.end()) return false;
    QueueMessageBoxAnswer(it->second);
    return true;
}

bool Statement(const std::wstring& line) {
    std::wstringstream in(line);
    std::wstring verb, token;
    in >> verb;
    Fields fields;
    while (in >> token) {
        const size_t eq = token.find(L'=');
        if (eq == std::wstring::npos || eq == 0) return false;
        fields[token.substr(0, eq)] = token.substr(eq + 1);
    }
    if (verb == L"camera") return PlugCamera(fields);
    if (verb == L"update-mode-device") return PlugUpdateModeDevice(fields);
    if (verb == L"open-file") {
        const std::wstring path = Field(fields, L"path");
        if (path.empty()) return false;
        QueueOpenFileAnswer(path);
        return true;
    }
    if (verb == L"message-box") return AnswerMessageBox(fields);
    return false;
}

}  // namespace

std::vector<std::wstring> LoadScenario(const std::wstring& text) {
    std::vector<std::wstring> rejected;
    std::wstringstream in(text);
    std::wstring line;
    while (std::getline(in, line)) {
        const size_t hash = line.find(L'#');
        if (hash != std::wstring::npos) line.erase(hash);
        while (!line.empty() && (line.back() == L'\r' || line.back() == L' ' || line.back() == L'\t')) line.pop_back();
        if (line.find_first_not_of(L" \t") == std::wstring::npos) continue;
        if (!Statement(line)) {
            rejected.push_back(line);
            simos::OutputDebugStringW((L"scenario: not understood: " + line + L"\r\n").c_str());
        }
    }
    return rejected;
}

void LoadScenarioFromEnvironment() {
    wchar_t path[MAX_PATH];
    const DWORD n = ::GetEnvironmentVariableW(L"CORVANE_SIM_SCENARIO", path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return;
    HANDLE file = ::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        simos::OutputDebugStringW((std::wstring(L"scenario: cannot open ") + path + L"\r\n").c_str());
        return;
    }
    std::string bytes;
    char buf[4096];
    DWORD got = 0;
    while (::ReadFile(file, buf, sizeof buf, &got, nullptr) && got > 0 && bytes.size() < (1u << 20))
        bytes.append(buf, got);
    ::CloseHandle(file);
    const int wide = ::MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    std::wstring text(static_cast<size_t>(wide > 0 ? wide : 0), L'\0');
    if (wide > 0)
        ::MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), &text[0], wide);
    LoadScenario(text);
}

}  // namespace sim
