// The updater's whole job against the embedded simulated camera, as an
// operator does it in the real main dialog: select the camera, read its
// version, choose a two-part firmware file, press F/W UPDATE and OK, and
// watch the update run through the camera's restarts to the end. Prints what
// the dialog shows at each stage, saves a screenshot of each stage, and
// writes the diagnostic log beside them.
//
//   operator_demo <folder for the screenshots and the log>
#include <windows.h>

#include <cstdio>
#include <string>

#include "app_state.h"
#include "dialog_harness.h"
#include "engine_harness.h"
#include "resource.h"
#include "scenario_worlds.h"

namespace {

std::string Narrow(const std::wstring& w) {
    std::string s;
    for (wchar_t c : w) s += c == L'\r' ? ' ' : (c < 128 ? static_cast<char>(c) : '?');
    return s;
}

struct Demo {
    DialogHarness& h;
    std::wstring folder;
    int shot = 0;
    size_t boxesSeen = 0;

    void Stage(const char* title) {
        std::printf("\n== %s\n", title);
        std::printf("   list: ");
        for (const auto& item : h.ListItems()) std::printf("[%s] ", Narrow(item).c_str());
        std::printf("\n   status: \"%s\"  activity: \"%s\"  progress bar: %d\n",
                    Narrow(h.Text(IDC_STATIC_STATUS)).c_str(),
                    h.Visible(IDC_STATIC_UPDATING) ? Narrow(h.Text(IDC_STATIC_UPDATING)).c_str() : "",
                    h.ProgressPosition());
        NewBoxes();
        wchar_t name[64];
        swprintf(name, 64, L"\\%d.bmp", ++shot);
        if (h.Screenshot(folder + name)) std::printf("   screenshot %d.bmp\n", shot);
    }

    void NewBoxes() {
        const auto boxes = sim::MessageBoxes();
        for (; boxesSeen < boxes.size(); ++boxesSeen)
            std::printf("   message box [%s]: %s\n", Narrow(boxes[boxesSeen].caption).c_str(),
                        Narrow(boxes[boxesSeen].text).c_str());
    }
};

}  // namespace

int main(int argc, char** argv) {
    wchar_t folder[MAX_PATH] = L".";
    if (argc > 1) MultiByteToWideChar(CP_UTF8, 0, argv[1], -1, folder, MAX_PATH);

    DialogHarness h;
    sim::SetTimeScale(0.05);
    CameraUpdateWorld world;
    world.Plug(L"SN12345678AB");
    h.Open();
    Demo demo{h, folder};
    demo.Stage("the updater starts with a HID camera connected (4A7E:C110, serial SN12345678AB)");

    h.Select(0);
    h.Click(IDC_BTN_READFW_VERSION);
    h.WaitFor([] { return HasBox(L"Firmware Version = 1.2.10.300\r\n"); });
    demo.Stage("READ F/W VERSION");

    std::vector<uint8_t> part2 = Pattern(48 * 1024, 9);
    const uint8_t newVersion[6] = {2, 3, 0, 0, 0, 7};
    std::copy(newVersion, newVersion + 6, part2.begin());
    const std::vector<uint8_t> part1 = Pattern(24 * 1024, 8);
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring file = std::wstring(temp) + L"Corvane_RX20_fw.img";
    {
        const auto bytes = TwoPartFile(2, part1, part2);
        FILE* f = _wfopen(file.c_str(), L"wb");
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
    }
    sim::QueueOpenFileAnswer(file);
    h.Click(IDC_BTN_BROWSE);
    demo.Stage("Browse: a two-part firmware file (24 KiB + 48 KiB, image type 2)");

    AnswerWarningWithOk();
    h.Click(IDC_BTN_FW_UPDATE);
    demo.Stage("F/W UPDATE and OK: the camera is told to enter its update mode");

    const wchar_t success[] =
        L"Firmware Downloaded Successfully!\r\nDonot Reset the Device.\r\nDevice will boot automatically after "
        L"completing firmware update!";
    bool shownHalf = false;
    h.WaitFor([&] {
        if (!shownHalf && h.ProgressPosition() >= 40) {
            shownHalf = true;
            demo.Stage("writing the image");
        }
        return HasBox(success) || HasBox(L"Firmware Download Failed!") || HasBox(L"USB Communication Failure!");
    }, 120000);
    h.Pump(100);
    demo.Stage("the update ends");

    h.WaitFor([&] {
        const auto items = h.ListItems();
        return items.size() == 1 && items[0].find(L"Corvane_RX20") == 0;
    }, 60000);
    h.Settle();
    h.Click(IDC_BTN_READFW_VERSION);
    h.WaitFor([] { return HasBox(L"Firmware Version = 2.3.0.7\r\n"); }, 20000);
    demo.Stage("the camera is back in normal mode and selected; READ F/W VERSION");

    const bool written = world.flash->image1 == part1 && world.flash->image2 == part2;
    std::printf("\n== the camera's flash %s the firmware file's sections\n", written ? "equals" : "DIFFERS FROM");

    const std::wstring logPath = std::wstring(folder) + L"\\diagnostics.log";
    FILE* log = _wfopen(logPath.c_str(), L"wb");
    if (log != nullptr) {
        for (const auto& line : sim::DebugLines()) std::fputs(Narrow(line.text).c_str(), log);
        std::fclose(log);
        std::printf("== diagnostic log: diagnostics.log (%u lines)\n", unsigned(sim::DebugLines().size()));
    }
    DeleteFileW(file.c_str());
    return written && HasBox(success) && HasBox(L"Firmware Version = 2.3.0.7\r\n") ? 0 : 1;
}
