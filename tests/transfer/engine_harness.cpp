#include "engine_harness.h"

#include <commctrl.h>
#include <gtest/gtest.h>

#include <cstdio>

#include "app_state.h"
#include "image_file.h"
#include "os_api.h"
#include "update_engine.h"
#include "usb_requests.h"
#include "firmware_browse.h"
#include "update_display.h"

namespace {

EngineHarness* g_harness = nullptr;

struct ControlDef {
    int id;
    const wchar_t* cls;
    DWORD style;
};

const ControlDef kControls[] = {
    {1000, L"EDIT", ES_READONLY}, {1001, L"STATIC", 0},       {1003, PROGRESS_CLASSW, PBS_SMOOTH},
    {1004, L"STATIC", 0},         {1005, L"BUTTON", 0},       {1006, L"BUTTON", 0},
    {1007, L"STATIC", 0},         {1010, L"BUTTON", 0},       {1018, L"STATIC", 0},
    {1024, L"BUTTON", 0},
};

std::wstring FindUpdateModePath() {
    const OsApi& os = Os();
    HDEVINFO set = os.SetupDiGetClassDevsW(&sim::kGuidUsbDevice, nullptr, nullptr,
                                           DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    std::wstring found;
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof(data);
    for (DWORD i = 0; os.SetupDiEnumDeviceInterfaces(set, nullptr, &sim::kGuidUsbDevice, i, &data); ++i) {
        DWORD size = 0;
        os.SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &size, nullptr);
        std::vector<BYTE> buffer(size);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        if (!os.SetupDiGetDeviceInterfaceDetailW(set, &data, detail, size, nullptr, nullptr)) continue;
        std::wstring path = detail->DevicePath;
        if (path.find(L"pid_df0") != std::wstring::npos) {
            found = path;
            break;
        }
    }
    os.SetupDiDestroyDeviceInfoList(set);
    return found;
}

}  // namespace

LRESULT CALLBACK EngineHarness::WndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (g_harness != nullptr && (msg == WM_FW_PROGRESS_RANGE || msg == WM_FW_PROGRESS_STEP ||
                                 msg == WM_FW_UPDATE_DONE || msg == WM_FW_PROGRESS_PERCENT)) {
        g_harness->progress_.push_back({msg, wParam});
        return 0;
    }
    return DefWindowProcW(hwnd, msg, wParam, lParam);
}

EngineHarness::EngineHarness() {
    sim::Reset();  // a fresh world, even when several tests share a process
    g_harness = this;
    INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&icc);
    WNDCLASSW wc{};
    wc.lpfnWndProc = WndProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"EngineHarnessDialog";
    RegisterClassW(&wc);
    dialog = CreateWindowExW(0, wc.lpszClassName, L"harness", WS_OVERLAPPEDWINDOW, 0, 0, 400, 300, nullptr,
                             nullptr, wc.hInstance, nullptr);
    for (const ControlDef& c : kControls) {
        CreateWindowExW(0, c.cls, L"", WS_CHILD | WS_VISIBLE | c.style, 0, 0, 50, 20, dialog,
                        reinterpret_cast<HMENU>(static_cast<INT_PTR>(c.id)), wc.hInstance, nullptr);
    }
    g_hMainDlg = dialog;
    DialogUpdate().SetView(&DialogView());
    sim::SetTimeScale(0.001);
}

EngineHarness::~EngineHarness() {
    ReleaseUpdateModeDevice(DialogUpdate());
    ReleaseImageSections(DialogUpdate());
    DestroyWindow(dialog);
    g_harness = nullptr;
}

void EngineHarness::PlugDevice(const sim::DfuKnobs& knobs, USHORT pid) {
    flash = std::make_shared<sim::DfuFlash>();
    spec = sim::WinUsbSpec(0x4A7E, pid, L"SN12345678AB", {3, 2});
    // Every restart brings the same device back in update mode; keep each
    // appearance's model so its requests can be read.
    plan_ = [this](const sim::DfuFlash&, bool, sim::UsbDeviceSpec* next, std::shared_ptr<sim::DeviceModel>* out) {
        *next = spec;
        auto m = std::make_shared<sim::DfuDeviceModel>(flash, laterKnobs);
        m->SetRestartPlan(plan_);
        allModels.push_back(m);
        model = m;
        *out = m;
        return true;
    };
    PlugModel(knobs);
}

void EngineHarness::PlugModel(const sim::DfuKnobs& knobs) {
    model = std::make_shared<sim::DfuDeviceModel>(flash, knobs);
    allModels.push_back(model);
    model->SetRestartPlan(plan_);
    device = sim::Plug(spec, model);
    ASSERT_TRUE(sim::WaitForIdle());
    const std::wstring path = FindUpdateModePath();
    ASSERT_FALSE(path.empty());
    ASSERT_EQ(1, InitializeDevice(DialogUpdate(), path.c_str()));
}

void EngineHarness::ReopenAfterRestart() {
    ReleaseUpdateModeDevice(DialogUpdate());
    ASSERT_TRUE(sim::WaitForIdle());
    const std::wstring path = FindUpdateModePath();
    ASSERT_FALSE(path.empty()) << "the device did not come back";
    ASSERT_EQ(1, InitializeDevice(DialogUpdate(), path.c_str()));
}

void EngineHarness::Replug(const sim::DfuKnobs& knobs) {
    ReleaseUpdateModeDevice(DialogUpdate());
    for (sim::DeviceId d : sim::PresentDevices())
        if (sim::SpecOf(d).pid == spec.pid) sim::Unplug(d);
    ASSERT_TRUE(sim::WaitForIdle());
    PlugModel(knobs);
}

void EngineHarness::LoadFile(const std::vector<uint8_t>& file) {
    ASSERT_EQ(1, LoadFirmwareImage(DialogUpdate(), file.data(), static_cast<uint32_t>(file.size())));
}

DWORD EngineHarness::RunUpdateThread() {
    HANDLE thread = CreateThread(nullptr, 0, UpdateFirmware, &DialogUpdate(), 0, nullptr);
    const DWORD start = GetTickCount();
    for (;;) {
        const DWORD r = MsgWaitForMultipleObjects(1, &thread, FALSE, 1000, QS_ALLINPUT);
        if (r == WAIT_OBJECT_0) break;
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        if (GetTickCount() - start > 60000) {
            ADD_FAILURE() << "the update thread did not end within 60 s";
            TerminateThread(thread, 99);
            break;
        }
    }
    DWORD code = 0;
    GetExitCodeThread(thread, &code);
    CloseHandle(thread);
    return code;
}

std::vector<sim::DfuRequestRecord> EngineHarness::Requests() const {
    std::vector<sim::DfuRequestRecord> all;
    for (const auto& m : allModels) {
        const auto r = m->Requests();
        all.insert(all.end(), r.begin(), r.end());
    }
    return all;
}

std::vector<uint16_t> EngineHarness::DataRequestLengths(uint8_t request) const {
    std::vector<uint16_t> out;
    for (const sim::DfuRequestRecord& r : Requests())
        if (r.requestType == 0x40 && r.request == request && r.length > 0) out.push_back(r.length);
    return out;
}

std::vector<std::wstring> EngineHarness::BoxTexts() const {
    std::vector<std::wstring> texts;
    for (const sim::MessageBoxCall& c : sim::MessageBoxes()) texts.push_back(c.text);
    return texts;
}

bool EngineHarness::ControlVisible(int id) const { return IsWindowVisible(GetDlgItem(dialog, id)) != FALSE; }
bool EngineHarness::ControlEnabled(int id) const { return IsWindowEnabled(GetDlgItem(dialog, id)) != FALSE; }
std::wstring EngineHarness::ControlText(int id) const {
    wchar_t text[300] = L"";
    GetDlgItemTextW(dialog, id, text, 300);
    return text;
}

std::wstring WriteTempFile(const std::vector<uint8_t>& bytes) {
    wchar_t dir[MAX_PATH], path[MAX_PATH];
    GetTempPathW(MAX_PATH, dir);
    GetTempFileNameW(dir, L"fw", 0, path);
    FILE* f = _wfopen(path, L"wb");
    if (f == nullptr) return L"";
    if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
    return path;
}

int BrowseFirmwareFile(const std::vector<uint8_t>& file) {
    const std::wstring path = WriteTempFile(file);
    sim::QueueOpenFileAnswer(path);
    const int result = SelectFirmwareFile();
    DeleteFileW(path.c_str());
    return result;
}

std::vector<uint8_t> Pattern(size_t n, uint8_t seed) {
    // Every byte value, and the last two 0xFF: an image may end as the
    // host's pad byte and erased flash look, and every byte of it counts.
    std::vector<uint8_t> b(n);
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        b[i] = static_cast<uint8_t>(x >> 16);
    }
    for (size_t i = n > 2 ? n - 2 : 0; i < n; ++i) b[i] = 0xFF;
    return b;
}

std::vector<uint8_t> AsSent(const std::vector<uint8_t>& part2) {
    std::vector<uint8_t> sent = part2;
    const size_t last = part2.size() % 1024;
    if (last != 0 && last % 64 == 0) sent.push_back(0xFF);
    return sent;
}

std::vector<uint8_t> Le32(uint32_t v) {
    return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
            static_cast<uint8_t>(v >> 24)};
}

std::vector<uint8_t> Cat(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

std::vector<uint8_t> Ascii(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

std::vector<uint8_t> TwoPartFile(uint8_t type, const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    return Cat({Ascii("hdr"), {type}, Ascii("orviIMG"), {0}, Le32(static_cast<uint32_t>(a.size())), a,
                Ascii("orviIMG"), {0}, Le32(static_cast<uint32_t>(b.size())), b});
}

std::vector<uint8_t> ShortSection(const std::string& marker, const std::vector<uint8_t>& data) {
    return Cat({Ascii(marker), Le32(static_cast<uint32_t>(data.size())), data});
}

std::vector<uint8_t> McuLines(size_t count, size_t lineLength) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i < count; ++i) {
        out.push_back(':');
        for (size_t j = 2; j < lineLength; ++j) out.push_back(static_cast<uint8_t>('A' + (i + j) % 26));
        out.push_back('\n');
    }
    return out;
}
