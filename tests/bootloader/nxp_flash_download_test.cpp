// The RT1060 flash-loader stage run by the update thread, against the
// simulated flash loader.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "KivoFWSW.h"
#include "app_state.h"
#include "boot_test_support.h"
#include "engine_harness.h"
#include "nxp_flashloader.h"
#include "update_engine.h"

namespace {

const wchar_t kSuccessText[] =
    L"Firmware Downloaded Successfully!\r\nDonot Reset the Device.\r\nDevice will boot automatically after "
    L"completing firmware update!";

struct FlashWorld {
    EngineHarness h;  // the dialog's stand-in; a fresh world
    std::shared_ptr<sim::NxpFlashLoaderModel> model;
    sim::DeviceId device = 0;

    explicit FlashWorld(const sim::NxpFlashLoaderKnobs& knobs = sim::NxpFlashLoaderKnobs()) {
        model = std::make_shared<sim::NxpFlashLoaderModel>(knobs);
        device = sim::Plug(sim::NxpFlashLoaderSpec(L"", {3, 2}), model);
        EXPECT_TRUE(sim::WaitForIdle());
        DeinitExtensionUnit();
        std::wstring path = UsbPath(device);
        EXPECT_EQ(1, Init_HIDHandle(&path[0]));
        DialogUpdate().bNXPDevice = true;
    }
    ~FlashWorld() {
        DeinitExtensionUnit();
        DialogUpdate().bNXPDevice = false;
    }

    DWORD Update(const Bytes& image) {
        h.LoadFile(image);  // a file without markers: the whole file is image part 2
        return h.RunUpdateThread();
    }
};

std::vector<WPARAM> Values(const std::vector<ProgressEvent>& events, UINT message) {
    std::vector<WPARAM> out;
    for (const ProgressEvent& e : events)
        if (e.message == message) out.push_back(e.value);
    return out;
}

struct PacketBytes {
    const char* name;
    Bytes head;  // the packet; every later byte of the report is 0
};

// The command packets, in the order they must go out, for an image of
// `size` bytes.
std::vector<PacketBytes> ExpectedCommands(uint32_t size) {
    const uint8_t s0 = static_cast<uint8_t>(size), s1 = static_cast<uint8_t>(size >> 8),
                  s2 = static_cast<uint8_t>(size >> 16);
    return {
        {"get property", {1, 0, 12, 0, 0x07, 0, 0, 2, 1, 0, 0, 0, 0, 0, 0, 0}},
        {"fill memory", {1, 0, 16, 0, 0x05, 0, 0, 3, 0x00, 0x20, 0, 0, 4, 0, 0, 0, 0x01, 0, 0, 0xC0}},
        {"fill memory 2", {1, 0, 16, 0, 0x05, 0, 0, 3, 0x04, 0x20, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0}},
        {"configure memory", {1, 0, 12, 0, 0x11, 0, 0, 2, 9, 0, 0, 0, 0x00, 0x20, 0, 0}},
        {"erase region", {1, 0, 16, 0, 0x02, 0, 0, 3, 0, 0, 0, 0x60, 0xA0, 0x86, 0x01, 0, 0, 0, 0, 0}},
        {"fill memory 3", {1, 0, 16, 0, 0x05, 0, 0, 3, 0x00, 0x30, 0, 0, 4, 0, 0, 0, 0x0F, 0, 0, 0xF0}},
        {"configure memory 2", {1, 0, 12, 0, 0x11, 0, 0, 2, 9, 0, 0, 0, 0x00, 0x30, 0, 0}},
        {"get property 0x0B", {1, 0, 12, 0, 0x07, 0, 0, 2, 0x0B, 0, 0, 0, 0, 0, 0, 0}},
        {"write memory", {1, 0, 16, 0, 0x04, 1, 0, 3, 0x00, 0x10, 0x00, 0x60, s0, s1, s2, 0, 0, 0, 0, 0}},
    };
}

const std::vector<PacketBytes> kFinishCommands = {
    {"set property 0x8380", {1, 0, 12, 0, 0x0C, 0, 0, 2, 0x80, 0x83, 0, 0, 0, 0, 0, 0}},
    {"set property 0x3204", {1, 0, 12, 0, 0x0C, 0, 0, 2, 0x04, 0x32, 0, 0, 0, 0, 0, 0}},
};

void ExpectPacket(const PacketBytes& expected, const std::vector<BYTE>& report) {
    SCOPED_TRACE(expected.name);
    ASSERT_EQ(1016u, report.size());
    EXPECT_EQ(expected.head, Bytes(report.begin(), report.begin() + expected.head.size()));
    for (size_t i = expected.head.size(); i < report.size(); ++i) {
        if (report[i] != 0) {
            ADD_FAILURE() << "byte " << i << " is " << int(report[i]) << ", not 0";
            break;
        }
    }
}

const wchar_t* const kCommandLines[] = {
    L"\nsendNXPHidCmd CMD_TAG_GETPROPERTY ..",       L"\nsendNXPHidCmd CMD_TAG_FILLMEMORY ..",
    L"\nsendNXPHidCmd CMD_TAG_FILLMEMORY2 ..",       L"\nsendNXPHidCmd CMD_TAG_CONFIGMEMORY ..",
    L"\nsendNXPHidCmd CMD_TAG_FLASH_ERASE_REGION ..", L"\nsendNXPHidCmd CMD_TAG_FILLMEMORY3 ..",
    L"\nsendNXPHidCmd CMD_TAG_CONFIGMEMORY2 ..",     L"\nsendNXPHidCmd CMD_TAG_WRITEMEMORY ..",
};

}  // namespace

TEST(NxpFlashDownload, ImageOf2030BytesGoesOutIn1012And1012And6) {
    FlashWorld w;
    const Bytes image = Pattern(2030, 3);
    EXPECT_EQ(1u, w.Update(image));

    const auto out = w.model->OutputReports();
    ASSERT_EQ(9u + 3u + 2u, out.size());
    const auto commands = ExpectedCommands(2030);
    for (size_t i = 0; i < 9; ++i) ExpectPacket(commands[i], out[i]);
    EXPECT_EQ((std::vector<uint32_t>{1012, 1012, 6}), w.model->DataPacketLengths());
    for (size_t i = 9; i < 12; ++i) {
        EXPECT_EQ(1016u, out[i].size());
        EXPECT_EQ(2, out[i][0]);
        EXPECT_EQ(0, out[i][1]);
    }
    ExpectPacket(kFinishCommands[0], out[12]);
    ExpectPacket(kFinishCommands[1], out[13]);

    EXPECT_EQ(image, w.model->Flash(0x60001000, 2030));
    EXPECT_EQ(2030u, w.model->BytesProgrammed());
    const auto progress = w.h.Progress();
    EXPECT_EQ((std::vector<WPARAM>{3}), Values(progress, WM_FW_PROGRESS_RANGE));
    EXPECT_EQ((std::vector<WPARAM>{1, 2, 3}), Values(progress, WM_FW_PROGRESS_STEP));
    EXPECT_EQ(1u, Values(progress, WM_FW_UPDATE_DONE).size());
    EXPECT_EQ((std::vector<std::wstring>{kSuccessText}), w.h.BoxTexts());

    int last = LineIndex(L"DoDownloadNXPFirmware ++\n");
    EXPECT_GE(last, 0);
    for (const wchar_t* line : kCommandLines) {
        const int at = LineIndex(line);
        EXPECT_GT(at, last) << "in order: " << testing::PrintToString(std::wstring(line));
        last = at;
    }
    EXPECT_EQ(1, LineCount(L"sendNXPHidCmd :: BytesLeft calling.....\n"));
    EXPECT_FALSE(DialogUpdate().bDownloadInProgress);
    EXPECT_EQ(nullptr, DialogUpdate().pImageData2) << "the image is released once written";
    EXPECT_TRUE(w.model->Restarted());
}

TEST(NxpFlashDownload, WriteMemoryCarriesTheImageSizeAndTheFlashEqualsTheImage) {
    struct Case {
        uint32_t size;
        uint8_t oldFlash;  // what the flash held before the update
        size_t packets;
        int bytesLeftLines;
        uint32_t eraseBytes;  // from 0x60000000
    } cases[] = {
        {2024, 0xFF, 2, 0, 100000},
        {1, 0xFF, 1, 1, 100000},
        {50000, 0x00, 50, 1, 100000},  // old firmware: only an erased flash takes the image
        {95904, 0x00, 95, 1, 100000},  // ends where the fixed region ends
        // Images reaching past the fixed region get the region up to their end.
        {95905, 0x00, 95, 1, 100001},
        {100000, 0xFF, 99, 1, 104096},
        {100000, 0x00, 99, 1, 104096},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.size) + " bytes over flash holding " + std::to_string(c.oldFlash));
        sim::NxpFlashLoaderKnobs k;
        k.initialFlash = c.oldFlash;
        FlashWorld w(k);
        const Bytes image = Pattern(c.size, 8);
        EXPECT_EQ(1u, w.Update(image));
        const auto cmds = w.model->Commands();
        ASSERT_GE(cmds.size(), 9u);
        ASSERT_EQ(3u, cmds[8].parameters.size());
        EXPECT_EQ(0x04, cmds[8].tag);
        EXPECT_EQ(0x60001000u, cmds[8].parameters[0]);
        EXPECT_EQ(c.size, cmds[8].parameters[1]);
        EXPECT_EQ(c.packets, w.model->DataPacketLengths().size());
        EXPECT_EQ(c.bytesLeftLines, LineCount(L"sendNXPHidCmd :: BytesLeft calling.....\n"));
        ASSERT_EQ(1u, w.model->Erases().size());
        EXPECT_EQ(0x60000000u, w.model->Erases()[0].start);
        EXPECT_EQ(c.eraseBytes, w.model->Erases()[0].bytes);
        EXPECT_EQ(image, w.model->Flash(0x60001000, c.size));
        EXPECT_EQ((std::vector<WPARAM>{c.packets}), Values(w.h.Progress(), WM_FW_PROGRESS_RANGE));
        EXPECT_EQ(c.packets, Values(w.h.Progress(), WM_FW_PROGRESS_STEP).size());
    }
}

// Only a packet that could not be written stops the download: a loader that
// never answers, or whose answers cannot be read, still takes the image.
TEST(NxpFlashDownload, RepliesAreNotJudgedSoALoaderWithoutReadableRepliesStillTakesTheImage) {
    for (bool readsFail : {false, true}) {
        SCOPED_TRACE(readsFail ? "reply reads fail" : "no reply");
        sim::NxpFlashLoaderKnobs k;
        (readsFail ? k.replyReadsFail : k.noReply) = true;
        FlashWorld w(k);
        const Bytes image = Pattern(3000, 9);
        EXPECT_EQ(1u, w.Update(image));
        EXPECT_EQ(image, w.model->Flash(0x60001000, 3000));
        EXPECT_EQ(9u + 3u + 2u, w.model->OutputReports().size()) << "every command and data packet";
        EXPECT_EQ((std::vector<std::wstring>{kSuccessText}), w.h.BoxTexts());
    }
}

TEST(NxpFlashDownload, APacketThatCannotBeWrittenFailsTheUpdate) {
    struct Case {
        const char* name;
        sim::NxpFlashLoaderKnobs knobs;
        size_t reportsSeen;              // output reports the loader saw
        std::vector<WPARAM> steps;       // progress steps before the failure
        const wchar_t* line;
    } cases[] = {
        {"second data packet refused", [] { sim::NxpFlashLoaderKnobs k; k.rejectReport = 10; return k; }(), 11, {1},
         L"sendNXPHidCmd Failed.."},
        {"loader leaves in the data phase", [] { sim::NxpFlashLoaderKnobs k; k.leaveBusAtReport = 11; return k; }(),
         12, {1, 2}, L"sendNXPHidCmd Failed.."},
        {"configure memory refused", [] { sim::NxpFlashLoaderKnobs k; k.rejectReport = 3; return k; }(), 4, {},
         L"\nsendNXPHidCmd command packet Failed.."},
        {"write memory refused", [] { sim::NxpFlashLoaderKnobs k; k.rejectReport = 8; return k; }(), 9, {},
         L"\nsendNXPHidCmd command packet Failed.."},
        {"loader gone before the erase", [] { sim::NxpFlashLoaderKnobs k; k.leaveBusAtReport = 4; return k; }(), 5,
         {}, L"\nsendNXPHidCmd command packet Failed.."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FlashWorld w(c.knobs);
        EXPECT_EQ(0u, w.Update(Pattern(5000, 4)));
        EXPECT_EQ(c.reportsSeen, w.model->OutputReports().size());
        EXPECT_EQ((std::vector<std::wstring>{L"Firmware Download Failed!"}), w.h.BoxTexts());
        EXPECT_EQ(c.steps, Values(w.h.Progress(), WM_FW_PROGRESS_STEP));
        EXPECT_TRUE(Values(w.h.Progress(), WM_FW_UPDATE_DONE).empty());
        EXPECT_EQ(1, LineCount(c.line));
        EXPECT_EQ(1, LineCount(L"UpdateFirmware failed thread -----   \n"));
        EXPECT_FALSE(DialogUpdate().bDownloadInProgress);
        EXPECT_FALSE(DialogUpdate().bDownloadComplete);
        EXPECT_EQ(0u, DialogUpdate().dwBlocksSent.load());
        // The dialog is back to where the operator can leave or retry.
        EXPECT_EQ(L"", w.h.ControlText(1000));
        EXPECT_TRUE(w.h.ControlEnabled(1010));
        for (int id : {1007, 1018, 1004, 1003}) EXPECT_FALSE(w.h.ControlVisible(id)) << id;
    }
}

TEST(NxpFlashDownload, StatusTextsWhileTheFlashIsPrepared) {
    FlashWorld w;
    w.h.LoadFile(Pattern(100, 2));
    ShowWindow(GetDlgItem(w.h.dialog, 1007), SW_HIDE);
    EXPECT_EQ(1u, w.h.RunUpdateThread());
    EXPECT_EQ(L"Updating Firmware.....", w.h.ControlText(1007));
    // The harness's window itself is never shown: the control's own style says it.
    EXPECT_NE(0, GetWindowLongW(GetDlgItem(w.h.dialog, 1007), GWL_STYLE) & WS_VISIBLE);
    EXPECT_EQ(L"Erasing Memory...Please Wait...", w.h.ControlText(1004));
}

// Near real time, so that the 50 ms after each data packet shows on the
// simulated clock: the flash loader loses a packet that comes before it has
// programmed the one before, and the flash would not hold the image.
TEST(NxpFlashDownload, TheWaitAfterEachDataPacketIsKept) {
    FlashWorld w;
    sim::SetTimeScale(1.0);
    const Bytes image = Pattern(3 * 1012, 9);
    EXPECT_EQ(1u, w.Update(image));
    EXPECT_EQ(L"  (nothing refused)\n", sim::RefusalsText());
    EXPECT_EQ(image, w.model->Flash(0x60001000, 3 * 1012));
    EXPECT_EQ((std::vector<std::wstring>{kSuccessText}), w.h.BoxTexts());
}
