// The 65-byte HID commands, the update handshake and the raw NXP transport
// through the simulated-flavour KivoFWSW.dll: the exact reports on the wire,
// the reply handling, the bounded waits, and the last errors of failures.
#include "camera_test_support.h"

#include <deque>
#include <functional>
#include <mutex>

namespace {

int ReadVersion() {
    unsigned char a = 0, b = 0;
    unsigned short c = 0, d = 0;
    return ReadFirmwareVersion(&a, &b, &c, &d);
}

int ReadUniqueId() {
    unsigned char id[4] = {};
    return GetCameraUniqueIDForHID(id);
}

std::vector<Bytes> WireOf(const sim::HidCameraModel& m) {
    std::vector<Bytes> out;
    for (const sim::HidWriteRecord& w : m.Writes()) out.push_back(w.bytes);
    return out;
}

::testing::AssertionResult SameWire(const std::vector<Bytes>& expected, const std::vector<Bytes>& got) {
    if (expected.size() != got.size()) {
        auto r = ::testing::AssertionFailure() << "expected " << expected.size() << " reports, got " << got.size();
        for (const Bytes& b : got) r << "\n  got: " << Hex(b);
        return r;
    }
    for (size_t i = 0; i < got.size(); ++i) {
        ::testing::AssertionResult one = SameBytes(expected[i], got[i]);
        if (!one) return ::testing::AssertionFailure() << "report " << i << ":" << one.message();
    }
    return ::testing::AssertionSuccess();
}

class HidCommands : public CameraTest {
protected:
    // A HID camera plugged and bound, as the updater binds a selected camera.
    sim::PluggedCamera<sim::HidCameraModel> BindCamera(const sim::HidCameraKnobs& knobs = sim::HidCameraKnobs()) {
        auto cam = sim::PlugHidCamera({L"CAM000000001", {1}}, knobs);
        Arg path(cam.videoPath);
        EXPECT_EQ(InitExtensionUnit(path.buf), 1);
        StartDebugCapture();
        return cam;
    }
    // The stereo camera bound with its MI_02 interface listed last, so that
    // its read handle is synchronous.
    sim::PluggedCamera<sim::HidCameraModel> BindStereoSynchronous(const sim::HidCameraKnobs& knobs) {
        sim::SetEnumerationOrder(sim::EnumerationOrder::Reverse);
        auto cam = sim::PlugStereoCamera({L"STEREO000001", {1}}, knobs);
        Arg path(cam.videoPath);
        EXPECT_EQ(InitExtensionUnit(path.buf), 1);
        EXPECT_EQ(cam.model->Opens().back().flags, 0u) << "the read handle should be synchronous";
        StartDebugCapture();
        return cam;
    }
};

TEST_F(HidCommands, ReportsOnTheWire) {
    struct Case {
        const char* name;
        std::function<int()> call;
        int result;
        std::vector<Bytes> wire;
    } cases[] = {
        {"version", ReadVersion, 1, {Command(0x40)}},
        {"unique ID", ReadUniqueId, 1, {Command(0x41)}},
        {"one-byte command: low byte of the argument", [] { return SendHIDCommandWithFirstByte(0x1204); }, 1,
         {Command(0x32, 0x04)}},
        {"update handshake", [] { return FirmwareUpdate(3); }, KIVOFWSW_UPDATE_ACCEPTED,
         {Command(0x30, 0xFF), Command(0x32, 0x03)}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DeinitExtensionUnit();
        sim::Reset();
        sim::SetTimeScale(kTimeScale);
        auto cam = BindCamera();
        EXPECT_EQ(c.call(), c.result);
        EXPECT_TRUE(SameWire(c.wire, WireOf(*cam.model)));
        for (const sim::HidWriteRecord& w : cam.model->Writes()) EXPECT_EQ(w.interfaceNumber, 2);
    }
}

TEST_F(HidCommands, VersionNumbersFromTheReply) {
    struct Case {
        uint8_t bytes[6];
        unsigned first, second, third, fourth;
    } cases[] = {
        {{0x01, 0x02, 0x00, 0x0A, 0x01, 0x2C}, 1, 2, 10, 300},
        {{0xFF, 0xFE, 0x12, 0x34, 0xAB, 0xCD}, 255, 254, 0x1234, 0xABCD},
        {{0x00, 0x00, 0x01, 0x00, 0x00, 0x01}, 0, 0, 256, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Hex(Bytes(c.bytes, c.bytes + 6)));
        DeinitExtensionUnit();
        sim::Reset();
        sim::SetTimeScale(kTimeScale);
        sim::HidCameraKnobs knobs;
        std::copy(c.bytes, c.bytes + 6, knobs.version);
        BindCamera(knobs);
        unsigned char a = 0, b = 0;
        unsigned short d3 = 0, d4 = 0;
        EXPECT_EQ(ReadFirmwareVersion(&a, &b, &d3, &d4), 1);
        EXPECT_EQ(a, c.first);
        EXPECT_EQ(b, c.second);
        EXPECT_EQ(d3, c.third);
        EXPECT_EQ(d4, c.fourth);
    }
}

TEST_F(HidCommands, VersionReadLogsTheCommandAndTheReply) {
    BindCamera();
    ASSERT_EQ(ReadVersion(), 1);
    const Lines expected = {
        L"ReadFirmwareVersion::InputBuffer= 0x0 0x40 0x0 0x0 0x0 0x0 0x0 0x0 0x0\r\n",
        L"ReadFirmwareVersion::Write File Passed\r\n",
        L"ReadFirmwareVersion:OutputPacketBuffer= 0x0 0x40 0x1 0x2 0x0 0xa 0x1 0x2c 0x0 0x0\r\n",
    };
    EXPECT_EQ(CapturedDebugLines(), expected) << Show(CapturedDebugLines());
}

TEST_F(HidCommands, AReplyToAnotherCommandLeavesTheVersionUntouched) {
    sim::HidCameraKnobs knobs;
    knobs.replyCode = 0x41;
    BindCamera(knobs);
    unsigned char a = 0xA5, b = 0xA5;
    unsigned short c = 0xBEEF, d = 0xBEEF;
    ::SetLastError(kMarker);
    EXPECT_EQ(ReadFirmwareVersion(&a, &b, &c, &d), 0);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
    EXPECT_EQ(a, 0xA5);
    EXPECT_EQ(b, 0xA5);
    EXPECT_EQ(c, 0xBEEF);
    EXPECT_EQ(d, 0xBEEF);
    EXPECT_EQ(LinesWith(L"OutputPacketBuffer"),
              Lines{L"ReadFirmwareVersion:OutputPacketBuffer= 0x0 0x41 0x1 0x2 0x0 0xa 0x1 0x2c 0x0 0x0\r\n"});
}

TEST_F(HidCommands, AnUnansweredVersionReadEndsAfterFiveSecondsAndCancelsItsRead) {
    sim::HidCameraKnobs knobs;
    knobs.noReply = true;
    auto cam = BindCamera(knobs);
    const ULONGLONG start = SimElapsedMs();
    ::SetLastError(kMarker);
    EXPECT_EQ(ReadVersion(), 0);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_TIMEOUT));
    const ULONGLONG waited = SimElapsedMs() - start;
    EXPECT_GE(waited, 5000u);
    EXPECT_LT(waited, 30000u);
    EXPECT_EQ(cam.model->PendingReads(), 0) << "the read was cancelled";
    EXPECT_EQ(LinesWith(L"CancelIo"), Lines{L"ReadFirmwareVersion:CancelIo GetLastError() = 997\r\n"});
}

TEST_F(HidCommands, UniqueIdIsTakenWhateverTheReplyCode) {
    struct Case {
        int replyCode;
    } cases[] = {{-1}, {0x00}, {0x40}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.replyCode);
        DeinitExtensionUnit();
        sim::Reset();
        sim::SetTimeScale(kTimeScale);
        sim::HidCameraKnobs knobs;
        knobs.replyCode = c.replyCode;
        const uint8_t id[4] = {0xDE, 0xAD, 0xBE, 0xEF};
        std::copy(id, id + 4, knobs.uniqueId);
        BindCamera(knobs);
        unsigned char got[5] = {0, 0, 0, 0, 0x77};
        EXPECT_EQ(GetCameraUniqueIDForHID(got), 1);
        EXPECT_TRUE(SameBytes(Bytes{0xDE, 0xAD, 0xBE, 0xEF, 0x77}, Bytes(got, got + 5)));
        EXPECT_EQ(LinesWith(L"GetCameraUniqueIDForHID"), Lines{L"GetCameraUniqueIDForHID:InputBuffer= 0xde 0xad 0xbe 0xef\r\n"});
    }
}

TEST_F(HidCommands, AnUnansweredUniqueIdReadIsCancelled) {
    sim::HidCameraKnobs knobs;
    knobs.noReply = true;
    auto cam = BindCamera(knobs);
    unsigned char id[4] = {1, 2, 3, 4};
    ::SetLastError(kMarker);
    EXPECT_EQ(GetCameraUniqueIDForHID(id), 0);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_TIMEOUT));
    EXPECT_TRUE(SameBytes(Bytes{1, 2, 3, 4}, Bytes(id, id + 4)));
    EXPECT_EQ(LinesWith(L"CancelIo"), (Lines{L"GetCameraUniqueIDForHID::CancelIo***\r\n",
                                             L"GetCameraUniqueIDForHID::CancelIo GetLastError() = 997\r\n"}));
    EXPECT_EQ(cam.model->PendingReads(), 0);
}

TEST_F(HidCommands, WithoutABoundCameraNothingIsSent) {
    auto cam = sim::PlugHidCamera({L"CAM000000001", {1}});
    const unsigned char report[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    struct Case {
        const char* name;
        std::function<int()> call;
    } cases[] = {
        {"ReadFirmwareVersion", ReadVersion},
        {"GetCameraUniqueIDForHID", ReadUniqueId},
        {"SendHIDCommandWithFirstByte", [] { return SendHIDCommandWithFirstByte(4); }},
        {"FirmwareUpdate", [] { return FirmwareUpdate(1); }},
        {"sendNXPHidCmd", [&] { return sendNXPHidCmd(report, 8, 1); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ::SetLastError(kMarker);
        EXPECT_EQ(c.call(), 0);
        EXPECT_EQ(::GetLastError(), KIVOFWSW_ERROR_NOT_BOUND);
    }
    EXPECT_TRUE(cam.model->Writes().empty());
    EXPECT_TRUE(cam.model->Opens().empty());
}

TEST_F(HidCommands, AFailedWriteKeepsTheSystemError) {
    sim::HidCameraKnobs knobs;
    knobs.leaveBusAtCommand = 0;
    BindCamera(knobs);
    ::SetLastError(kMarker);
    EXPECT_EQ(ReadVersion(), 0);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    EXPECT_TRUE(LinesWith(L"Write File").empty()) << "the write failed with a system error";
}

TEST_F(HidCommands, AcceptedHandshakeSendsTheCameraIntoUpdateMode) {
    auto cam = BindCamera();
    EXPECT_EQ(FirmwareUpdate(2), KIVOFWSW_UPDATE_ACCEPTED);
    // A reply already waiting when the read starts completes it at once,
    // without the two lines of a pending read.
    Lines lines = CapturedDebugLines();
    const Lines pending = {L"Update Firmware ReadFile GetLastError()= 997\r\n", L"Read File Success\r\n"};
    if (lines.size() == 5) {
        EXPECT_EQ(Lines(lines.begin() + 1, lines.begin() + 3), pending) << Show(lines);
        lines.erase(lines.begin() + 1, lines.begin() + 3);
    }
    const Lines expected = {
        L"0x30 command sent to device from host \r\n",
        L"0x32 command is received from device to host\r\n",
        L"Write File Passed\r\n",
    };
    EXPECT_EQ(lines, expected) << Show(CapturedDebugLines());
    EXPECT_EQ(cam.model->UpdateKinds(), std::vector<uint8_t>{2});
    ASSERT_TRUE(sim::WaitForIdle());
    EXPECT_FALSE(sim::IsPresent(cam.device));
    bool updateMode = false;
    for (sim::DeviceId d : sim::PresentDevices()) {
        const sim::UsbDeviceSpec s = sim::SpecOf(d);
        updateMode |= s.vid == 0x4A7E && s.pid == 0xDF00 && s.serial == L"CAM000000001";
    }
    EXPECT_TRUE(updateMode) << "the camera came back as the update-mode device";
}

TEST_F(HidCommands, AnotherAnswerToTheHandshakeIsNotAnAcceptance) {
    sim::HidCameraKnobs knobs;
    knobs.replyCode = 0x30;
    auto cam = BindCamera(knobs);
    EXPECT_EQ(FirmwareUpdate(3), 1);
    EXPECT_TRUE(SameWire({Command(0x30, 0xFF)}, WireOf(*cam.model)));
    EXPECT_EQ(CapturedDebugLines().back(), L"0x32 command is not received from device to host\r\n");
    EXPECT_TRUE(cam.model->UpdateKinds().empty());
}

TEST_F(HidCommands, AHandshakeNeverAnsweredEndsAfterAboutAMinute) {
    sim::SetTimeScale(kFastTimeScale);
    sim::HidCameraKnobs knobs;
    knobs.noReply = true;
    auto cam = BindCamera(knobs);
    const ULONGLONG start = SimElapsedMs();
    ::SetLastError(kMarker);
    EXPECT_EQ(FirmwareUpdate(3), 0);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_TIMEOUT));
    const ULONGLONG waited = SimElapsedMs() - start;
    EXPECT_GE(waited, 60000u);
    EXPECT_LT(waited, 180000u);
    EXPECT_TRUE(SameWire(std::vector<Bytes>(12, Command(0x30, 0xFF)), WireOf(*cam.model)));
    EXPECT_EQ(LinesWith(L"WaitForSingleObject").size(), 12u);
    EXPECT_EQ(LinesWith(L"no reply after"), Lines{L"KivoFwSw: Update Firmware  no reply after 12 requests\r\n"});
    EXPECT_EQ(cam.model->PendingReads(), 0);
    EXPECT_TRUE(sim::IsPresent(cam.device));
}

TEST_F(HidCommands, AHandshakeEndsWhenTheCameraLeavesTheBus) {
    sim::SetTimeScale(kFastTimeScale);
    sim::HidCameraKnobs knobs;
    knobs.noReply = true;
    knobs.leaveBusAtCommand = 3;
    auto cam = BindCamera(knobs);
    ::SetLastError(kMarker);
    EXPECT_EQ(FirmwareUpdate(3), 0);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    EXPECT_TRUE(SameWire(std::vector<Bytes>(4, Command(0x30, 0xFF)), WireOf(*cam.model)));
}

// A camera that takes the handshake and leaves the bus before the library
// reads its answer: the read fails at once, so no read is outstanding and
// nothing may wait for one; the next round's request fails and ends it.
TEST_F(HidCommands, AHandshakeWhoseReadFailsAtOnceEndsWithTheNextRequest) {
    class LeavesAfterTheHandshake : public sim::HidCameraModel {
    public:
        void Write(const sim::IoRequestPtr& request) override {
            sim::HidCameraModel::Write(request);
            sim::Unplug(device());
        }
    };
    sim::SetTimeScale(kFastTimeScale);
    auto model = std::make_shared<LeavesAfterTheHandshake>();
    const sim::DeviceId device =
        sim::Plug(sim::CameraSpec(0x4A7E, 0xC110, L"CAM000000001", {1}, L"Kivo HID Camera"), model);
    Arg path(sim::InterfacePaths(device, sim::kGuidKsCategoryCapture).at(0));
    ASSERT_EQ(InitExtensionUnit(path.buf), 1);
    ::SetLastError(kMarker);
    EXPECT_EQ(FirmwareUpdate(3), 0);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    EXPECT_EQ(model->Writes().size(), 1u);
}

TEST_F(HidCommands, SynchronousReadHandleWaitIsBoundedAndALateReplyIsNotLost) {
    sim::HidCameraKnobs knobs;
    knobs.replyDelayMs = 30000;
    auto cam = BindStereoSynchronous(knobs);
    const ULONGLONG start = SimElapsedMs();
    ::SetLastError(kMarker);
    EXPECT_EQ(ReadVersion(), 0);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_TIMEOUT));
    const ULONGLONG waited = SimElapsedMs() - start;
    EXPECT_GE(waited, 5000u);
    EXPECT_LT(waited, 30000u) << "gave up before the camera answered";
    // The read the library gave up on is still outstanding; the late reply
    // completes it.
    for (int i = 0; i < 1000 && cam.model->PendingReads() != 0; ++i) ::Sleep(5);
    ASSERT_EQ(cam.model->PendingReads(), 0) << "the late reply never came";
    // The next exchange takes that read over: no second read queued behind
    // it, and the late reply answers it.
    unsigned char a = 0, b = 0;
    unsigned short c = 0, d = 0;
    EXPECT_EQ(ReadFirmwareVersion(&a, &b, &c, &d), 1);
    EXPECT_EQ(d, 300);
    EXPECT_EQ(cam.model->ReadsIssued(), 1);
    EXPECT_TRUE(SameWire({Command(0x40), Command(0x40)}, WireOf(*cam.model)));
}

TEST_F(HidCommands, SynchronousReadHandleHandshakeIsBoundedToo) {
    sim::SetTimeScale(kFastTimeScale);
    sim::HidCameraKnobs knobs;
    knobs.noReply = true;
    auto cam = BindStereoSynchronous(knobs);
    ::SetLastError(kMarker);
    EXPECT_EQ(FirmwareUpdate(3), 0);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_TIMEOUT));
    EXPECT_EQ(WireOf(*cam.model).size(), 12u);
    EXPECT_EQ(cam.model->ReadsIssued(), 1) << "one outstanding read, not one per request";
}

// The NXP boot ROM as the raw transport sees it: it takes whole reports and
// answers each with a report of its own (unless told to stay silent).
class LoaderStandIn : public sim::DeviceModel {
public:
    explicit LoaderStandIn(bool answers) : answers_(answers) {}
    void Write(const sim::IoRequestPtr& r) override {
        sim::IoRequestPtr reader;
        {
            std::lock_guard<std::mutex> lock(mu_);
            writes.push_back(r->input());
            if (writeError != ERROR_SUCCESS) {
                r->Fail(writeError);
                return;
            }
            if (answers_) {
                Bytes reply(emptyReplies ? 0 : r->input().size(), 0);
                if (!reply.empty()) reply[0] = 0x03;
                replies_.push_back(reply);
            }
        }
        r->CompleteBytes(static_cast<DWORD>(r->input().size()));
        Serve();
    }
    void Read(const sim::IoRequestPtr& r) override {
        {
            std::lock_guard<std::mutex> lock(mu_);
            readLengths.push_back(r->outputCapacity());
            if (readError != ERROR_SUCCESS) {
                r->Fail(readError);
                return;
            }
            pending_.push_back(r);
        }
        Serve();
    }
    DWORD writeError = ERROR_SUCCESS;  // every write fails with this
    DWORD readError = ERROR_SUCCESS;   // every reply read fails with this
    bool emptyReplies = false;         // replies carry no bytes
    void Cancelled(const sim::IoRequestPtr& r) override {
        std::lock_guard<std::mutex> lock(mu_);
        for (auto it = pending_.begin(); it != pending_.end(); ++it) {
            if (*it == r) {
                pending_.erase(it);
                break;
            }
        }
    }
    size_t Pending() {
        std::lock_guard<std::mutex> lock(mu_);
        return pending_.size();
    }
    std::vector<Bytes> writes;
    std::vector<DWORD> readLengths;

private:
    void Serve() {
        sim::IoRequestPtr reader;
        Bytes reply;
        {
            std::lock_guard<std::mutex> lock(mu_);
            if (pending_.empty() || replies_.empty()) return;
            reader = pending_.front();
            pending_.pop_front();
            reply = replies_.front();
            replies_.pop_front();
        }
        reader->CompleteData(reply);
    }
    bool answers_;
    std::mutex mu_;
    std::deque<sim::IoRequestPtr> pending_;
    std::deque<Bytes> replies_;
};

class NxpTransport : public CameraTest {
protected:
    // A loader whose reports are as long as the ones the test sends (the
    // HID class driver takes whole reports only), with report IDs.
    std::shared_ptr<LoaderStandIn> PlugAndBind(bool answers, USHORT outputLength = 1025, USHORT inputLength = 1025) {
        auto loader = std::make_shared<LoaderStandIn>(answers);
        sim::HidCaps caps;
        caps.inputReportLength = inputLength;
        caps.outputReportLength = outputLength;
        caps.outputReportIds = {1, 2};
        caps.inputReportIds = {3};
        sim::Plug(sim::HidDeviceSpec(0x1FC9, 0x0135, L"", {3}, caps), loader);
        Arg s(L"VID_1FC9&PID_0135");
        EXPECT_EQ(Init_HIDHandle(s.buf), 1);
        StartDebugCapture();
        return loader;
    }
};

Bytes Pattern(size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<BYTE>(i * 7 + 1);
    return b;
}

TEST_F(NxpTransport, OnlyTheLowByteOfTheWaitFlagCounts) {
    struct Case {
        const char* name;
        int wait;
        size_t reads;
    } cases[] = {
        {"0x100: no wait", 0x100, 0},
        {"0: no wait", 0, 0},
        {"1: wait for the reply", 1, 1},
        {"0x1FF: wait for the reply", 0x1FF, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DeinitExtensionUnit();
        sim::Reset();
        sim::SetTimeScale(kTimeScale);
        auto loader = PlugAndBind(true);
        const Bytes report = Pattern(1025);
        EXPECT_EQ(sendNXPHidCmd(report.data(), 1025, c.wait), 1);
        ASSERT_EQ(loader->writes.size(), 1u);
        EXPECT_TRUE(SameBytes(report, loader->writes[0]));
        EXPECT_EQ(loader->readLengths.size(), c.reads);
        if (c.reads) {
            EXPECT_EQ(loader->readLengths[0], 1025u);
        }
        EXPECT_EQ(LinesWith(L"sendNXPHidCmd").size(), c.reads);
    }
}

TEST_F(NxpTransport, WithoutTheWaitFlagASilentLoaderCostsNoTime) {
    auto loader = PlugAndBind(false);
    const Bytes report = Pattern(1025);
    const ULONGLONG start = SimElapsedMs();
    EXPECT_EQ(sendNXPHidCmd(report.data(), 1025, 0x100), 1);
    EXPECT_LT(SimElapsedMs() - start, 5000u);
    EXPECT_TRUE(loader->readLengths.empty());
}

TEST_F(NxpTransport, AnUnansweredReportReturnsAfterTheWaitWithItsReadCancelled) {
    auto loader = PlugAndBind(false, 1016, 1016);
    const Bytes report = Pattern(1016);
    const ULONGLONG start = SimElapsedMs();
    EXPECT_EQ(sendNXPHidCmd(report.data(), 1016, 1), 1);
    EXPECT_GE(SimElapsedMs() - start, 5000u);
    EXPECT_EQ(loader->Pending(), 0u);
    EXPECT_EQ(LinesWith(L"CancelIo"), Lines{L"ReadFirmwareVersion:CancelIo GetLastError() = 997\r\n"});
}

TEST_F(NxpTransport, ARequestLongerThanTheReplyBufferReadsNoMoreThanItHolds) {
    auto loader = PlugAndBind(true, 1100, 1025);
    const Bytes report = Pattern(1100);
    EXPECT_EQ(sendNXPHidCmd(report.data(), 1100, 1), 1);
    ASSERT_EQ(loader->readLengths.size(), 1u);
    EXPECT_EQ(loader->readLengths[0], 1025u);
    EXPECT_TRUE(SameBytes(report, loader->writes.at(0)));
}

// A 0 from the transport says either that the report never reached the
// loader or that it did and only its reply failed; the last error tells
// which, so that a caller can go on after the second.
TEST_F(NxpTransport, AFailedReplyIsToldApartFromAReportNotWritten) {
    struct Case {
        const char* name;
        DWORD writeError, readError;
        bool emptyReplies;
        DWORD lastError;
    } cases[] = {
        {"write refused", ERROR_GEN_FAILURE, ERROR_SUCCESS, false, ERROR_GEN_FAILURE},
        {"reply read fails", ERROR_SUCCESS, ERROR_GEN_FAILURE, false, KIVOFWSW_ERROR_NO_REPLY},
        {"empty reply", ERROR_SUCCESS, ERROR_SUCCESS, true, KIVOFWSW_ERROR_NO_REPLY},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DeinitExtensionUnit();
        sim::Reset();
        sim::SetTimeScale(kTimeScale);
        auto loader = PlugAndBind(true, 1016, 1016);
        loader->writeError = c.writeError;
        loader->readError = c.readError;
        loader->emptyReplies = c.emptyReplies;
        const Bytes report = Pattern(1016);
        ::SetLastError(kMarker);
        EXPECT_EQ(sendNXPHidCmd(report.data(), 1016, 1), 0);
        EXPECT_EQ(::GetLastError(), c.lastError);
        EXPECT_EQ(loader->writes.size(), 1u);
    }
}

TEST_F(NxpTransport, NoReportNoSend) {
    auto loader = PlugAndBind(true);
    const Bytes report = Pattern(16);
    ::SetLastError(kMarker);
    EXPECT_EQ(sendNXPHidCmd(nullptr, 16, 1), 0);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    ::SetLastError(kMarker);
    EXPECT_EQ(sendNXPHidCmd(report.data(), 0, 1), 0);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(loader->writes.empty());
}

}  // namespace
