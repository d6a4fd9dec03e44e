// Cameras per hour in the station: the simulated Corvane_FW_Updater.exe at
// real time (time scale 1) started as a station against HID cameras that are
// all connected at the start, each taking a 1 MiB two-part image, against
// the floor: for each camera the updater's fixed waits (the 1 s pause of the
// update start, the 2 s wait of each USB-device arrival: the update-mode
// device twice and the camera back in normal mode), the protocol's
// waits (20 ms after each status reply, 50 ms after the erase) and the
// simulated devices' re-enumeration (leaving and arriving at each of the
// three restarts of its trip). Measured from the station taking the first
// camera to the last camera's result (the station's diagnostic lines carry
// the times), so the program's start and end are not counted.
//
// With /parallel above 1 the cameras are updated at once, each by a worker
// process of its own; the floor stays that of one camera after another, so
// the ratio shows the gain. The peak memory is that of the station and its
// workers together: their private memory, summed every 100 ms.
//
//   station_bench [cameras] [parallel]   (default 3 cameras, /parallel 1)
#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <algorithm>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine_harness.h"
#include "image_format.h"

namespace {

constexpr int kLeaveMs = 100, kArriveMs = 500;

bool WriteBytes(const std::wstring& path, const std::string& bytes) {
    HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) return false;
    DWORD n = 0;
    const bool ok = WriteFile(f, bytes.data(), static_cast<DWORD>(bytes.size()), &n, nullptr) && n == bytes.size();
    CloseHandle(f);
    return ok;
}

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

// The time of the first (or last) diagnostic line holding `part`: "... at 123 ms".
bool TimeOf(const std::string& log, const std::string& part, bool last, double* ms) {
    const size_t at = last ? log.rfind(part) : log.find(part);
    if (at == std::string::npos) return false;
    const size_t t = log.find(" at ", at);
    if (t == std::string::npos) return false;
    *ms = std::atof(log.c_str() + t + 4);
    return true;
}

// The private memory of a process and of the processes it started.
SIZE_T PrivateBytesOf(DWORD root) {
    SIZE_T total = 0;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return 0;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (entry.th32ProcessID != root && entry.th32ParentProcessID != root) continue;
        HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, entry.th32ProcessID);
        PROCESS_MEMORY_COUNTERS counters{};
        if (process != nullptr && GetProcessMemoryInfo(process, &counters, sizeof(counters))) total += counters.PagefileUsage;
        if (process != nullptr) CloseHandle(process);
    }
    CloseHandle(snapshot);
    return total;
}

size_t Count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = 0; (at = text.find(part, at)) != std::string::npos; at += part.size()) ++n;
    return n;
}

}  // namespace

int main(int argc, char** argv) {
    const int cameras = argc > 1 ? std::atoi(argv[1]) : 3;
    const int parallel = argc > 2 ? std::atoi(argv[2]) : 1;
    if (cameras < 1 || cameras > 9 || parallel < 1 || parallel > 16) return 2;
    wchar_t temp[MAX_PATH] = L"";
    GetTempPathW(MAX_PATH, temp);
    const std::wstring folder = std::wstring(temp) + L"corvane-station-bench";
    CreateDirectoryW(folder.c_str(), nullptr);
    const std::wstring firmware = folder + L"\\Corvane_RX20_fw.img", results = folder + L"\\results.csv",
                       world = folder + L"\\world.txt";
    DeleteFileW(results.c_str());

    const auto part1 = Pattern(512 * 1024, 1), part2 = Pattern(512 * 1024, 2);
    const auto image = TwoPartFile(2, part1, part2);
    std::string text;
    for (int i = 0; i < cameras; ++i) {
        char line[256];
        std::snprintf(line, sizeof line,
                      "camera kind=hid serial=SN0000000%03d name=Corvane_RX20 ports=%d runs=2 leave-ms=%d "
                      "arrive-ms=%d\n",
                      i + 1, i + 1, kLeaveMs, kArriveMs);
        text += line;
    }
    if (!WriteBytes(firmware, std::string(image.begin(), image.end())) || !WriteBytes(world, text)) return 1;

    SetEnvironmentVariableW(L"CORVANE_SIM_SCENARIO", world.c_str());
    SetEnvironmentVariableW(L"CORVANE_SIM_TIME_SCALE", L"1");
    const std::wstring log = folder + L"\\debug.log";
    DeleteFileW(log.c_str());
    SetEnvironmentVariableW(L"CORVANE_SIM_DEBUGLOG", log.c_str());
    wchar_t self[MAX_PATH] = L"";
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring programFolder = self;
    programFolder.resize(programFolder.find_last_of(L'\\'));
    const std::wstring exe = programFolder + L"\\Corvane_FW_Updater.exe";
    std::wstring command = L"\"" + exe + L"\" /station \"" + firmware + L"\" /results \"" + results +
                           L"\" /count " + std::to_wstring(cameras) + L" /parallel " + std::to_wstring(parallel);
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(exe.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, programFolder.c_str(), &si,
                        &pi))
        return 1;
    SIZE_T peakBytes = 0;
    const DWORD begun = GetTickCount();
    while (WaitForSingleObject(pi.hProcess, 100) == WAIT_TIMEOUT && GetTickCount() - begun < 600000)
        peakBytes = std::max(peakBytes, PrivateBytesOf(pi.dwProcessId));
    if (WaitForSingleObject(pi.hProcess, 0) != WAIT_OBJECT_0) {
        TerminateProcess(pi.hProcess, 99);
        std::printf("the station did not end\n");
        return 1;
    }
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    const std::string csv = ReadText(results);
    if (code != 0 || Count(csv, ",passed,") != static_cast<size_t>(cameras)) {
        std::printf("the station did not pass every camera (exit code %lu)\n%s", code, csv.c_str());
        return 1;
    }
    const std::string logText = ReadText(log);
    double first = 0, last = 0;
    if (!TimeOf(logText, "Station :: takes", false, &first) || !TimeOf(logText, "Station :: passed at", true, &last)) {
        std::printf("the station's times are not in its diagnostic log\n");
        return 1;
    }
    const double measured = (last - first) / 1000.0;
    const uint32_t blocks1 = fwimage::BlockCount(static_cast<uint32_t>(part1.size()));
    const uint32_t blocks2 = fwimage::BlockCount(static_cast<uint32_t>(part2.size()));
    const double restart = (kLeaveMs + kArriveMs) / 1000.0;
    const double perCamera = 1.0                                  // pause of the update start
                             + restart                            // the camera to update mode
                             + 2.0 + (blocks1 + 2) * 0.020 + 0.050  // arrival wait, run 1, erase
                             + restart                            // restart between the parts
                             + 2.0 + (blocks2 + 2) * 0.020        // arrival wait, run 2
                             + restart + 2.0;                     // back in normal mode, arrival wait
    const double floor = perCamera * cameras;
    char peak[96] = "peak memory not reported";
    if (peakBytes != 0)
        std::snprintf(peak, sizeof peak, "peak memory %.1f MiB (bound %.1f MiB)",
                      static_cast<double>(peakBytes) / (1 << 20),
                      (2.0 * static_cast<double>(image.size()) * cameras + 16.0 * (1 << 20)) / (1 << 20));
    std::printf("station, %d HID cameras, /parallel %d, 1 MiB two-part images: %.1f cameras/hour (%.3f s), floor of "
                "one after another %.1f cameras/hour (%.3f s), ratio %.4f, %s\n",
                cameras, parallel, cameras * 3600.0 / measured, measured, cameras * 3600.0 / floor, floor,
                measured / floor, peak);
    return 0;
}
