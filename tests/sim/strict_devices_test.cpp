// The simulated devices refuse what the real ones refuse, and say so: each
// case drives a device by hand, its last request breaking one rule of the
// protocol (the requests before it keep to them), and expects that request
// refused with its reason while a request that keeps the rule is taken.
#include "sim_test_support.h"

#include "camera_plug.h"
#include "dfu_device.h"
#include "nxp_flashloader.h"
#include "os_api.h"

#include <functional>

using namespace simtest;

namespace {

using Bytes = std::vector<BYTE>;

class Dfu {
public:
    explicit Dfu(sim::DeviceId device) {
        const std::wstring path = sim::InterfacePaths(device, sim::kGuidUsbDevice).at(0);
        file_ = Os().CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        EXPECT_TRUE(Os().WinUsb_Initialize(file_, &usb_));
    }
    ~Dfu() {
        Os().WinUsb_Free(usb_);
        Os().CloseHandle(file_);
    }
    // The error of one transfer (ERROR_SUCCESS when it was taken).
    DWORD Send(UCHAR type, UCHAR request, USHORT value, USHORT index, USHORT length) {
        Bytes data(length ? length : 1, 0x5A);
        ULONG n = 0;
        WINUSB_SETUP_PACKET s{type, request, value, index, length};
        return Os().WinUsb_ControlTransfer(usb_, s, data.data(), length, &n, nullptr) ? ERROR_SUCCESS : ::GetLastError();
    }
    // The status request as the engine makes it, with its 20 ms wait.
    DWORD Status() {
        const DWORD e = Send(0xC0, 0x03, 0, 0, 6);
        Os().Sleep(20);
        return e;
    }
    DWORD Block(USHORT length = 1024) { return Send(0x40, 0x01, 1, 0, length); }

private:
    HANDLE file_ = INVALID_HANDLE_VALUE;
    WINUSB_INTERFACE_HANDLE usb_ = nullptr;
};

struct DfuCase {
    const char* name;
    std::function<void(Dfu&)> before;  // requests that keep to the protocol
    std::function<DWORD(Dfu&)> last;   // the request under test
    const wchar_t* reason;             // why it is refused; nullptr: it is taken
    double timeScale = 1.0;
};

TEST(StrictDevices, TheUpdateModeDeviceRefusesWhatBreaksTheProtocol) {
    auto none = [](Dfu&) {};
    auto oneBlock = [](Dfu& d) {
        EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), d.Block());
        EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), d.Status());
    };
    auto mcuPacket = [](Dfu& d) { EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), d.Send(0x40, 0x0B, 1, 0, 100)); };
    const DfuCase cases[] = {
        {"a block with value 0", none, [](Dfu& d) { return d.Send(0x40, 0x01, 0, 0, 1024); }, L"an out request carries value 1"},
        {"a block with index 1", none, [](Dfu& d) { return d.Send(0x40, 0x01, 1, 1, 1024); }, L"an out request carries index 0"},
        {"a block longer than the transfer size", none, [](Dfu& d) { return d.Block(1025); }, L"transfer size of 1024"},
        {"a status request with value 1", none, [](Dfu& d) { return d.Send(0xC0, 0x03, 1, 0, 6); },
         L"a status request carries value 0 and index 0"},
        {"a status request of 5 bytes", none, [](Dfu& d) { return d.Send(0xC0, 0x03, 0, 0, 5); }, L"the status record is 6 bytes"},
        {"the reset with index 0", none, [](Dfu& d) { return d.Send(0x40, 0x32, 1, 0, 0); }, L"the reset request carries index 4"},
        {"the reset with index 4", none, [](Dfu& d) { return d.Send(0x40, 0x32, 1, 4, 0); }, nullptr},
        {"a class request", none, [](Dfu& d) { return d.Send(0x21, 0x01, 1, 0, 16); }, L"vendor requests addressed to the device"},
        {"a block before the last one was reported taken", [](Dfu& d) { d.Block(); },
         [](Dfu& d) { return d.Block(); }, L"a block before the device reported the last one taken"},
        {"a block at once after a status reply", [](Dfu& d) { d.Block(); d.Send(0xC0, 0x03, 0, 0, 6); },
         [](Dfu& d) { return d.Block(); }, L"after the status reply; the device takes the next request 20 ms after it"},
        {"a block 17 ms after a status reply (Wine's timers are coarse)",
         [](Dfu& d) {
             d.Block();
             d.Send(0xC0, 0x03, 0, 0, 6);
             Os().Sleep(17);
         },
         [](Dfu& d) { return d.Block(); }, nullptr},
        {"a status request at once after an MCU packet", mcuPacket, [](Dfu& d) { return d.Send(0xC0, 0x03, 0, 0, 6); },
         L"after the MCU packet"},
        {"a status request 50 ms after an MCU packet",
         [&](Dfu& d) {
             mcuPacket(d);
             Os().Sleep(50);
         },
         [](Dfu& d) { return d.Send(0xC0, 0x03, 0, 0, 6); }, nullptr},
        {"a block at once after the combined-image erase", [](Dfu& d) { d.Send(0x40, 0x0E, 1, 0, 0); },
         [](Dfu& d) { return d.Block(); }, L"after the combined-image erase"},
        {"the MCU verify status 2 s after the verify request",
         [&](Dfu& d) {
             mcuPacket(d);
             Os().Sleep(50);
             d.Status();
             d.Send(0x40, 0x0C, 1, 0, 0);
             Os().Sleep(2000);
         },
         [](Dfu& d) { return d.Send(0xC0, 0x0D, 0, 0, 6); }, L"the device verifies its flash for 10000 ms", 0.01},
        {"the MCU verify status 10 s after the verify request",
         [&](Dfu& d) {
             mcuPacket(d);
             Os().Sleep(50);
             d.Status();
             d.Send(0x40, 0x0C, 1, 0, 0);
             Os().Sleep(10000);
         },
         [](Dfu& d) { return d.Send(0xC0, 0x0D, 0, 0, 6); }, nullptr, 0.01},
        {"the zero-length request without a download", none, [](Dfu& d) { return d.Block(0); }, L"no download to end"},
        {"the zero-length request after a block taken", oneBlock, [](Dfu& d) { return d.Block(0); }, nullptr},
        {"CLRSTATUS outside the error state", none, [](Dfu& d) { return d.Send(0x40, 0x04, 1, 0, 0); },
         L"there is no error to clear"},
        {"DETACH of a device in its DFU idle state", none, [](Dfu& d) { return d.Send(0x40, 0x00, 1, 0, 0); },
         L"only an application-idle device detaches"},
        {"an unknown request", none, [](Dfu& d) { return d.Send(0x40, 0x7F, 1, 0, 0); }, L"no such request"},
    };
    for (const DfuCase& c : cases) {
        SCOPED_TRACE(c.name);
        sim::Reset();
        sim::SetTimeScale(c.timeScale);
        auto model = std::make_shared<sim::DfuDeviceModel>(std::make_shared<sim::DfuFlash>());
        const sim::DeviceId device = sim::Plug(sim::WinUsbSpec(0x4A7E, 0xDF00, L"UM1", {1}), model);
        Dfu dfu(device);
        c.before(dfu);
        const size_t before = sim::Refusals().size();
        EXPECT_EQ(0u, before) << testing::PrintToString(sim::RefusalsText());
        const DWORD error = c.last(dfu);
        const auto refusals = sim::Refusals();
        if (c.reason == nullptr) {
            EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), error);
            EXPECT_EQ(before, refusals.size()) << testing::PrintToString(sim::RefusalsText());
            continue;
        }
        EXPECT_EQ(static_cast<DWORD>(ERROR_GEN_FAILURE), error) << "the device stalls endpoint 0";
        ASSERT_EQ(before + 1, refusals.size());
        EXPECT_EQ(L"update-mode device", refusals.back().by);
        EXPECT_NE(std::wstring::npos, refusals.back().reason.find(c.reason))
            << testing::PrintToString(refusals.back().reason);
        ASSERT_FALSE(model->Requests().empty());
        EXPECT_EQ(refusals.back().reason, model->Requests().back().refusal);
        EXPECT_FALSE(model->Requests().back().ok);
    }
}

// Unanswered while it erases: the status request takes the driver's time-out.
TEST(StrictDevices, AStatusRequestWhileTheDeviceErasesTakesTheDriversTimeOut) {
    sim::Reset();
    sim::SetTimeScale(0.01);
    sim::DfuKnobs k;
    k.failedStatusAfterFirstBlock = 1;
    auto model = std::make_shared<sim::DfuDeviceModel>(std::make_shared<sim::DfuFlash>(), k);
    Dfu dfu(sim::Plug(sim::WinUsbSpec(0x4A7E, 0xDF00, L"UM1", {1}), model));
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), dfu.Block());
    const ULONGLONG start = sim::SimulatedNowMs();
    EXPECT_EQ(static_cast<DWORD>(ERROR_SEM_TIMEOUT), dfu.Send(0xC0, 0x03, 0, 0, 6));
    EXPECT_GE(sim::SimulatedNowMs() - start, 5000u);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), dfu.Status()) << "the next one, at once, is answered";
}

// The flash loader loses a data packet that comes while it still programs
// the one before.
TEST(StrictDevices, TheFlashLoaderLosesADataPacketThatComesTooSoon) {
    sim::Reset();
    auto loader = std::make_shared<sim::NxpFlashLoaderModel>();
    const sim::DeviceId device = sim::Plug(sim::NxpFlashLoaderSpec(L"", {1}), loader);
    HANDLE h = Os().CreateFileW(sim::InterfacePaths(device, sim::kGuidHid).at(0).c_str(), GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    auto command = [&](BYTE tag, BYTE flags, std::vector<uint32_t> p) {
        Bytes r(1016, 0);
        r[0] = 1;
        r[2] = static_cast<BYTE>(4 + 4 * p.size());
        r[4] = tag;
        r[5] = flags;
        r[7] = static_cast<BYTE>(p.size());
        for (size_t k = 0; k < p.size(); ++k)
            for (int i = 0; i < 4; ++i) r[8 + 4 * k + i] = static_cast<BYTE>(p[k] >> (8 * i));
        DWORD n = 0;
        EXPECT_TRUE(Os().WriteFile(h, r.data(), 1016, &n, nullptr));
    };
    auto data = [&](BYTE fill) {
        Bytes r(1016, fill);
        r[0] = 2;
        r[1] = 0;
        r[2] = 1012 & 0xFF;
        r[3] = 1012 >> 8;
        DWORD n = 0;
        EXPECT_TRUE(Os().WriteFile(h, r.data(), 1016, &n, nullptr)) << "the HID driver takes the report";
    };
    command(0x05, 0, {0x2000, 4, 0xC0000001});  // the FlexSPI NOR option word
    command(0x11, 0, {9, 0x2000});
    command(0x02, 0, {0x60000000, 4096});
    command(0x04, 1, {0x60000000, 3 * 1012});
    data(0x11);
    Os().Sleep(60);
    data(0x22);
    data(0x33);  // at once after the second
    EXPECT_EQ(Bytes(1012, 0x11), loader->Flash(0x60000000, 1012));
    EXPECT_EQ(Bytes(1012, 0x22), loader->Flash(0x60000000 + 1012, 1012));
    EXPECT_EQ(Bytes(1012, 0xFF), loader->Flash(0x60000000 + 2024, 1012)) << "the third packet was lost";
    const auto refusals = sim::Refusals();
    ASSERT_EQ(1u, refusals.size()) << testing::PrintToString(sim::RefusalsText());
    EXPECT_EQ(L"data packet 3 of 1012 bytes", refusals[0].request);
    EXPECT_NE(std::wstring::npos, refusals[0].reason.find(L"the loader takes the next one 50 ms after it"));
    Os().CloseHandle(h);
}

// A CX3 camera does not reset while its flash erase runs.
TEST(StrictDevices, TheCx3CameraRefusesAResetWhileItErases) {
    sim::Reset();
    sim::Cx3CameraKnobs knobs;
    knobs.erasePolls = 2;
    auto cam = sim::PlugCx3Camera({L"CX1", {1}}, knobs);
    HANDLE h = Os().CreateFileW(cam.hidPaths.at(0).c_str(), GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    auto send = [&](BYTE command, BYTE detail) {
        Bytes r(512, 0);
        r[1] = 4;
        r[2] = command;
        r[3] = detail;
        EXPECT_TRUE(Os().HidD_SetOutputReport(h, r.data(), 512));
    };
    auto state = [&] {
        Bytes r(512, 0);
        EXPECT_TRUE(Os().HidD_GetInputReport(h, r.data(), 512));
        return r[2];
    };
    send(0xAA, 0x01);
    EXPECT_EQ(8, state());
    send(0xAA, 0x02);
    EXPECT_EQ(0, cam.model->Resets());
    ASSERT_EQ(1u, sim::Refusals().size());
    EXPECT_EQ(L"a reset while the flash erase runs", sim::Refusals()[0].reason);
    EXPECT_EQ(8, state());
    EXPECT_EQ(0, state()) << "the erase is done";
    send(0xAA, 0x02);
    EXPECT_EQ(1, cam.model->Resets());
    Os().CloseHandle(h);
}

}  // namespace
