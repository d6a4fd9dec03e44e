#include "camera_update.h"

#include <algorithm>
#include <mutex>
#include <new>
#include <vector>

#include "debug_print.h"
#include "os_api.h"

namespace {

UpdateView g_quietView;

// The updates the program holds; "is anything busy" asks each of them.
std::mutex g_updatesLock;
std::vector<CameraUpdate*>& Updates() {
    static std::vector<CameraUpdate*> updates;
    return updates;
}

struct WorkerStart {
    CameraUpdate* update;
    WorkerKind kind;
    LPTHREAD_START_ROUTINE proc;
    void* parameter;
};

DWORD WINAPI WorkerMain(LPVOID p) {
    const WorkerStart start = *static_cast<WorkerStart*>(p);
    delete static_cast<WorkerStart*>(p);
    DWORD result = 0;
    try {
        result = start.proc(start.parameter);
    } catch (...) {
        DebugLine(L"Worker thread exception...\r\n");
    }
    --start.update->nWorkers[static_cast<int>(start.kind)];
    start.update->View().BusyChanged(false);
    return result;
}

}  // namespace

void UpdateView::Pause(DWORD ms) { Os().Sleep(ms); }

CameraUpdate::CameraUpdate(UpdateView* view) : view_(view != nullptr ? view : &g_quietView) {
    std::lock_guard<std::mutex> lock(g_updatesLock);
    Updates().push_back(this);
}

CameraUpdate::~CameraUpdate() {
    std::lock_guard<std::mutex> lock(g_updatesLock);
    auto& updates = Updates();
    updates.erase(std::remove(updates.begin(), updates.end(), this), updates.end());
}

void CameraUpdate::SetView(UpdateView* view) { view_ = view != nullptr ? view : &g_quietView; }

bool CameraUpdate::WaitExpired() const {
    if (View().HoldsTheWait()) return false;
    return Os().GetTickCount() - dwWaitStart.load() >= kCameraComeBackWaitMs;
}

bool CameraUpdate::HoldsClosing() const {
    if (StartsOrWorkersRun()) return true;
    return bWaitingForCamera && !bWaitAfterFailure && !WaitExpired();
}

bool CameraUpdate::StartsOrWorkersRun() const {
    if (nUpdateStarts > 0) return true;
    for (const auto& n : nWorkers)
        if (n > 0) return true;
    return false;
}

bool CameraUpdate::IsBusy() const {
    if (StartsOrWorkersRun()) return true;
    return bWaitingForCamera && !WaitExpired();
}

void CameraUpdate::WaitForCamera() {
    bWaitAfterFailure = false;
    dwWaitStart = Os().GetTickCount();
    bWaitingForCamera = true;
    SetPhase(UpdatePhase::WaitingForCamera);
    View().BusyChanged(false);
}

void CameraUpdate::WaitGoesOn() {
    if (bWaitingForCamera) dwWaitStart = Os().GetTickCount();
}

void CameraUpdate::WaitEnd() {
    bWaitingForCamera = false;
    bWaitAfterFailure = false;
    View().BusyChanged(false);
}

HANDLE CameraUpdate::StartWorker(WorkerKind kind, LPTHREAD_START_ROUTINE proc, void* parameter) {
    auto* start = new (std::nothrow) WorkerStart{this, kind, proc, parameter};
    if (start == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    auto& count = nWorkers[static_cast<int>(kind)];
    ++count;
    HANDLE thread = CreateThread(nullptr, 0, WorkerMain, start, 0, nullptr);
    if (thread == nullptr) {
        const DWORD error = GetLastError();
        delete start;
        --count;
        View().BusyChanged(false);
        SetLastError(error);
        return nullptr;
    }
    View().BusyChanged(true);
    return thread;
}

int CameraUpdate::Report(UpdateReport kind, const wchar_t* text, const wchar_t* caption, UINT boxFlags,
                         bool ownedByDialog) {
    switch (kind) {
        case UpdateReport::Succeeded:
            outcome = UpdateOutcome::Succeeded;
            SetPhase(UpdatePhase::Ended);
            break;
        case UpdateReport::SucceededReplug:
            outcome = UpdateOutcome::SucceededReplug;
            SetPhase(UpdatePhase::Ended);
            break;
        case UpdateReport::Failed:
            outcome = UpdateOutcome::Failed;
            SetPhase(UpdatePhase::Ended);
            break;
        case UpdateReport::Trouble:
            break;
    }
    return View().Report(kind, text, caption, boxFlags, ownedByDialog);
}

bool UpdateIsBusy() {
    std::lock_guard<std::mutex> lock(g_updatesLock);
    for (const CameraUpdate* u : Updates())
        if (u->IsBusy()) return true;
    return false;
}

bool ClosingIsHeld() {
    std::lock_guard<std::mutex> lock(g_updatesLock);
    for (const CameraUpdate* u : Updates())
        if (u->HoldsClosing()) return true;
    return false;
}

UpdateStartScope::UpdateStartScope(CameraUpdate& update) : update_(update) {
    ++update_.nUpdateStarts;
    update_.SetPhase(UpdatePhase::Starting);
    update_.View().BusyChanged(true);
}

UpdateStartScope::~UpdateStartScope() {
    --update_.nUpdateStarts;
    update_.View().BusyChanged(false);
}
