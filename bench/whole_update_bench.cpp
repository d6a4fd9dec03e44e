// A whole update of a HID camera through the real dialog at real time (time
// scale 1): a 1 MiB two-part image, the simulated devices answering at once.
// Prints the time from F/W UPDATE to the success box against the floor: the
// fixed waits of the updater (the 1 s pause of the update start, the 2 s wait
// of each update-mode arrival, 20 ms after each status reply, 50 ms after the
// erase) and the re-enumeration delays of the simulated devices.
#include <windows.h>

#include <cstdio>

#include "app_state.h"
#include "dialog_harness.h"
#include "engine_harness.h"
#include "image_format.h"
#include "resource.h"
#include "scenario_worlds.h"

int main() {
    DialogHarness h;
    sim::SetTimeScale(1.0);
    CameraUpdateWorld world;
    world.Plug(L"SN12345678AB");
    h.Open();
    h.Select(0);

    const auto part1 = Pattern(512 * 1024, 1), part2 = Pattern(512 * 1024, 2);
    sim::QueueOpenFileAnswer(WriteTempFile(TwoPartFile(2, part1, part2)));
    h.Click(IDC_BTN_BROWSE);
    AnswerWarningWithOk();

    const wchar_t success[] =
        L"Firmware Downloaded Successfully!\r\nDonot Reset the Device.\r\nDevice will boot automatically after "
        L"completing firmware update!";
    LARGE_INTEGER f, t0, t1;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&t0);
    h.Click(IDC_BTN_FW_UPDATE);
    const bool done = h.WaitFor([&] { return HasBox(success) || HasBox(L"Firmware Download Failed!"); }, 300000);
    QueryPerformanceCounter(&t1);
    if (!done || !HasBox(success) || world.flash->image1 != part1 || world.flash->image2 != part2) {
        std::printf("the update did not succeed\n");
        return 1;
    }
    const double measured = static_cast<double>(t1.QuadPart - t0.QuadPart) / static_cast<double>(f.QuadPart);
    const sim::HidCameraKnobs camera;
    const sim::DfuKnobs device;
    const uint32_t blocks1 = fwimage::BlockCount(static_cast<uint32_t>(part1.size()));
    const uint32_t blocks2 = fwimage::BlockCount(static_cast<uint32_t>(part2.size()));
    const double floor = 1.0                                               // pause of the update start
                         + (camera.replyDelayMs + camera.leaveMs + camera.arriveMs) / 1000.0  // camera to update mode
                         + 2.0 + (blocks1 + 2) * 0.020 + 0.050             // arrival wait, run 1, erase
                         + (device.restartDelayMs + device.reappearDelayMs) / 1000.0  // restart
                         + 2.0 + (blocks2 + 2) * 0.020;                    // arrival wait, run 2
    std::printf("whole update, 1 MiB two-part image: measured %.3f s  floor %.3f s  ratio %.4f\n", measured, floor,
                measured / floor);
    return 0;
}
