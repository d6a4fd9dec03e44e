// The end of the Windows session and sleep: the programs' shutdown block
// reasons and execution-state requests are recorded (and passed on, so that
// a program run for a person under Wine behaves as it would on Windows).
#include "sim_internal.h"

using namespace sim;
using namespace sim::detail;

namespace {

// Records a block-reason call; the window holds a reason afterwards or not.
void RecordBlockReason(PowerCall::Kind kind, HWND window, LPCWSTR reason) {
    World& w = W();
    LastErrorGuard keep;
    std::lock_guard<std::mutex> lock(w.mu);
    PowerCall c;
    c.kind = kind;
    c.window = window;
    c.reason = reason != nullptr ? reason : L"";
    c.threadId = ::GetCurrentThreadId();
    w.powerCalls.push_back(c);
    if (kind == PowerCall::Kind::BlockReasonCreate) w.blockedWindows.insert(window);
    else w.blockedWindows.erase(window);
}

}  // namespace

namespace simos {

BOOL WINAPI ShutdownBlockReasonCreate(HWND window, LPCWSTR reason) {
    RecordBlockReason(PowerCall::Kind::BlockReasonCreate, window, reason);
    Real().ShutdownBlockReasonCreate(window, reason);
    // Windows refuses a window of another thread; the record keeps the call
    // either way, and the tests check the thread.
    return ::GetWindowThreadProcessId(window, nullptr) == ::GetCurrentThreadId();
}

BOOL WINAPI ShutdownBlockReasonDestroy(HWND window) {
    RecordBlockReason(PowerCall::Kind::BlockReasonDestroy, window, nullptr);
    Real().ShutdownBlockReasonDestroy(window);
    return TRUE;
}

EXECUTION_STATE WINAPI SetThreadExecutionState(EXECUTION_STATE flags) {
    World& w = W();
    LastErrorGuard keep;
    std::lock_guard<std::mutex> lock(w.mu);
    PowerCall c;
    c.kind = PowerCall::Kind::ExecutionState;
    c.flags = flags;
    c.threadId = ::GetCurrentThreadId();
    w.powerCalls.push_back(c);
    EXECUTION_STATE previous = ES_CONTINUOUS;
    auto it = w.continuousState.find(c.threadId);
    if (it != w.continuousState.end()) previous = it->second;
    if ((flags & ES_CONTINUOUS) != 0) w.continuousState[c.threadId] = flags;
    return previous;
}

}  // namespace simos

namespace sim {

std::vector<PowerCall> PowerCalls() {
    World& w = W();
    std::lock_guard<std::mutex> lock(w.mu);
    return w.powerCalls;
}

std::vector<HWND> ShutdownBlockedWindows() {
    World& w = W();
    std::lock_guard<std::mutex> lock(w.mu);
    return std::vector<HWND>(w.blockedWindows.begin(), w.blockedWindows.end());
}

bool SystemKeptAwake() {
    World& w = W();
    std::lock_guard<std::mutex> lock(w.mu);
    for (const auto& t : w.continuousState)
        if ((t.second & ES_SYSTEM_REQUIRED) != 0) return true;
    return false;
}

}  // namespace sim
