// Whole updates against a simulated update-mode device that answers at once,
// in real time (time scale 1), to see how close an update comes to the waits
// the protocol mandates, and how much memory it takes beside the image.
//
//   update_bench plain|twopart [KiB]     (one kind per process: the peak
//                                        memory counter is the process's)
#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app_state.h"
#include "engine_harness.h"
#include "image_file.h"
#include "image_format.h"

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

}  // namespace

int main(int argc, char** argv) {
    const bool plain = argc < 2 || std::strcmp(argv[1], "twopart") != 0;
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
