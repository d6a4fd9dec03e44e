#include "com_video_devices.h"

#include "../../camctl/ks_interfaces.h"

#include <oleauto.h>
#include <vfwmsgs.h>

#include <atomic>
#include <cstring>
#include <string>

namespace sim {

namespace {

std::atomic<long> g_live{0};

const GUID kClsidDeviceMoniker = {0x4315D437, 0x5B8C, 0x11D0, {0xBD, 0x3B, 0x00, 0xA0, 0xC9, 0x11, 0xCE, 0x86}};
// The kernel-streaming proxy that DirectShow wraps a capture device in.
const GUID kClsidKsProxy = {0x17CCA71B, 0xECD7, 0x11D0, {0xB9, 0x08, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};

constexpr HRESULT kSetNotFound = HRESULT_FROM_WIN32(ERROR_SET_NOT_FOUND);

// One video-capture interface of a present camera.
struct VideoEntry {
    DeviceId device = 0;
    std::wstring path;
    std::wstring friendlyName;
    std::shared_ptr<KsFilterModel> model;
};

std::shared_ptr<KsFilterModel> PlainFilter() {
    static auto* plain = new std::shared_ptr<KsFilterModel>(std::make_shared<KsFilterModel>());
    return *plain;
}

// The capture interfaces of the present cameras, in arrival order, each with
// the friendly name of its video function.
std::vector<VideoEntry> PresentVideoEntries() {
    std::vector<VideoEntry> entries;
    for (DeviceId device : PresentDevices()) {
        const std::vector<std::wstring> paths = InterfacePaths(device, kGuidKsCategoryCapture);
        if (paths.empty()) continue;
        const UsbDeviceSpec spec = SpecOf(device);
        std::vector<std::wstring> names;
        for (const FunctionSpec& f : spec.functions) {
            if (f.kind != FunctionKind::Video) continue;
            if (!f.friendlyName.empty()) {
                names.push_back(f.friendlyName);
            } else if (!spec.friendlyName.empty()) {
                names.push_back(spec.friendlyName);
            } else {
                names.push_back(L"USB Video Device");
            }
        }
        std::shared_ptr<KsFilterModel> model = std::dynamic_pointer_cast<KsFilterModel>(ModelOf(device));
        if (!model) model = PlainFilter();
        for (size_t i = 0; i < paths.size(); ++i) {
            VideoEntry e;
            e.device = device;
            e.path = paths[i];
            e.friendlyName = i < names.size() ? names[i] : L"USB Video Device";
            e.model = model;
            entries.push_back(e);
        }
    }
    return entries;
}

// Reference counting and the count of live objects.
class Counted {
public:
    Counted() { ++g_live; }
    virtual ~Counted() { --g_live; }
    ULONG AddRefImpl() { return static_cast<ULONG>(++refs_); }
    ULONG ReleaseImpl() {
        const long n = --refs_;
        if (n == 0) delete this;
        return static_cast<ULONG>(n);
    }

private:
    std::atomic<long> refs_{1};
};

#define CORVANE_COUNTED_UNKNOWN                                           \
    ULONG STDMETHODCALLTYPE AddRef() override { return AddRefImpl(); }    \
    ULONG STDMETHODCALLTYPE Release() override { return ReleaseImpl(); }

template <typename T>
HRESULT Hand(T* object, void** out) {
    object->AddRef();
    *out = object;
    return S_OK;
}

// ---------------------------------------------------------------- node

class Node : public IKsControl, public Counted {
public:
    Node(VideoEntry entry, ULONG nodeId) : entry_(std::move(entry)), nodeId_(nodeId) {}
    CORVANE_COUNTED_UNKNOWN

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (out == nullptr) return E_POINTER;
        *out = nullptr;
        if (IsEqualGUID(iid, IID_IUnknown)) return Hand(static_cast<IUnknown*>(this), out);
        if (IsEqualGUID(iid, kIidKsControl) && !entry_.model->Faults().nodeWithoutControl) {
            return Hand(static_cast<IKsControl*>(this), out);
        }
        return E_NOINTERFACE;
    }

    HRESULT STDMETHODCALLTYPE KsProperty(PKSPROPERTY property, ULONG propertyLength, LPVOID data, ULONG dataLength,
                                         ULONG* returned) override {
        if (returned != nullptr) *returned = 0;
        if (property == nullptr || propertyLength < sizeof(KSPROPERTY)) return HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER);
        if (data == nullptr && dataLength != 0) return E_POINTER;
        KsPropertyRecord r;
        const BYTE* head = reinterpret_cast<const BYTE*>(property);
        r.header.assign(head, head + (propertyLength < 256 ? propertyLength : 256));
        r.set = property->Set;
        r.id = property->Id;
        r.flags = property->Flags;
        if (propertyLength >= sizeof(KSP_NODE)) {
            const KSP_NODE* node = reinterpret_cast<const KSP_NODE*>(property);
            r.nodeId = node->NodeId;
            r.reserved = node->Reserved;
        }
        r.controlNode = nodeId_;
        r.dataLength = dataLength;
        if (dataLength != 0) r.dataIn.assign(static_cast<BYTE*>(data), static_cast<BYTE*>(data) + dataLength);

        std::vector<BYTE> out;
        if (!IsPresent(entry_.device)) {
            // The camera left the bus: its driver fails every request.
            r.result = HRESULT_FROM_WIN32(ERROR_DEVICE_NOT_CONNECTED);
        } else if ((r.flags & KSPROPERTY_TYPE_TOPOLOGY) && propertyLength < sizeof(KSP_NODE)) {
            r.result = HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER);
        } else {
            r.result = entry_.model->Property(r, &out);
        }
        if (SUCCEEDED(r.result) && (r.flags & KSPROPERTY_TYPE_GET) && !out.empty()) {
            const ULONG n = static_cast<ULONG>(out.size()) < dataLength ? static_cast<ULONG>(out.size()) : dataLength;
            if (n != 0) std::memcpy(data, out.data(), n);
            if (returned != nullptr) *returned = n;
            r.dataOut.assign(out.begin(), out.begin() + n);
        } else if (SUCCEEDED(r.result) && returned != nullptr) {
            *returned = dataLength;
        }
        entry_.model->RecordKsRequest(r);
        return r.result;
    }

    HRESULT STDMETHODCALLTYPE KsMethod(PKSMETHOD, ULONG, LPVOID, ULONG, ULONG* returned) override {
        if (returned != nullptr) *returned = 0;
        return HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED);
    }

    HRESULT STDMETHODCALLTYPE KsEvent(PKSEVENT, ULONG, LPVOID, ULONG, ULONG* returned) override {
        if (returned != nullptr) *returned = 0;
        return HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED);
    }

private:
    VideoEntry entry_;
    ULONG nodeId_;
};

// ---------------------------------------------------------------- filter

std::wstring NodeName(const GUID& type) {
    if (IsEqualGUID(type, kNodeTypeVideoCameraTerminal)) return L"Camera Terminal";
    if (IsEqualGUID(type, kNodeTypeVideoProcessing)) return L"Processing Unit";
    if (IsEqualGUID(type, kNodeTypeDevSpecific)) return L"Extension Unit";
    if (IsEqualGUID(type, kNodeTypeVideoStreaming)) return L"Video Streaming";
    return L"Node";
}

class Filter : public IBaseFilter, public IKsTopologyInfo, public Counted {
public:
    explicit Filter(VideoEntry entry) : entry_(std::move(entry)), nodes_(entry_.model->TopologyNodes()) {}

    ULONG STDMETHODCALLTYPE AddRef() override { return AddRefImpl(); }
    ULONG STDMETHODCALLTYPE Release() override { return ReleaseImpl(); }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (out == nullptr) return E_POINTER;
        *out = nullptr;
        if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IPersist) || IsEqualGUID(iid, kIidMediaFilter) ||
            IsEqualGUID(iid, kIidBaseFilter)) {
            return Hand(static_cast<IBaseFilter*>(this), out);
        }
        if (IsEqualGUID(iid, kIidKsTopologyInfo) && !entry_.model->Faults().noTopologyInfo) {
            return Hand(static_cast<IKsTopologyInfo*>(this), out);
        }
        return E_NOINTERFACE;
    }

    // IPersist, IMediaFilter, IBaseFilter: a filter that is never run.
    HRESULT STDMETHODCALLTYPE GetClassID(CLSID* id) override {
        if (id == nullptr) return E_POINTER;
        *id = kClsidKsProxy;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Stop() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Pause() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Run(REFERENCE_TIME) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetState(DWORD, FILTER_STATE* state) override {
        if (state == nullptr) return E_POINTER;
        *state = State_Stopped;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetSyncSource(IReferenceClock*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetSyncSource(IReferenceClock** clock) override {
        if (clock == nullptr) return E_POINTER;
        *clock = nullptr;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE EnumPins(IEnumPins** pins) override {
        if (pins != nullptr) *pins = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE FindPin(LPCWSTR, IPin** pin) override {
        if (pin != nullptr) *pin = nullptr;
        return VFW_E_NOT_FOUND;
    }
    HRESULT STDMETHODCALLTYPE QueryFilterInfo(FILTER_INFO* info) override {
        if (info == nullptr) return E_POINTER;
        std::memset(info, 0, sizeof(*info));
        const size_t cap = sizeof(info->achName) / sizeof(info->achName[0]);
        entry_.friendlyName.copy(info->achName, cap - 1);
        info->achName[entry_.friendlyName.size() < cap - 1 ? entry_.friendlyName.size() : cap - 1] = L'\0';
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE JoinFilterGraph(IFilterGraph*, LPCWSTR) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE QueryVendorInfo(LPWSTR* info) override {
        if (info != nullptr) *info = nullptr;
        return E_NOTIMPL;
    }

    // IKsTopologyInfo: the nodes in a chain from the terminal to the stream.
    HRESULT STDMETHODCALLTYPE get_NumCategories(DWORD* count) override {
        if (count == nullptr) return E_POINTER;
        *count = 2;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_Category(DWORD index, GUID* category) override {
        if (category == nullptr) return E_POINTER;
        if (index > 1) return E_INVALIDARG;
        *category = index == 0 ? kGuidKsCategoryCapture : kGuidKsCategoryVideo;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_NumConnections(DWORD* count) override {
        if (count == nullptr) return E_POINTER;
        *count = nodes_.empty() ? 0 : static_cast<DWORD>(nodes_.size() - 1);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_ConnectionInfo(DWORD index, KSTOPOLOGY_CONNECTION* c) override {
        if (c == nullptr) return E_POINTER;
        if (nodes_.empty() || index >= nodes_.size() - 1) return E_INVALIDARG;
        c->FromNode = index;
        c->FromNodePin = 1;
        c->ToNode = index + 1;
        c->ToNodePin = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_NodeName(DWORD id, WCHAR* name, DWORD capacity, DWORD* length) override {
        if (id >= nodes_.size()) return E_INVALIDARG;
        const std::wstring text = NodeName(nodes_[id]);
        const DWORD bytes = static_cast<DWORD>((text.size() + 1) * sizeof(WCHAR));
        if (length != nullptr) *length = bytes;
        if (name == nullptr || capacity < bytes) return HRESULT_FROM_WIN32(ERROR_MORE_DATA);
        std::memcpy(name, text.c_str(), bytes);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_NumNodes(DWORD* count) override {
        if (count == nullptr) return E_POINTER;
        *count = static_cast<DWORD>(nodes_.size());
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_NodeType(DWORD id, GUID* type) override {
        if (type == nullptr) return E_POINTER;
        if (id >= nodes_.size()) return E_INVALIDARG;
        *type = nodes_[id];
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE CreateNodeInstance(DWORD id, REFIID iid, void** out) override {
        if (out == nullptr) return E_POINTER;
        *out = nullptr;
        if (id >= nodes_.size()) return E_INVALIDARG;
        if (entry_.model->Faults().nodeInstanceFails) return HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
        Node* node = new Node(entry_, id);
        const HRESULT hr = node->QueryInterface(iid, out);
        node->Release();
        return hr;
    }

private:
    VideoEntry entry_;
    std::vector<GUID> nodes_;
};

// ---------------------------------------------------------------- property bag

class PropertyBag : public IPropertyBag, public Counted {
public:
    explicit PropertyBag(VideoEntry entry) : entry_(std::move(entry)) {}
    CORVANE_COUNTED_UNKNOWN

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (out == nullptr) return E_POINTER;
        *out = nullptr;
        if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IPropertyBag)) return Hand(this, out);
        return E_NOINTERFACE;
    }

    HRESULT STDMETHODCALLTYPE Read(LPCOLESTR name, VARIANT* value, IErrorLog*) override {
        if (name == nullptr || value == nullptr) return E_POINTER;
        const KsFilterFaults faults = entry_.model->Faults();
        const wchar_t* text = nullptr;
        if (std::wcscmp(name, L"DevicePath") == 0 && !faults.noDevicePath) text = entry_.path.c_str();
        if (std::wcscmp(name, L"FriendlyName") == 0 && !faults.noFriendlyName) text = entry_.friendlyName.c_str();
        // As the registry-backed bag answers for a value it does not have.
        if (text == nullptr) return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
        if (value->vt != VT_EMPTY && value->vt != VT_BSTR) return DISP_E_TYPEMISMATCH;
        BSTR b = ::SysAllocString(text);
        if (b == nullptr) return E_OUTOFMEMORY;
        value->vt = VT_BSTR;
        value->bstrVal = b;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE Write(LPCOLESTR, VARIANT*) override { return E_ACCESSDENIED; }

private:
    VideoEntry entry_;
};

// ---------------------------------------------------------------- moniker

class Moniker : public IMoniker, public Counted {
public:
    explicit Moniker(VideoEntry entry) : entry_(std::move(entry)) {}
    CORVANE_COUNTED_UNKNOWN

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (out == nullptr) return E_POINTER;
        *out = nullptr;
        if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IPersist) || IsEqualGUID(iid, IID_IPersistStream) ||
            IsEqualGUID(iid, IID_IMoniker)) {
            return Hand(this, out);
        }
        return E_NOINTERFACE;
    }

    HRESULT STDMETHODCALLTYPE GetClassID(CLSID* id) override {
        if (id == nullptr) return E_POINTER;
        *id = kClsidDeviceMoniker;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE IsDirty() override { return S_FALSE; }
    HRESULT STDMETHODCALLTYPE Load(IStream*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Save(IStream*, BOOL) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetSizeMax(ULARGE_INTEGER*) override { return E_NOTIMPL; }

    HRESULT STDMETHODCALLTYPE BindToObject(IBindCtx*, IMoniker*, REFIID iid, void** out) override {
        if (out == nullptr) return E_POINTER;
        *out = nullptr;
        if (entry_.model->Faults().filterBindFails) return HRESULT_FROM_WIN32(ERROR_GEN_FAILURE);
        // The proxy opens the device: a camera that left cannot be bound.
        if (!IsPresent(entry_.device)) return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
        Filter* filter = new Filter(entry_);
        const HRESULT hr = filter->QueryInterface(iid, out);
        filter->Release();
        return hr;
    }

    HRESULT STDMETHODCALLTYPE BindToStorage(IBindCtx*, IMoniker*, REFIID iid, void** out) override {
        if (out == nullptr) return E_POINTER;
        *out = nullptr;
        if (entry_.model->Faults().storageBindFails) return HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
        if (!IsEqualGUID(iid, IID_IPropertyBag)) return E_NOINTERFACE;
        *out = static_cast<IPropertyBag*>(new PropertyBag(entry_));
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE Reduce(IBindCtx*, DWORD, IMoniker**, IMoniker** reduced) override {
        if (reduced == nullptr) return E_POINTER;
        AddRef();
        *reduced = this;
        return MK_S_REDUCED_TO_SELF;
    }
    HRESULT STDMETHODCALLTYPE ComposeWith(IMoniker*, BOOL, IMoniker** composite) override {
        if (composite != nullptr) *composite = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Enum(BOOL, IEnumMoniker** e) override {
        if (e == nullptr) return E_POINTER;
        *e = nullptr;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE IsEqual(IMoniker* other) override {
        if (other == nullptr) return E_INVALIDARG;
        LPOLESTR a = nullptr;
        LPOLESTR b = nullptr;
        HRESULT result = S_FALSE;
        if (SUCCEEDED(GetDisplayName(nullptr, nullptr, &a)) && SUCCEEDED(other->GetDisplayName(nullptr, nullptr, &b)) &&
            std::wcscmp(a, b) == 0) {
            result = S_OK;
        }
        ::CoTaskMemFree(a);
        ::CoTaskMemFree(b);
        return result;
    }
    HRESULT STDMETHODCALLTYPE Hash(DWORD* hash) override {
        if (hash == nullptr) return E_POINTER;
        DWORD h = 2166136261u;
        for (wchar_t c : entry_.path) h = (h ^ static_cast<DWORD>(c)) * 16777619u;
        *hash = h;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE IsRunning(IBindCtx*, IMoniker*, IMoniker*) override { return S_FALSE; }
    HRESULT STDMETHODCALLTYPE GetTimeOfLastChange(IBindCtx*, IMoniker*, FILETIME*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Inverse(IMoniker** inverse) override {
        if (inverse != nullptr) *inverse = nullptr;
        return MK_E_NOINVERSE;
    }
    HRESULT STDMETHODCALLTYPE CommonPrefixWith(IMoniker*, IMoniker** prefix) override {
        if (prefix != nullptr) *prefix = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE RelativePathTo(IMoniker*, IMoniker** path) override {
        if (path != nullptr) *path = nullptr;
        return E_NOTIMPL;
    }
    // "@device:pnp:" and the device path, as DirectShow names PnP devices.
    HRESULT STDMETHODCALLTYPE GetDisplayName(IBindCtx*, IMoniker*, LPOLESTR* name) override {
        if (name == nullptr) return E_POINTER;
        const std::wstring text = L"@device:pnp:" + entry_.path;
        const size_t bytes = (text.size() + 1) * sizeof(wchar_t);
        *name = static_cast<LPOLESTR>(::CoTaskMemAlloc(bytes));
        if (*name == nullptr) return E_OUTOFMEMORY;
        std::memcpy(*name, text.c_str(), bytes);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE ParseDisplayName(IBindCtx*, IMoniker*, LPOLESTR, ULONG*, IMoniker** out) override {
        if (out != nullptr) *out = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE IsSystemMoniker(DWORD* kind) override {
        if (kind == nullptr) return E_POINTER;
        *kind = MKSYS_NONE;
        return S_FALSE;
    }

private:
    VideoEntry entry_;
};

// ---------------------------------------------------------------- enumerators

class MonikerEnumerator : public IEnumMoniker, public Counted {
public:
    MonikerEnumerator(std::vector<VideoEntry> entries, size_t position)
        : entries_(std::move(entries)), position_(position) {}
    CORVANE_COUNTED_UNKNOWN

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (out == nullptr) return E_POINTER;
        *out = nullptr;
        if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IEnumMoniker)) return Hand(this, out);
        return E_NOINTERFACE;
    }

    HRESULT STDMETHODCALLTYPE Next(ULONG count, IMoniker** out, ULONG* fetched) override {
        if (out == nullptr || (fetched == nullptr && count != 1)) return E_POINTER;
        ULONG n = 0;
        while (n < count && position_ < entries_.size()) out[n++] = new Moniker(entries_[position_++]);
        if (fetched != nullptr) *fetched = n;
        return n == count ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Skip(ULONG count) override {
        const size_t left = entries_.size() - position_;
        if (count > left) {
            position_ = entries_.size();
            return S_FALSE;
        }
        position_ += count;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Reset() override {
        position_ = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Clone(IEnumMoniker** out) override {
        if (out == nullptr) return E_POINTER;
        *out = new MonikerEnumerator(entries_, position_);
        return S_OK;
    }

private:
    std::vector<VideoEntry> entries_;
    size_t position_;
};

class DeviceEnumerator : public ICreateDevEnum, public Counted {
public:
    CORVANE_COUNTED_UNKNOWN

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (out == nullptr) return E_POINTER;
        *out = nullptr;
        if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, kIidCreateDevEnum)) return Hand(this, out);
        return E_NOINTERFACE;
    }

    // Only the video-input category has members here; an empty category
    // answers S_FALSE without an enumerator, as the system's does.
    HRESULT STDMETHODCALLTYPE CreateClassEnumerator(REFCLSID category, IEnumMoniker** out, DWORD) override {
        if (out == nullptr) return E_POINTER;
        *out = nullptr;
        if (!IsEqualGUID(category, kClsidVideoInputDeviceCategory)) return S_FALSE;
        std::vector<VideoEntry> entries = PresentVideoEntries();
        if (entries.empty()) return S_FALSE;
        *out = new MonikerEnumerator(std::move(entries), 0);
        return S_OK;
    }
};

}  // namespace

// ---------------------------------------------------------------- KsFilterModel

KsFilterModel::KsFilterModel() = default;
KsFilterModel::~KsFilterModel() = default;

std::vector<GUID> KsFilterModel::TopologyNodes() const {
    return {kNodeTypeVideoCameraTerminal, kNodeTypeVideoProcessing, kNodeTypeVideoStreaming};
}

KsFilterFaults KsFilterModel::Faults() const { return KsFilterFaults(); }

HRESULT KsFilterModel::Property(const KsPropertyRecord&, std::vector<BYTE>*) { return kSetNotFound; }

std::vector<KsPropertyRecord> KsFilterModel::KsRequests() const {
    std::lock_guard<std::mutex> lock(ksMutex_);
    return ksRequests_;
}

void KsFilterModel::RecordKsRequest(const KsPropertyRecord& record) {
    std::lock_guard<std::mutex> lock(ksMutex_);
    ksRequests_.push_back(record);
}

void KsFilterModel::ClearKsRequests() {
    std::lock_guard<std::mutex> lock(ksMutex_);
    ksRequests_.clear();
}

// ---------------------------------------------------------------- the hook

void ServeVideoDevices() {
    SetCoCreateInstanceHook([](REFCLSID clsid, LPUNKNOWN outer, DWORD, REFIID iid, LPVOID* out, HRESULT* result) {
        if (!IsEqualGUID(clsid, kClsidSystemDeviceEnum)) return false;
        if (out == nullptr) {
            *result = E_POINTER;
            return true;
        }
        *out = nullptr;
        if (outer != nullptr) {
            *result = CLASS_E_NOAGGREGATION;
            return true;
        }
        DeviceEnumerator* e = new DeviceEnumerator;
        *result = e->QueryInterface(iid, out);
        e->Release();
        return true;
    });
}

long LiveComObjects() { return g_live.load(); }

}  // namespace sim
