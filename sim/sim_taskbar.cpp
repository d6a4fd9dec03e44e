// The taskbar as the program sees it: the taskbar list object that
// CoCreateInstance hands out for CLSID_TaskbarList, and FlashWindowEx. Both
// record what they are told and do nothing else (a test desktop has no
// taskbar to show it).
#include "sim_internal.h"

#include <shobjidl.h>

#include <atomic>
#include <mutex>

using namespace sim::detail;

namespace {

void Record(const std::wstring& call) {
    World& w = W();
    std::lock_guard<std::mutex> lock(w.mu);
    w.taskbarCalls.push_back(call);
}

std::wstring Hex(unsigned long long v) {
    wchar_t text[24];
    swprintf(text, 24, L"0x%llX", v);
    return text;
}

class TaskbarRecorder final : public ITaskbarList3 {
public:
    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (out == nullptr) return E_POINTER;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_ITaskbarList) ||
            IsEqualIID(iid, IID_ITaskbarList2) || IsEqualIID(iid, IID_ITaskbarList3)) {
            *out = static_cast<ITaskbarList3*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG n = --refs_;
        if (n == 0) delete this;
        return n;
    }
    // ITaskbarList
    HRESULT STDMETHODCALLTYPE HrInit() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE AddTab(HWND) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE DeleteTab(HWND) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE ActivateTab(HWND) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE SetActiveAlt(HWND) override { return S_OK; }
    // ITaskbarList2
    HRESULT STDMETHODCALLTYPE MarkFullscreenWindow(HWND, BOOL) override { return S_OK; }
    // ITaskbarList3: progress is recorded, the rest is accepted.
    HRESULT STDMETHODCALLTYPE SetProgressValue(HWND, ULONGLONG done, ULONGLONG total) override {
        Record(L"value " + std::to_wstring(done) + L"/" + std::to_wstring(total));
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetProgressState(HWND, TBPFLAG flags) override {
        Record(L"state " + Hex(static_cast<unsigned>(flags)));
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE RegisterTab(HWND, HWND) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE UnregisterTab(HWND) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE SetTabOrder(HWND, HWND) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE SetTabActive(HWND, HWND, DWORD) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE ThumbBarAddButtons(HWND, UINT, LPTHUMBBUTTON) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE ThumbBarUpdateButtons(HWND, UINT, LPTHUMBBUTTON) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE ThumbBarSetImageList(HWND, HIMAGELIST) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE SetOverlayIcon(HWND, HICON, LPCWSTR) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE SetThumbnailTooltip(HWND, LPCWSTR) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE SetThumbnailClip(HWND, RECT*) override { return S_OK; }

private:
    std::atomic<ULONG> refs_{1};
};

}  // namespace

namespace sim::detail {

bool ServeTaskbarList(REFCLSID clsid, REFIID iid, LPVOID* object, HRESULT* result) {
    if (!IsEqualCLSID(clsid, CLSID_TaskbarList)) return false;
    auto* recorder = new TaskbarRecorder;
    *result = recorder->QueryInterface(iid, object);
    recorder->Release();
    return true;
}

}  // namespace sim::detail

namespace simos {

BOOL WINAPI FlashWindowEx(PFLASHWINFO info) {
    Record(L"flash " + Hex(info != nullptr ? info->dwFlags : 0));
    return FALSE;  // the window was not active
}

HWND WINAPI GetForegroundWindow(void) {
    {
        World& w = W();
        std::lock_guard<std::mutex> lock(w.mu);
        if (w.foregroundAnswered) return w.foregroundAnswer;
    }
    return Real().GetForegroundWindow();
}

}  // namespace simos

namespace sim {

void AnswerForegroundWindow(HWND window) {
    World& w = W();
    std::lock_guard<std::mutex> lock(w.mu);
    w.foregroundAnswered = true;
    w.foregroundAnswer = window;
}

std::vector<std::wstring> TaskbarCalls() {
    World& w = W();
    std::lock_guard<std::mutex> lock(w.mu);
    return w.taskbarCalls;
}

}  // namespace sim
