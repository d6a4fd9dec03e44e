// Device files through the OS table: overlapped reads and writes on a small
// scripted model, cancellation, a device leaving the bus, HID and WinUSB
// calls, and real files passing through.
#include "sim_test_support.h"

#include "os_api.h"

#include <deque>

using namespace simtest;

namespace {

using Bytes = std::vector<BYTE>;

// Answers reads from a queue of replies, or keeps them pending until the
// test completes them; records everything else.
class ScriptedModel : public sim::DeviceModel {
public:
    void Attached(sim::DeviceId) override { ++attached; }
    void Detached(sim::DeviceId) override { ++detached; }
    DWORD Open(const sim::OpenContext& c) override {
        std::lock_guard<std::mutex> lock(mu);
        opens.push_back(c);
        return refuseOpen;
    }
    void Close(const sim::OpenContext&) override { ++closes; }
    void Read(const sim::IoRequestPtr& r) override {
        std::unique_lock<std::mutex> lock(mu);
        if (replies.empty()) {
            held.push_back(r);
            return;
        }
        Bytes reply = replies.front();
        replies.pop_front();
        lock.unlock();
        r->CompleteData(reply);
    }
    void Write(const sim::IoRequestPtr& r) override {
        {
            std::lock_guard<std::mutex> lock(mu);
            writes.push_back(r->input());
        }
        r->CompleteBytes(static_cast<DWORD>(r->input().size()));
    }
    void DeviceIoControl(const sim::IoRequestPtr& r) override {
        {
            std::lock_guard<std::mutex> lock(mu);
            ioctls.push_back(r->ioctlCode());
            writes.push_back(r->input());
        }
        Bytes echo = r->input();
        for (BYTE& b : echo) b = static_cast<BYTE>(b ^ 0xFF);
        r->CompleteData(echo);
    }
    void ControlTransfer(const sim::IoRequestPtr& r) override {
        std::unique_lock<std::mutex> lock(mu);
        setups.push_back(r->setup());
        writes.push_back(r->input());
        if (holdControl) {
            held.push_back(r);
            return;
        }
        lock.unlock();
        if (r->setup().RequestType & 0x80) {
            Bytes status = {0x00, 0x10, 0x00, 0x00, 0x02, 0x00};
            r->CompleteData(status);
        } else {
            r->CompleteBytes(static_cast<DWORD>(r->input().size()));
        }
    }
    void Cancelled(const sim::IoRequestPtr& r) override {
        std::lock_guard<std::mutex> lock(mu);
        cancelled.push_back(r);
    }
    DWORD GetInputReport(const sim::OpenContext&, BYTE* report, ULONG length) override {
        std::lock_guard<std::mutex> lock(mu);
        for (ULONG i = 0; i < length; ++i) report[i] = static_cast<BYTE>(i);
        report[1] = 0x08;  // a busy state, say
        return ERROR_SUCCESS;
    }
    DWORD SetOutputReport(const sim::OpenContext&, const BYTE* report, ULONG length) override {
        std::lock_guard<std::mutex> lock(mu);
        lastOutputReport.assign(report, report + length);
        return ERROR_SUCCESS;
    }
    sim::IoRequestPtr TakeHeld() {
        std::lock_guard<std::mutex> lock(mu);
        if (held.empty()) return nullptr;
        sim::IoRequestPtr r = held.front();
        held.erase(held.begin());
        return r;
    }

    std::mutex mu;
    std::deque<Bytes> replies;
    std::vector<sim::IoRequestPtr> held;
    std::vector<sim::IoRequestPtr> cancelled;
    std::vector<Bytes> writes;
    std::vector<DWORD> ioctls;
    std::vector<WINUSB_SETUP_PACKET> setups;
    std::vector<sim::OpenContext> opens;
    Bytes lastOutputReport;
    DWORD refuseOpen = ERROR_SUCCESS;
    bool holdControl = false;
    std::atomic<int> attached{0};
    std::atomic<int> detached{0};
    std::atomic<int> closes{0};
};

const DWORD kShare = FILE_SHARE_READ | FILE_SHARE_WRITE;

class SimDeviceIo : public ::testing::Test {
protected:
    void SetUp() override {
        model_ = std::make_shared<ScriptedModel>();
        camera_ = sim::Plug(ReferenceCameraSpec(), model_);
        hidPath_ = sim::InterfacePaths(camera_, sim::kGuidHid).at(0);
        event_ = ::CreateEventW(nullptr, TRUE, TRUE, nullptr);  // set: the read must reset it
        ov_.hEvent = event_;
    }
    void TearDown() override { ::CloseHandle(event_); }

    HANDLE Open(DWORD access, DWORD flags) {
        return Os().CreateFileW(hidPath_.c_str(), access, kShare, nullptr, OPEN_EXISTING, flags, nullptr);
    }

    std::shared_ptr<ScriptedModel> model_;
    sim::DeviceId camera_ = 0;
    std::wstring hidPath_;
    HANDLE event_ = nullptr;
    OVERLAPPED ov_ = {};
};

TEST_F(SimDeviceIo, PendingReadIsCompletedLaterFromAnotherThread) {
    HANDLE h = Open(GENERIC_READ, FILE_FLAG_OVERLAPPED);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    BYTE buffer[65];
    memset(buffer, 0xAA, sizeof(buffer));
    DWORD n = 77;
    ::SetLastError(kMarker);
    EXPECT_FALSE(Os().ReadFile(h, buffer, sizeof(buffer), &n, &ov_));
    EXPECT_EQ(static_cast<DWORD>(ERROR_IO_PENDING), ::GetLastError());
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), ::WaitForSingleObject(event_, 0)) << "the read resets the event";
    EXPECT_EQ(static_cast<ULONG_PTR>(STATUS_PENDING), ov_.Internal);
    ::SetLastError(kMarker);
    EXPECT_FALSE(Os().GetOverlappedResult(h, &ov_, &n, FALSE));
    EXPECT_EQ(static_cast<DWORD>(ERROR_IO_INCOMPLETE), ::GetLastError());

    sim::IoRequestPtr r = model_->TakeHeld();
    ASSERT_NE(nullptr, r);
    EXPECT_EQ(sim::IoRequest::Kind::Read, r->kind());
    EXPECT_EQ(65u, r->outputCapacity());
    EXPECT_EQ(2, r->context().interfaceNumber);
    std::thread device([r] {
        ::Sleep(30);
        Bytes reply(65, 0);
        reply[1] = 0x40;
        reply[2] = 0x01;
        EXPECT_TRUE(r->CompleteData(reply));
    });
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), Os().WaitForSingleObject(event_, 5000));
    device.join();
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), ::WaitForSingleObject(h, 0)) << "the handle is signalled too";
    n = 0;
    EXPECT_TRUE(Os().GetOverlappedResult(h, &ov_, &n, TRUE));
    EXPECT_EQ(65u, n);
    EXPECT_EQ(0x00, buffer[0]);
    EXPECT_EQ(0x40, buffer[1]);
    EXPECT_EQ(0x01, buffer[2]);
    EXPECT_FALSE(r->CompleteData(Bytes(65, 0xEE))) << "a request completes once";
    EXPECT_EQ(0x40, buffer[1]);
    EXPECT_TRUE(Os().CloseHandle(h));
}

TEST_F(SimDeviceIo, ReadAnsweredAtOnceReturnsTrueAndSignals) {
    model_->replies.push_back(Bytes{0x00, 0x41, 1, 2, 3, 4});
    HANDLE h = Open(GENERIC_READ, FILE_FLAG_OVERLAPPED);
    BYTE buffer[65] = {};
    DWORD n = 0;
    ::SetLastError(kMarker);
    ASSERT_TRUE(Os().ReadFile(h, buffer, sizeof(buffer), &n, &ov_));
    EXPECT_EQ(kMarker, ::GetLastError()) << "success leaves the last error alone";
    EXPECT_EQ(6u, n);
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), ::WaitForSingleObject(event_, 0));
    EXPECT_EQ(6u, ov_.InternalHigh);
    DWORD m = 0;
    EXPECT_TRUE(Os().GetOverlappedResult(h, &ov_, &m, FALSE));
    EXPECT_EQ(6u, m);
    EXPECT_EQ(4, buffer[5]);
    Os().CloseHandle(h);
}

TEST_F(SimDeviceIo, ScheduledCompletionRunsOnSimulatedTime) {
    sim::SetTimeScale(0.01);
    HANDLE h = Open(GENERIC_READ, FILE_FLAG_OVERLAPPED);
    BYTE buffer[65] = {};
    ASSERT_FALSE(Os().ReadFile(h, buffer, sizeof(buffer), nullptr, &ov_));
    sim::IoRequestPtr r = model_->TakeHeld();
    ASSERT_NE(nullptr, r);
    const ULONGLONG start = sim::SimulatedNowMs();
    r->CompleteDataAfter(2000, Bytes{0x00, 0x32});
    r.reset();  // the simulator keeps what it needs
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), Os().WaitForSingleObject(event_, 100));
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), Os().WaitForSingleObject(event_, 60000));
    EXPECT_GE(sim::SimulatedNowMs() - start, 2000u);
    DWORD n = 0;
    EXPECT_TRUE(Os().GetOverlappedResult(h, &ov_, &n, TRUE));
    EXPECT_EQ(2u, n);
    EXPECT_EQ(0x32, buffer[1]);
    Os().CloseHandle(h);
}

TEST_F(SimDeviceIo, CancelIoAbortsTheCallersPendingReadOnly) {
    HANDLE h = Open(GENERIC_READ, FILE_FLAG_OVERLAPPED);
    BYTE buffer[65];
    memset(buffer, 0xAA, sizeof(buffer));
    ASSERT_FALSE(Os().ReadFile(h, buffer, sizeof(buffer), nullptr, &ov_));
    sim::IoRequestPtr r = model_->TakeHeld();
    ASSERT_NE(nullptr, r);

    // CancelIo cancels the calling thread's operations only.
    std::thread other([h] { EXPECT_TRUE(Os().CancelIo(h)); });
    other.join();
    EXPECT_TRUE(r->IsPending());

    ::SetLastError(kMarker);
    EXPECT_TRUE(Os().CancelIo(h));
    EXPECT_EQ(kMarker, ::GetLastError());
    EXPECT_FALSE(r->IsPending());
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), ::WaitForSingleObject(event_, 0));
    DWORD n = 5;
    ::SetLastError(kMarker);
    EXPECT_FALSE(Os().GetOverlappedResult(h, &ov_, &n, TRUE));
    EXPECT_EQ(static_cast<DWORD>(ERROR_OPERATION_ABORTED), ::GetLastError());
    EXPECT_EQ(0u, n);
    ASSERT_EQ(1u, model_->cancelled.size());
    EXPECT_EQ(r, model_->cancelled[0]);
    // A late answer of the device lands nowhere.
    EXPECT_FALSE(r->CompleteData(Bytes(65, 0x11)));
    EXPECT_EQ(0xAA, buffer[0]);
    Os().CloseHandle(h);
}

TEST_F(SimDeviceIo, DeviceLeavingTheBusFailsPendingAndLaterIo) {
    HANDLE h = Open(GENERIC_READ | GENERIC_WRITE, FILE_FLAG_OVERLAPPED);
    BYTE buffer[65] = {};
    ASSERT_FALSE(Os().ReadFile(h, buffer, sizeof(buffer), nullptr, &ov_));
    sim::IoRequestPtr r = model_->TakeHeld();
    ASSERT_TRUE(sim::Unplug(camera_));
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), ::WaitForSingleObject(event_, 0));
    DWORD n = 0;
    ::SetLastError(kMarker);
    EXPECT_FALSE(Os().GetOverlappedResult(h, &ov_, &n, TRUE));
    EXPECT_EQ(static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED), ::GetLastError());
    EXPECT_EQ(1, model_->detached.load());
    EXPECT_EQ(1u, model_->cancelled.size());

    OVERLAPPED ov2 = {};
    ov2.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    struct Call {
        const char* label;
        std::function<BOOL()> call;
    } calls[] = {
        {"ReadFile", [&] { return Os().ReadFile(h, buffer, sizeof(buffer), nullptr, &ov2); }},
        {"WriteFile", [&] { return Os().WriteFile(h, buffer, sizeof(buffer), nullptr, &ov2); }},
        {"HidD_GetAttributes", [&] { HIDD_ATTRIBUTES a = {}; return static_cast<BOOL>(Os().HidD_GetAttributes(h, &a)); }},
        {"HidD_GetInputReport", [&] { return static_cast<BOOL>(Os().HidD_GetInputReport(h, buffer, sizeof(buffer))); }},
        {"HidD_SetOutputReport", [&] { return static_cast<BOOL>(Os().HidD_SetOutputReport(h, buffer, sizeof(buffer))); }},
    };
    for (auto& c : calls) {
        SCOPED_TRACE(c.label);
        ::SetLastError(kMarker);
        EXPECT_FALSE(c.call());
        EXPECT_EQ(static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED), ::GetLastError());
    }
    EXPECT_TRUE(model_->writes.empty()) << "nothing reached the device";
    ::SetLastError(kMarker);
    EXPECT_EQ(INVALID_HANDLE_VALUE, Open(GENERIC_READ, FILE_FLAG_OVERLAPPED));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), ::GetLastError());
    EXPECT_TRUE(Os().CloseHandle(h));
    ::CloseHandle(ov2.hEvent);
}

TEST_F(SimDeviceIo, SynchronousHandleWaitsForTheDevice) {
    HANDLE h = Open(GENERIC_READ | GENERIC_WRITE, 0);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    std::thread device([this] {
        sim::IoRequestPtr r;
        for (int i = 0; i < 500 && !(r = model_->TakeHeld()); ++i) ::Sleep(2);
        ASSERT_NE(nullptr, r);
        ::Sleep(20);
        r->CompleteData(Bytes{0x00, 0x40, 0x09});
    });
    BYTE buffer[65] = {};
    DWORD n = 0;
    EXPECT_TRUE(Os().ReadFile(h, buffer, sizeof(buffer), &n, nullptr));
    device.join();
    EXPECT_EQ(3u, n);
    EXPECT_EQ(0x09, buffer[2]);
    BYTE report[65] = {0x00, 0x30, 0xFF};
    n = 0;
    EXPECT_TRUE(Os().WriteFile(h, report, sizeof(report), &n, nullptr));
    EXPECT_EQ(65u, n);
    ASSERT_EQ(1u, model_->writes.size());
    EXPECT_EQ(Bytes(report, report + 65), model_->writes[0]);
    Os().CloseHandle(h);
}

// Refused before the device sees them: by the I/O manager (the handle's
// access, before it touches the record's event) or by the HID class driver
// (whole reports with a report ID the collection has; the request had
// started, so the event is reset). Either way the record stays marked
// pending, as the system marked it: a request that failed at once never
// looks like the request before it.
TEST_F(SimDeviceIo, CallerErrorsAreRefusedBeforeTheDevice) {
    HANDLE writeOnly = Open(GENERIC_WRITE, 0);
    HANDLE readOnly = Open(GENERIC_READ, FILE_FLAG_OVERLAPPED);
    HANDLE both = Open(GENERIC_READ | GENERIC_WRITE, FILE_FLAG_OVERLAPPED);
    BYTE buffer[66] = {};
    BYTE report1[65] = {0x01, 0x40};
    struct Case {
        const char* label;
        std::function<BOOL()> call;
        DWORD error;
        bool eventReset;
        bool refusalRecorded;
    } cases[] = {
        {"read on a write handle", [&] { return Os().ReadFile(writeOnly, buffer, 65, nullptr, nullptr); }, ERROR_ACCESS_DENIED,
         false, false},
        {"write on a read handle", [&] { return Os().WriteFile(readOnly, buffer, 65, nullptr, &ov_); }, ERROR_ACCESS_DENIED,
         false, false},
        {"overlapped handle without OVERLAPPED", [&] { return Os().ReadFile(readOnly, buffer, 65, nullptr, nullptr); },
         ERROR_INVALID_PARAMETER, false, false},
        {"input report into a short buffer", [&] { return static_cast<BOOL>(Os().HidD_GetInputReport(readOnly, buffer, 64)); },
         ERROR_INVALID_PARAMETER, false, true},
        {"read shorter than the input report", [&] { return Os().ReadFile(both, buffer, 64, nullptr, &ov_); },
         ERROR_INVALID_USER_BUFFER, true, true},
        {"read longer than the input report", [&] { return Os().ReadFile(both, buffer, 66, nullptr, &ov_); },
         ERROR_INVALID_USER_BUFFER, true, true},
        {"write shorter than the output report", [&] { return Os().WriteFile(both, buffer, 64, nullptr, &ov_); },
         ERROR_INVALID_USER_BUFFER, true, true},
        {"write of a report ID the collection lacks", [&] { return Os().WriteFile(both, report1, 65, nullptr, &ov_); },
         ERROR_INVALID_PARAMETER, true, true},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.label);
        const size_t refusals = sim::Refusals().size();
        ::SetEvent(event_);  // as the request before left it
        ov_.Internal = 0;
        ::SetLastError(kMarker);
        EXPECT_FALSE(c.call());
        EXPECT_EQ(c.error, ::GetLastError());
        EXPECT_EQ(c.eventReset ? static_cast<DWORD>(WAIT_TIMEOUT) : static_cast<DWORD>(WAIT_OBJECT_0),
                  ::WaitForSingleObject(event_, 0));
        EXPECT_EQ(c.refusalRecorded ? refusals + 1 : refusals, sim::Refusals().size());
    }
    EXPECT_EQ(static_cast<ULONG_PTR>(STATUS_PENDING), ov_.Internal);
    EXPECT_TRUE(model_->writes.empty());
    EXPECT_TRUE(model_->held.empty());
    Os().CloseHandle(writeOnly);
    Os().CloseHandle(readOnly);
    Os().CloseHandle(both);
}

// A failure the device gives inside the call (the driver failed the request
// at once) leaves the record pending and its event reset, as Windows does;
// only a request that completes, at once or later, writes its status.
TEST_F(SimDeviceIo, AFailureAtOnceWritesNoStatusAndSignalsNothing) {
    class Refusing : public sim::DeviceModel {
        void Read(const sim::IoRequestPtr& r) override { r->Fail(ERROR_GEN_FAILURE); }
    };
    sim::DeviceId other = sim::Plug(sim::HidDeviceSpec(0x1FC9, 0x0135, L"", {4}), std::make_shared<Refusing>());
    HANDLE h = Os().CreateFileW(sim::InterfacePaths(other, sim::kGuidHid).at(0).c_str(), GENERIC_READ, kShare, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    BYTE buffer[65] = {};
    ov_.Internal = 0;
    ov_.InternalHigh = 65;
    ::SetLastError(kMarker);
    EXPECT_FALSE(Os().ReadFile(h, buffer, sizeof(buffer), nullptr, &ov_));
    EXPECT_EQ(static_cast<DWORD>(ERROR_GEN_FAILURE), ::GetLastError());
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), ::WaitForSingleObject(event_, 0));
    EXPECT_EQ(static_cast<ULONG_PTR>(STATUS_PENDING), ov_.Internal);
    DWORD n = 0;
    ::SetLastError(kMarker);
    EXPECT_FALSE(Os().GetOverlappedResult(h, &ov_, &n, FALSE));
    EXPECT_EQ(static_cast<DWORD>(ERROR_IO_INCOMPLETE), ::GetLastError());
    Os().CloseHandle(h);
}

TEST_F(SimDeviceIo, OpensAreCaseInsensitiveAndCanBeRefused) {
    std::wstring upper = hidPath_;
    for (auto& c : upper) c = static_cast<wchar_t>(towupper(c));
    HANDLE h = Os().CreateFileW(upper.c_str(), GENERIC_READ, kShare, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    ASSERT_EQ(1u, model_->opens.size());
    EXPECT_EQ(2, model_->opens[0].interfaceNumber);
    EXPECT_EQ(sim::FunctionKind::Hid, model_->opens[0].kind);
    EXPECT_EQ(hidPath_, model_->opens[0].path);
    EXPECT_EQ(static_cast<DWORD>(GENERIC_READ), model_->opens[0].access);
    EXPECT_EQ(static_cast<DWORD>(FILE_FLAG_OVERLAPPED), model_->opens[0].flags);
    Os().CloseHandle(h);
    EXPECT_EQ(1, model_->closes.load());

    struct Case {
        const char* label;
        std::function<void()> arrange;
        std::wstring path;
        DWORD error;
    } cases[] = {
        {"open-failure knob", [&] { sim::SetOpenFailure(camera_, ERROR_ACCESS_DENIED); }, hidPath_, ERROR_ACCESS_DENIED},
        {"model refuses", [&] { sim::SetOpenFailure(camera_, 0); model_->refuseOpen = ERROR_SHARING_VIOLATION; }, hidPath_,
         ERROR_SHARING_VIOLATION},
        {"unknown device path", [] {},
         L"\\\\?\\hid#vid_dead&pid_beef#7&1&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}", ERROR_FILE_NOT_FOUND},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.label);
        c.arrange();
        ::SetLastError(kMarker);
        EXPECT_EQ(INVALID_HANDLE_VALUE,
                  Os().CreateFileW(c.path.c_str(), GENERIC_READ, kShare, nullptr, OPEN_EXISTING, 0, nullptr));
        EXPECT_EQ(c.error, ::GetLastError());
    }
}

TEST_F(SimDeviceIo, ShareModesOfOpenHandlesDecideLaterOpens) {
    struct Case {
        const char* label;
        DWORD firstAccess, firstShare, secondAccess, secondShare;
        bool opens;
    } cases[] = {
        {"both share", GENERIC_READ | GENERIC_WRITE, kShare, GENERIC_WRITE, kShare, true},
        {"first exclusive", GENERIC_READ | GENERIC_WRITE, 0, GENERIC_READ, kShare, false},
        {"first exclusive, query only", GENERIC_READ | GENERIC_WRITE, 0, 0, kShare, true},
        {"second does not share the first's writing", GENERIC_WRITE, kShare, GENERIC_READ, FILE_SHARE_READ, false},
        {"first shares reading only", GENERIC_READ, FILE_SHARE_READ, GENERIC_READ, kShare, true},
        {"first shares reading only, second writes", GENERIC_READ, FILE_SHARE_READ, GENERIC_WRITE, kShare, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        HANDLE first = Os().CreateFileW(hidPath_.c_str(), c.firstAccess, c.firstShare, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, first);
        ::SetLastError(kMarker);
        HANDLE second = Os().CreateFileW(hidPath_.c_str(), c.secondAccess, c.secondShare, nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_EQ(c.opens, second != INVALID_HANDLE_VALUE);
        if (second == INVALID_HANDLE_VALUE) {
            EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), ::GetLastError());
        } else {
            Os().CloseHandle(second);
        }
        // Another interface of the same device is another file.
        HANDLE usb = Os().CreateFileW(sim::InterfacePaths(camera_, sim::kGuidUsbDevice).at(0).c_str(),
                                      GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_NE(INVALID_HANDLE_VALUE, usb);
        Os().CloseHandle(usb);
        Os().CloseHandle(first);
    }
    // Everything closed: an exclusive open succeeds again.
    HANDLE h = Os().CreateFileW(hidPath_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(INVALID_HANDLE_VALUE, h);
    Os().CloseHandle(h);
}

TEST_F(SimDeviceIo, ClosingAHandleAbortsItsPendingRead) {
    HANDLE h = Open(GENERIC_READ, FILE_FLAG_OVERLAPPED);
    BYTE buffer[65];
    ASSERT_FALSE(Os().ReadFile(h, buffer, sizeof(buffer), nullptr, &ov_));
    sim::IoRequestPtr r = model_->TakeHeld();
    EXPECT_TRUE(Os().CloseHandle(h));
    EXPECT_FALSE(r->IsPending());
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), ::WaitForSingleObject(event_, 0));
    EXPECT_EQ(static_cast<ULONG_PTR>(0xC0000120), ov_.Internal);  // STATUS_CANCELLED
    EXPECT_EQ(1u, model_->cancelled.size());
    EXPECT_EQ(1, model_->closes.load());
    ::SetLastError(kMarker);
    EXPECT_FALSE(Os().CloseHandle(h)) << "closed twice";
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), ::GetLastError());
}

TEST_F(SimDeviceIo, HidDescriptorsAndReports) {
    HANDLE h = Open(GENERIC_READ | GENERIC_WRITE, 0);
    HIDD_ATTRIBUTES attributes = {};
    ASSERT_TRUE(Os().HidD_GetAttributes(h, &attributes));
    EXPECT_EQ(sizeof(HIDD_ATTRIBUTES), attributes.Size);
    EXPECT_EQ(0x4A7E, attributes.VendorID);
    EXPECT_EQ(0xC05C, attributes.ProductID);
    EXPECT_EQ(0x0100, attributes.VersionNumber);
    PHIDP_PREPARSED_DATA pp = nullptr;
    ASSERT_TRUE(Os().HidD_GetPreparsedData(h, &pp));
    HIDP_CAPS caps = {};
    EXPECT_EQ(HIDP_STATUS_SUCCESS, Os().HidP_GetCaps(pp, &caps));
    EXPECT_EQ(0xFF00, caps.UsagePage);
    EXPECT_EQ(65, caps.InputReportByteLength);
    EXPECT_EQ(65, caps.OutputReportByteLength);
    EXPECT_EQ(0, caps.FeatureReportByteLength);
    EXPECT_TRUE(Os().HidD_FreePreparsedData(pp));

    BYTE report[65] = {};
    ASSERT_TRUE(Os().HidD_GetInputReport(h, report, sizeof(report)));
    EXPECT_EQ(0x08, report[1]);
    EXPECT_EQ(64, report[64]);
    BYTE out[65] = {0x00, 0x03, 0xAA, 0x01};
    ASSERT_TRUE(Os().HidD_SetOutputReport(h, out, sizeof(out)));
    EXPECT_EQ(Bytes(out, out + 65), model_->lastOutputReport);
    Os().CloseHandle(h);

    // The NXP ROM: its own capabilities; a device without a model answers nothing.
    sim::HidCaps romCaps;
    romCaps.inputReportLength = 1025;
    romCaps.outputReportLength = 1025;
    sim::DeviceId rom = sim::Plug(sim::HidDeviceSpec(0x1FC9, 0x0135, L"", {4}, romCaps));
    HANDLE r = Os().CreateFileW(sim::InterfacePaths(rom, sim::kGuidHid).at(0).c_str(), GENERIC_READ | GENERIC_WRITE, kShare,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, r);
    ASSERT_TRUE(Os().HidD_GetPreparsedData(r, &pp));
    EXPECT_EQ(HIDP_STATUS_SUCCESS, Os().HidP_GetCaps(pp, &caps));
    EXPECT_EQ(1025, caps.InputReportByteLength);
    Os().HidD_FreePreparsedData(pp);
    std::vector<BYTE> big(1025);
    ::SetLastError(kMarker);
    EXPECT_FALSE(Os().HidD_GetInputReport(r, big.data(), 1025));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_FUNCTION), ::GetLastError());
    Os().CloseHandle(r);
}

TEST_F(SimDeviceIo, HidCallsOnANonHidInterfaceFail) {
    std::wstring usbPath = sim::InterfacePaths(camera_, sim::kGuidUsbDevice).at(0);
    HANDLE h = Os().CreateFileW(usbPath.c_str(), GENERIC_READ | GENERIC_WRITE, kShare, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    HIDD_ATTRIBUTES a = {};
    ::SetLastError(kMarker);
    EXPECT_FALSE(Os().HidD_GetAttributes(h, &a));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_FUNCTION), ::GetLastError());
    ASSERT_EQ(1u, model_->opens.size());
    EXPECT_TRUE(model_->opens[0].usbDeviceInterface);
    EXPECT_EQ(-1, model_->opens[0].interfaceNumber);
    Os().CloseHandle(h);
}

TEST(SimWinUsb, ControlTransfersReachTheModelWithTheirSetupPackets) {
    auto model = std::make_shared<ScriptedModel>();
    sim::DeviceId dfu = sim::Plug(sim::WinUsbSpec(0x4A7E, 0xDF00, L"SN12345678AB", {3, 2}), model);
    HANDLE h = Os().CreateFileW(sim::InterfacePaths(dfu, sim::kGuidUsbDevice).at(0).c_str(), GENERIC_READ | GENERIC_WRITE,
                                kShare, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    WINUSB_INTERFACE_HANDLE usb = nullptr;
    ASSERT_TRUE(Os().WinUsb_Initialize(h, &usb));

    BYTE block[1024];
    for (int i = 0; i < 1024; ++i) block[i] = static_cast<BYTE>(i * 7);
    WINUSB_SETUP_PACKET out = {0x40, 0x01, 1, 0, 1024};
    ULONG n = 0;
    ASSERT_TRUE(Os().WinUsb_ControlTransfer(usb, out, block, sizeof(block), &n, nullptr));
    EXPECT_EQ(1024u, n);
    WINUSB_SETUP_PACKET in = {0xC0, 0x03, 0, 0, 6};
    BYTE status[6] = {};
    n = 0;
    ASSERT_TRUE(Os().WinUsb_ControlTransfer(usb, in, status, sizeof(status), &n, nullptr));
    EXPECT_EQ(6u, n);
    EXPECT_EQ(0x02, status[4]);

    ASSERT_EQ(2u, model->setups.size());
    EXPECT_EQ(0x40, model->setups[0].RequestType);
    EXPECT_EQ(0x01, model->setups[0].Request);
    EXPECT_EQ(1, model->setups[0].Value);
    EXPECT_EQ(1024, model->setups[0].Length);
    EXPECT_EQ(Bytes(block, block + 1024), model->writes[0]);
    EXPECT_EQ(0x03, model->setups[1].Request);
    EXPECT_TRUE(model->writes[1].empty()) << "an IN transfer sends no data";

    // Overlapped: pending, then completed by the device.
    model->holdControl = true;
    OVERLAPPED ov = {};
    ov.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ::SetLastError(kMarker);
    EXPECT_FALSE(Os().WinUsb_ControlTransfer(usb, in, status, sizeof(status), &n, &ov));
    EXPECT_EQ(static_cast<DWORD>(ERROR_IO_PENDING), ::GetLastError());
    model->TakeHeld()->CompleteData(Bytes{1, 2, 3, 4, 5, 6});
    DWORD got = 0;
    EXPECT_TRUE(Os().GetOverlappedResult(h, &ov, &got, TRUE));
    EXPECT_EQ(6u, got);
    EXPECT_EQ(5, status[4]);
    model->holdControl = false;

    // Gone from the bus: transfers fail.
    sim::Unplug(dfu);
    ::SetLastError(kMarker);
    EXPECT_FALSE(Os().WinUsb_ControlTransfer(usb, out, block, sizeof(block), &n, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED), ::GetLastError());
    EXPECT_TRUE(Os().WinUsb_Free(usb));
    EXPECT_TRUE(Os().CloseHandle(h));
    ::CloseHandle(ov.hEvent);
}

TEST(SimWinUsb, OnlyAWinUsbDeviceInitialisesAndAModellessOneStalls) {
    sim::DeviceId dfu = sim::Plug(sim::WinUsbSpec(0x4A7E, 0xDF00, L"A1", {1}));
    sim::DeviceId rom = sim::Plug(sim::HidDeviceSpec(0x1FC9, 0x0135, L"", {4}));
    HANDLE d = Os().CreateFileW(sim::InterfacePaths(dfu, sim::kGuidUsbDevice).at(0).c_str(), GENERIC_READ | GENERIC_WRITE,
                                kShare, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    HANDLE r = Os().CreateFileW(sim::InterfacePaths(rom, sim::kGuidHid).at(0).c_str(), GENERIC_READ | GENERIC_WRITE,
                                kShare, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    WINUSB_INTERFACE_HANDLE usb = nullptr;
    ::SetLastError(kMarker);
    EXPECT_FALSE(Os().WinUsb_Initialize(r, &usb));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_FUNCTION), ::GetLastError());
    ASSERT_TRUE(Os().WinUsb_Initialize(d, &usb));
    WINUSB_SETUP_PACKET in = {0xC0, 0x03, 0, 0, 6};
    BYTE status[6];
    ULONG n = 9;
    ::SetLastError(kMarker);
    EXPECT_FALSE(Os().WinUsb_ControlTransfer(usb, in, status, sizeof(status), &n, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_GEN_FAILURE), ::GetLastError());
    EXPECT_EQ(0u, n);
    // The file closed: the interface handle no longer reaches anything.
    Os().CloseHandle(d);
    ::SetLastError(kMarker);
    EXPECT_FALSE(Os().WinUsb_ControlTransfer(usb, in, status, sizeof(status), &n, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), ::GetLastError());
    EXPECT_TRUE(Os().WinUsb_Free(usb));
    Os().CloseHandle(r);
}

TEST(SimDeviceIoControl, RequestsReachTheModelAndUnservedOnesFail) {
    auto model = std::make_shared<ScriptedModel>();
    sim::DeviceId fx3 = sim::Plug(sim::WinUsbSpec(0x04B4, 0x00F3, L"", {2}, L"Cypress FX3 USB BootLoader Device"), model);
    sim::DeviceId bare = sim::Plug(sim::WinUsbSpec(0x04B4, 0x00F3, L"", {5}, L"Cypress FX3 USB BootLoader Device"));
    HANDLE h = Os().CreateFileW(sim::InterfacePaths(fx3, sim::kGuidUsbDevice).at(0).c_str(), GENERIC_READ | GENERIC_WRITE,
                                kShare, nullptr, OPEN_EXISTING, 0, nullptr);
    Bytes record(38 + 4, 0);
    record[0] = 0x40;
    record[1] = 0xA0;
    BYTE reply[64] = {};
    DWORD n = 0;
    ASSERT_TRUE(Os().DeviceIoControl(h, 0x220020, record.data(), static_cast<DWORD>(record.size()), reply, sizeof(reply),
                                     &n, nullptr));
    EXPECT_EQ(42u, n);
    EXPECT_EQ(0xBF, reply[0]);
    ASSERT_EQ(1u, model->ioctls.size());
    EXPECT_EQ(0x220020u, model->ioctls[0]);
    EXPECT_EQ(record, model->writes[0]);
    Os().CloseHandle(h);

    HANDLE b = Os().CreateFileW(sim::InterfacePaths(bare, sim::kGuidUsbDevice).at(0).c_str(), GENERIC_READ | GENERIC_WRITE,
                                kShare, nullptr, OPEN_EXISTING, 0, nullptr);
    ::SetLastError(kMarker);
    EXPECT_FALSE(Os().DeviceIoControl(b, 0x220020, record.data(), static_cast<DWORD>(record.size()), reply, sizeof(reply),
                                      &n, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_FUNCTION), ::GetLastError());
    Os().CloseHandle(b);
}

TEST(SimRealFiles, FilesOnDiskPassThrough) {
    wchar_t dir[MAX_PATH], path[MAX_PATH];
    ASSERT_NE(0u, ::GetTempPathW(MAX_PATH, dir));
    ASSERT_NE(0u, ::GetTempFileNameW(dir, L"fw", 0, path));
    HANDLE f = Os().CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, f);
    const char data[] = "orviMCU firmware";
    DWORD n = 0;
    ASSERT_TRUE(Os().WriteFile(f, data, sizeof(data), &n, nullptr));
    EXPECT_TRUE(Os().CloseHandle(f));
    f = Os().CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, f);
    LARGE_INTEGER size = {};
    EXPECT_TRUE(Os().GetFileSizeEx(f, &size));
    EXPECT_EQ(static_cast<LONGLONG>(sizeof(data)), size.QuadPart);
    char back[sizeof(data)] = {};
    EXPECT_TRUE(Os().ReadFile(f, back, sizeof(back), &n, nullptr));
    EXPECT_STREQ(data, back);
    EXPECT_TRUE(Os().CloseHandle(f));
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, Os().GetFileAttributesW(path));
    ::DeleteFileW(path);
}

}  // namespace
