#include "trace_test_support.h"

#include "os_api.h"
#include "os_trace.h"

#include <cstdio>

namespace tracetest {

TracedProcess::TracedProcess() : path_(jsonl::FreshTempPath(L"trc")) {
    ::SetEnvironmentVariableW(L"CORVANE_TRACE", path_.c_str());
    Os();
    if (!ostrace::Active()) {
        ADD_FAILURE() << "tracing did not start: Os() was called before in this process (run one test per process)";
    }
}

TracedProcess::~TracedProcess() {
    if (::testing::Test::HasFailure()) {
        std::printf("trace kept: %s\n", jsonl::Narrow(path_).c_str());
    } else {
        ::DeleteFileW(path_.c_str());
    }
}

jsonl::Trace TracedProcess::Read() const {
    jsonl::Trace t = jsonl::ReadTrace(path_);
    for (const std::string& p : t.problems) ADD_FAILURE() << p;
    return t;
}

WINUSB_SETUP_PACKET Packet(UCHAR type, UCHAR request, USHORT value, USHORT index, USHORT length) {
    WINUSB_SETUP_PACKET s;
    s.RequestType = type;
    s.Request = request;
    s.Value = value;
    s.Index = index;
    s.Length = length;
    return s;
}

Bytes ScriptedDevice::ControlReply(const WINUSB_SETUP_PACKET& s) {
    Bytes b = {s.Request, static_cast<BYTE>(s.Value), 0xA5, 0x5A, static_cast<BYTE>(s.Index),
               static_cast<BYTE>(s.Length)};
    if (b.size() > s.Length) b.resize(s.Length);
    return b;
}

Bytes ScriptedDevice::Inverted(const Bytes& b) {
    Bytes out = b;
    for (BYTE& x : out) x = static_cast<BYTE>(~x);
    return out;
}

void ScriptedDevice::ControlTransfer(const sim::IoRequestPtr& r) {
    const WINUSB_SETUP_PACKET s = r->setup();
    if (s.Request == 0x7F) {
        r->Fail(ERROR_GEN_FAILURE);
    } else if (s.RequestType & 0x80) {
        r->CompleteData(ControlReply(s));
    } else {
        r->CompleteBytes(static_cast<DWORD>(r->input().size()));
    }
}

void ScriptedDevice::Read(const sim::IoRequestPtr& r) {
    std::unique_lock<std::mutex> lock(mu);
    if (readReplies.empty()) {
        held.push_back(r);
        return;
    }
    Bytes reply = readReplies.front();
    readReplies.pop_front();
    lock.unlock();
    r->CompleteData(reply);
}

void ScriptedDevice::Write(const sim::IoRequestPtr& r) { r->CompleteBytes(static_cast<DWORD>(r->input().size())); }

void ScriptedDevice::DeviceIoControl(const sim::IoRequestPtr& r) {
    std::lock_guard<std::mutex> lock(mu);
    held.push_back(r);
}

DWORD ScriptedDevice::GetInputReport(const sim::OpenContext&, BYTE* report, ULONG length) {
    for (ULONG i = 1; i < length; ++i) report[i] = static_cast<BYTE>(report[0] + i);
    return ERROR_SUCCESS;
}

DWORD ScriptedDevice::SetOutputReport(const sim::OpenContext&, const BYTE* report, ULONG length) {
    std::lock_guard<std::mutex> lock(mu);
    outputReports.emplace_back(report, report + length);
    return ERROR_SUCCESS;
}

bool ScriptedDevice::AnswerHeld(const Bytes& reply) {
    sim::IoRequestPtr r;
    {
        std::lock_guard<std::mutex> lock(mu);
        if (held.empty()) return false;
        r = held.front();
        held.pop_front();
    }
    if (r->kind() == sim::IoRequest::Kind::DeviceIoControl) return r->CompleteData(Inverted(r->input()));
    return r->CompleteData(reply);
}

std::vector<Bytes> DownloadSessions(const std::vector<sim::ReplayRequest>& requests) {
    std::vector<Bytes> sessions;
    Bytes current;
    for (const sim::ReplayRequest& r : requests) {
        if (r.kind != sim::ExchangeKind::ControlTransfer || r.setup.RequestType != 0x40 || r.setup.Request != 0x01)
            continue;
        if (r.setup.Length == 0) {
            sessions.push_back(current);
            current.clear();
        } else {
            current.insert(current.end(), r.out.begin(), r.out.end());
        }
    }
    if (!current.empty()) sessions.push_back(current);
    return sessions;
}

}  // namespace tracetest
