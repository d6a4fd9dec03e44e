#include "camera_xu.h"
#include "camera_restart.h"
#include "sim_internal.h"

#include "../../camctl/ks_interfaces.h"

namespace sim {

namespace {

// How the UVC driver answers what the camera does not take.
constexpr HRESULT kStall = HRESULT_FROM_WIN32(ERROR_GEN_FAILURE);
constexpr HRESULT kTimeout = HRESULT_FROM_WIN32(ERROR_SEM_TIMEOUT);
constexpr HRESULT kNoSuchControl = HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
constexpr HRESULT kSetNotFound = HRESULT_FROM_WIN32(ERROR_SET_NOT_FOUND);
constexpr HRESULT kWrongLength = HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
constexpr HRESULT kBadRequest = HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER);

enum Action { kNone = 0, kEnterUpdate = 1, kReset = 2 };

const wchar_t* Why(HRESULT hr) {
    switch (hr) {
        case kStall: return L"the camera stalls the request";
        case kNoSuchControl: return L"no such control";
        case kSetNotFound: return L"not the property set of this node";
        case kWrongLength: return L"not the control's length";
        case kBadRequest: return L"neither a GET nor a SET on the topology";
        default: return L"refused";
    }
}

const GUID& SetOf(XuCameraKind kind) {
    switch (kind) {
        case XuCameraKind::Tessa: return kXuSetTessa;
        case XuCameraKind::KivoR7: return kXuSetKivoR7;
        case XuCameraKind::KivoV9: return kXuSetKivoV9;
    }
    return kXuSetTessa;
}

}  // namespace

XuCameraModel::XuCameraModel(XuCameraKind kind, XuCameraKnobs knobs) : kind_(kind), knobs_(knobs) {
    for (int i = 0; i < 4; ++i) eeprom_[static_cast<uint16_t>(0x96 + i)] = knobs_.r7Version[i];
}

void XuCameraModel::SetUpdateModePlan(UsbDeviceSpec next, std::shared_ptr<DeviceModel> model) {
    std::lock_guard<std::mutex> lock(mutex_);
    updateSpec_ = std::move(next);
    updateModel_ = std::move(model);
    haveUpdatePlan_ = true;
}

ULONG XuCameraModel::ExtensionUnitNode() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return knobs_.unitsFirst ? 0 : 2;
}

int XuCameraModel::UpdateRequests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return updateRequests_;
}

int XuCameraModel::Resets() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return resets_;
}

DeviceId XuCameraModel::device() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return device_;
}

void XuCameraModel::Attached(DeviceId device) {
    std::lock_guard<std::mutex> lock(mutex_);
    device_ = device;
    leaving_ = false;
}

// Camera terminal, processing unit, the extension units, the streaming
// output (or the units first, for a firmware that describes them first).
std::vector<GUID> XuCameraModel::TopologyNodes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<GUID> units(static_cast<size_t>(knobs_.extensionUnits > 0 ? knobs_.extensionUnits : 0),
                            kNodeTypeDevSpecific);
    std::vector<GUID> nodes;
    if (knobs_.unitsFirst) nodes = units;
    nodes.push_back(kNodeTypeVideoCameraTerminal);
    nodes.push_back(kNodeTypeVideoProcessing);
    if (!knobs_.unitsFirst) nodes.insert(nodes.end(), units.begin(), units.end());
    nodes.push_back(kNodeTypeVideoStreaming);
    return nodes;
}

KsFilterFaults XuCameraModel::Faults() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return knobs_.faults;
}

HRESULT XuCameraModel::Property(const KsPropertyRecord& r, std::vector<BYTE>* out) {
    int action = kNone;
    HRESULT hr;
    DeviceId device;
    DWORD timeoutMs;
    bool handshake;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        device = device_;
        timeoutMs = knobs_.timeoutMs;
        const bool set = r.flags == kKsPropertySetTopology && IsEqualGUID(r.set, SetOf(kind_));
        handshake = set && ((kind_ == XuCameraKind::Tessa && r.id == 5 && !r.dataIn.empty() && r.dataIn[0] == 1) ||
                            (kind_ == XuCameraKind::KivoR7 && r.id == 24 && r.dataIn.size() >= 3 &&
                             r.dataIn[0] == 0xA0 && r.dataIn[1] == 0x30 && r.dataIn[2] == 0xFF));
    }
    if (handshake && !ReportHandshake(device)) return kTimeout;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const ULONG unit = knobs_.unitsFirst ? 0 : 2;
        const bool get = r.flags == kKsPropertyGetTopology;
        const bool set = r.flags == kKsPropertySetTopology;
        if (knobs_.extensionUnits <= 0 || r.nodeId != unit || r.controlNode != unit || !IsEqualGUID(r.set, SetOf(kind_))) {
            // Another node, or another unit's property set.
            hr = kSetNotFound;
        } else if (!get && !set) {
            hr = kBadRequest;
        } else if (knobs_.noReply) {
            hr = kTimeout;
        } else if (static_cast<int>(r.id) == knobs_.failSelector) {
            hr = kStall;
        } else {
            switch (kind_) {
                case XuCameraKind::Tessa: hr = Tessa(r, get, out, &action); break;
                case XuCameraKind::KivoR7: hr = KivoR7(r, get, out, &action); break;
                case XuCameraKind::KivoV9: hr = KivoV9(r, get, out, &action); break;
                default: hr = kSetNotFound; break;
            }
        }
    }
    if (hr == kTimeout) {
        // The camera does not answer: the UVC driver gives up after its time-out.
        simos::Sleep(timeoutMs);
    } else if (FAILED(hr)) {
        RecordRefusal(device, L"camera's extension unit",
                      std::wstring(r.flags == kKsPropertyGetTopology ? L"GET" : L"SET") + L" selector " +
                          std::to_wstring(r.id) + L" on node " + std::to_wstring(r.nodeId) + L" with " +
                          std::to_wstring(r.dataLength) + L" bytes",
                      Why(hr));
    }
    if (SUCCEEDED(hr) && action == kEnterUpdate) Restart(true);
    if (SUCCEEDED(hr) && action == kReset) Restart(false);
    return hr;
}

HRESULT XuCameraModel::Tessa(const KsPropertyRecord& r, bool get, std::vector<BYTE>* out, int* action) {
    switch (r.id) {
        case 5:
            if (r.dataLength != 2) return kWrongLength;
            if (get) {
                out->assign(tessaMode_, tessaMode_ + 2);
                return S_OK;
            }
            tessaMode_[0] = r.dataIn[0];
            tessaMode_[1] = r.dataIn[1];
            if (r.dataIn[0] == 1) {
                ++updateRequests_;
                *action = kEnterUpdate;
            }
            return S_OK;
        case 7:
            if (r.dataLength != 4) return kWrongLength;
            if (!get) return kStall;
            out->assign(knobs_.tessaVersion, knobs_.tessaVersion + 4);
            return S_OK;
        default:
            return kNoSuchControl;
    }
}

HRESULT XuCameraModel::KivoR7(const KsPropertyRecord& r, bool get, std::vector<BYTE>* out, int* action) {
    switch (r.id) {
        case 5: {
            if (r.dataLength != 4) return kWrongLength;
            const uint16_t address = static_cast<uint16_t>(r7Select_[1] | (r7Select_[2] << 8));
            if (get) {
                if (static_cast<int>(address) == knobs_.failEepromAddress) return kStall;
                auto it = eeprom_.find(address);
                *out = {r7Select_[0], r7Select_[1], r7Select_[2], it == eeprom_.end() ? BYTE{0xFF} : it->second};
                return S_OK;
            }
            if (r.dataIn[0] != 0xA0) return kStall;
            r7Select_[0] = r.dataIn[0];
            r7Select_[1] = r.dataIn[1];
            r7Select_[2] = r.dataIn[2];
            return S_OK;
        }
        case 24:
            if (r.dataLength != 4) return kWrongLength;
            if (get || r.dataIn[0] != 0xA0) return kStall;
            if (r.dataIn[1] == 0x32 && r.dataIn[2] == 0x04) {
                ++resets_;
                *action = kReset;
                return S_OK;
            }
            if (r.dataIn[1] == 0x30 && r.dataIn[2] == 0xFF) {
                ++updateRequests_;
                *action = kEnterUpdate;
                return S_OK;
            }
            return kStall;
        default:
            return kNoSuchControl;
    }
}

HRESULT XuCameraModel::KivoV9(const KsPropertyRecord& r, bool get, std::vector<BYTE>* out, int* action) {
    switch (r.id) {
        case 1:
            if (r.dataLength != 4) return kWrongLength;
            if (!get) return kStall;
            out->assign(knobs_.v9Version, knobs_.v9Version + 4);
            return S_OK;
        case 3:
            if (r.dataLength != 1) return kWrongLength;
            if (get || r.dataIn[0] != 0x01) return kStall;
            ++resets_;
            *action = kReset;
            return S_OK;
        default:
            return kNoSuchControl;
    }
}

void XuCameraModel::Restart(bool updateMode) {
    DeviceId device;
    XuCameraKnobs knobs;
    UsbDeviceSpec next;
    std::shared_ptr<DeviceModel> nextModel;
    bool plan;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (leaving_) return;
        leaving_ = true;
        device = device_;
        knobs = knobs_;
        plan = haveUpdatePlan_;
        next = updateSpec_;
        nextModel = updateModel_;
    }
    RestartCamera(device, knobs.leaveMs, knobs.arriveMs, updateMode, plan, next, nextModel, shared_from_this());
}

}  // namespace sim
