// A whole update of a HID camera through corvane-fw.exe (the simulated
// build) at real time (time scale 1): the same 1 MiB two-part image and the
// same floor as the dialog's whole update (whole_update_bench), measured
// from the update's start to its success report by the program's own
// diagnostic lines, so that the program's start and the version reads
// around the update are not counted.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "camera_hid.h"
#include "dfu_device.h"
#include "engine_harness.h"
#include "image_format.h"

namespace {

std::string ReadText(const std::wstring& path) {
    HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    if (f == INVALID_HANDLE_VALUE) return {};
    std::string text;
    char buf[4096];
    DWORD n = 0;
    while (ReadFile(f, buf, sizeof buf, &n, nullptr) && n > 0) text.append(buf, n);
    CloseHandle(f);
    return text;
}

// The time of the diagnostic line holding `part`: "... at 123 ms".
bool TimeOf(const std::string& log, const std::string& part, double* ms) {
    const size_t at = log.find(part);
    if (at == std::string::npos) return false;
    *ms = std::atof(log.c_str() + at + part.size());
    return true;
}

bool WriteFileBytes(const std::wstring& path, const std::vector<uint8_t>& bytes) {
    HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) return false;
    DWORD n = 0;
    const bool ok = WriteFile(f, bytes.data(), static_cast<DWORD>(bytes.size()), &n, nullptr) && n == bytes.size();
    CloseHandle(f);
    return ok;
}

}  // namespace

int main() {
    wchar_t temp[MAX_PATH] = L"";
    GetTempPathW(MAX_PATH, temp);
    const std::wstring folder = std::wstring(temp) + L"corvane-console-bench";
    CreateDirectoryW(folder.c_str(), nullptr);
    const std::wstring firmware = folder + L"\\Corvane_RX20_fw.img", world = folder + L"\\world.txt",
                       log = folder + L"\\debug.log";
    const auto part1 = Pattern(512 * 1024, 1), part2 = Pattern(512 * 1024, 2);
    const auto image = TwoPartFile(2, part1, part2);
    const std::string text = "camera kind=hid serial=SN12345678AB name=Corvane_RX20 runs=2\n";
    if (!WriteFileBytes(firmware, image) || !WriteFileBytes(world, std::vector<uint8_t>(text.begin(), text.end())))
        return 1;
    DeleteFileW(log.c_str());
    SetEnvironmentVariableW(L"CORVANE_SIM_SCENARIO", world.c_str());
    SetEnvironmentVariableW(L"CORVANE_SIM_TIME_SCALE", L"1");
    SetEnvironmentVariableW(L"CORVANE_SIM_DEBUGLOG", log.c_str());
    wchar_t self[MAX_PATH] = L"";
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring programFolder = self;
    programFolder.resize(programFolder.find_last_of(L'\\'));
    const std::wstring exe = programFolder + L"\\corvane-fw.exe";
    std::wstring command = L"\"" + exe + L"\" update \"" + firmware + L"\"";
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(exe.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, programFolder.c_str(), &si,
                        &pi))
        return 1;
    if (WaitForSingleObject(pi.hProcess, 600000) != WAIT_OBJECT_0) {
        TerminateProcess(pi.hProcess, 99);
        std::printf("corvane-fw did not end\n");
        return 1;
    }
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    const std::string logText = ReadText(log);
    double start = 0, reported = 0;
    if (code != 0 || !TimeOf(logText, "corvane-fw :: updating at ", &start) ||
        !TimeOf(logText, "corvane-fw :: update report 0 at ", &reported)) {
        std::printf("the update did not succeed (exit code %lu)\n", code);
        return 1;
    }
    const double measured = (reported - start) / 1000.0;
    const sim::HidCameraKnobs camera;
    const sim::DfuKnobs device;
    const uint32_t blocks1 = fwimage::BlockCount(static_cast<uint32_t>(part1.size()));
    const uint32_t blocks2 = fwimage::BlockCount(static_cast<uint32_t>(part2.size()));
    const double floor = 1.0                                               // pause of the update start
                         + (camera.replyDelayMs + camera.leaveMs + camera.arriveMs) / 1000.0  // camera to update mode
                         + 2.0 + (blocks1 + 2) * 0.020 + 0.050             // arrival wait, run 1, erase
                         + (device.restartDelayMs + device.reappearDelayMs) / 1000.0  // restart
                         + 2.0 + (blocks2 + 2) * 0.020;                    // arrival wait, run 2
    std::printf("console update (corvane-fw), 1 MiB two-part image: measured %.3f s  floor %.3f s  ratio %.4f\n",
                measured, floor, measured / floor);
    return 0;
}
