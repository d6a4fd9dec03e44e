// Scaled time: sleeps, wait time-outs, timer periods and the timeline run
// faster by the factor, and GetTickCount follows the simulated clock. Real
// durations are only bounded generously from above.
#include "sim_test_support.h"

#include "os_api.h"

using namespace simtest;

namespace {

ULONGLONG RealNow() { return ::GetTickCount64(); }

TEST(SimTimeScale, SleepAndTimeOutsShrinkWhileTheSimulatedClockRunsOn) {
    sim::SetTimeScale(0.01);
    EXPECT_DOUBLE_EQ(0.01, sim::TimeScale());
    HANDLE never = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    struct Case {
        const char* label;
        DWORD simulatedMs;
        std::function<void()> call;
    } cases[] = {
        {"Sleep", 3000, [] { Os().Sleep(3000); }},
        {"WaitForSingleObject time-out", 5000,
         [never] { EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), Os().WaitForSingleObject(never, 5000)); }},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.label);
        const DWORD simStart = Os().GetTickCount();
        const ULONGLONG realStart = RealNow();
        c.call();
        EXPECT_GE(Os().GetTickCount() - simStart, c.simulatedMs);
        EXPECT_LT(RealNow() - realStart, c.simulatedMs / 2) << "not scaled";
    }
    ::CloseHandle(never);
}

TEST(SimTimeScale, ZeroAndSignalledWaitsAreNotDelayed) {
    sim::SetTimeScale(100.0);  // slower: an unscaled zero would still be zero
    HANDLE set = ::CreateEventW(nullptr, TRUE, TRUE, nullptr);
    HANDLE unset = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const ULONGLONG start = RealNow();
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), Os().WaitForSingleObject(set, INFINITE));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), Os().WaitForSingleObject(unset, 0));
    Os().Sleep(0);
    EXPECT_LT(RealNow() - start, 1000u);
    ::CloseHandle(set);
    ::CloseHandle(unset);
}

TEST(SimTimeScale, LastErrorSurvivesTimeCalls) {
    const OsApi& os = Os();
    sim::SetTimeScale(0.5);
    struct Case {
        const char* label;
        std::function<void()> call;
    } cases[] = {
        {"Sleep", [&] { os.Sleep(2); }},
        {"GetTickCount", [&] { os.GetTickCount(); }},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.label);
        ::SetLastError(kMarker);
        c.call();
        EXPECT_EQ(kMarker, ::GetLastError());
    }
}

TEST(SimTimeScale, TimerPeriodIsScaled) {
    sim::SetTimeScale(0.01);
    HWND w = ::CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    ASSERT_NE(nullptr, w);
    const ULONGLONG start = RealNow();
    ASSERT_NE(0u, Os().SetTimer(w, 7, 60000, nullptr));
    bool fired = false;
    while (!fired && RealNow() - start < 5000) {
        MSG msg;
        if (::PeekMessageW(&msg, w, WM_TIMER, WM_TIMER, PM_REMOVE)) {
            fired = msg.wParam == 7;
        } else {
            ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_TIMER);
        }
    }
    EXPECT_TRUE(fired) << "a 60 s timer at 1/100 fires within seconds";
    EXPECT_TRUE(Os().KillTimer(w, 7));
    ::DestroyWindow(w);
}

TEST(SimTimeline, WorkRunsInDueOrderAndFifoAtTheSameTime) {
    sim::SetTimeScale(0.01);
    std::mutex mu;
    std::vector<int> order;
    auto note = [&](int n) {
        return [&, n] {
            std::lock_guard<std::mutex> lock(mu);
            order.push_back(n);
        };
    };
    const ULONGLONG simStart = sim::SimulatedNowMs();
    const ULONGLONG realStart = RealNow();
    sim::After(3000, note(3));
    sim::After(1000, note(1));
    sim::After(2000, note(21));
    sim::After(2000, note(22));
    sim::After(0, note(0));
    ASSERT_TRUE(sim::WaitForIdle());
    EXPECT_EQ((std::vector<int>{0, 1, 21, 22, 3}), order);
    EXPECT_GE(sim::SimulatedNowMs() - simStart, 3000u);
    EXPECT_LT(RealNow() - realStart, 2000u);
}

TEST(SimTimeline, DelayedPlugIsAbsentUntilItsTime) {
    sim::SetTimeScale(0.01);
    sim::DeviceId d = sim::PlugAfter(4000, sim::WinUsbSpec(0x4A7E, 0xDF00, L"LATE01", {1}));
    EXPECT_FALSE(sim::IsPresent(d));
    EXPECT_TRUE(sim::InstanceId(d).empty());
    Os().Sleep(1000);
    EXPECT_FALSE(sim::IsPresent(d));
    ASSERT_TRUE(sim::WaitForIdle());
    EXPECT_TRUE(sim::IsPresent(d));
    EXPECT_EQ(L"USB\\VID_4A7E&PID_DF00\\LATE01", sim::InstanceId(d));
}

TEST(SimTimeline, PresentDevicesFollowArrivalsAndDepartures) {
    sim::SetTimeScale(0.01);
    auto model = std::make_shared<sim::DeviceModel>();
    sim::DeviceId late = sim::PlugAfter(2000, sim::WinUsbSpec(0x4A7E, 0xDF00, L"LATE02", {1}), model);
    sim::DeviceId early = sim::Plug(sim::HidDeviceSpec(0x1FC9, 0x0135, L"", {4}));
    sim::DeviceId gone = sim::Plug(sim::WinUsbSpec(0x4A7E, 0xDF01, L"GONE01", {2}));
    sim::UnplugAfter(1000, gone);
    EXPECT_EQ((std::vector<sim::DeviceId>{early, gone}), sim::PresentDevices());
    ASSERT_TRUE(sim::WaitForIdle());
    EXPECT_EQ((std::vector<sim::DeviceId>{early, late}), sim::PresentDevices());
    EXPECT_EQ(model, sim::ModelOf(late));
    EXPECT_EQ(nullptr, sim::ModelOf(early));
    EXPECT_EQ(0xDF01, sim::SpecOf(gone).pid);
}

TEST(SimTimeline, UnpluggingAScheduledDeviceCancelsItsArrival) {
    sim::SetTimeScale(0.01);
    sim::DeviceId d = sim::PlugAfter(1000, sim::WinUsbSpec(0x4A7E, 0xDF00, L"NEVER1", {1}));
    EXPECT_FALSE(sim::Unplug(d));
    ASSERT_TRUE(sim::WaitForIdle());
    EXPECT_FALSE(sim::IsPresent(d));
}

TEST(SimTimeline, ChangingTheScaleReschedulesWaitingWork) {
    sim::SetTimeScale(1.0);
    bool ran = false;
    sim::After(60000, [&] { ran = true; });
    Os().Sleep(20);  // the timeline is now asleep for about a real minute
    sim::SetTimeScale(0.001);
    EXPECT_TRUE(sim::WaitForIdle(5000));
    EXPECT_TRUE(ran);
}

TEST(SimTimeline, WaitForIdleGivesUpAfterItsTimeOut) {
    sim::SetTimeScale(1.0);
    sim::After(60000, [] {});
    const ULONGLONG start = RealNow();
    EXPECT_FALSE(sim::WaitForIdle(50));
    EXPECT_LT(RealNow() - start, 5000u);
}

}  // namespace
