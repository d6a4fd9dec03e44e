// Whole updates against a simulated update-mode device that answers at once,
// in real time (time scale 1), to see how close an update comes to the waits
// the protocol mandates, and how much memory it takes beside the image.
//
//   update_bench plain|twopart [KiB]     (one kind per process: the peak
//                                        memory counter is the process's)
//
// And the cost of wire traces: the same work with CORVANE_TRACE unset and
// set, each in a process of its own (tracing is decided at the first Os()
// call), the control transfers alone and a whole update.
//
//   update_bench exchanges [pairs]       data block and status request pairs
//                                        straight through the OS table
//   update_bench trace [KiB]             both, with tracing off and on
#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <string>

#include "app_state.h"
#include "engine_harness.h"
#include "image_file.h"
#include "image_format.h"
#include "os_api.h"
#include "os_trace.h"
#include "usb_requests.h"

namespace {

double Seconds(LARGE_INTEGER a, LARGE_INTEGER b) {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return static_cast<double>(b.QuadPart - a.QuadPart) / static_cast<double>(f.QuadPart);
}

PROCESS_MEMORY_COUNTERS Memory() {
    PROCESS_MEMORY_COUNTERS pmc{};
    pmc.cb = sizeof(pmc);
    GetProcessMemoryInfo(GetCurrentProcess(), &pmc, sizeof(pmc));
    return pmc;
}

// The protocol's own waits for one run writing `blocks` blocks: the first
// status request, one status request after each block (20 ms after each
// reply), the status after the zero-length request, and the erase (50 ms) of
// a combined image.
double FloorSeconds(uint32_t blocks, bool erase) { return (blocks + 2) * 0.020 + (erase ? 0.050 : 0.0); }

// extra: the peak of committed memory above what the process held before the
// file was read (the benchmark's own copy of the image for the final check
// was already held then); during the update the simulated device's flash
// grows while the updater releases the sections it sent.
void Report(const char* name, double measured, double floor, size_t imageBytes, SIZE_T extra) {
    const double extraMiB = static_cast<double>(extra) / (1024.0 * 1024.0);
    std::printf("%-16s measured %7.3f s  floor %7.3f s  ratio %.4f  peak memory +%.2f MiB for a %.2f MiB image\n",
                name, measured, floor, measured / floor, extraMiB, imageBytes / (1024.0 * 1024.0));
}

// Writes the firmware file to disk and reads it the way Browse does, so the
// updater's memory is that of a real update (the whole file while it is cut,
// then the sections).
void LoadThroughBrowse(const std::vector<uint8_t>& file) {
    if (BrowseFirmwareFile(file) != 1) {
        std::printf("the firmware file could not be read\n");
        std::exit(1);
    }
}

// Pairs of a 1024-byte data block and a status request sent straight through
// the table to a device that answers at once: the table's own cost per
// exchange, without the protocol's waits.
int Exchanges(size_t pairs) {
    EngineHarness h;
    h.PlugDevice();
    const OsApi& os = Os();
    WINUSB_INTERFACE_HANDLE ifh = DialogUpdate().hWinUsbInterface.load();
    std::memset(DialogUpdate().byTransferBuffer, 0x5A, sizeof DialogUpdate().byTransferBuffer);
    WINUSB_SETUP_PACKET block = {0x40, DFU_REQ_DNLOAD, 1, 0, kTransferBlock};
    WINUSB_SETUP_PACKET status = {0xC0, DFU_REQ_GETSTATUS, 0, 0, 6};
    DfuStatus st{};
    LARGE_INTEGER t0, t1;
    QueryPerformanceCounter(&t0);
    for (size_t i = 0; i < pairs; ++i) {
        ULONG n = 0;
        if (!os.WinUsb_ControlTransfer(ifh, block, DialogUpdate().byTransferBuffer, kTransferBlock, &n, nullptr) ||
            !os.WinUsb_ControlTransfer(ifh, status, reinterpret_cast<PUCHAR>(&st), 6, &n, nullptr)) {
            std::printf("exchange %zu failed\n", i);
            return 1;
        }
    }
    QueryPerformanceCounter(&t1);
    std::printf("%-16s %zu exchanges  %.2f us each  (tracing %s)\n", "exchanges", 2 * pairs,
                Seconds(t0, t1) * 1e6 / static_cast<double>(2 * pairs), ostrace::Active() ? "on" : "off");
    return 0;
}

// Runs this program with `args`, CORVANE_TRACE naming `trace` (or unset), its
// output going where ours goes.
DWORD RunSelf(const std::wstring& args, const std::wstring& trace) {
    ::SetEnvironmentVariableW(L"CORVANE_TRACE", trace.empty() ? nullptr : trace.c_str());
    wchar_t exe[MAX_PATH];
    ::GetModuleFileNameW(nullptr, exe, MAX_PATH);
    std::wstring command = L"\"" + std::wstring(exe) + L"\" " + args;
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = ::GetStdHandle(STD_OUTPUT_HANDLE);
    si.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
    for (HANDLE h : {si.hStdInput, si.hStdOutput, si.hStdError}) {
        ::SetHandleInformation(h, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    }
    std::fflush(stdout);
    PROCESS_INFORMATION pi{};
    if (!::CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
        std::printf("cannot start %ls\n", command.c_str());
        return 1;
    }
    ::WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD code = 1;
    ::GetExitCodeProcess(pi.hProcess, &code);
    ::CloseHandle(pi.hThread);
    ::CloseHandle(pi.hProcess);
    return code;
}

int CompareTracing(size_t kib) {
    wchar_t dir[MAX_PATH], trace[MAX_PATH];
    ::GetTempPathW(MAX_PATH, dir);
    ::GetTempFileNameW(dir, L"trc", 0, trace);
    DWORD failed = 0;
    for (int round = 0; round < 3; ++round) {
        for (bool on : {false, true}) {
            std::printf("tracing %s: ", on ? "on " : "off");
            failed |= RunSelf(L"exchanges 5000", on ? trace : L"");
        }
    }
    for (bool on : {false, true}) {
        std::printf("tracing %s: ", on ? "on " : "off");
        failed |= RunSelf(L"plain " + std::to_wstring(kib), on ? trace : L"");
    }
    WIN32_FILE_ATTRIBUTE_DATA a{};
    ::GetFileAttributesExW(trace, GetFileExInfoStandard, &a);
    std::printf("trace written by the runs with tracing on: %.2f MiB\n",
                (static_cast<double>(a.nFileSizeHigh) * 4294967296.0 + a.nFileSizeLow) / (1024.0 * 1024.0));
    ::DeleteFileW(trace);
    return failed ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    const char* kind = argc > 1 ? argv[1] : "plain";
    if (std::strcmp(kind, "exchanges") == 0) return Exchanges(argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 5000);
    if (std::strcmp(kind, "trace") == 0) return CompareTracing(argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 256);
    const bool plain = std::strcmp(kind, "twopart") != 0;
    const size_t kib = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 1024;
    const size_t plainKiB = kib, twoPartKiB = kib;
    sim::SetTimeScale(1.0);

    if (plain) {
        EngineHarness h;
        sim::SetTimeScale(1.0);
        h.PlugDevice();
        const auto image = Pattern(plainKiB * 1024, 1);
        const SIZE_T before = Memory().PagefileUsage;
        LoadThroughBrowse(image);
        LARGE_INTEGER t0, t1;
        QueryPerformanceCounter(&t0);
        const DWORD ok = h.RunUpdateThread();
        QueryPerformanceCounter(&t1);
        if (ok != 1 || h.flash->image2 != image) {
            std::printf("plain update failed\n");
            return 1;
        }
        Report("plain image", Seconds(t0, t1),
               FloorSeconds(fwimage::BlockCount(static_cast<uint32_t>(image.size())), false), image.size(),
               Memory().PeakPagefileUsage - before);
    }
    else {
        EngineHarness h;
        sim::SetTimeScale(1.0);
        h.PlugDevice();
        const auto a = Pattern(twoPartKiB * 512, 2), b = Pattern(twoPartKiB * 512, 3);
        const SIZE_T before = Memory().PagefileUsage;
        LoadThroughBrowse(TwoPartFile(2, a, b));
        LARGE_INTEGER t0, t1, t2, t3;
        QueryPerformanceCounter(&t0);
        DWORD ok = h.RunUpdateThread();
        QueryPerformanceCounter(&t1);
        h.ReopenAfterRestart();  // the device's own restart is not the protocol's wait
        QueryPerformanceCounter(&t2);
        ok &= h.RunUpdateThread();
        QueryPerformanceCounter(&t3);
        if (ok != 1 || h.flash->image1 != a || h.flash->image2 != b) {
            std::printf("two-part update failed\n");
            return 1;
        }
        const double floor = FloorSeconds(fwimage::BlockCount(static_cast<uint32_t>(a.size())), true) +
                             FloorSeconds(fwimage::BlockCount(static_cast<uint32_t>(b.size())), false);
        Report("two-part image", Seconds(t0, t1) + Seconds(t2, t3), floor, a.size() + b.size(),
               Memory().PeakPagefileUsage - before);
    }
    return 0;
}
