#include "boot_test_support.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "app_state.h"
#include "engine_harness.h"

namespace {

void Append(Bytes* out, const Bytes& more) { out->insert(out->end(), more.begin(), more.end()); }

}  // namespace

Bytes BootSectionData(const std::vector<BootSection>& sections, size_t i) {
    return Pattern(4u * sections[i].words, static_cast<uint8_t>(10 + i));
}

Bytes BootImage(const std::vector<BootSection>& sections, uint32_t entry) {
    Bytes out{'C', 'Y', 0x1C, 0xB0};
    for (size_t i = 0; i < sections.size(); ++i) {
        Append(&out, Le32(sections[i].words));
        Append(&out, Le32(sections[i].address));
        Append(&out, BootSectionData(sections, i));
    }
    Append(&out, Le32(0));
    Append(&out, Le32(entry));
    return out;
}

void SetLoaderImage(const Bytes& bytes) {
    delete[] DialogUpdate().pLoaderFileData;
    DialogUpdate().pLoaderFileData = new uint8_t[bytes.empty() ? 1 : bytes.size()];
    if (!bytes.empty()) memcpy(DialogUpdate().pLoaderFileData, bytes.data(), bytes.size());
    DialogUpdate().dwLoaderFileSize = static_cast<uint32_t>(bytes.size());
}

std::wstring UsbPath(sim::DeviceId device) {
    const auto paths = sim::InterfacePaths(device, sim::kGuidUsbDevice);
    return paths.empty() ? L"" : paths.front();
}

std::wstring HidPath(sim::DeviceId device) {
    const auto paths = sim::InterfacePaths(device, sim::kGuidHid);
    return paths.empty() ? L"" : paths.front();
}

std::vector<std::wstring> Lines() {
    std::vector<std::wstring> out;
    for (const sim::DebugLine& l : sim::DebugLines()) out.push_back(l.text);
    return out;
}

int LineIndex(const std::wstring& line) {
    const auto all = Lines();
    for (size_t i = 0; i < all.size(); ++i)
        if (all[i] == line) return static_cast<int>(i);
    return -1;
}

int LineCount(const std::wstring& line) {
    int n = 0;
    for (const auto& l : Lines()) n += l == line ? 1 : 0;
    return n;
}

std::wstring ProgramFolderWith(const std::wstring& name, const Bytes& bytes) {
    wchar_t temp[MAX_PATH], dir[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    GetTempFileNameW(temp, L"ldr", 0, dir);
    DeleteFileW(dir);
    CreateDirectoryW(dir, nullptr);
    std::wstring folder = std::wstring(dir) + L"\\";
    FILE* f = _wfopen((folder + name).c_str(), L"wb");
    if (f != nullptr) {
        if (!bytes.empty()) fwrite(bytes.data(), 1, bytes.size(), f);
        fclose(f);
    }
    const std::wstring exe = folder + L"Corvane_FW_Updater.exe";
    wcscpy(g_szExePath, exe.c_str());
    g_nExeDirLength = static_cast<int>(folder.size()) - 1;
    return folder;
}

bool WaitThread(HANDLE thread, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    for (;;) {
        const DWORD r = MsgWaitForMultipleObjects(1, &thread, FALSE, 200, QS_ALLINPUT);
        if (r == WAIT_OBJECT_0) return true;
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        if (GetTickCount() - start > timeoutMs) return false;
    }
}

DWORD RunOnThread(LPTHREAD_START_ROUTINE proc) {
    HANDLE thread = CreateThread(nullptr, 0, proc, &DialogUpdate(), 0, nullptr);
    if (!WaitThread(thread)) {
        ADD_FAILURE() << "the thread did not end within 60 s";
        TerminateThread(thread, 99);
    }
    DWORD code = 0;
    GetExitCodeThread(thread, &code);
    CloseHandle(thread);
    return code;
}
