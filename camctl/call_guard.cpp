#include "call_guard.h"

#include <atomic>

#include "cam_log.h"

namespace {

std::atomic<const wchar_t*> g_pszRunning{nullptr};
// Exports that call other exports count once.
thread_local int t_depth = 0;

}  // namespace

CallGuard::CallGuard(const wchar_t* name) {
    if (t_depth++ > 0) return;
    outer_ = true;
    const wchar_t* running = nullptr;
    if (!g_pszRunning.compare_exchange_strong(running, name)) {
        overlapped_ = true;
        CamLog(L"KivoFwSw: %s called while %s runs\r\n", name, running != nullptr ? running : L"another call");
    }
}

CallGuard::~CallGuard() {
    --t_depth;
    if (outer_ && !overlapped_) g_pszRunning = nullptr;
}
