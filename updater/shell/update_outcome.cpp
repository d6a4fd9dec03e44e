#include "update_outcome.h"

#include <atomic>

#include "app_state.h"
#include "notice_dialogs.h"
#include "os_api.h"

namespace {

std::atomic<UpdateReportSink> g_sink{nullptr};

}  // namespace

void SetUpdateReportSink(UpdateReportSink sink) { g_sink = sink; }

int ReportUpdate(UpdateReport kind, const wchar_t* text, const wchar_t* caption, UINT boxFlags, bool ownedByDialog) {
    if (UpdateReportSink sink = g_sink.load()) {
        sink(kind, text);
        return IDOK;
    }
    HWND owner = ownedByDialog ? g_hMainDlg.load() : nullptr;
    if (kind == UpdateReport::SucceededReplug) {
        Os().DialogBoxParamW(g_hInst, MAKEINTRESOURCEW(IDD_WARNING_NOTICE), owner, WarningNoticeProc, 0);
        return IDOK;
    }
    return Os().MessageBoxW(owner, text, caption, boxFlags);
}

bool UpdateReportsGoToSink() { return g_sink.load() != nullptr; }
