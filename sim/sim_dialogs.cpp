// Operator dialogs that block, answered from queues the tests fill (or shown
// for real with CORVANE_SIM_INTERACTIVE=1), and the debugger output, captured
// line by line (and echoed to CORVANE_SIM_DEBUGLOG when set).
#include "sim_internal.h"

using namespace sim;
using namespace sim::detail;

namespace {

int DefaultAnswer(UINT type) {
    switch (type & MB_TYPEMASK) {
        case MB_YESNO:
        case MB_YESNOCANCEL: return IDYES;
        case MB_RETRYCANCEL: return IDRETRY;
        case MB_ABORTRETRYIGNORE: return IDABORT;
        case MB_CANCELTRYCONTINUE: return IDCONTINUE;
        default: return IDOK;
    }
}

std::wstring Text(LPCWSTR s) { return s ? std::wstring(s) : std::wstring(); }

void EchoLocked(World& w, const std::wstring& text) {
    if (w.debugLog == INVALID_HANDLE_VALUE) return;
    std::wstring line = L"[" + std::to_wstring(::GetCurrentThreadId()) + L"] " + text;
    if (line.empty() || line.back() != L'\n') line += L"\n";
    int n = ::WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()), nullptr, 0, nullptr, nullptr);
    if (n <= 0) return;
    std::string utf8(static_cast<size_t>(n), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()), &utf8[0], n, nullptr, nullptr);
    DWORD written = 0;
    ::WriteFile(w.debugLog, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
}

std::vector<std::wstring> FilterList(LPCWSTR filter) {
    std::vector<std::wstring> out;
    if (!filter) return out;
    while (*filter) {
        std::wstring s(filter);
        out.push_back(s);
        filter += s.size() + 1;
    }
    return out;
}

}  // namespace

namespace sim {
namespace detail {

void EchoToLog(const std::wstring& text) {
    World& w = W();
    std::lock_guard<std::mutex> lock(w.mu);
    EchoLocked(w, text);
}

}  // namespace detail
}  // namespace sim

namespace simos {

int WINAPI MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type) {
    World& w = W();
    MessageBoxCall call;
    call.owner = owner;
    call.text = Text(text);
    call.caption = Text(caption);
    call.type = type;
    call.threadId = ::GetCurrentThreadId();
    std::function<int(const MessageBoxCall&)> hook;
    bool interactive;
    {
        std::lock_guard<std::mutex> lock(w.mu);
        hook = w.messageBoxHook;
        interactive = w.interactive;
        EchoLocked(w, L"MessageBox \"" + call.caption + L"\": " + call.text);
    }
    int answer = hook ? hook(call) : 0;
    if (answer == 0 && interactive) answer = Real().MessageBoxW(owner, text, caption, type);
    {
        std::lock_guard<std::mutex> lock(w.mu);
        if (answer == 0 && !w.messageBoxAnswers.empty()) {
            answer = w.messageBoxAnswers.front();
            w.messageBoxAnswers.pop_front();
        }
        if (answer == 0) answer = DefaultAnswer(type);
        call.answer = answer;
        w.messageBoxes.push_back(call);
    }
    return answer;
}

BOOL WINAPI GetOpenFileNameW(LPOPENFILENAMEW ofn) {
    if (!ofn) return FALSE;
    World& w = W();
    OpenFileCall call;
    call.owner = ofn->hwndOwner;
    call.filter = FilterList(ofn->lpstrFilter);
    call.flags = ofn->Flags;
    call.initialDir = Text(ofn->lpstrInitialDir);
    call.title = Text(ofn->lpstrTitle);
    call.defaultExtension = Text(ofn->lpstrDefExt);
    call.maxFile = ofn->nMaxFile;
    bool interactive;
    bool haveAnswer = false;
    std::wstring answer;
    {
        std::lock_guard<std::mutex> lock(w.mu);
        interactive = w.interactive;
        if (!interactive && !w.openFileAnswers.empty()) {
            haveAnswer = true;
            answer = w.openFileAnswers.front();
            w.openFileAnswers.pop_front();
        }
    }
    BOOL result = FALSE;
    if (interactive) {
        result = Real().GetOpenFileNameW(ofn);
        if (result && ofn->lpstrFile) answer = ofn->lpstrFile;
    } else if (haveAnswer) {
        if (!ofn->lpstrFile || ofn->nMaxFile <= answer.size()) {
            // FNERR_BUFFERTOOSMALL: the first WORD of the buffer gets the
            // size needed, in characters.
            if (ofn->lpstrFile && ofn->nMaxFile >= 1) {
                ofn->lpstrFile[0] = static_cast<wchar_t>(answer.size() + 1);
            }
        } else {
            memcpy(ofn->lpstrFile, answer.c_str(), (answer.size() + 1) * sizeof(wchar_t));
            size_t slash = answer.find_last_of(L"\\/");
            size_t name = slash == std::wstring::npos ? 0 : slash + 1;
            size_t dot = answer.find_last_of(L'.');
            ofn->nFileOffset = static_cast<WORD>(name);
            if (dot == std::wstring::npos || dot < name) {
                ofn->nFileExtension = static_cast<WORD>(answer.size());  // the terminating null
            } else if (dot + 1 == answer.size()) {
                ofn->nFileExtension = 0;  // a name ending in "."
            } else {
                ofn->nFileExtension = static_cast<WORD>(dot + 1);
            }
            if (ofn->lpstrFileTitle && ofn->nMaxFileTitle > 0) {
                std::wstring title = answer.substr(name);
                size_t n = std::min<size_t>(title.size(), ofn->nMaxFileTitle - 1);
                memcpy(ofn->lpstrFileTitle, title.c_str(), n * sizeof(wchar_t));
                ofn->lpstrFileTitle[n] = L'\0';
            }
            result = TRUE;
        }
    }
    {
        std::lock_guard<std::mutex> lock(w.mu);
        call.accepted = result != FALSE;
        call.answer = result ? answer : std::wstring();
        w.openFileCalls.push_back(call);
    }
    return result;
}

INT_PTR WINAPI DialogBoxParamW(HINSTANCE instance, LPCWSTR templ, HWND parent, DLGPROC proc, LPARAM param) {
    World& w = W();
    DialogCall call;
    call.instance = instance;
    if (IS_INTRESOURCE(templ)) {
        call.templateId = static_cast<WORD>(reinterpret_cast<ULONG_PTR>(templ));
    } else {
        call.templateName = templ;
    }
    call.parent = parent;
    call.initParam = param;
    call.threadId = ::GetCurrentThreadId();
    DialogHook hook;
    {
        std::lock_guard<std::mutex> lock(w.mu);
        w.dialogCalls.push_back(call);
        hook = w.dialogHook;
    }
    INT_PTR result = 0;
    if (hook && hook(call, proc, &result)) return result;
    return Real().DialogBoxParamW(instance, templ, parent, proc, param);
}

void WINAPI OutputDebugStringW(LPCWSTR text) {
    if (!text) return;
    LastErrorGuard keep;
    World& w = W();
    {
        std::lock_guard<std::mutex> lock(w.mu);
        DebugLine line;
        line.threadId = ::GetCurrentThreadId();
        line.text = text;
        EchoLocked(w, line.text);
        w.debugLines.push_back(std::move(line));
    }
    ::OutputDebugStringW(text);
}

}  // namespace simos
