// The update-mode device's control requests on the simulated wire.
#include <gtest/gtest.h>

#include "app_state.h"
#include "engine_harness.h"
#include "usb_requests.h"
#include "os_api.h"

namespace {

struct Expected {
    uint8_t type, request;
    uint16_t value, index, length;
};

void ExpectSetup(const sim::DfuRequestRecord& r, const Expected& e) {
    EXPECT_EQ(e.type, r.requestType);
    EXPECT_EQ(e.request, r.request);
    EXPECT_EQ(e.value, r.value);
    EXPECT_EQ(e.index, r.index);
    EXPECT_EQ(e.length, r.length);
}

}  // namespace

TEST(UsbRequests, SetupPacketsOnTheWire) {
    EngineHarness h;
    h.PlugDevice();
    const auto device = h.model;  // the reset at the end brings a new model on the bus
    DfuStatus st{};
    for (int i = 0; i < 17; ++i) DialogUpdate().byTransferBuffer[i] = static_cast<uint8_t>(0xA0 + i);

    struct Step {
        const char* name;
        std::function<int()> call;
        Expected setup;
    } steps[] = {
        // In an order the device takes, with the waits it needs (the status
        // request and the MCU packet wait by themselves).
        {"Getstatus", [&] { return Getstatus(DialogUpdate(), &st); }, {0xC0, 0x03, 0, 0, 6}},
        {"SendData 1024", [&] { return SendData(DialogUpdate(), DialogUpdate().byTransferBuffer, 1024); }, {0x40, 0x01, 1, 0, 1024}},
        {"Getstatus after a block", [&] { return Getstatus(DialogUpdate(), &st); }, {0xC0, 0x03, 0, 0, 6}},
        {"SendData 17", [&] { return SendData(DialogUpdate(), DialogUpdate().byTransferBuffer, 17); }, {0x40, 0x01, 1, 0, 17}},
        {"Getstatus after the last block", [&] { return Getstatus(DialogUpdate(), &st); }, {0xC0, 0x03, 0, 0, 6}},
        {"SendCommand abort", [&] { return SendCommand(DialogUpdate(), 0x06); }, {0x40, 0x06, 1, 0, 0}},
        {"SendDataMCUData", [&] { return SendDataMCUData(DialogUpdate(), 17); }, {0x40, 0x0B, 1, 0, 17}},
        {"Getstatus after the MCU packet", [&] { return Getstatus(DialogUpdate(), &st); }, {0xC0, 0x03, 0, 0, 6}},
        {"MCU verify", [&] { return SendDataMCUVerifyFlashRequest(DialogUpdate()); }, {0x40, 0x0C, 1, 0, 0}},
        {"MCU verify status after 10 s",
         [&] {
             Os().Sleep(10000);
             return GetMCUVerifyStatus(DialogUpdate(), &st);
         },
         {0xC0, 0x0D, 0, 0, 6}},
        {"SendDataFPGAData", [&] { return SendDataFPGAData(DialogUpdate(), 17); }, {0x40, 0x0F, 1, 0, 17}},
        {"Getstatus after the FPGA block", [&] { return Getstatus(DialogUpdate(), &st); }, {0xC0, 0x03, 0, 0, 6}},
        {"EraseCombinedImage", [&] { return EraseCombinedImage(DialogUpdate()); }, {0x40, 0x0E, 1, 0, 0}},
        {"FPGA verify", [&] { return SendDataFGPAVerifyFlashRequest(DialogUpdate()); }, {0x40, 0x10, 1, 0, 0}},
        {"FPGA verify status", [&] { return GetFPGAVerifyStatus(DialogUpdate(), &st); }, {0xC0, 0x11, 0, 0, 6}},
        {"SendDeviceResetCommand", [&] { return SendDeviceResetCommand(DialogUpdate()); }, {0x40, 0x32, 1, 4, 0}},
    };
    size_t seen = 0;
    for (const Step& s : steps) {
        SCOPED_TRACE(s.name);
        EXPECT_EQ(1, s.call());
        const auto req = device->Requests();
        ASSERT_EQ(seen + 1, req.size());
        ExpectSetup(req.back(), s.setup);
        seen = req.size();
    }
    const auto req = device->Requests();
    EXPECT_EQ(std::vector<uint8_t>(DialogUpdate().byTransferBuffer, DialogUpdate().byTransferBuffer + 17), req[3].data);
    EXPECT_EQ(std::vector<uint8_t>(DialogUpdate().byTransferBuffer, DialogUpdate().byTransferBuffer + 17), req[6].data);
    EXPECT_EQ(L"  (nothing refused)\n", sim::RefusalsText());
}

// The requests that end a download or change the device's state, each in the
// state where the device takes it.
TEST(UsbRequests, StateChangeRequestsOnTheWire) {
    struct Case {
        const char* name;
        uint8_t startState;
        std::function<void(DfuStatus*)> before;
        std::function<int()> call;
        Expected setup;
    } cases[] = {
        {"SendZeroLengthPkt after the last block", 2,
         [](DfuStatus* st) {
             SendData(DialogUpdate(), DialogUpdate().byTransferBuffer, 17);
             Getstatus(DialogUpdate(), st);
         },
         [] { return SendZeroLengthPkt(DialogUpdate()); }, {0x40, 0x01, 1, 0, 0}},
        {"SendCommand detach from application idle", 0, [](DfuStatus*) {}, [] { return SendCommand(DialogUpdate(), 0x00); },
         {0x40, 0x00, 1, 0, 0}},
        {"SendCommand clear status in the error state", 10, [](DfuStatus*) {}, [] { return SendCommand(DialogUpdate(), 0x04); },
         {0x40, 0x04, 1, 0, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EngineHarness h;
        sim::DfuKnobs k;
        k.startState = c.startState;
        h.PlugDevice(k);
        const auto device = h.model;
        DfuStatus st{};
        c.before(&st);
        EXPECT_EQ(1, c.call());
        const auto req = device->Requests();
        ASSERT_FALSE(req.empty());
        ExpectSetup(req.back(), c.setup);
        EXPECT_EQ(L"  (nothing refused)\n", sim::RefusalsText());
    }
}

TEST(UsbRequests, InvalidInterfaceHandleSendsNothing) {
    EngineHarness h;
    h.PlugDevice();
    WINUSB_INTERFACE_HANDLE saved = DialogUpdate().hWinUsbInterface;
    DialogUpdate().hWinUsbInterface = INVALID_HANDLE_VALUE;
    sim::ClearDebugLines();
    DfuStatus st{};
    struct Case {
        const char* name;
        std::function<int()> call;
        const wchar_t* line;  // nullptr: no line prescribed
    } cases[] = {
        {"Getstatus", [&] { return Getstatus(DialogUpdate(), &st); }, L"dodownload::GetStatus:: Invalid Handle ++\n"},
        {"SendData", [&] { return SendData(DialogUpdate(), DialogUpdate().byTransferBuffer, 8); }, L"dodownload::SendData:: Invalid Handle ++\n"},
        {"SendDataMCUData", [&] { return SendDataMCUData(DialogUpdate(), 8); }, L"dodownload::SendDataMCUData:: Invalid Handle ++\n"},
        {"SendDataFPGAData", [&] { return SendDataFPGAData(DialogUpdate(), 8); }, nullptr},
        {"SendZeroLengthPkt", [&] { return SendZeroLengthPkt(DialogUpdate()); }, L"SendZeroLengthPkt:: Invalid Handle ++\n"},
        {"SendCommand", [&] { return SendCommand(DialogUpdate(), 4); }, L"SendCommand:: Invalid Handle ++\n"},
        {"SendDeviceResetCommand", [&] { return SendDeviceResetCommand(DialogUpdate()); },
         L"SendDeviceResetCommand:: Invalid Handle ++\n"},
        {"EraseCombinedImage", [&] { return EraseCombinedImage(DialogUpdate()); }, L"EraseCombinedImage winUSBHandle NULL\n"},
        {"MCU verify status", [&] { return GetMCUVerifyStatus(DialogUpdate(), &st); }, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sim::ClearDebugLines();
        EXPECT_EQ(0, c.call());
        if (c.line != nullptr) {
            EXPECT_NE(std::wstring::npos, sim::DebugText().find(c.line));
        }
    }
    EXPECT_TRUE(h.model->Requests().empty());
    DialogUpdate().hWinUsbInterface = saved;
}

TEST(UsbRequests, ShortStatusAndWrongCountsFail) {
    {
        EngineHarness h;
        sim::DfuKnobs k;
        k.statusShort = true;
        h.PlugDevice(k);
        DfuStatus st{};
        EXPECT_EQ(0, Getstatus(DialogUpdate(), &st)) << "a 5-byte status record";
    }
    {
        EngineHarness h;
        sim::DfuKnobs k;
        k.shortCountAtBlock = 0;
        h.PlugDevice(k);
        sim::ClearDebugLines();
        EXPECT_EQ(0, SendData(DialogUpdate(), DialogUpdate().byTransferBuffer, 100));
        EXPECT_NE(std::wstring::npos,
                  sim::DebugText().find(L"dodownload::SendData:: count not equal to number of bytes written ++\n"));
    }
}

TEST(UsbRequests, OpeningTwiceReusesTheDeviceFile) {
    EngineHarness h;
    h.PlugDevice();
    const HANDLE file = DialogUpdate().hWinUsbDeviceFile;
    ASSERT_NE(nullptr, file);
    const auto path = sim::InterfacePaths(h.device, sim::kGuidUsbDevice).at(0);
    EXPECT_EQ(1, InitializeDevice(DialogUpdate(), path.c_str()));
    EXPECT_EQ(file, DialogUpdate().hWinUsbDeviceFile.load());
}
