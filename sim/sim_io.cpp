// Device files: CreateFileW on interface paths, the I/O calls, HID and WinUSB,
// dispatched to the device's model with the overlapped semantics of Windows.
//
// A simulated handle is a real event created for it, so its value can never
// be a real handle of the process, and waiting on it works as waiting on a
// file handle does (it is signalled when an operation on it completes).
#include "sim_internal.h"

#include <algorithm>

using namespace sim;
using namespace sim::detail;

namespace sim {
namespace detail {

void IoState::SetInput(IoRequest& r, const void* data, DWORD length) {
    if (data && length) {
        const BYTE* p = static_cast<const BYTE*>(data);
        r.input_.assign(p, p + length);
    }
}

void World::SignalLocked(IoState& s) {
    if (s.overlapped) {
        s.overlapped->InternalHigh = s.transferred;
        s.overlapped->Internal = StatusOfError(s.error);
    }
    if (s.overlappedEvent) ::SetEvent(s.overlappedEvent);
    if (s.fileEvent) ::SetEvent(s.fileEvent);
}

bool World::Complete(IoRequest& r, DWORD error, DWORD transferred, const void* data, DWORD length) {
    std::lock_guard<std::mutex> lock(mu);
    IoState& s = *IoState::Of(r);
    if (s.phase == IoState::Phase::Done) return false;
    if (data) {
        DWORD n = std::min(length, r.outputCapacity());
        if (n && s.output) memcpy(s.output, data, n);
        transferred = s.output ? n : 0;
    }
    s.error = error;
    s.transferred = transferred;
    const bool inDispatch = s.phase == IoState::Phase::Dispatch;
    s.phase = IoState::Phase::Done;
    auto f = files.find(s.file);
    if (f != files.end()) {
        auto& p = f->second->pending;
        p.erase(std::remove_if(p.begin(), p.end(), [&](const IoRequestPtr& x) { return x.get() == &r; }), p.end());
    }
    // A completion inside the dispatch is reported by the call itself.
    if (!inDispatch) SignalLocked(s);
    ioDone.notify_all();
    return true;
}

}  // namespace detail

// ---------------------------------------------------------------- IoRequest

IoRequest::IoRequest(Kind kind, OpenContext context) : kind_(kind), context_(std::move(context)), state_(new IoState) {}

IoRequest::~IoRequest() { delete state_; }

bool IoRequest::IsPending() const {
    World& w = W();
    std::lock_guard<std::mutex> lock(w.mu);
    return state_->phase != IoState::Phase::Done;
}

bool IoRequest::CompleteData(const void* data, DWORD length, DWORD error) {
    static const BYTE none = 0;
    return W().Complete(*this, error, 0, data ? data : &none, data ? length : 0);
}

bool IoRequest::CompleteBytes(DWORD transferred, DWORD error) {
    return W().Complete(*this, error, transferred, nullptr, 0);
}

namespace {

// A completion scheduled for later is reported as one that came later: if its
// time comes while the call that handed the request over is still running
// (a short delay, a timeline thread that was slow to start), it waits for
// that call to return ERROR_IO_PENDING instead of landing inside it.
void CompleteWhenDispatched(std::weak_ptr<IoRequest> self, std::function<void(IoRequest&)> complete) {
    auto r = self.lock();
    if (!r) return;
    {
        World& w = W();
        std::lock_guard<std::mutex> lock(w.mu);
        if (IoState::Of(*r)->phase == IoState::Phase::Dispatch) {
            w.Schedule(0, [self, complete] { CompleteWhenDispatched(self, complete); });
            return;
        }
    }
    complete(*r);
}

}  // namespace

void IoRequest::CompleteDataAfter(DWORD simulatedMs, std::vector<BYTE> data, DWORD error) {
    std::weak_ptr<IoRequest> self = state_->self;
    World& w = W();
    std::lock_guard<std::mutex> lock(w.mu);
    w.Schedule(simulatedMs, [self, data, error] {
        CompleteWhenDispatched(self, [data, error](IoRequest& r) { r.CompleteData(data, error); });
    });
}

void IoRequest::CompleteBytesAfter(DWORD simulatedMs, DWORD transferred, DWORD error) {
    std::weak_ptr<IoRequest> self = state_->self;
    World& w = W();
    std::lock_guard<std::mutex> lock(w.mu);
    w.Schedule(simulatedMs, [self, transferred, error] {
        CompleteWhenDispatched(self, [transferred, error](IoRequest& r) { r.CompleteBytes(transferred, error); });
    });
}

// ---------------------------------------------------------------- DeviceModel

DeviceModel::DeviceModel() = default;
DeviceModel::~DeviceModel() = default;
void DeviceModel::Read(const IoRequestPtr& r) { r->Fail(ERROR_INVALID_FUNCTION); }
void DeviceModel::Write(const IoRequestPtr& r) { r->Fail(ERROR_INVALID_FUNCTION); }
void DeviceModel::DeviceIoControl(const IoRequestPtr& r) { r->Fail(ERROR_INVALID_FUNCTION); }
void DeviceModel::ControlTransfer(const IoRequestPtr& r) { r->Fail(ERROR_GEN_FAILURE); }
DWORD DeviceModel::GetInputReport(const OpenContext&, BYTE*, ULONG) { return ERROR_INVALID_FUNCTION; }
DWORD DeviceModel::SetOutputReport(const OpenContext&, const BYTE*, ULONG) { return ERROR_INVALID_FUNCTION; }

}  // namespace sim

namespace {

IoRequestPtr NewRequest(IoRequest::Kind kind, const OpenContext& context) {
    auto r = std::make_shared<IoRequest>(kind, context);
    // For completions scheduled later: they must not keep a cancelled
    // request alive, nor touch a freed one.
    IoState::Of(*r)->self = r;
    return r;
}

const std::shared_ptr<DeviceModel>& DefaultModel() {
    static auto* m = new std::shared_ptr<DeviceModel>(std::make_shared<DeviceModel>());
    return *m;
}

struct Submission {
    IoRequest::Kind kind = IoRequest::Kind::Read;
    const void* input = nullptr;
    DWORD inputLength = 0;
    void* output = nullptr;
    DWORD outputCapacity = 0;
    DWORD ioctl = 0;
    WINUSB_SETUP_PACKET setup{};
    bool winusb = false;  // synchronous exactly when no OVERLAPPED is given
};

// A report ID the collection has (byte 0 of the report); a collection
// without report IDs takes 0 only.
bool KnownReportId(const std::vector<BYTE>& ids, const BYTE* report, DWORD length) {
    if (report == nullptr || length == 0) return false;
    if (ids.empty()) return report[0] == 0;
    for (BYTE id : ids)
        if (id == report[0]) return true;
    return false;
}

bool HasAccess(DWORD access, DWORD generic, DWORD specific) {
    return (access & (generic | GENERIC_ALL | MAXIMUM_ALLOWED | specific)) != 0;
}

// Runs one operation on a simulated handle. False when the handle is not one
// of ours (the caller passes the call through).
bool Submit(HANDLE file, const Submission& sub, LPOVERLAPPED ov, LPDWORD transferred, BOOL* result) {
    World& w = W();
    const DWORD entryError = ::GetLastError();
    std::shared_ptr<SimFile> f;
    IoRequestPtr req;
    DWORD error = ERROR_SUCCESS;
    bool synchronous = true;
    std::wstring refusedRequest, refusedReason;
    {
        std::lock_guard<std::mutex> lock(w.mu);
        auto it = w.files.find(file);
        if (it == w.files.end()) return false;
        f = it->second;
        synchronous = sub.winusb ? ov == nullptr : !f->overlapped;
        // The system marks the record pending before the request goes
        // anywhere; a request that fails at once leaves it so (and neither
        // writes a status into it nor signals its event).
        if (ov) ov->Internal = STATUS_PENDING;
        // The I/O manager checks the handle's access before it touches the
        // event; every later failure comes from the driver, after the event
        // was reset for the request.
        bool reachedDriver = true;
        const Node* node = w.FindNode(f->devinst);
        const bool hid = node != nullptr && node->kind == NodeKind::HidCollection && !sub.winusb;
        if (sub.kind == IoRequest::Kind::Read && !HasAccess(f->context.access, GENERIC_READ, FILE_READ_DATA)) {
            error = ERROR_ACCESS_DENIED;
            reachedDriver = false;
        } else if (sub.kind == IoRequest::Kind::Write && !HasAccess(f->context.access, GENERIC_WRITE, FILE_WRITE_DATA)) {
            error = ERROR_ACCESS_DENIED;
            reachedDriver = false;
        } else if (!synchronous && !ov) {
            error = ERROR_INVALID_PARAMETER;
            reachedDriver = false;
        } else if (f->gone) {
            error = ERROR_DEVICE_NOT_CONNECTED;
        } else if (hid && sub.kind == IoRequest::Kind::Read && sub.outputCapacity != node->hid.inputReportLength) {
            // The HID class driver hands out whole input reports only.
            error = ERROR_INVALID_USER_BUFFER;
            refusedRequest = L"ReadFile of " + std::to_wstring(sub.outputCapacity) + L" bytes";
            refusedReason = L"the input report is " + std::to_wstring(node->hid.inputReportLength) +
                            L" bytes long with its ID";
        } else if (hid && sub.kind == IoRequest::Kind::Write && sub.inputLength != node->hid.outputReportLength) {
            error = ERROR_INVALID_USER_BUFFER;
            refusedRequest = L"WriteFile of " + std::to_wstring(sub.inputLength) + L" bytes";
            refusedReason = L"the output report is " + std::to_wstring(node->hid.outputReportLength) +
                            L" bytes long with its ID";
        } else if (hid && sub.kind == IoRequest::Kind::Write &&
                   !KnownReportId(node->hid.outputReportIds, static_cast<const BYTE*>(sub.input), sub.inputLength)) {
            error = ERROR_INVALID_PARAMETER;
            refusedRequest = sub.input ? L"WriteFile of report " + std::to_wstring(static_cast<const BYTE*>(sub.input)[0])
                                       : std::wstring(L"WriteFile without a report");
            refusedReason = L"the collection has no such output report";
        }
        if (error != ERROR_SUCCESS) {
            if (reachedDriver) {
                if (ov && ov->hEvent) ::ResetEvent(ov->hEvent);
                ::ResetEvent(f->handle);
            }
        } else {
            req = NewRequest(sub.kind, f->context);
            IoState& s = *IoState::Of(*req);
            IoState::SetInput(*req, sub.input, sub.inputLength);
            IoState::SetOutput(*req, sub.output, sub.outputCapacity);
            IoState::SetIoctl(*req, sub.ioctl);
            IoState::SetSetup(*req, sub.setup);
            s.overlapped = ov;
            s.overlappedEvent = ov ? ov->hEvent : nullptr;
            s.fileEvent = f->handle;
            s.file = file;
            s.threadId = ::GetCurrentThreadId();
            // Starting an operation resets the caller's event and the handle.
            if (ov) {
                ov->Internal = STATUS_PENDING;
                ov->InternalHigh = 0;
                if (ov->hEvent) ::ResetEvent(ov->hEvent);
            }
            ::ResetEvent(f->handle);
            f->pending.push_back(req);
        }
    }
    if (transferred) *transferred = 0;
    if (error != ERROR_SUCCESS) {
        if (!refusedRequest.empty()) RecordRefusal(f->context.device, L"HID class driver", refusedRequest, refusedReason);
        ::SetLastError(error);
        *result = FALSE;
        return true;
    }

    const std::shared_ptr<DeviceModel>& model = f->model ? f->model : DefaultModel();
    switch (sub.kind) {
        case IoRequest::Kind::Read: model->Read(req); break;
        case IoRequest::Kind::Write: model->Write(req); break;
        case IoRequest::Kind::DeviceIoControl: model->DeviceIoControl(req); break;
        case IoRequest::Kind::ControlTransfer: model->ControlTransfer(req); break;
    }

    bool pending = false;
    DWORD bytes = 0;
    {
        std::unique_lock<std::mutex> lock(w.mu);
        IoState& s = *IoState::Of(*req);
        if (s.phase == IoState::Phase::Dispatch) {
            s.phase = IoState::Phase::Pending;
            if (synchronous) {
                w.ioDone.wait(lock, [&] { return s.phase == IoState::Phase::Done; });
            } else {
                pending = true;
            }
        } else if (s.error == ERROR_SUCCESS) {
            // Completed inside the dispatch: the OVERLAPPED and events are
            // set as for a completion that came later.
            w.SignalLocked(s);
        }
        // A failure inside the dispatch is the call's own result: the record
        // stays pending and its event reset, as Windows leaves them.

        if (!pending) {
            error = s.error;
            bytes = s.transferred;
        }
    }
    if (pending) {
        ::SetLastError(ERROR_IO_PENDING);
        *result = FALSE;
        return true;
    }
    if (error != ERROR_SUCCESS) {
        ::SetLastError(error);
        *result = FALSE;
        return true;
    }
    if (transferred) *transferred = bytes;
    ::SetLastError(entryError);
    *result = TRUE;
    return true;
}

std::shared_ptr<SimFile> FindFile(HANDLE h) {
    World& w = W();
    std::lock_guard<std::mutex> lock(w.mu);
    auto it = w.files.find(h);
    return it == w.files.end() ? nullptr : it->second;
}

bool Reads(DWORD access) { return (access & (GENERIC_READ | GENERIC_ALL | MAXIMUM_ALLOWED | FILE_READ_DATA)) != 0; }
bool Writes(DWORD access) {
    return (access & (GENERIC_WRITE | GENERIC_ALL | MAXIMUM_ALLOWED | FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0;
}

// Share modes are checked per interface as the I/O manager does for one
// file object: an open that wants what an earlier one does not share (or
// that does not share what an earlier one holds) fails.
bool ShareConflict(const World& w, DWORD devinst, const std::wstring& path, DWORD access, DWORD share) {
    for (const auto& entry : w.files) {
        const SimFile& f = *entry.second;
        if (f.devinst != devinst || f.context.path != path) continue;
        if (Reads(access) && !(f.share & FILE_SHARE_READ)) return true;
        if (Writes(access) && !(f.share & FILE_SHARE_WRITE)) return true;
        if (Reads(f.context.access) && !(share & FILE_SHARE_READ)) return true;
        if (Writes(f.context.access) && !(share & FILE_SHARE_WRITE)) return true;
    }
    return false;
}

bool HasPrefixNoCase(const std::wstring& s, const wchar_t* prefix) {
    std::wstring p(prefix);
    return s.size() >= p.size() && EqualsNoCase(s.substr(0, p.size()), p);
}

// A HID call on a simulated handle: the node's capabilities and the device,
// or the error the call fails with.
DWORD HidTarget(HANDLE h, HidCaps* caps, UsbDeviceSpec* spec, std::shared_ptr<SimFile>* file) {
    World& w = W();
    std::lock_guard<std::mutex> lock(w.mu);
    auto it = w.files.find(h);
    if (it == w.files.end()) return ERROR_INVALID_HANDLE;
    SimFile& f = *it->second;
    if (f.gone) return ERROR_DEVICE_NOT_CONNECTED;
    Node* n = w.FindNode(f.devinst);
    if (!n || n->kind != NodeKind::HidCollection) return ERROR_INVALID_FUNCTION;
    if (caps) *caps = n->hid;
    if (spec) {
        auto c = w.connections.find(f.context.device);
        if (c != w.connections.end()) *spec = c->second->spec;
    }
    if (file) *file = it->second;
    return ERROR_SUCCESS;
}

}  // namespace

namespace simos {

HANDLE WINAPI CreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa, DWORD disposition,
                          DWORD flags, HANDLE templ) {
    if (!name) return Real().CreateFileW(name, access, share, sa, disposition, flags, templ);
    const std::wstring path(name);
    World& w = W();
    bool ours = false;
    DWORD error = ERROR_SUCCESS;
    OpenContext context;
    DWORD devinst = 0;
    std::shared_ptr<Connection> connection;
    {
        std::lock_guard<std::mutex> lock(w.mu);
        for (auto& n : w.nodes) {
            for (const InterfaceEntry& i : n->interfaces) {
                if (!EqualsNoCase(i.path, path)) continue;
                ours = true;
                devinst = n->devinst;
                auto c = w.connections.find(n->device);
                if (!n->present || c == w.connections.end() || c->second->state != Connection::State::Present) {
                    error = ERROR_FILE_NOT_FOUND;
                } else {
                    connection = c->second;
                    error = connection->openFailure;
                    context.device = n->device;
                    context.interfaceNumber = n->interfaceNumber;
                    context.kind = n->function;
                    context.usbDeviceInterface = SameGuid(i.interfaceClass, kGuidUsbDevice);
                    context.path = i.path;
                    context.access = access;
                    context.flags = flags;
                }
                break;
            }
            if (ours) break;
        }
        // A device path of a device this world never had is not a file either.
        if (!ours && (HasPrefixNoCase(path, L"\\\\?\\usb#") || HasPrefixNoCase(path, L"\\\\?\\hid#"))) {
            ours = true;
            error = ERROR_FILE_NOT_FOUND;
        }
    }
    if (!ours) return Real().CreateFileW(name, access, share, sa, disposition, flags, templ);
    if (error == ERROR_SUCCESS) {
        std::lock_guard<std::mutex> lock(w.mu);
        if (ShareConflict(w, devinst, context.path, access, share)) error = ERROR_SHARING_VIOLATION;
    }
    if (error == ERROR_SUCCESS && connection->model) error = connection->model->Open(context);
    if (error != ERROR_SUCCESS) {
        ::SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    auto f = std::make_shared<SimFile>();
    f->handle = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!f->handle) return INVALID_HANDLE_VALUE;
    f->context = context;
    f->devinst = devinst;
    f->model = connection->model;
    f->overlapped = (flags & FILE_FLAG_OVERLAPPED) != 0;
    f->share = share;
    {
        std::lock_guard<std::mutex> lock(w.mu);
        // The device may have left, or another open come in, while its model decided.
        f->gone = connection->state != Connection::State::Present;
        if (ShareConflict(w, devinst, context.path, access, share)) {
            error = ERROR_SHARING_VIOLATION;
        } else {
            w.files[f->handle] = f;
        }
    }
    if (error != ERROR_SUCCESS) {
        if (connection->model) connection->model->Close(context);
        ::CloseHandle(f->handle);
        ::SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    ::SetLastError(ERROR_SUCCESS);
    return f->handle;
}

BOOL WINAPI ReadFile(HANDLE h, LPVOID buffer, DWORD length, LPDWORD read, LPOVERLAPPED ov) {
    Submission s;
    s.kind = IoRequest::Kind::Read;
    s.output = buffer;
    s.outputCapacity = length;
    BOOL result = FALSE;
    if (Submit(h, s, ov, read, &result)) return result;
    return Real().ReadFile(h, buffer, length, read, ov);
}

BOOL WINAPI WriteFile(HANDLE h, LPCVOID buffer, DWORD length, LPDWORD written, LPOVERLAPPED ov) {
    Submission s;
    s.kind = IoRequest::Kind::Write;
    s.input = buffer;
    s.inputLength = length;
    BOOL result = FALSE;
    if (Submit(h, s, ov, written, &result)) return result;
    return Real().WriteFile(h, buffer, length, written, ov);
}

BOOL WINAPI DeviceIoControl(HANDLE h, DWORD code, LPVOID in, DWORD inLength, LPVOID out, DWORD outLength,
                            LPDWORD returned, LPOVERLAPPED ov) {
    Submission s;
    s.kind = IoRequest::Kind::DeviceIoControl;
    s.ioctl = code;
    s.input = in;
    s.inputLength = inLength;
    s.output = out;
    s.outputCapacity = outLength;
    BOOL result = FALSE;
    if (Submit(h, s, ov, returned, &result)) return result;
    return Real().DeviceIoControl(h, code, in, inLength, out, outLength, returned, ov);
}

BOOL WINAPI CancelIo(HANDLE h) {
    World& w = W();
    const DWORD entryError = ::GetLastError();
    std::shared_ptr<SimFile> f;
    std::vector<IoRequestPtr> cancelled;
    {
        std::lock_guard<std::mutex> lock(w.mu);
        auto it = w.files.find(h);
        if (it != w.files.end()) {
            f = it->second;
            // CancelIo cancels the calling thread's operations only.
            const DWORD me = ::GetCurrentThreadId();
            for (const IoRequestPtr& r : f->pending) {
                IoState& s = *IoState::Of(*r);
                if (s.threadId != me || s.phase != IoState::Phase::Pending) continue;
                s.error = ERROR_OPERATION_ABORTED;
                s.transferred = 0;
                s.phase = IoState::Phase::Done;
                w.SignalLocked(s);
                cancelled.push_back(r);
            }
            auto& p = f->pending;
            p.erase(std::remove_if(p.begin(), p.end(),
                                   [](const IoRequestPtr& r) { return IoState::Of(*r)->phase == IoState::Phase::Done; }),
                    p.end());
            w.ioDone.notify_all();
        }
    }
    if (!f) return Real().CancelIo(h);
    if (f->model) {
        for (const IoRequestPtr& r : cancelled) f->model->Cancelled(r);
    }
    ::SetLastError(entryError);
    return TRUE;
}

BOOL WINAPI GetOverlappedResult(HANDLE h, LPOVERLAPPED ov, LPDWORD transferred, BOOL wait) {
    if (!FindFile(h)) return Real().GetOverlappedResult(h, ov, transferred, wait);
    if (!ov) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    volatile ULONG_PTR* status = &ov->Internal;
    while (*status == STATUS_PENDING) {
        if (!wait) {
            ::SetLastError(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
        // Real wait: a completion is not a time-out and is not scaled.
        ::WaitForSingleObject(ov->hEvent ? ov->hEvent : h, 50);
    }
    if (transferred) *transferred = static_cast<DWORD>(ov->InternalHigh);
    DWORD error = ErrorOfStatus(*status);
    if (error != ERROR_SUCCESS) {
        ::SetLastError(error);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI CloseHandle(HANDLE h) {
    if (CloseFakeProcess(h)) return TRUE;
    World& w = W();
    std::shared_ptr<SimFile> f;
    std::vector<IoRequestPtr> aborted;
    {
        std::lock_guard<std::mutex> lock(w.mu);
        auto it = w.files.find(h);
        if (it != w.files.end()) {
            f = it->second;
            w.files.erase(it);
            // Closing the last handle cancels what is still pending on it.
            for (const IoRequestPtr& r : f->pending) {
                IoState& s = *IoState::Of(*r);
                if (s.phase == IoState::Phase::Done) continue;
                s.error = ERROR_OPERATION_ABORTED;
                s.transferred = 0;
                bool inDispatch = s.phase == IoState::Phase::Dispatch;
                s.phase = IoState::Phase::Done;
                s.fileEvent = nullptr;
                if (!inDispatch) w.SignalLocked(s);
                aborted.push_back(r);
            }
            f->pending.clear();
            // WinUSB interfaces on it stay allocated until WinUsb_Free but
            // no longer reach the device.
            for (auto& u : w.winusb) {
                if (u.second == h) u.second = nullptr;
            }
            w.ioDone.notify_all();
        }
    }
    if (!f) return Real().CloseHandle(h);
    if (f->model) {
        for (const IoRequestPtr& r : aborted) f->model->Cancelled(r);
        f->model->Close(f->context);
    }
    ::CloseHandle(f->handle);
    return TRUE;
}

BOOL WINAPI GetFileSizeEx(HANDLE h, PLARGE_INTEGER size) {
    if (FindFile(h)) {
        ::SetLastError(ERROR_INVALID_FUNCTION);
        return FALSE;
    }
    return Real().GetFileSizeEx(h, size);
}

// ---------------------------------------------------------------- HID

BOOLEAN WINAPI HidD_GetPreparsedData(HANDLE h, PHIDP_PREPARSED_DATA* data) {
    if (!FindFile(h)) return Real().HidD_GetPreparsedData(h, data);
    HidCaps caps;
    DWORD error = HidTarget(h, &caps, nullptr, nullptr);
    if (error == ERROR_SUCCESS && !data) error = ERROR_INVALID_PARAMETER;
    if (error != ERROR_SUCCESS) {
        ::SetLastError(error);
        return FALSE;
    }
    void* block = ::operator new(64);
    {
        World& w = W();
        std::lock_guard<std::mutex> lock(w.mu);
        w.preparsed[block] = caps;
    }
    *data = static_cast<PHIDP_PREPARSED_DATA>(block);
    return TRUE;
}

BOOLEAN WINAPI HidD_FreePreparsedData(PHIDP_PREPARSED_DATA data) {
    World& w = W();
    bool ours;
    {
        std::lock_guard<std::mutex> lock(w.mu);
        ours = w.preparsed.erase(data) != 0;
    }
    if (!ours) return Real().HidD_FreePreparsedData(data);
    ::operator delete(data);
    return TRUE;
}

NTSTATUS WINAPI HidP_GetCaps(PHIDP_PREPARSED_DATA data, PHIDP_CAPS caps) {
    HidCaps c;
    {
        World& w = W();
        std::lock_guard<std::mutex> lock(w.mu);
        auto it = w.preparsed.find(data);
        if (it == w.preparsed.end()) return Real().HidP_GetCaps(data, caps);
        c = it->second;
    }
    if (!caps) return HIDP_STATUS_INVALID_PREPARSED_DATA;
    memset(caps, 0, sizeof(*caps));
    caps->UsagePage = c.usagePage;
    caps->Usage = c.usage;
    caps->InputReportByteLength = c.inputReportLength;
    caps->OutputReportByteLength = c.outputReportLength;
    caps->FeatureReportByteLength = c.featureReportLength;
    caps->NumberLinkCollectionNodes = 1;
    // One vendor-defined byte array per report that exists.
    caps->NumberInputValueCaps = c.inputReportLength ? 1 : 0;
    caps->NumberInputDataIndices = caps->NumberInputValueCaps;
    caps->NumberOutputValueCaps = c.outputReportLength ? 1 : 0;
    caps->NumberOutputDataIndices = caps->NumberOutputValueCaps;
    caps->NumberFeatureValueCaps = c.featureReportLength ? 1 : 0;
    caps->NumberFeatureDataIndices = caps->NumberFeatureValueCaps;
    return HIDP_STATUS_SUCCESS;
}

BOOLEAN WINAPI HidD_GetAttributes(HANDLE h, PHIDD_ATTRIBUTES attributes) {
    if (!FindFile(h)) return Real().HidD_GetAttributes(h, attributes);
    UsbDeviceSpec spec;
    DWORD error = HidTarget(h, nullptr, &spec, nullptr);
    if (error == ERROR_SUCCESS && !attributes) error = ERROR_INVALID_PARAMETER;
    if (error != ERROR_SUCCESS) {
        ::SetLastError(error);
        return FALSE;
    }
    attributes->Size = sizeof(HIDD_ATTRIBUTES);
    attributes->VendorID = spec.vid;
    attributes->ProductID = spec.pid;
    attributes->VersionNumber = spec.bcdDevice;
    return TRUE;
}

BOOLEAN WINAPI HidD_GetInputReport(HANDLE h, PVOID buffer, ULONG length) {
    if (!FindFile(h)) return Real().HidD_GetInputReport(h, buffer, length);
    HidCaps caps;
    std::shared_ptr<SimFile> f;
    DWORD error = HidTarget(h, &caps, nullptr, &f);
    // The class driver wants room for a whole report.
    if (error == ERROR_SUCCESS && (!buffer || length < caps.inputReportLength)) {
        error = ERROR_INVALID_PARAMETER;
        RecordRefusal(f->context.device, L"HID class driver",
                      L"HidD_GetInputReport of " + std::to_wstring(length) + L" bytes",
                      L"the input report is " + std::to_wstring(caps.inputReportLength) + L" bytes long with its ID");
    }
    if (error == ERROR_SUCCESS) {
        const std::shared_ptr<DeviceModel>& m = f->model ? f->model : DefaultModel();
        error = m->GetInputReport(f->context, static_cast<BYTE*>(buffer), length);
    }
    if (error != ERROR_SUCCESS) {
        ::SetLastError(error);
        return FALSE;
    }
    return TRUE;
}

BOOLEAN WINAPI HidD_SetOutputReport(HANDLE h, PVOID buffer, ULONG length) {
    if (!FindFile(h)) return Real().HidD_SetOutputReport(h, buffer, length);
    HidCaps caps;
    std::shared_ptr<SimFile> f;
    DWORD error = HidTarget(h, &caps, nullptr, &f);
    if (error == ERROR_SUCCESS && (!buffer || length < caps.outputReportLength)) {
        error = ERROR_INVALID_PARAMETER;
        RecordRefusal(f->context.device, L"HID class driver",
                      L"HidD_SetOutputReport of " + std::to_wstring(length) + L" bytes",
                      L"the output report is " + std::to_wstring(caps.outputReportLength) + L" bytes long with its ID");
    } else if (error == ERROR_SUCCESS &&
               !KnownReportId(caps.outputReportIds, static_cast<const BYTE*>(buffer), length)) {
        error = ERROR_INVALID_PARAMETER;
        RecordRefusal(f->context.device, L"HID class driver",
                      L"HidD_SetOutputReport of report " + std::to_wstring(static_cast<const BYTE*>(buffer)[0]),
                      L"the collection has no such output report");
    }
    if (error == ERROR_SUCCESS) {
        const std::shared_ptr<DeviceModel>& m = f->model ? f->model : DefaultModel();
        error = m->SetOutputReport(f->context, static_cast<const BYTE*>(buffer), length);
    }
    if (error != ERROR_SUCCESS) {
        ::SetLastError(error);
        return FALSE;
    }
    return TRUE;
}

// ---------------------------------------------------------------- WinUSB

BOOL WINAPI WinUsb_Initialize(HANDLE h, PWINUSB_INTERFACE_HANDLE out) {
    World& w = W();
    DWORD error = ERROR_SUCCESS;
    void* key = nullptr;
    {
        std::lock_guard<std::mutex> lock(w.mu);
        auto it = w.files.find(h);
        if (it == w.files.end()) {
            key = nullptr;
        } else {
            SimFile& f = *it->second;
            Node* n = w.FindNode(f.devinst);
            if (!out) {
                error = ERROR_INVALID_PARAMETER;
            } else if (f.gone) {
                error = ERROR_DEVICE_NOT_CONNECTED;
            } else if (!n || !EqualsNoCase(n->service, L"WinUSB")) {
                // Only a device bound to WinUSB answers its requests.
                error = ERROR_INVALID_FUNCTION;
            } else {
                key = ::operator new(16);
                w.winusb[key] = h;
            }
            if (!key && error == ERROR_SUCCESS) error = ERROR_INVALID_HANDLE;
        }
    }
    if (!key && error == ERROR_SUCCESS) return Real().WinUsb_Initialize(h, out);
    if (error != ERROR_SUCCESS) {
        ::SetLastError(error);
        return FALSE;
    }
    *out = key;
    ::SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL WINAPI WinUsb_ControlTransfer(WINUSB_INTERFACE_HANDLE ifh, WINUSB_SETUP_PACKET setup, PUCHAR buffer, ULONG length,
                                   PULONG transferred, LPOVERLAPPED ov) {
    HANDLE file = nullptr;
    bool ours = false;
    {
        World& w = W();
        std::lock_guard<std::mutex> lock(w.mu);
        auto it = w.winusb.find(ifh);
        if (it != w.winusb.end()) {
            ours = true;
            file = it->second;
        }
    }
    if (!ours || !file) {
        if (ours || !ifh || ifh == INVALID_HANDLE_VALUE) {
            ::SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        return Real().WinUsb_ControlTransfer(ifh, setup, buffer, length, transferred, ov);
    }
    Submission s;
    s.kind = IoRequest::Kind::ControlTransfer;
    s.setup = setup;
    s.winusb = true;
    const DWORD stage = std::min<ULONG>(length, setup.Length);
    if (setup.RequestType & 0x80) {
        s.output = buffer;
        s.outputCapacity = stage;
    } else {
        s.input = buffer;
        s.inputLength = stage;
    }
    DWORD count = 0;
    BOOL result = FALSE;
    if (!Submit(file, s, ov, &count, &result)) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (transferred) *transferred = count;
    return result;
}

BOOL WINAPI WinUsb_Free(WINUSB_INTERFACE_HANDLE ifh) {
    bool ours;
    {
        World& w = W();
        std::lock_guard<std::mutex> lock(w.mu);
        ours = w.winusb.erase(ifh) != 0;
    }
    if (ours) {
        ::operator delete(ifh);
        return TRUE;
    }
    if (!ifh || ifh == INVALID_HANDLE_VALUE) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return Real().WinUsb_Free(ifh);
}

}  // namespace simos
