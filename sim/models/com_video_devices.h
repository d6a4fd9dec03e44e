// The DirectShow and kernel-streaming COM objects of the simulated world:
// the system device enumerator (served through the CoCreateInstance hook),
// the video-input category's moniker enumerator, monikers with their
// property bags ("DevicePath", "FriendlyName"), capture filters with
// IKsTopologyInfo, and node instances with IKsControl.
//
// Every present camera's video-capture interface is listed. A camera whose
// device model is also a KsFilterModel decides its topology, the faults of
// its objects and the answers to property requests; any other camera shows a
// plain topology without an extension unit.
#pragma once

#include "sim_world.h"

#include <mutex>
#include <vector>

namespace sim {

// One property request on a node, as the camera's filter received it.
struct KsPropertyRecord {
    std::vector<BYTE> header;  // the property header as sent (PropertyLength bytes)
    GUID set{};                // decoded from the header
    ULONG id = 0;
    ULONG flags = 0;
    ULONG nodeId = 0;          // KSP_NODE::NodeId (0 when the header is shorter)
    ULONG reserved = 0;
    ULONG controlNode = 0;     // the node whose IKsControl took the request
    ULONG dataLength = 0;      // length of the caller's data buffer
    std::vector<BYTE> dataIn;  // the caller's data when the request was made
    std::vector<BYTE> dataOut; // what the filter returned in it
    HRESULT result = S_OK;
};

// Faults of the COM objects one camera is served through.
struct KsFilterFaults {
    bool noDevicePath = false;        // its property bag has no "DevicePath"
    bool noFriendlyName = false;      // ... no "FriendlyName"
    bool storageBindFails = false;    // BindToStorage fails
    bool filterBindFails = false;     // BindToObject(IBaseFilter) fails
    bool noTopologyInfo = false;      // the filter does not expose IKsTopologyInfo
    bool nodeInstanceFails = false;   // CreateNodeInstance fails
    bool nodeWithoutControl = false;  // the node instance has no IKsControl
};

// What a camera shows through its capture filter.
class CORVANE_SIM_API KsFilterModel {
public:
    KsFilterModel();
    virtual ~KsFilterModel();
    KsFilterModel(const KsFilterModel&) = delete;
    KsFilterModel& operator=(const KsFilterModel&) = delete;

    // Node types by node ID. Default: camera terminal, processing unit,
    // video streaming (no extension unit).
    virtual std::vector<GUID> TopologyNodes() const;
    virtual KsFilterFaults Faults() const;
    // Answers a request (called without any lock): for a GET, *out receives
    // the reply (the caller's buffer gets as much as it holds). Default: the
    // property set is not supported.
    virtual HRESULT Property(const KsPropertyRecord& request, std::vector<BYTE>* out);

    // Every request made on the camera's nodes, in order.
    std::vector<KsPropertyRecord> KsRequests() const;
    void RecordKsRequest(const KsPropertyRecord& record);
    void ClearKsRequests();

private:
    mutable std::mutex ksMutex_;
    std::vector<KsPropertyRecord> ksRequests_;
};

// Installs the CoCreateInstance hook that serves CLSID_SystemDeviceEnum
// (sim::Reset removes it; the camera plug helpers install it again).
CORVANE_SIM_API void ServeVideoDevices();

// COM objects of this file still alive (enumerators, monikers, property
// bags, filters, nodes): 0 once every reference was released.
CORVANE_SIM_API long LiveComObjects();

}  // namespace sim
