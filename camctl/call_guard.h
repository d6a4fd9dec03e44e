// One call at a time: the library has one binding, one OVERLAPPED record and
// one set of report buffers, so its callers must not overlap two calls. A
// call that starts while another runs on another thread is the caller's
// fault, and it is written to the debugger output with both names, so that a
// trace from the field shows it. (The call still runs: refusing it would
// change what the caller sees.)
#pragma once

class CallGuard {
public:
    explicit CallGuard(const wchar_t* name);
    ~CallGuard();
    CallGuard(const CallGuard&) = delete;
    CallGuard& operator=(const CallGuard&) = delete;

private:
    bool outer_ = false;
    bool overlapped_ = false;
};
