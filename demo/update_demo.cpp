// The update engine's job against the embedded simulated camera in update
// mode: a two-part firmware file is written to disk, read the way Browse
// reads it, and written into the simulated device in two runs of the update
// thread, across the device's restart. Prints the progress the dialog would
// show, the diagnostic log, and whether the device's flash holds each section
// of the file as the host sent it.
#include <windows.h>

#include <cstdio>
#include <string>

#include "app_state.h"
#include "engine_harness.h"
#include "image_file.h"

namespace {

void Print(const std::wstring& w) {
    std::string s(w.begin(), w.end());
    std::fputs(s.c_str(), stdout);
}

void PrintProgress(const std::vector<ProgressEvent>& events, size_t from) {
    for (size_t i = from; i < events.size(); ++i) {
        const ProgressEvent& e = events[i];
        if (e.message == WM_FW_PROGRESS_RANGE) std::printf("  progress range: %u blocks\n", unsigned(e.value));
        if (e.message == WM_FW_PROGRESS_STEP) std::printf("  block %u written\n", unsigned(e.value));
        if (e.message == WM_FW_UPDATE_DONE) std::printf("  update done\n");
    }
}

}  // namespace

int main() {
    EngineHarness h;
    sim::SetTimeScale(0.05);
    std::printf("== a camera in update mode (4A7E:DF00, serial SN12345678AB) arrives\n");
    h.PlugDevice();

    const auto part1 = Pattern(3 * 1024 + 200, 1), part2 = Pattern(5 * 1024 + 64, 2);
    const auto file = TwoPartFile(2, part1, part2);
    std::printf("== the operator chooses a two-part firmware file of %u bytes\n", unsigned(file.size()));
    if (BrowseFirmwareFile(file) != 1) {
        std::printf("reading the firmware file failed\n");
        return 1;
    }
    std::printf("   image type %d, part 1: %u bytes, part 2: %u bytes\n", DialogUpdate().byImageType.load(),
                unsigned(DialogUpdate().dwImageSize1.load()), unsigned(DialogUpdate().dwImageSize2.load()));

    std::printf("== update thread, run 1\n");
    DWORD ok = h.RunUpdateThread();
    PrintProgress(h.Progress(), 0);
    const size_t seen = h.Progress().size();
    std::printf("== the device restarts and comes back\n");
    h.ReopenAfterRestart();
    std::printf("== update thread, run 2\n");
    ok &= h.RunUpdateThread();
    PrintProgress(h.Progress(), seen);

    std::printf("== message boxes\n");
    for (const auto& box : sim::MessageBoxes()) {
        Print(L"  [" + box.caption + L"] " + box.text + L"\n");
    }
    std::printf("== diagnostic log\n");
    for (const auto& line : sim::DebugLines()) Print(L"  " + line.text);
    std::printf("\n");

    // The host adds one pad byte to a last block that is a whole number of
    // 64-byte packets, and the device keeps everything it received.
    const auto sent2 = AsSent(part2);
    if (sent2.size() > part2.size())
        std::printf("   part 2's last block is %u bytes, a whole number of 64-byte packets: the host sent it with "
                    "one pad byte 0xFF behind it, and the flash keeps that byte\n",
                    unsigned(part2.size() % 1024));
    const bool same = h.flash->image1 == part1 && h.flash->image2 == sent2;
    std::printf("== device flash %s the firmware file's sections as the host sent them\n",
                same ? "holds" : "DIFFERS FROM");
    return ok == 1 && same ? 0 : 1;
}
