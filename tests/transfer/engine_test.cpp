// The update thread against the simulated update-mode device.
#include <gtest/gtest.h>

#include "app_state.h"
#include "engine_harness.h"
#include "update_engine.h"
#include "usb_requests.h"

namespace {

using Bytes = std::vector<uint8_t>;

const wchar_t kSuccessText[] =
    L"Firmware Downloaded Successfully!\r\nDonot Reset the Device.\r\nDevice will boot automatically after "
    L"completing firmware update!";

std::vector<WPARAM> Values(const std::vector<ProgressEvent>& events, UINT message) {
    std::vector<WPARAM> out;
    for (const ProgressEvent& e : events)
        if (e.message == message) out.push_back(e.value);
    return out;
}

std::vector<WPARAM> Range(WPARAM from, WPARAM to) {
    std::vector<WPARAM> out;
    for (WPARAM v = from; v <= to; ++v) out.push_back(v);
    return out;
}

bool Contains(const std::vector<std::wstring>& texts, const std::wstring& t) {
    for (const auto& x : texts)
        if (x == t) return true;
    return false;
}

// The dialog after a failed update: path cleared, EXIT usable, the update
// display hidden.
void ExpectFailureReset(const EngineHarness& h) {
    EXPECT_EQ(L"", h.ControlText(1000));
    EXPECT_TRUE(h.ControlEnabled(1010));
    EXPECT_FALSE(h.ControlEnabled(1000));
    EXPECT_FALSE(h.ControlEnabled(1005));
    for (int id : {1007, 1018, 1004, 1003}) EXPECT_FALSE(h.ControlVisible(id)) << id;
}

}  // namespace

TEST(UpdateEngine, StateChangeTable) {
    struct Case {
        uint8_t start;
        int request;  // -1: no state-change request
        bool extraStatus;
    } cases[] = {
        {0, 0x00, true}, {5, 0x06, true}, {10, 0x04, true}, {6, -1, true},
        {3, -1, false},  {2, -1, false},  {1, -1, false},   {9, -1, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "start state " << int(c.start));
        EngineHarness h;
        sim::DfuKnobs k;
        k.startState = c.start;
        h.PlugDevice(k);
        const Bytes img = Pattern(100, 1);
        h.LoadFile(img);  // plain file: type 3
        EXPECT_EQ(1u, h.RunUpdateThread());
        const auto req = h.Requests();
        ASSERT_GE(req.size(), 3u);
        size_t i = 0;
        EXPECT_EQ(0x03, req[i++].request);  // the first status request
        if (c.request >= 0) {
            EXPECT_EQ(c.request, req[i++].request);
        }
        if (c.extraStatus) {
            EXPECT_EQ(0x03, req[i++].request);
        }
        EXPECT_EQ(0x01, req[i].request) << "the download follows the state change";
        EXPECT_EQ(img, h.flash->image2);
        EXPECT_TRUE(Contains(h.BoxTexts(), kSuccessText));
    }
}

TEST(UpdateEngine, DeviceThatDoesNotChangeStateFailsTheUpdate) {
    for (uint8_t start : {0, 5, 10, 6}) {
        SCOPED_TRACE(int(start));
        EngineHarness h;
        sim::DfuKnobs k;
        k.startState = start;
        k.ignoresStateChange = true;
        h.PlugDevice(k);
        h.LoadFile(Pattern(100, 2));
        EXPECT_EQ(0u, h.RunUpdateThread());
        EXPECT_EQ((std::vector<std::wstring>{L"Change State Failed!", L"USB Communication Failure!"}), h.BoxTexts());
        EXPECT_TRUE(h.flash->image2.empty());
        ExpectFailureReset(h);
    }
}

TEST(UpdateEngine, BlocksAndThePadByteOfPartTwo) {
    struct Case {
        size_t size;
        std::vector<uint16_t> lengths;
        bool padded;
    } cases[] = {
        {2048 + 128, {1024, 1024, 129}, true},
        {2048 + 100, {1024, 1024, 100}, false},
        {2048 + 65, {1024, 1024, 65}, false},  // ends in 0xFF bytes of its own, no pad
        {2048, {1024, 1024}, false},
        {64, {65}, true},
        {1, {1}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        EngineHarness h;
        h.PlugDevice();
        const Bytes img = Pattern(c.size, 3);
        h.LoadFile(img);
        EXPECT_EQ(1u, h.RunUpdateThread());
        EXPECT_EQ(c.lengths, h.DataRequestLengths());
        // Every byte the device took, the pad byte included: the image, then
        // 0xFF when the last block is a whole number of 64-byte packets.
        Bytes sent = img;
        if (c.padded) sent.push_back(0xFF);
        EXPECT_EQ(sent, h.flash->image2);
        EXPECT_TRUE(sim::DfuFlash::Holds(h.flash->image2, img));
        // The plain image runs alone: its own range and one step per block.
        EXPECT_EQ(std::vector<WPARAM>{c.lengths.size()}, Values(h.Progress(), WM_FW_PROGRESS_RANGE));
        EXPECT_EQ(Range(1, c.lengths.size()), Values(h.Progress(), WM_FW_PROGRESS_STEP));
        EXPECT_EQ(1u, Values(h.Progress(), WM_FW_UPDATE_DONE).size());
    }
}

TEST(UpdateEngine, TwoPartImageInTwoRunsCarriesProgressAcross) {
    EngineHarness h;
    h.PlugDevice();
    const Bytes part1 = Pattern(2048 + 128, 4);  // 3 blocks, never padded
    const Bytes part2 = Pattern(4 * 1024 + 7, 5);  // 5 blocks
    h.LoadFile(TwoPartFile(2, part1, part2));
    ASSERT_TRUE(DialogUpdate().bCombinedImage);

    EXPECT_EQ(1u, h.RunUpdateThread());
    EXPECT_EQ(std::vector<WPARAM>{8}, Values(h.Progress(), WM_FW_PROGRESS_RANGE));
    EXPECT_EQ(Range(1, 3), Values(h.Progress(), WM_FW_PROGRESS_STEP));
    EXPECT_TRUE(Values(h.Progress(), WM_FW_UPDATE_DONE).empty());
    EXPECT_TRUE(h.BoxTexts().empty()) << "no box after part 1";
    EXPECT_EQ((std::vector<uint16_t>{1024, 1024, 128}), h.DataRequestLengths());
    EXPECT_EQ(1, h.flash->combinedErases);

    h.ReopenAfterRestart();
    EXPECT_EQ(1u, h.RunUpdateThread());
    EXPECT_EQ(std::vector<WPARAM>{8}, Values(h.Progress(), WM_FW_PROGRESS_RANGE)) << "no new range in run 2";
    EXPECT_EQ(Range(1, 8), Values(h.Progress(), WM_FW_PROGRESS_STEP));
    EXPECT_EQ(1u, Values(h.Progress(), WM_FW_UPDATE_DONE).size());
    EXPECT_EQ((std::vector<std::wstring>{kSuccessText}), h.BoxTexts());
    EXPECT_EQ(part1, h.flash->image1);
    EXPECT_EQ(part2, h.flash->image2);
    EXPECT_FALSE(DialogUpdate().bUpdatedFromHIDMode);
    EXPECT_EQ(0u, DialogUpdate().dwBlocksSent.load());
}

TEST(UpdateEngine, EraseFailureDoesNotStopTheTwoPartDownload) {
    EngineHarness h;
    sim::DfuKnobs k;
    k.eraseFails = true;
    h.PlugDevice(k);
    const Bytes part1 = Pattern(1500, 6), part2 = Pattern(900, 7);
    h.LoadFile(TwoPartFile(2, part1, part2));
    EXPECT_EQ(1u, h.RunUpdateThread());
    EXPECT_NE(std::wstring::npos, sim::DebugText().find(L"DoDownload::EraseCombinedImage failed\r\n"));
    h.ReopenAfterRestart();
    EXPECT_EQ(1u, h.RunUpdateThread());
    EXPECT_EQ((std::vector<std::wstring>{kSuccessText}), h.BoxTexts());
}

TEST(UpdateEngine, McuAndFpgaFilesWithTheirVerifyReplies) {
    const Bytes mcu = McuLines(30, 100), img = Pattern(3000, 8), fpga = Pattern(2500, 9);
    struct Case {
        const char* name;
        bool isMcu;
        uint8_t verifyStatus;
        uint8_t verifyState;
        bool succeeds;
    } cases[] = {
        {"MCU verified", true, 1, 13, true},
        {"MCU verify with bStatus 0", true, 0, 13, false},
        {"MCU verify with the wrong state", true, 1, 17, false},
        {"FPGA ready", false, 1, 17, true},
        {"FPGA verify with bStatus 0", false, 0, 17, false},
        {"FPGA verify with the wrong state", false, 1, 13, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EngineHarness h;
        sim::DfuKnobs k;
        (c.isMcu ? k.mcuVerifyStatus : k.fpgaVerifyStatus) = c.verifyStatus;
        (c.isMcu ? k.mcuVerifyState : k.fpgaVerifyState) = c.verifyState;
        h.PlugDevice(k);
        h.LoadFile(c.isMcu ? Cat({ShortSection("orviMCU", mcu), ShortSection("orviIMG", img)})
                           : Cat({ShortSection("orviFPGA", fpga), ShortSection("orviIMG", img)}));
        EXPECT_EQ(c.succeeds ? 1u : 0u, h.RunUpdateThread());
        if (c.succeeds) {
            EXPECT_EQ((std::vector<std::wstring>{kSuccessText}), h.BoxTexts());
            if (c.isMcu) {
                EXPECT_EQ(mcu, h.flash->mcu);
                EXPECT_EQ((std::vector<uint16_t>{1000, 1000, 1000}), h.DataRequestLengths(0x0B));
                EXPECT_EQ(std::vector<WPARAM>{3 + 3}, Values(h.Progress(), WM_FW_PROGRESS_RANGE));
            } else {
                EXPECT_EQ(fpga, h.flash->fpga);
                EXPECT_EQ((std::vector<uint16_t>{1024, 1024, 452}), h.DataRequestLengths(0x0F));
                EXPECT_EQ(std::vector<WPARAM>{3 + 3}, Values(h.Progress(), WM_FW_PROGRESS_RANGE));
            }
            EXPECT_EQ(img, h.flash->image2);
        } else {
            EXPECT_EQ((std::vector<std::wstring>{c.isMcu ? L"MCU firmware update failed. Please retry again...!!"
                                                         : L"Firmware update failed. Please retry again...!!"}),
                      h.BoxTexts());
            EXPECT_TRUE(h.flash->image2.empty()) << "the image is not written after a failed verify";
            ExpectFailureReset(h);
        }
    }
}

// The first block of a part may find the device still erasing: its status
// requests fail, up to 999 times in a row, and however long those failures
// take. A device that answers but never takes a block is failed after two
// minutes of answers (DeviceFaultsEndInTheFailureBox).
// A section of length 0 holds nothing for its part: the other part is
// written. Only a first image that is empty and due to be written fails the
// update, before anything is erased: a run without a block gives the device
// no download to end, so it would not restart for the second image.
TEST(UpdateEngine, FilesWithOneEmptySection) {
    const Bytes img = Pattern(2100, 80), data = Pattern(1500, 81), mcu = McuLines(20, 100);
    struct Case {
        const char* name;
        Bytes file;
        bool partTwoOnly;  // the update was started on a device already in update mode
        bool succeeds;
        Bytes image1, image2, mcuFlash, fpgaFlash;
    } cases[] = {
        {"FPGA data empty", Cat({ShortSection("orviFPGA", {}), ShortSection("orviIMG", img)}), false, true, {}, img,
         {}, {}},
        {"IMG of an FPGA file empty", Cat({ShortSection("orviFPGA", data), ShortSection("orviIMG", {})}), false, true,
         {}, {}, {}, data},
        {"MCU data empty", Cat({ShortSection("orviMCU", {}), ShortSection("orviIMG", img)}), false, true, {}, img, {},
         {}},
        {"IMG of an MCU file empty", Cat({ShortSection("orviMCU", mcu), ShortSection("orviIMG", {})}), false, true,
         {}, {}, mcu, {}},
        {"second image empty", TwoPartFile(2, data, {}), false, true, data, {}, {}, {}},
        {"first image empty, written from update mode", TwoPartFile(2, {}, img), true, true, {}, img, {}, {}},
        {"first image empty and due", TwoPartFile(2, {}, img), false, false, {}, {}, {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EngineHarness h;
        h.PlugDevice();
        h.LoadFile(c.file);
        DialogUpdate().bWritePart2 = c.partTwoOnly;
        DWORD result = h.RunUpdateThread();
        if (result == 1 && !Contains(h.BoxTexts(), kSuccessText)) {
            h.ReopenAfterRestart();
            result = h.RunUpdateThread();
        }
        DialogUpdate().bWritePart2 = false;
        EXPECT_EQ(c.succeeds ? 1u : 0u, result);
        EXPECT_EQ(c.succeeds, Contains(h.BoxTexts(), kSuccessText));
        EXPECT_EQ(c.image1, h.flash->image1);
        EXPECT_EQ(c.image2, h.flash->image2);
        EXPECT_EQ(c.mcuFlash, h.flash->mcu);
        EXPECT_EQ(c.fpgaFlash, h.flash->fpga);
        // An MCU file's verify goes out even when its MCU section is empty:
        // the device says whether its MCU flash is good.
        size_t verifies = 0;
        for (const auto& r : h.Requests()) verifies += r.request == 0x0C ? 1 : 0;
        EXPECT_EQ(std::string(c.name).find("MCU") != std::string::npos ? 1u : 0u, verifies);
        if (!c.succeeds) {
            EXPECT_EQ(0, h.flash->combinedErases) << "nothing erased";
        }
    }
}

TEST(UpdateEngine, TolerantFirstBlockPolling) {
    struct Case {
        const char* name;
        int failures;
        DWORD failureMs;  // how long each failed request takes
        int busyPolls;    // busy answers once the device answers
        bool succeeds;
    } cases[] = {
        {"999 failures", 999, 0, 0, true},
        {"1000 failures", 1000, 0, 0, false},
        {"erasing for over two minutes, then busy once", 30, 5000, 1, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EngineHarness h;
        sim::DfuKnobs k;
        k.failedStatusAfterFirstBlock = c.failures;
        k.unansweredMs = c.failureMs;
        k.busyPollsPerBlock = c.busyPolls;
        h.PlugDevice(k);
        const Bytes img = Pattern(3000, 10);
        h.LoadFile(img);
        const DWORD result = h.RunUpdateThread();
        if (c.succeeds) {
            EXPECT_EQ(1u, result);
            EXPECT_EQ(img, h.flash->image2);
            EXPECT_EQ((std::vector<std::wstring>{kSuccessText}), h.BoxTexts());
        } else {
            EXPECT_EQ(0u, result);
            EXPECT_EQ((std::vector<std::wstring>{L"Firmware Download Failed!"}), h.BoxTexts());
            EXPECT_NE(std::wstring::npos,
                      sim::DebugText().find(L"dodownload::FirstTimeGetstatus failed in else part ++\n"));
        }
    }
}

// One failed status request after block n (counted over the download
// session): only the first block of image part 2 and the first MCU packet
// are polled tolerantly; every other block, and every block of part 1, of
// the FPGA data and of the IMG data behind MCU or FPGA data, strictly.
TEST(UpdateEngine, OnlyTheFirstBlockOfPartTwoAndTheFirstMcuPacketAreToleratedAFailedStatus) {
    const Bytes img = Pattern(3000, 50);  // 3 blocks
    const Bytes mcuFile = Cat({ShortSection("orviMCU", McuLines(30, 100)), ShortSection("orviIMG", img)});
    const Bytes fpgaFile = Cat({ShortSection("orviFPGA", Pattern(2500, 51)), ShortSection("orviIMG", img)});
    const Bytes twoPart = TwoPartFile(2, Pattern(2500, 52), img);
    struct Case {
        const char* name;
        Bytes file;
        bool secondRun;  // the failure is in the second run of a two-part file
        int block;
        bool succeeds;
    } cases[] = {
        {"plain: first block", img, false, 0, true},
        {"plain: second block", img, false, 1, false},
        {"plain: last block", img, false, 2, false},
        {"two-part: first block of part 1", twoPart, false, 0, false},
        {"two-part: first block of part 2", twoPart, true, 0, true},
        {"two-part: second block of part 2", twoPart, true, 1, false},
        {"MCU: first packet", mcuFile, false, 0, true},
        {"MCU: second packet", mcuFile, false, 1, false},
        {"MCU: first IMG block", mcuFile, false, 3, false},
        {"FPGA: first FPGA block", fpgaFile, false, 0, false},
        {"FPGA: first IMG block", fpgaFile, false, 3, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EngineHarness h;
        sim::DfuKnobs k;
        k.failedStatusAtBlock = c.block;
        if (c.secondRun) {
            h.laterKnobs = k;
            h.PlugDevice();
        } else {
            h.PlugDevice(k);
        }
        h.LoadFile(c.file);
        DWORD result = h.RunUpdateThread();
        if (c.file == twoPart && result == 1) {
            h.ReopenAfterRestart();
            result = h.RunUpdateThread();
        }
        EXPECT_EQ(c.succeeds ? 1u : 0u, result);
        EXPECT_EQ(c.succeeds, Contains(h.BoxTexts(), kSuccessText));
        EXPECT_EQ(c.succeeds, h.flash->image2 == img);
    }
}

// A communication failure keeps the part that is still to be written (a
// camera that comes back gets it); a new file starts a new update from its
// first part and its first block.
TEST(UpdateEngine, ANewFileAfterAFailedSecondRunStartsFromItsFirstPart) {
    EngineHarness h;
    h.laterKnobs.statusStalls = true;
    h.PlugDevice();
    h.LoadFile(TwoPartFile(2, Pattern(2500, 60), Pattern(1500, 61)));
    ASSERT_EQ(1u, h.RunUpdateThread());
    h.ReopenAfterRestart();
    ASSERT_EQ(0u, h.RunUpdateThread());
    ASSERT_EQ((std::vector<std::wstring>{L"Get Status Failed!", L"USB Communication Failure!"}), h.BoxTexts());

    h.Replug();
    const size_t before = h.Progress().size();
    const Bytes first = Pattern(1100, 62), second = Pattern(900, 63);
    ASSERT_EQ(1, BrowseFirmwareFile(TwoPartFile(2, first, second)));
    ASSERT_EQ(1u, h.RunUpdateThread());
    EXPECT_EQ(first, h.flash->image1) << "the new file's first part, in its own first run";
    const std::vector<ProgressEvent> all = h.Progress();
    const std::vector<ProgressEvent> run(all.begin() + static_cast<std::ptrdiff_t>(before), all.end());
    EXPECT_EQ(std::vector<WPARAM>{3}, Values(run, WM_FW_PROGRESS_RANGE));
    EXPECT_EQ(Range(1, 2), Values(run, WM_FW_PROGRESS_STEP)) << "counted from the new update's first block";
}

// The protocol's fixed waits, read from the simulated clock at the device:
// 20 ms after each status reply, 50 ms after each MCU packet and after the
// combined erase, 10 s before the MCU verify status, 10 ms before the
// failure box.
TEST(UpdateEngine, FixedWaitsBetweenRequests) {
    struct Gap {
        uint8_t after;     // request
        uint8_t next;      // the request that follows it
        ULONGLONG leastMs;
    };
    auto gaps = [](const std::vector<sim::DfuRequestRecord>& req, const Gap& g) {
        std::vector<ULONGLONG> out;
        for (size_t i = 0; i + 1 < req.size(); ++i)
            if (req[i].request == g.after && req[i + 1].request == g.next) out.push_back(req[i + 1].atMs - req[i].atMs);
        return out;
    };
    {
        SCOPED_TRACE("MCU file with busy polls");
        EngineHarness h;
        sim::SetTimeScale(0.1);  // a tenth: the program's own work stays far below each wait
        sim::DfuKnobs k;
        k.busyPollsPerBlock = 2;
        h.PlugDevice(k);
        h.LoadFile(Cat({ShortSection("orviMCU", McuLines(20, 100)), ShortSection("orviIMG", Pattern(100, 70))}));
        ASSERT_EQ(1u, h.RunUpdateThread());
        const auto req = h.Requests();
        for (const Gap& g : {Gap{0x03, 0x03, 20}, Gap{0x0B, 0x03, 50}, Gap{0x0C, 0x0D, 10000}}) {
            SCOPED_TRACE(testing::Message() << "after request " << int(g.after));
            const auto seen = gaps(req, g);
            ASSERT_FALSE(seen.empty());
            for (ULONGLONG ms : seen) EXPECT_GE(ms, g.leastMs);
        }
    }
    {
        SCOPED_TRACE("two-part file: the erase");
        EngineHarness h;
        sim::SetTimeScale(0.1);  // a tenth: the program's own work stays far below each wait
        h.PlugDevice();
        h.LoadFile(TwoPartFile(2, Pattern(100, 71), Pattern(100, 72)));
        ASSERT_EQ(1u, h.RunUpdateThread());
        const auto seen = gaps(h.Requests(), Gap{0x0E, 0x01, 50});
        ASSERT_EQ(1u, seen.size());
        EXPECT_GE(seen[0], 50u);
    }
    {
        SCOPED_TRACE("a failed status request and the failure box");
        EngineHarness h;
        sim::SetTimeScale(1.0);  // 10 ms against the dialog's own work: real time
        sim::DfuKnobs k;
        k.failedStatusAtBlock = 1;  // strictly polled: the download ends there
        h.PlugDevice(k);
        h.LoadFile(Pattern(2000, 73));
        ULONGLONG boxAt = 0;
        sim::SetMessageBoxHook([&](const sim::MessageBoxCall&) {
            boxAt = sim::SimulatedNowMs();
            return 0;
        });
        ASSERT_EQ(0u, h.RunUpdateThread());
        const auto req = h.Requests();
        ASSERT_FALSE(req.empty());
        ASSERT_EQ(0x03, req.back().request);
        ASSERT_FALSE(req.back().ok) << "the failed status request is the last one";
        EXPECT_GE(boxAt - req.back().atMs, 10u);
    }
}

TEST(UpdateEngine, DeviceFaultsEndInTheFailureBox) {
    struct Case {
        const char* name;
        sim::DfuKnobs knobs;
    };
    std::vector<Case> cases;
    {
        sim::DfuKnobs k;
        k.failBlock = 1;
        cases.push_back({"data request stalls", k});
    }
    {
        sim::DfuKnobs k;
        k.errorStateAtBlock = 1;
        cases.push_back({"device reports the error state", k});
    }
    {
        sim::DfuKnobs k;
        k.shortCountAtBlock = 2;
        cases.push_back({"short transfer", k});
    }
    {
        sim::DfuKnobs k;
        k.leaveBusAtBlock = 1;
        cases.push_back({"device leaves the bus", k});
    }
    {
        sim::DfuKnobs k;
        k.stayBusy = true;
        cases.push_back({"device stays busy", k});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EngineHarness h;
        h.PlugDevice(c.knobs);
        h.LoadFile(Pattern(4000, 11));
        EXPECT_EQ(0u, h.RunUpdateThread());
        EXPECT_EQ((std::vector<std::wstring>{L"Firmware Download Failed!"}), h.BoxTexts());
        EXPECT_TRUE(Values(h.Progress(), WM_FW_UPDATE_DONE).empty());
        EXPECT_FALSE(DialogUpdate().bDownloadInProgress);
        ExpectFailureReset(h);
    }
}

TEST(UpdateEngine, StatusFailuresAtTheStartAreCommunicationFailures) {
    for (bool shortReply : {false, true}) {
        EngineHarness h;
        sim::DfuKnobs k;
        (shortReply ? k.statusShort : k.statusStalls) = true;
        h.PlugDevice(k);
        h.LoadFile(Pattern(100, 12));
        EXPECT_EQ(0u, h.RunUpdateThread());
        EXPECT_EQ((std::vector<std::wstring>{L"Get Status Failed!", L"USB Communication Failure!"}), h.BoxTexts());
        ExpectFailureReset(h);
    }
}

TEST(UpdateEngine, ImageTypeWithoutARuleIsAFailedUpdate) {
    EngineHarness h;
    h.PlugDevice();
    h.LoadFile(TwoPartFile(7, Pattern(100, 13), Pattern(100, 14)));
    EXPECT_EQ(0u, h.RunUpdateThread());
    EXPECT_EQ((std::vector<std::wstring>{L"Firmware Download Failed!"}), h.BoxTexts());
}

TEST(UpdateEngine, NxpPathFailsVisiblyUntilItsEngineExists) {
    EngineHarness h;
    h.PlugDevice();
    h.LoadFile(Pattern(100, 15));
    DialogUpdate().bNXPDevice = true;
    EXPECT_EQ(0u, h.RunUpdateThread());
    EXPECT_EQ((std::vector<std::wstring>{L"Firmware Download Failed!"}), h.BoxTexts());
    DialogUpdate().bNXPDevice = false;
}

TEST(UpdateEngine, SectionsAlreadySentAreNotReportedAsWrittenAgain) {
    EngineHarness h;
    h.PlugDevice();
    h.LoadFile(Pattern(100, 16));
    EXPECT_EQ(1u, h.RunUpdateThread());
    h.ReopenAfterRestart();
    // The same file again without reading it: its sections were released.
    EXPECT_EQ(0u, h.RunUpdateThread());
    EXPECT_EQ(L"Firmware Download Failed!", h.BoxTexts().back());
}

// Near real time, so that a wait the engine leaves out shows on the
// simulated clock (at the fast time scales of the other tests the engine's
// own work between two requests already counts as a long wait): the device
// refuses a request that comes before the wait it needs, and the update
// fails.
TEST(UpdateEngine, EveryWaitTheDeviceNeedsIsKept) {
    struct Case {
        const char* name;
        double timeScale;
        Bytes file;
        bool twoRuns;
    } cases[] = {
        {"after each status reply (20 ms)", 1.0, Pattern(3 * 1024, 50), false},
        {"after the combined-image erase (50 ms)", 1.0, TwoPartFile(2, Pattern(1024, 51), Pattern(1024, 52)), true},
        {"after each MCU packet (50 ms) and before the verify status (10 s)", 0.1,
         Cat({ShortSection("orviMCU", McuLines(30, 100)), ShortSection("orviIMG", Pattern(1024, 53))}), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EngineHarness h;
        h.PlugDevice();
        sim::SetTimeScale(c.timeScale);
        h.LoadFile(c.file);
        EXPECT_EQ(1u, h.RunUpdateThread());
        if (c.twoRuns) {
            h.ReopenAfterRestart();
            EXPECT_EQ(1u, h.RunUpdateThread());
        }
        EXPECT_EQ(L"  (nothing refused)\n", sim::RefusalsText());
        EXPECT_EQ((std::vector<std::wstring>{kSuccessText}), h.BoxTexts());
    }
}
