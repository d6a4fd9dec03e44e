// The Cypress FX3 boot-loader download against the simulated boot loader.
#include <gtest/gtest.h>

#include <memory>

#include "app_state.h"
#include "boot_loaders.h"
#include "boot_test_support.h"
#include "engine_harness.h"
#include "fx3_bootloader.h"
#include "usb_requests.h"

namespace {

// A world with the FX3 boot loader opened as the device-list rebuild opens it.
struct Fx3World {
    std::shared_ptr<sim::Fx3BootLoaderModel> model;
    sim::DeviceId device = 0;
    sim::UsbDeviceSpec programSpec = sim::WinUsbSpec(0x4A7E, 0xDF00, L"FX3PROGRAM01", {2});

    explicit Fx3World(const sim::Fx3BootLoaderKnobs& knobs = sim::Fx3BootLoaderKnobs()) {
        sim::Reset();
        sim::SetTimeScale(0.001);
        DialogUpdate().bLoaderDownloadActive = false;
        DialogUpdate().hOpenedDeviceFile = nullptr;
        model = std::make_shared<sim::Fx3BootLoaderModel>(knobs);
        model->SetStartPlan(programSpec, nullptr);
        sim::UsbDeviceSpec spec = sim::WinUsbSpec(0x04B4, 0x00F3, L"", {2}, L"Cypress FX3 USB BootLoader Device");
        spec.service = L"CYUSB3";
        device = sim::Plug(spec, model);
        EXPECT_TRUE(sim::WaitForIdle());
        EXPECT_NE(nullptr, Initialize_USBHanlde(DialogUpdate(), UsbPath(device).c_str()));
    }

    DWORD Download(const Bytes& image) {
        SetLoaderImage(image);
        return RunOnThread(DoDownloadCypress);
    }

    // Memory writes with data, then the start request, as the chip saw them.
    std::vector<sim::Fx3RequestRecord> Writes() const {
        std::vector<sim::Fx3RequestRecord> out;
        for (const auto& r : model->Requests())
            if (r.length > 0) out.push_back(r);
        return out;
    }
};

// The download always ends with the flag cleared and the image released.
void ExpectDownloadOver() {
    EXPECT_FALSE(DialogUpdate().bLoaderDownloadActive);
    EXPECT_EQ(nullptr, DialogUpdate().pLoaderFileData);
    EXPECT_EQ(0u, DialogUpdate().dwLoaderFileSize.load());
}

}  // namespace

TEST(Fx3Download, SectionOf1500WordsGoesOutInThreeWrites) {
    Fx3World w;
    const std::vector<BootSection> sections = {{1500, 0x10000}};
    EXPECT_EQ(1u, w.Download(BootImage(sections, 0x10000)));
    const auto req = w.model->Requests();
    ASSERT_EQ(4u, req.size());
    struct Expected {
        uint16_t length, value, index;
    } expected[] = {{2048, 0x0000, 0x0001}, {2048, 0x0800, 0x0001}, {1904, 0x1000, 0x0001}, {0, 0x0000, 0x0001}};
    for (size_t i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(0x220020u, req[i].ioctl);
        EXPECT_EQ(0x40, req[i].requestType);
        EXPECT_EQ(0xA0, req[i].request);
        EXPECT_EQ(expected[i].length, req[i].length);
        EXPECT_EQ(expected[i].value, req[i].value);
        EXPECT_EQ(expected[i].index, req[i].index);
        EXPECT_EQ(5u, req[i].timeout);
        EXPECT_EQ(0, req[i].endpoint);
        EXPECT_EQ(38u, req[i].dataOffset);
        EXPECT_EQ(expected[i].length, req[i].dataLength);
        EXPECT_EQ(38u + expected[i].length, req[i].record.size());
        EXPECT_EQ(req[i].record.size(), req[i].outputSize) << "the record is also the output buffer";
        EXPECT_TRUE(req[i].ok);
    }
    EXPECT_EQ(BootSectionData(sections, 0), w.model->Memory(0x10000, 6000));
    EXPECT_EQ(6000u, w.model->BytesWritten());
    EXPECT_TRUE(w.model->Started());
    EXPECT_EQ(0x10000u, w.model->EntryAddress());
    ExpectDownloadOver();
}

TEST(Fx3Download, ChipMemoryEqualsEverySectionAndTheProgramComesBack) {
    Fx3World w;
    const std::vector<BootSection> sections = {{3, 0x100}, {700, 0x40000000}, {513, 0x40003000}};
    EXPECT_EQ(1u, w.Download(BootImage(sections, 0x40000100)));
    EXPECT_EQ(BootSectionData(sections, 0), w.model->Memory(0x100, 12));
    EXPECT_EQ(BootSectionData(sections, 1), w.model->Memory(0x40000000, 2800));
    EXPECT_EQ(BootSectionData(sections, 2), w.model->Memory(0x40003000, 2052));
    EXPECT_EQ(12u + 2800u + 2052u, w.model->BytesWritten());
    EXPECT_EQ(0x40000100u, w.model->EntryAddress());
    EXPECT_GE(LineIndex(L"DoDownloadCypress ++\r\n"), 0);
    EXPECT_GT(LineIndex(L"DoDownloadCypress --\r\n"), LineIndex(L"DoDownloadCypress ++\r\n"));
    // One "XferData" line per request, with the record's size.
    EXPECT_EQ(1, LineCount(L"\n XferData:: DeviceIoControl  GetLastError() = 0 38\r\n"));
    EXPECT_EQ(1, LineCount(L"\n XferData:: DeviceIoControl  GetLastError() = 0 50\r\n"));
    EXPECT_EQ(1, LineCount(L"\n XferData:: DeviceIoControl  GetLastError() = 0 790\r\n"));
    EXPECT_EQ(1, LineCount(L"\n XferData:: DeviceIoControl  GetLastError() = 0 42\r\n"));
    EXPECT_EQ(2, LineCount(L"\n XferData:: DeviceIoControl  GetLastError() = 0 2086\r\n"));

    // The started program leaves the boot loader's place on the bus.
    ASSERT_TRUE(sim::WaitForIdle());
    EXPECT_FALSE(sim::IsPresent(w.device));
    bool programThere = false;
    for (sim::DeviceId d : sim::PresentDevices())
        programThere |= sim::SpecOf(d).vid == 0x4A7E && sim::SpecOf(d).pid == 0xDF00;
    EXPECT_TRUE(programThere);
    ExpectDownloadOver();
}

TEST(Fx3Download, StartRequestAloneForAnImageWithoutSections) {
    Fx3World w;
    EXPECT_EQ(1u, w.Download(BootImage({}, 0x00ABCDEF)));
    const auto req = w.model->Requests();
    ASSERT_EQ(1u, req.size());
    EXPECT_EQ(0, req[0].length);
    EXPECT_EQ(0xCDEF, req[0].value);
    EXPECT_EQ(0x00AB, req[0].index);
    EXPECT_EQ(38u, req[0].record.size());
    EXPECT_TRUE(w.model->Started());
    ExpectDownloadOver();
}

TEST(Fx3Download, ImagesThatMustNotReachTheChipSendNothing) {
    Bytes noSignature = BootImage({{4, 0x100}}, 0x100);
    noSignature[1] = 'X';
    Bytes cutSection = BootImage({{600, 0x100}}, 0x100);
    cutSection.resize(4 + 8 + 2400 - 2);
    Bytes noEnd = BootImage({{600, 0x100}}, 0x100);
    noEnd.resize(noEnd.size() - 8);
    Bytes pastEnd = BootImage({}, 0);
    pastEnd[4] = 0x00;
    pastEnd[5] = 0x40;  // L = 0x4000 words, far past the file
    struct Case {
        const char* name;
        Bytes image;
    } cases[] = {
        {"no CY", noSignature}, {"section cut", cutSection}, {"list not ended", noEnd}, {"section past end", pastEnd},
        {"empty file", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Fx3World w;
        EXPECT_EQ(0u, w.Download(c.image));
        EXPECT_TRUE(w.model->Requests().empty());
        EXPECT_FALSE(w.model->Started());
        EXPECT_EQ(-1, LineIndex(L"DoDownloadCypress --\r\n"));
        ExpectDownloadOver();
    }
}

TEST(Fx3Download, NoBootImageLoadedEndsAtOnce) {
    Fx3World w;
    delete[] DialogUpdate().pLoaderFileData;
    DialogUpdate().pLoaderFileData = nullptr;
    DialogUpdate().dwLoaderFileSize = 0;
    EXPECT_EQ(0u, RunOnThread(DoDownloadCypress));
    EXPECT_TRUE(w.model->Requests().empty());
    EXPECT_FALSE(DialogUpdate().bLoaderDownloadActive);
}

TEST(Fx3Download, AFailedWriteEndsTheDownloadWithoutStartingTheChip) {
    struct Case {
        const char* name;
        sim::Fx3BootLoaderKnobs knobs;
        size_t requests;  // requests the chip saw
    } cases[] = {
        {"write refused", [] { sim::Fx3BootLoaderKnobs k; k.rejectRequest = 1; return k; }(), 2},
        {"chip leaves the bus", [] { sim::Fx3BootLoaderKnobs k; k.leaveBusAtRequest = 2; return k; }(), 3},
        {"driver never completes", [] { sim::Fx3BootLoaderKnobs k; k.stallAtRequest = 0; return k; }(), 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Fx3World w(c.knobs);
        EXPECT_EQ(0u, w.Download(BootImage({{1500, 0x10000}}, 0x10000)));
        EXPECT_EQ(c.requests, w.model->Requests().size());
        EXPECT_FALSE(w.model->Started());
        EXPECT_EQ(1, LineCount(L"XferData:: DeviceIoControl:: Failed \r\n"));
        EXPECT_EQ(1, LineCount(L"XferData:: DeviceIoControl:: count not equal to zero  ++\n"));
        EXPECT_EQ(-1, LineIndex(L"DoDownloadCypress --\r\n"));
        ExpectDownloadOver();
    }
}

TEST(Fx3Download, XferDataRefusesAMissingDataPointer) {
    Fx3World w;
    WINUSB_SETUP_PACKET setup{0x40, 0xA0, 0, 0, 4};
    EXPECT_EQ(0, XferData(DialogUpdate(), setup, nullptr, 4));
    EXPECT_TRUE(w.model->Requests().empty());
    const uint8_t data[4] = {1, 2, 3, 4};
    EXPECT_EQ(1, XferData(DialogUpdate(), setup, data, 4));
    EXPECT_EQ(Bytes(data, data + 4), w.model->Memory(0, 4));
}
