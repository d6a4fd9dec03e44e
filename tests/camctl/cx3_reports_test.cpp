// The CX3 camera's length-prefixed reports through the simulated-flavour
// KivoFWSW.dll: the state poll, the raw report transfers, the bounds of the
// copies, and the payload limit.
#include "camera_test_support.h"

#include <algorithm>
#include <cstring>

namespace {

class Cx3Reports : public CameraTest {
protected:
    // Bound as the updater's erase-and-reset sequence binds it.
    sim::PluggedCamera<sim::Cx3CameraModel> Bind(const sim::Cx3CameraKnobs& knobs = sim::Cx3CameraKnobs()) {
        auto cam = sim::PlugCx3Camera({L"CX3000000001", {1}}, knobs);
        Arg path(cam.videoPath);
        EXPECT_EQ(InitExtensionUnit(path.buf), 1);
        EXPECT_EQ(SetPreparseDataAndAttributes(), 1);
        StartDebugCapture();
        return cam;
    }
};

TEST_F(Cx3Reports, StateIsPolledWhileBusyForAtMostSixtyRounds) {
    struct Case {
        const char* name;
        bool staysBusy;
        int busyAtStart;
        int result;
        int polls;
    } cases[] = {
        {"ready at once", false, 0, 0, 1},
        {"busy five times", false, 5, 0, 6},
        {"ready at the last poll", false, 59, 0, 60},
        {"stays busy", true, 0, KIVOFWSW_CX3_BUSY, 60},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DeinitExtensionUnit();
        sim::Reset();
        sim::SetTimeScale(kTimeScale);
        sim::Cx3CameraKnobs knobs;
        knobs.staysBusy = c.staysBusy;
        knobs.busyAtStart = c.busyAtStart;
        auto cam = Bind(knobs);
        unsigned char buf[512] = {};
        const ULONGLONG start = SimElapsedMs();
        ::SetLastError(kMarker);
        EXPECT_EQ(DevicestateCX3SNI(buf), c.result);
        if (c.result == KIVOFWSW_CX3_BUSY) {
            EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_BUSY));
        }
        EXPECT_EQ(cam.model->InputReportsServed(), c.polls);
        EXPECT_GE(SimElapsedMs() - start, 50u * c.polls) << "50 ms before each poll";
        EXPECT_EQ(buf[0], 1) << "the caller's buffer starts at the length byte (the state alone)";
    }
}

TEST_F(Cx3Reports, EraseThenPollUntilReady) {
    sim::Cx3CameraKnobs knobs;
    knobs.erasePolls = 3;
    auto cam = Bind(knobs);
    unsigned char buf[512] = {};
    ASSERT_EQ(DevicestateCX3SNI(buf), 0);
    const unsigned char erase[4] = {0xAA, 0x01, 0x00, 0x00};
    EXPECT_EQ(SetHidReport(erase, 4), 1);
    ASSERT_EQ(cam.model->OutputReports().size(), 1u);
    Bytes expected(512, 0);
    expected[1] = 4;
    std::memcpy(&expected[2], erase, 4);
    EXPECT_TRUE(SameBytes(expected, cam.model->OutputReports()[0]));
    std::vector<int> states;
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(GetHidReport(buf), 1);
        states.push_back(buf[1]);
    }
    EXPECT_EQ(states, (std::vector<int>{8, 8, 8, 0, 0}));
    EXPECT_EQ(cam.model->Erases(), 1);
}

TEST_F(Cx3Reports, PayloadOf510IsSentAnd511IsRefusedWithoutTouchingTheDevice) {
    auto cam = Bind();
    unsigned char buf[512] = {};
    ASSERT_EQ(DevicestateCX3SNI(buf), 0);
    Bytes payload(511);
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<BYTE>(0x30 + i % 64);
    EXPECT_EQ(SetHidReport(payload.data(), 510), 1);
    ASSERT_EQ(cam.model->OutputReports().size(), 1u);
    const Bytes sent = cam.model->OutputReports()[0];
    ASSERT_EQ(sent.size(), 512u);
    EXPECT_EQ(sent[0], 0);
    EXPECT_TRUE(SameBytes(Bytes(payload.begin(), payload.begin() + 510), Bytes(sent.begin() + 2, sent.end())));
    const int served = cam.model->InputReportsServed();
    for (int n : {511, 4096, -1}) {
        SCOPED_TRACE(n);
        ::SetLastError(kMarker);
        EXPECT_EQ(SetHidReport(payload.data(), n), 0);
        EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
    EXPECT_EQ(cam.model->OutputReports().size(), 1u);
    EXPECT_EQ(cam.model->InputReportsServed(), served);
}

TEST_F(Cx3Reports, APayloadLongerThanTheOutputReportIsRefused) {
    sim::Cx3CameraKnobs knobs;
    knobs.reportLength = 64;
    auto cam = Bind(knobs);
    unsigned char buf[64] = {};
    ASSERT_EQ(DevicestateCX3SNI(buf), 0);
    const Bytes payload(63, 0x11);
    EXPECT_EQ(SetHidReport(payload.data(), 62), 1);
    ::SetLastError(kMarker);
    EXPECT_EQ(SetHidReport(payload.data(), 63), 0);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(cam.model->OutputReports().size(), 1u);
}

TEST_F(Cx3Reports, VersionReports) {
    auto cam = Bind();
    unsigned char buf[512] = {};
    ASSERT_EQ(DevicestateCX3SNI(buf), 0);
    const unsigned char cx3[3] = {0xBB, 0x00, 0x00};
    ASSERT_EQ(SetHidReport(cx3, 3), 1);
    ASSERT_EQ(GetHidReport(buf), 1);
    // The length byte counts the payload: the state and the five version
    // bytes, the year last; nothing of the report behind it is taken.
    EXPECT_TRUE(SameBytes(Bytes{6, 0, 3, 1, 12, 24, 23, 0}, Bytes(buf, buf + 8)));
    const unsigned char isp[3] = {0xCC, 0x00, 0x00};
    ASSERT_EQ(SetHidReport(isp, 3), 1);
    ASSERT_EQ(GetHidReport(buf), 1);
    EXPECT_EQ(buf[1], 0);
    EXPECT_EQ(buf[2], 0x10);
    EXPECT_EQ(buf[3], 0x02);
    EXPECT_STREQ(reinterpret_cast<const char*>(buf + 4), "231224");
    EXPECT_STREQ(reinterpret_cast<const char*>(buf + 12), "153045");
}

// A camera whose length byte counts itself as well: every payload byte still
// arrives (and one byte of the report behind them).
TEST_F(Cx3Reports, AVersionFromACameraThatCountsItsLengthByteKeepsTheYear) {
    sim::Cx3CameraKnobs knobs;
    knobs.lengthByte = 7;
    Bind(knobs);
    unsigned char buf[512] = {};
    ASSERT_EQ(DevicestateCX3SNI(buf), 0);
    const unsigned char cx3[3] = {0xBB, 0x00, 0x00};
    ASSERT_EQ(SetHidReport(cx3, 3), 1);
    ASSERT_EQ(GetHidReport(buf), 1);
    EXPECT_TRUE(SameBytes(Bytes{7, 0, 3, 1, 12, 24, 23}, Bytes(buf, buf + 7)));
}

TEST_F(Cx3Reports, CopiesNeverMoreThanTheReportHoldsWhateverItsLengthByteSays) {
    struct Case {
        const char* name;
        int lengthByte;
        size_t copied;
    } cases[] = {
        {"length 127 in a 16-byte report", 0x7F, 15},
        {"length 16 in a 16-byte report", 0x10, 15},
        {"length 14: the whole report after its ID", 0x0E, 15},
        {"length 5: the length byte and five payload bytes", 0x05, 6},
        {"length 0", 0x00, 0},
        {"negative length", 0x80, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DeinitExtensionUnit();
        sim::Reset();
        sim::SetTimeScale(kTimeScale);
        sim::Cx3CameraKnobs knobs;
        knobs.reportLength = 16;
        knobs.lengthByte = c.lengthByte;
        Bind(knobs);
        // The report as the camera sends it: ID, length byte, state 0, then
        // bytes of its buffer that are not part of the payload.
        Bytes report(16, 0xEE);
        report[0] = 0;
        report[1] = static_cast<BYTE>(c.lengthByte);
        report[2] = 0;
        Bytes expected(200, 0x5A);
        std::copy(report.begin() + 1, report.begin() + 1 + c.copied, expected.begin());

        Bytes polled(200, 0x5A);
        DevicestateCX3SNI(polled.data());
        EXPECT_TRUE(SameBytes(expected, polled)) << "DevicestateCX3SNI";
        Bytes got(200, 0x5A);
        EXPECT_EQ(GetHidReport(got.data()), 1);
        EXPECT_TRUE(SameBytes(expected, got)) << "GetHidReport";
    }
}

TEST_F(Cx3Reports, ResetSendsTheCameraToItsBootLoader) {
    sim::Cx3CameraKnobs knobs;
    knobs.resetRefusals = 1;
    auto cam = Bind(knobs);
    unsigned char buf[512] = {};
    ASSERT_EQ(DevicestateCX3SNI(buf), 0);
    const unsigned char reset[4] = {0xAA, 0x02, 0x00, 0x00};
    ASSERT_EQ(SetHidReport(reset, 4), 1);
    ASSERT_EQ(GetHidReport(buf), 1);
    EXPECT_EQ(buf[1], 3) << "the first reset is refused";
    ASSERT_EQ(SetHidReport(reset, 4), 1);
    ASSERT_TRUE(sim::WaitForIdle());
    ::SetLastError(kMarker);
    EXPECT_EQ(GetHidReport(buf), 0) << "a failing read means the camera has reset";
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    EXPECT_EQ(cam.model->Resets(), 1);
    bool loader = false;
    for (sim::DeviceId d : sim::PresentDevices()) {
        const sim::UsbDeviceSpec s = sim::SpecOf(d);
        loader |= s.vid == 0x04B4 && s.pid == 0x00F3;
    }
    EXPECT_TRUE(loader) << "the FX3 boot loader arrived";
}

TEST_F(Cx3Reports, TransfersBeforeTheStatePollFail) {
    auto cam = Bind();
    unsigned char buf[512] = {};
    const unsigned char payload[3] = {0xBB, 0, 0};
    ::SetLastError(kMarker);
    EXPECT_EQ(GetHidReport(buf), 0);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
    ::SetLastError(kMarker);
    EXPECT_EQ(SetHidReport(payload, 3), 0);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
    EXPECT_TRUE(cam.model->OutputReports().empty());
    EXPECT_EQ(cam.model->InputReportsServed(), 0);
}

TEST_F(Cx3Reports, WithoutABoundCameraNothingReachesADevice) {
    auto cam = sim::PlugCx3Camera({L"CX3000000001", {1}});
    unsigned char buf[512] = {};
    ::SetLastError(kMarker);
    EXPECT_EQ(DevicestateCX3SNI(buf), KIVOFWSW_CX3_NO_REPORT);
    EXPECT_EQ(::GetLastError(), KIVOFWSW_ERROR_NOT_BOUND);
    ::SetLastError(kMarker);
    EXPECT_EQ(GetHidReport(buf), 0);
    EXPECT_EQ(::GetLastError(), KIVOFWSW_ERROR_NOT_BOUND);
    const unsigned char payload[3] = {0xBB, 0, 0};
    ::SetLastError(kMarker);
    EXPECT_EQ(SetHidReport(payload, 0), 0);
    EXPECT_EQ(::GetLastError(), KIVOFWSW_ERROR_NOT_BOUND);
    EXPECT_EQ(cam.model->InputReportsServed(), 0);
    EXPECT_TRUE(cam.model->OutputReports().empty());
}

TEST_F(Cx3Reports, ACameraThatRefusesToOpenGivesNoDescriptors) {
    sim::Cx3CameraKnobs knobs;
    knobs.openError = ERROR_ACCESS_DENIED;
    auto cam = sim::PlugCx3Camera({L"CX3000000001", {1}}, knobs);
    Arg path(cam.videoPath);
    ::SetLastError(kMarker);
    EXPECT_EQ(InitExtensionUnit(path.buf), 1) << "a failed open with a system error still binds";
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    ::SetLastError(kMarker);
    EXPECT_EQ(SetPreparseDataAndAttributes(), 0);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    unsigned char buf[512] = {};
    ::SetLastError(kMarker);
    EXPECT_EQ(DevicestateCX3SNI(buf), KIVOFWSW_CX3_NO_REPORT);
    EXPECT_EQ(::GetLastError(), KIVOFWSW_ERROR_NOT_BOUND);
    EXPECT_EQ(cam.model->InputReportsServed(), 0);
}

TEST_F(Cx3Reports, AFailedInputReportIsLoggedAndEndsThePoll) {
    sim::Cx3CameraKnobs knobs;
    knobs.inputReportError = ERROR_GEN_FAILURE;
    auto cam = Bind(knobs);
    unsigned char buf[512] = {};
    ::SetLastError(kMarker);
    EXPECT_EQ(DevicestateCX3SNI(buf), KIVOFWSW_CX3_NO_REPORT);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
    EXPECT_EQ(cam.model->InputReportsServed(), 1);
    const Lines failed = LinesWith(L"HidD_GetInputReport Failed");
    ASSERT_EQ(failed.size(), 1u) << Show(CapturedDebugLines());
    // The library's own line carries its prefix.
    EXPECT_EQ(0u, failed[0].rfind(L"KivoFwSw: HidD_GetInputReport Failed status = 0 handle = 0x", 0)) << Show(failed);
    const std::wstring tail = L"length = 512 GetLastError() = 31\r\n";
    EXPECT_EQ(failed[0].substr(failed[0].size() - tail.size()), tail);
}

TEST_F(Cx3Reports, AFailedOutputReportIsLoggedWithThePrefix) {
    sim::Cx3CameraKnobs knobs;
    knobs.outputReportError = ERROR_GEN_FAILURE;
    auto cam = Bind(knobs);
    unsigned char buf[512] = {};
    ASSERT_EQ(DevicestateCX3SNI(buf), 0) << "the report buffers exist";
    const unsigned char erase[4] = {0xAA, 0x01, 0, 0};
    ::SetLastError(kMarker);
    EXPECT_EQ(SetHidReport(erase, 4), 0);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
    const Lines failed = LinesWith(L"HidD_SetOutputReport Failed");
    ASSERT_EQ(failed.size(), 1u) << Show(CapturedDebugLines());
    EXPECT_EQ(0u, failed[0].rfind(L"KivoFwSw: HidD_SetOutputReport Failed status = 0 handle = 0x", 0)) << Show(failed);
    const std::wstring tail = L"GetLastError() = 31\r\n";
    EXPECT_EQ(failed[0].substr(failed[0].size() - tail.size()), tail);
}

}  // namespace
