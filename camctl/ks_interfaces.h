// The DirectShow and kernel-streaming pieces the extension-unit binding
// uses, with their real IDs. The library's binding and the simulator's COM
// objects both build on this header.
//
// mingw-w64 has no vidcap.h, so IKsTopologyInfo is declared here (IKsControl
// comes from ksproxy.h). The GUIDs are spelled out so that neither side needs
// strmiids or ksguid.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <oaidl.h>
#include <ocidl.h>
#include <strmif.h>

#include <ks.h>
#include <ksproxy.h>

#if defined(_MSC_VER)
#include <vidcap.h>
#else

// vidcap.h's IKsTopologyInfo, {720D4AC0-7533-11D0-A5D6-28DB04C10000}: the
// topology of a kernel-streaming filter (a UVC camera's units are its nodes).
struct IKsTopologyInfo : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE get_NumCategories(DWORD* pdwNumCategories) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Category(DWORD dwIndex, GUID* pCategory) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_NumConnections(DWORD* pdwNumConnections) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ConnectionInfo(DWORD dwIndex, KSTOPOLOGY_CONNECTION* pConnectionInfo) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_NodeName(DWORD dwNodeId, WCHAR* pwchNodeName, DWORD dwBufSize,
                                                   DWORD* pdwNameLen) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_NumNodes(DWORD* pdwNumNodes) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_NodeType(DWORD dwNodeId, GUID* pNodeType) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateNodeInstance(DWORD dwNodeId, REFIID iid, void** ppvObject) = 0;
};
#endif

// The property header of a request on one node of the filter: KSPROPERTY
// (set, id, flags) and the node ID; 32 bytes on both architectures.
static_assert(sizeof(KSP_NODE) == 32, "KSP_NODE is the 32-byte node property header");

// The system device enumerator and the video-capture category.
inline const GUID kClsidSystemDeviceEnum = {0x62BE5D10, 0x60EB, 0x11D0, {0xBD, 0x3B, 0x00, 0xA0, 0xC9, 0x11, 0xCE, 0x86}};
inline const GUID kClsidVideoInputDeviceCategory = {
    0x860BB310, 0x5D01, 0x11D0, {0xBD, 0x3B, 0x00, 0xA0, 0xC9, 0x11, 0xCE, 0x86}};
inline const GUID kIidCreateDevEnum = {0x29840822, 0x5B84, 0x11D0, {0xBD, 0x3B, 0x00, 0xA0, 0xC9, 0x11, 0xCE, 0x86}};
inline const GUID kIidBaseFilter = {0x56A86895, 0x0AD4, 0x11CE, {0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
inline const GUID kIidMediaFilter = {0x56A86899, 0x0AD4, 0x11CE, {0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};

// Kernel streaming.
inline const GUID kIidKsTopologyInfo = {0x720D4AC0, 0x7533, 0x11D0, {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}};
inline const GUID kIidKsControl = {0x28F54685, 0x06FD, 0x11D2, {0xB2, 0x7A, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
// Node types of a UVC camera's topology; an extension unit is "device
// specific".
inline const GUID kNodeTypeDevSpecific = {0x941C7AC0, 0xC559, 0x11D0, {0x8A, 0x2B, 0x00, 0xA0, 0xC9, 0x25, 0x5A, 0xC1}};
inline const GUID kNodeTypeVideoStreaming = {0xDFF229E1, 0xF70F, 0x11D0, {0xB9, 0x17, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
inline const GUID kNodeTypeVideoProcessing = {0xDFF229E5, 0xF70F, 0x11D0, {0xB9, 0x17, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
inline const GUID kNodeTypeVideoCameraTerminal = {
    0xDFF229E6, 0xF70F, 0x11D0, {0xB9, 0x17, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};

// Property request flags: KSPROPERTY_TYPE_GET / _SET with _TOPOLOGY (a
// request addressed to a node).
constexpr ULONG kKsPropertyGetTopology = 0x10000001;
constexpr ULONG kKsPropertySetTopology = 0x10000002;

// The extension units' property sets.
// Tessa: the 16 ASCII bytes "TESSAUVCEXTNUNIT" read as a GUID.
inline const GUID kXuSetTessa = {0x53534554, 0x5541, 0x4356, {0x45, 0x58, 0x54, 0x4E, 0x55, 0x4E, 0x49, 0x54}};
inline const GUID kXuSetKivoR7 = {0xA917C75D, 0x4119, 0x11DA, {0xAE, 0x0E, 0x00, 0x0D, 0x56, 0xAC, 0x7B, 0x4C}};
inline const GUID kXuSetKivoV9 = {0x0FB885C3, 0x68C2, 0x4547, {0x90, 0xF7, 0x8F, 0x47, 0x57, 0x9D, 0x95, 0xFC}};
