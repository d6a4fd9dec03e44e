// Scaled time: the simulator runs a whole update in seconds by shrinking
// sleeps, wait time-outs and timer periods, and GetTickCount reports the
// simulated clock so that durations measured by the program stay consistent.
#include "sim_internal.h"

using namespace sim::detail;

namespace simos {

void WINAPI Sleep(DWORD ms) {
    LastErrorGuard keep;
    DWORD real = W().RealMs(ms);
    ::Sleep(real);
}

DWORD WINAPI WaitForSingleObject(HANDLE h, DWORD ms) {
    DWORD real;
    {
        LastErrorGuard keep;
        real = W().RealMs(ms);
    }
    return ::WaitForSingleObject(h, real);
}

UINT_PTR WINAPI SetTimer(HWND window, UINT_PTR id, UINT elapse, TIMERPROC proc) {
    DWORD real;
    {
        LastErrorGuard keep;
        real = W().RealMs(elapse);
    }
    return ::SetTimer(window, id, real, proc);
}

DWORD WINAPI MsgWaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL all, DWORD ms, DWORD wake) {
    DWORD real;
    {
        LastErrorGuard keep;
        real = W().RealMs(ms);
    }
    return ::MsgWaitForMultipleObjects(count, handles, all, real, wake);
}

DWORD WINAPI GetTickCount(void) {
    LastErrorGuard keep;
    return static_cast<DWORD>(static_cast<unsigned long long>(W().SimNow()));
}

}  // namespace simos
