// The RT1060 ROM stage: the flash loader sent into RAM with the ROM's serial
// download protocol, against the simulated ROM.
#include <gtest/gtest.h>

#include <memory>

#include "KivoFWSW.h"
#include "app_state.h"
#include "boot_loaders.h"
#include "boot_test_support.h"
#include "engine_harness.h"
#include "nxp_flashloader.h"
#include "nxp_rom.h"

namespace {

const sim::UsbDeviceSpec kRomSpec = sim::HidDeviceSpec(0x1FC9, 0x0135, L"", {4}, sim::NxpRomCaps());

struct RomWorld {
    std::shared_ptr<sim::NxpRomModel> model;
    sim::DeviceId device = 0;

    explicit RomWorld(const sim::NxpRomKnobs& knobs = sim::NxpRomKnobs()) {
        sim::Reset();
        sim::SetTimeScale(0.001);
        DialogUpdate().bLoaderDownloadActive = false;
        model = std::make_shared<sim::NxpRomModel>(knobs);
        model->SetJumpPlan(sim::NxpFlashLoaderSpec(L"", {4}), std::make_shared<sim::NxpFlashLoaderModel>());
        device = sim::Plug(kRomSpec, model);
        EXPECT_TRUE(sim::WaitForIdle());
        DeinitExtensionUnit();
        std::wstring path = UsbPath(device);
        EXPECT_EQ(1, Init_HIDHandle(&path[0]));
    }
    ~RomWorld() { DeinitExtensionUnit(); }

    DWORD Download(const Bytes& loader) {
        SetLoaderImage(loader);
        return RunOnThread(DoDownloadNXPCypress);
    }
};

Bytes Head(const std::vector<BYTE>& report, size_t n) { return Bytes(report.begin(), report.begin() + n); }

bool ZeroFrom(const std::vector<BYTE>& b, size_t from) {
    for (size_t i = from; i < b.size(); ++i)
        if (b[i] != 0) return false;
    return true;
}

}  // namespace

TEST(NxpRomDownload, FlashLoaderOf86272BytesGoesOutIn85Reports) {
    sim::NxpRomKnobs k;
    k.leaveMs = 60000;  // still on the bus when the get-property packet comes
    RomWorld w(k);
    const Bytes loader = Pattern(86272, 4);
    EXPECT_EQ(1u, w.Download(loader));
    const auto out = w.model->OutputReports();
    // Error status, write file, 85 data reports, jump. The flash loader's
    // get-property packet that follows is a 1016-byte report, which the HID
    // class driver refuses on the ROM's 1025-byte reports (its result is not
    // judged).
    ASSERT_EQ(2u + 85u + 1u, out.size());
    for (size_t i = 0; i < 88; ++i) EXPECT_EQ(1025u, out[i].size()) << i;
    EXPECT_EQ((Bytes{1, 0x05, 0x05, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), Head(out[0], 17));
    EXPECT_TRUE(ZeroFrom(out[0], 17));
    EXPECT_EQ((Bytes{1, 0x04, 0x04, 0x20, 0x00, 0x10, 0x00, 0, 0x00, 0x01, 0x51, 0x00, 0, 0, 0, 0, 0}), Head(out[1], 17));
    EXPECT_TRUE(ZeroFrom(out[1], 17));
    Bytes sent;
    for (size_t i = 2; i < 87; ++i) {
        EXPECT_EQ(2, out[i][0]) << i;
        sent.insert(sent.end(), out[i].begin() + 1, out[i].end());
    }
    EXPECT_EQ(loader, Bytes(sent.begin(), sent.begin() + 86272));
    EXPECT_EQ(Bytes(out[86].begin() + 1, out[86].begin() + 257), Bytes(loader.end() - 256, loader.end()))
        << "the last report holds the last 256 bytes";
    EXPECT_TRUE(ZeroFrom(out[86], 257));
    EXPECT_EQ((Bytes{1, 0x0B, 0x0B, 0x20, 0x00, 0x10, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), Head(out[87], 17));
    // The library reads each command's reply with the length of the report
    // it sent (1025 bytes), and the HID class driver refuses those reads on
    // the ROM's 65-byte input reports as well: three commands wait for a
    // reply.
    std::vector<std::wstring> refused;
    for (const sim::Refusal& r : sim::Refusals()) refused.push_back(r.request);
    EXPECT_EQ((std::vector<std::wstring>{L"ReadFile of 1025 bytes", L"ReadFile of 1025 bytes", L"ReadFile of 1025 bytes",
                                         L"WriteFile of 1016 bytes"}),
              refused);

    EXPECT_EQ(loader, w.model->Ram(0x20001000));
    EXPECT_TRUE(w.model->Jumped());
    EXPECT_EQ(0x20001000u, w.model->JumpAddress());
    EXPECT_GE(LineIndex(L"DoDownloadNXPCypress ++\r\n"), 0);
    EXPECT_GT(LineIndex(L"DoDownloadNXPCypress --\r\n"), LineIndex(L"DoDownloadNXPCypress ++\r\n"));
    EXPECT_FALSE(DialogUpdate().bLoaderDownloadActive);
    EXPECT_EQ(nullptr, DialogUpdate().pLoaderFileData);

    // The flash loader takes the ROM's place on the bus.
    ASSERT_TRUE(sim::WaitForIdle());
    EXPECT_FALSE(sim::IsPresent(w.device));
    bool loaderThere = false;
    for (sim::DeviceId d : sim::PresentDevices()) loaderThere |= sim::SpecOf(d).pid == 0xDF02;
    EXPECT_TRUE(loaderThere);
}

TEST(NxpRomDownload, WriteFileAnnouncesTheSameCountForAnySize) {
    struct Case {
        size_t size;
    } cases[] = {{3000}, {1024}, {90000}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        RomWorld w;
        const Bytes loader = Pattern(c.size, 7);
        EXPECT_EQ(1u, w.Download(loader));
        const auto cmds = w.model->Commands();
        ASSERT_EQ(3u, cmds.size());
        EXPECT_EQ(0x0404, cmds[1].type);
        EXPECT_EQ(0x00015100u, cmds[1].count);
        const auto out = w.model->OutputReports();
        size_t data = 0;
        for (const auto& r : out) data += r.size() == 1025 && r[0] == 2 ? 1 : 0;
        EXPECT_EQ((c.size + 1023) / 1024, data);
        // The ROM takes no more than the announced count.
        const Bytes ram = w.model->Ram(0x20001000);
        const size_t taken = c.size < 0x15100 ? c.size : 0x15100;
        ASSERT_GE(ram.size(), taken);
        EXPECT_LE(ram.size(), 0x15100u) << "nothing past the count";
        EXPECT_EQ(Bytes(loader.begin(), loader.begin() + taken), Bytes(ram.begin(), ram.begin() + taken));
    }
}

TEST(NxpRomDownload, AFailedDataReportEndsTheDownloadWithoutTheJump) {
    struct Case {
        const char* name;
        sim::NxpRomKnobs knobs;
    } cases[] = {
        {"report refused", [] { sim::NxpRomKnobs k; k.rejectReport = 6; return k; }()},
        {"ROM leaves the bus", [] { sim::NxpRomKnobs k; k.leaveBusAtReport = 30; return k; }()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RomWorld w(c.knobs);
        EXPECT_EQ(0u, w.Download(Pattern(86272, 5)));
        EXPECT_EQ(1, LineCount(L"DoDownloadNXPCypress :: sendNXPHidCmd Failed..\r\n"));
        for (const auto& cmd : w.model->Commands()) EXPECT_NE(0x0B0B, cmd.type) << "no jump into a partial loader";
        EXPECT_FALSE(w.model->Jumped());
        EXPECT_EQ(-1, LineIndex(L"DoDownloadNXPCypress --\r\n"));
        EXPECT_FALSE(DialogUpdate().bLoaderDownloadActive) << "the next rebuild may serve the ROM again";
        EXPECT_EQ(nullptr, DialogUpdate().pLoaderFileData);
    }
}

TEST(NxpRomDownload, ARomThatNeverAnswersIsStillLoadedAndStarted) {
    sim::NxpRomKnobs k;
    k.noReply = true;
    RomWorld w(k);
    const Bytes loader = Pattern(5000, 6);
    EXPECT_EQ(1u, w.Download(loader));
    EXPECT_TRUE(w.model->Jumped());
    const Bytes ram = w.model->Ram(0x20001000);
    ASSERT_GE(ram.size(), 5000u);
    EXPECT_EQ(loader, Bytes(ram.begin(), ram.begin() + 5000));
    EXPECT_FALSE(DialogUpdate().bLoaderDownloadActive);
}

TEST(NxpRomDownload, NoFlashLoaderLoadedSendsNothing) {
    RomWorld w;
    delete[] DialogUpdate().pLoaderFileData;
    DialogUpdate().pLoaderFileData = nullptr;
    DialogUpdate().dwLoaderFileSize = 0;
    EXPECT_EQ(0u, RunOnThread(DoDownloadNXPCypress));
    EXPECT_TRUE(w.model->OutputReports().empty());
    EXPECT_FALSE(DialogUpdate().bLoaderDownloadActive);
}
