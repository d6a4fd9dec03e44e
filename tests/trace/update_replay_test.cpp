// Whole updates of the real engine recorded against the simulated
// update-mode device, then replayed against a replay model made from the
// trace: the same outcome and the same image on the wire; and a request
// changed on the way fails the replay with a diff that says where.
#include "engine_harness.h"
#include "trace_test_support.h"

#include "app_state.h"
#include "os_api.h"
#include "update_engine.h"
#include "usb_requests.h"

#include <cstdio>
#include <functional>

using namespace tracetest;

namespace {

// The device the harness plugs.
const sim::UsbDeviceSpec kSpec = sim::WinUsbSpec(0x4A7E, 0xDF00, L"SN12345678AB", {3, 2});

std::wstring UpdatePath(const EngineHarness& h) { return sim::InterfacePaths(h.device, sim::kGuidUsbDevice).at(0); }

// The dialog is told of arrivals and removals, as the updater's is, so the
// trace shows the device restarting.
void WatchDevices(HWND window) {
    DEV_BROADCAST_DEVICEINTERFACE_W filter = {};
    filter.dbcc_size = sizeof(filter);
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = sim::kGuidUsbDevice;
    ASSERT_NE(nullptr, Os().RegisterDeviceNotificationW(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE));
}

// The recorded device restarts a good while after the request that makes it
// restart, so that every answer it gave is in the trace before it leaves.
sim::DfuKnobs SlowRestart() {
    sim::DfuKnobs k;
    k.restartDelayMs = 100000;
    return k;
}

void PlugReplay(EngineHarness& h, const std::shared_ptr<sim::ReplayDeviceModel>& replay) {
    h.spec = kSpec;
    h.device = sim::Plug(kSpec, replay);
    ASSERT_TRUE(sim::WaitForIdle());
    ASSERT_EQ(1, InitializeDevice(DialogUpdate(), UpdatePath(h).c_str()));
}

// What the operator saw of an update.
struct Outcome {
    std::vector<DWORD> results;  // of each run of the update thread
    std::vector<std::wstring> boxes;
    std::vector<std::pair<UINT, WPARAM>> progress;
};

// Runs the update `runs` times (a two-part image takes two, with the device
// restarting in between) and waits for the device's last restart.
Outcome RunUpdate(EngineHarness& h, const Bytes& file, int runs) {
    Outcome o;
    h.LoadFile(file);
    for (int i = 0; i < runs; ++i) {
        if (i > 0) h.ReopenAfterRestart();
        o.results.push_back(h.RunUpdateThread());
    }
    EXPECT_TRUE(sim::WaitForIdle());
    o.boxes = h.BoxTexts();
    for (const ProgressEvent& e : h.Progress()) o.progress.emplace_back(e.message, e.value);
    return o;
}

std::shared_ptr<sim::ReplayDeviceModel> LoadReplay(const std::wstring& trace, const std::wstring& path) {
    std::string error;
    auto replay = sim::ReplayDeviceModel::Load(trace, path, &error);
    EXPECT_NE(nullptr, replay) << error;
    return replay;
}

// "60 61 62" for the bytes [from, to) of b.
std::string Spaced(const Bytes& b, size_t from, size_t to) {
    std::string s;
    for (size_t i = from; i < to; ++i) {
        char h[4];
        std::snprintf(h, sizeof h, "%s%02x", i == from ? "" : " ", b[i]);
        s += h;
    }
    return s;
}

}  // namespace

TEST(UpdateReplay, AWholeUpdateReplaysFromItsTraceAndSendsTheSameImage) {
    TracedProcess trace;
    const Bytes image = Pattern(5 * 1024 + 300, 21);
    std::wstring path;
    Outcome recorded;
    {
        EngineHarness h;
        WatchDevices(h.dialog);
        h.PlugDevice(SlowRestart());
        path = UpdatePath(h);
        recorded = RunUpdate(h, image, 1);
        ASSERT_EQ(image, h.flash->image2);
    }
    ASSERT_EQ(std::vector<DWORD>{1}, recorded.results);

    auto replay = LoadReplay(trace.path(), path);
    ASSERT_NE(nullptr, replay);
    // A status request, six blocks each followed by a status request, the
    // zero-length request and a last status request.
    EXPECT_EQ(15u, replay->RecordedCount());
    Outcome replayed;
    {
        EngineHarness h;
        WatchDevices(h.dialog);
        PlugReplay(h, replay);
        replayed = RunUpdate(h, image, 1);
    }
    EXPECT_EQ(recorded.results, replayed.results);
    EXPECT_EQ(recorded.boxes, replayed.boxes);
    EXPECT_EQ(recorded.progress, replayed.progress);
    EXPECT_EQ("", replay->Verdict());
    const std::vector<Bytes> sessions = DownloadSessions(replay->Received());
    ASSERT_EQ(1u, sessions.size());
    EXPECT_EQ(image, sessions[0]) << "the image the engine wrote to the replayed device";

    // The replay's own exchanges were traced too: request for request and
    // answer for answer they are the recorded ones.
    const jsonl::Trace t = trace.Read();
    std::vector<const jsonl::Value*> transfers;
    for (const jsonl::Value* r : t.Calls("WinUsb_ControlTransfer"))
        if (r->WStr("dev") == path) transfers.push_back(r);
    ASSERT_EQ(30u, transfers.size());
    for (size_t i = 0; i < 15; ++i) {
        SCOPED_TRACE(i);
        const jsonl::Value& a = *transfers[i];
        const jsonl::Value& b = *transfers[15 + i];
        for (const char* f : {"type", "request", "value", "index", "length"}) {
            EXPECT_EQ(a.Find("setup")->Num(f), b.Find("setup")->Num(f)) << f;
        }
        for (const char* f : {"out", "in"}) {
            EXPECT_EQ(a.Str(f), b.Str(f)) << f;
        }
        for (const char* f : {"count", "result", "error"}) {
            EXPECT_EQ(a.Num(f), b.Num(f)) << f;
        }
    }
    // And the device left after the download and came back, both times.
    size_t removals = 0, arrivals = 0;
    for (const jsonl::Value* r : t.Calls("WM_DEVICECHANGE")) {
        if (r->WStr("dev") != path) continue;
        removals += r->Str("event") == "removal";
        arrivals += r->Str("event") == "arrival";
    }
    EXPECT_EQ(2u, removals);
    EXPECT_EQ(4u, arrivals) << "plugged, and back after the restart, in each run";
}

TEST(UpdateReplay, ATwoPartUpdateReplaysAcrossTheDevicesRestart) {
    TracedProcess trace;
    const Bytes part1 = Pattern(2048 + 128, 4), part2 = Pattern(4 * 1024 + 7, 5);
    const Bytes file = TwoPartFile(2, part1, part2);
    std::wstring path;
    Outcome recorded;
    {
        EngineHarness h;
        WatchDevices(h.dialog);
        h.PlugDevice(SlowRestart());
        path = UpdatePath(h);
        recorded = RunUpdate(h, file, 2);
        ASSERT_EQ(part1, h.flash->image1);
        ASSERT_EQ(part2, h.flash->image2);
    }
    ASSERT_EQ((std::vector<DWORD>{1, 1}), recorded.results);

    auto replay = LoadReplay(trace.path(), path);
    ASSERT_NE(nullptr, replay);
    Outcome replayed;
    {
        EngineHarness h;
        WatchDevices(h.dialog);
        PlugReplay(h, replay);
        replayed = RunUpdate(h, file, 2);
    }
    EXPECT_EQ(recorded.results, replayed.results);
    EXPECT_EQ(recorded.boxes, replayed.boxes);
    EXPECT_EQ(recorded.progress, replayed.progress);
    EXPECT_EQ("", replay->Verdict());
    EXPECT_EQ((std::vector<Bytes>{part1, part2}), DownloadSessions(replay->Received()));
}

TEST(UpdateReplay, AChangedRequestFailsTheReplayWithADiffOfItsFirstDifference) {
    TracedProcess trace;
    const Bytes image = Pattern(5 * 1024 + 300, 22);
    std::wstring path;
    {
        EngineHarness h;
        h.PlugDevice(SlowRestart());
        path = UpdatePath(h);
        ASSERT_EQ(std::vector<DWORD>{1}, RunUpdate(h, image, 1).results);
    }
    // Only what this run recorded: the replays below are traced too.
    const std::string text = trace.Read().raw;
    sim::DeviceTrace recorded;
    std::string error;
    ASSERT_TRUE(sim::ParseDeviceTrace(text, path, &recorded, &error)) << error;
    ASSERT_EQ(15u, recorded.exchanges.size());
    // The second data block: exchange 4 (status, block, status, block).
    const sim::RecordedExchange& block = recorded.exchanges[3];
    ASSERT_EQ(0x01, block.request.setup.Request);
    ASSERT_EQ(1024u, block.request.out.size());
    const std::string blockLine = "WinUsb_ControlTransfer type 0x40 request 0x01 value 0x0001 index 0x0000 length "
                                  "1024, 1024 bytes out\n";
    Bytes changed(image.begin() + 1024, image.begin() + 2048);
    changed[100] ^= 0x01;
    const Bytes sent(image.begin() + 1024, image.begin() + 2048);

    struct Case {
        const char* name;
        size_t number;
        std::function<void(sim::ReplayRequest&)> change;
        std::vector<std::wstring> boxes;
        std::vector<std::string> report;  // lines the report holds
    };
    const std::vector<Case> cases = {
        {"a byte of the second block",
         4,
         [](sim::ReplayRequest& r) { r.out[100] ^= 0x01; },
         {L"Firmware Download Failed!"},
         {"exchange 4 of 15 (trace line " + std::to_string(block.line) + ") differs from the recorded one:\n",
          "  expected " + blockLine, "  got      " + blockLine,
          "  bytes sent: expected 1024, got 1024; first difference at offset 0x0064 (100)\n",
          "    expected 0060: " + Spaced(sent, 0x60, 0x80) + " ...\n",
          "    got      0060: " + Spaced(changed, 0x60, 0x80) + " ...\n",
          "recorded exchanges never came; the first of them is exchange 4 "}},
        {"the value of the first status request",
         1,
         [](sim::ReplayRequest& r) { r.setup.Value = 0x0100; },
         {L"Get Status Failed!", L"USB Communication Failure!"},
         {"exchange 1 of 15 (trace line " + std::to_string(recorded.exchanges[0].line) +
              ") differs from the recorded one:\n",
          "  got      WinUsb_ControlTransfer type 0xC0 request 0x03 value 0x0100 index 0x0000 length 6\n",
          "  differs in: value\n", "15 of the 15 recorded exchanges never came"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto replay = std::make_shared<sim::ReplayDeviceModel>(recorded);
        replay->AlterRequest(c.number, c.change);
        EngineHarness h;
        PlugReplay(h, replay);
        const Outcome o = RunUpdate(h, image, 1);
        EXPECT_EQ(std::vector<DWORD>{0}, o.results) << "the update fails";
        EXPECT_EQ(c.boxes, o.boxes);
        EXPECT_TRUE(replay->Diverged());
        const std::string verdict = replay->Verdict();
        for (const std::string& line : c.report) {
            EXPECT_NE(std::string::npos, verdict.find(line)) << line << "\nin:\n" << verdict;
        }
    }
}
