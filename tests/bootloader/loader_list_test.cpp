// The device-list rebuild that starts the boot-loader downloads: the flag
// that keeps a second download from starting is cleared on every ending, so
// a failed download or a boot loader that could not be bound never stops
// later rebuilds from listing the devices behind it.
#include <gtest/gtest.h>

#include <memory>

#include "KivoFWSW.h"
#include "app_state.h"
#include "boot_test_support.h"
#include "device_list.h"
#include "engine_harness.h"
#include "fx3_bootloader.h"
#include "nxp_rom.h"
#include "device_combo.h"

namespace {

struct ListWorld {
    HWND owner = nullptr;

    explicit ListWorld(double scale = 0.001) {
        sim::Reset();
        sim::SetTimeScale(scale);
        DialogUpdate().bLoaderDownloadActive = false;
        DialogUpdate().bLoaderThreadStarted = false;
        DialogUpdate().bBootLoaderStarted = false;
        DialogUpdate().hUpdateThread = nullptr;
        owner = CreateWindowExW(0, L"STATIC", L"owner", WS_OVERLAPPEDWINDOW, 0, 0, 300, 200, nullptr, nullptr,
                                GetModuleHandleW(nullptr), nullptr);
        g_hDeviceCombo = CreateWindowExW(0, L"COMBOBOX", L"", WS_CHILD | CBS_DROPDOWNLIST, 0, 0, 200, 200, owner,
                                         nullptr, GetModuleHandleW(nullptr), nullptr);
        g_nDeviceCount = 0;
    }
    ~ListWorld() {
        HANDLE t = DialogUpdate().hUpdateThread.exchange(nullptr);
        if (t != nullptr) {
            WaitThread(t);
            CloseHandle(t);
        }
        DeinitExtensionUnit();
        DestroyWindow(owner);
        g_hDeviceCombo = nullptr;
    }

    void Add(const wchar_t* vid, const wchar_t* pid, const std::wstring& path, const wchar_t* name = L"") {
        const int i = g_nDeviceCount;
        wcscpy(g_szVIDList[i], vid);
        wcscpy(g_szPIDList[i], pid);
        wcscpy(g_szDevicePathList[i], path.c_str());
        wcscpy(g_szDeviceNameList[i], name);
        g_nDeviceCount = i + 1;
    }

    std::vector<std::wstring> Items() const {
        std::vector<std::wstring> out;
        const int n = static_cast<int>(SendMessageW(g_hDeviceCombo, CB_GETCOUNT, 0, 0));
        for (int i = 0; i < n; ++i) {
            wchar_t text[300] = L"";
            SendMessageW(g_hDeviceCombo, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(text));
            out.push_back(text);
        }
        return out;
    }

    // Waits for the download thread the last rebuild started.
    void WaitForDownload() {
        HANDLE t = DialogUpdate().hUpdateThread.exchange(nullptr);
        ASSERT_NE(nullptr, t) << "no download thread was started";
        ASSERT_TRUE(WaitThread(t));
        CloseHandle(t);
    }
};

const std::vector<std::wstring> kThreeItems = {L"Cam A(VID_4A7E,PID_C110_0)", L"",
                                               L"Cam B(VID_4A7E,PID_C110_2)"};

}  // namespace

TEST(LoaderList, NxpBootLoaderThatCannotBeBoundDoesNotBlockLaterRebuilds) {
    ListWorld w;
    ProgramFolderWith(L"RT1060_Flashloader_nopadding.bin", Pattern(3000, 1));
    // The ROM is listed but gone: the binding finds nothing.
    w.Add(L"4A7E", L"C110", L"\\\\?\\usb#vid_4a7e&pid_c110&mi_00#6&1&0&0000#{x}", L"Cam A");
    w.Add(L"1FC9", L"0135", L"\\\\?\\usb#vid_1fc9&pid_0135#5&2&0&4#{a5dcbf10-6530-11d2-901f-00c04fb951ed}");
    w.Add(L"4A7E", L"C110", L"\\\\?\\usb#vid_4a7e&pid_c110&mi_00#6&3&0&0000#{x}", L"Cam B");
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        AddDeviceNameInCombbox();
        EXPECT_EQ(kThreeItems, w.Items());
        EXPECT_FALSE(DialogUpdate().bLoaderDownloadActive);
        EXPECT_FALSE(DialogUpdate().bLoaderThreadStarted) << "no download thread";
        EXPECT_EQ(nullptr, DialogUpdate().pLoaderFileData) << "the flash loader read for it is released";
    }
    EXPECT_EQ(2, LineCount(L"\rInit_HIDHandle Failed\r\n"));
}

TEST(LoaderList, FailedCypressDownloadLetsTheNextRebuildServeTheBootLoaderAgain) {
    ListWorld w;
    const std::vector<BootSection> sections = {{1500, 0x10000}};
    ProgramFolderWith(L"bootloader.img", BootImage(sections, 0x10000));
    sim::Fx3BootLoaderKnobs k;
    k.rejectRequest = 1;  // the first download fails at its second write
    auto fx3 = std::make_shared<sim::Fx3BootLoaderModel>(k);
    const sim::DeviceId dev = sim::Plug(sim::WinUsbSpec(0x04B4, 0x00F3, L"", {2}, L"Cypress FX3 USB BootLoader Device"), fx3);
    ASSERT_TRUE(sim::WaitForIdle());
    w.Add(L"4A7E", L"C110", L"\\\\?\\usb#vid_4a7e&pid_c110&mi_00#6&1&0&0000#{x}", L"Cam A");
    w.Add(L"04B4", L"00F3", UsbPath(dev));
    w.Add(L"4A7E", L"C110", L"\\\\?\\usb#vid_4a7e&pid_c110&mi_00#6&3&0&0000#{x}", L"Cam B");

    AddDeviceNameInCombbox();
    EXPECT_EQ(kThreeItems, w.Items());
    EXPECT_TRUE(DialogUpdate().bLoaderThreadStarted);
    w.WaitForDownload();
    EXPECT_FALSE(fx3->Started());
    EXPECT_FALSE(DialogUpdate().bLoaderDownloadActive) << "a failed download must not block the list";

    DialogUpdate().bLoaderThreadStarted = false;
    AddDeviceNameInCombbox();
    EXPECT_EQ(kThreeItems, w.Items()) << "the rebuild lists every entry again";
    EXPECT_TRUE(DialogUpdate().bLoaderThreadStarted);
    w.WaitForDownload();
    EXPECT_TRUE(fx3->Started()) << "the second download reached the chip and started it";
    EXPECT_EQ(BootSectionData(sections, 0), fx3->Memory(0x10000, 6000));
    EXPECT_FALSE(DialogUpdate().bLoaderDownloadActive);

    // A rebuild before the started chip has left the bus (a bystander's
    // arrival) does not serve it again.
    DialogUpdate().bLoaderThreadStarted = false;
    AddDeviceNameInCombbox();
    EXPECT_EQ(kThreeItems, w.Items());
    EXPECT_FALSE(DialogUpdate().bLoaderThreadStarted) << "no third download";
}

TEST(LoaderList, WhileACypressDownloadRunsASecondRebuildStopsAtItsEntry) {
    ListWorld w(0.01);
    ProgramFolderWith(L"bootloader.img", BootImage({{1500, 0x10000}}, 0x10000));
    sim::Fx3BootLoaderKnobs k;
    k.stallAtRequest = 0;  // the driver holds the first write until the download gives up
    auto fx3 = std::make_shared<sim::Fx3BootLoaderModel>(k);
    const sim::DeviceId dev = sim::Plug(sim::WinUsbSpec(0x04B4, 0x00F3, L"", {2}, L"Cypress FX3 USB BootLoader Device"), fx3);
    ASSERT_TRUE(sim::WaitForIdle());
    w.Add(L"4A7E", L"C110", L"\\\\?\\usb#vid_4a7e&pid_c110&mi_00#6&1&0&0000#{x}", L"Cam A");
    w.Add(L"04B4", L"00F3", UsbPath(dev));
    w.Add(L"4A7E", L"C110", L"\\\\?\\usb#vid_4a7e&pid_c110&mi_00#6&3&0&0000#{x}", L"Cam B");

    AddDeviceNameInCombbox();
    EXPECT_TRUE(DialogUpdate().bLoaderDownloadActive) << "taken before the thread runs";
    HANDLE first = DialogUpdate().hUpdateThread.exchange(nullptr);
    AddDeviceNameInCombbox();
    EXPECT_EQ((std::vector<std::wstring>{L"Cam A(VID_4A7E,PID_C110_0)"}), w.Items());
    EXPECT_EQ(nullptr, DialogUpdate().hUpdateThread.load()) << "no second download";
    ASSERT_TRUE(WaitThread(first));
    CloseHandle(first);
    EXPECT_EQ(1u, fx3->Requests().size());
    EXPECT_FALSE(DialogUpdate().bLoaderDownloadActive);
}

TEST(LoaderList, FailedNxpRomDownloadLetsTheNextRebuildServeTheRomAgain) {
    ListWorld w;
    const Bytes loader = Pattern(5000, 2);
    ProgramFolderWith(L"RT1060_Flashloader_nopadding.bin", loader);
    sim::NxpRomKnobs k;
    k.rejectReport = 3;  // the second data report of the first download
    auto rom = std::make_shared<sim::NxpRomModel>(k);
    const sim::DeviceId dev = sim::Plug(sim::HidDeviceSpec(0x1FC9, 0x0135, L"", {4}, sim::NxpRomCaps()), rom);
    ASSERT_TRUE(sim::WaitForIdle());
    w.Add(L"1FC9", L"0135", UsbPath(dev));
    w.Add(L"4A7E", L"C110", L"\\\\?\\usb#vid_4a7e&pid_c110&mi_00#6&3&0&0000#{x}", L"Cam B");

    AddDeviceNameInCombbox();
    w.WaitForDownload();
    EXPECT_FALSE(rom->Jumped());
    EXPECT_FALSE(DialogUpdate().bLoaderDownloadActive);
    EXPECT_EQ(2u, w.Items().size());

    DialogUpdate().bLoaderThreadStarted = false;
    AddDeviceNameInCombbox();
    EXPECT_EQ((std::vector<std::wstring>{L"", L"Cam B(VID_4A7E,PID_C110_1)"}), w.Items());
    w.WaitForDownload();
    EXPECT_TRUE(rom->Jumped());
    const Bytes ram = rom->Ram(0x20001000);
    ASSERT_GE(ram.size(), loader.size());
    EXPECT_EQ(loader, Bytes(ram.begin(), ram.begin() + loader.size()));
    EXPECT_FALSE(DialogUpdate().bLoaderDownloadActive);
}
