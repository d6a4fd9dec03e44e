// The DirectShow and kernel-streaming pieces the extension-unit binding
// uses, with their real IDs. The library's binding and the simulator's COM
// objects both build on this header.
//
// mingw-w64 has no vidcap.h, so IKsTopologyInfo is declared here (IKsControl
// comes from ksproxy.h). The GUIDs are spelled out so that neither side needs
// strmiids or ksguid; the ones our own declaration depends on are checked
// against the SDK's published values at compile time.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <oaidl.h>
#include <ocidl.h>
#include <strmif.h>

#include <ks.h>
#include <ksproxy.h>

#include <cstddef>

// IKsTopologyInfo as the Windows SDK publishes it (vidcap.idl, vidcap.h):
//   [object, local, uuid(720D4AC0-7533-11D0-A5D6-28DB04C10000)]
//   interface IKsTopologyInfo : IUnknown {
//       get_NumCategories, get_Category, get_NumConnections, get_ConnectionInfo,
//       get_NodeName, get_NumNodes, get_NodeType, CreateNodeInstance }
// The published IID and vtable slots are checked below at compile time.
#if defined(_MSC_VER)
// The SDK's own declaration.
#include <vidcap.h>
#else
// mingw-w64 has no vidcap.h: the interface is declared here, its methods in
// the SDK's order (a COM vtable lists a class's methods in declaration
// order, after the three of IUnknown).
#define CORVANE_KS_TOPOLOGY_INFO_METHODS(M)                                                                 \
    M(get_NumCategories, (DWORD * pdwNumCategories))                                                       \
    M(get_Category, (DWORD dwIndex, GUID * pCategory))                                                     \
    M(get_NumConnections, (DWORD * pdwNumConnections))                                                     \
    M(get_ConnectionInfo, (DWORD dwIndex, KSTOPOLOGY_CONNECTION * pConnectionInfo))                        \
    M(get_NodeName, (DWORD dwNodeId, WCHAR * pwchNodeName, DWORD dwBufSize, DWORD * pdwNameLen))           \
    M(get_NumNodes, (DWORD * pdwNumNodes))                                                                 \
    M(get_NodeType, (DWORD dwNodeId, GUID * pNodeType))                                                    \
    M(CreateNodeInstance, (DWORD dwNodeId, REFIID iid, void** ppvObject))

// The topology of a kernel-streaming filter (a UVC camera's units are its nodes).
struct IKsTopologyInfo : public IUnknown {
#define CORVANE_KS_METHOD(name, parameters) virtual HRESULT STDMETHODCALLTYPE name parameters = 0;
    CORVANE_KS_TOPOLOGY_INFO_METHODS(CORVANE_KS_METHOD)
#undef CORVANE_KS_METHOD
};

namespace ks_layout {
// The vtable of the declaration above, one pointer per slot in the same order.
struct Vtable {
    void* QueryInterface;
    void* AddRef;
    void* Release;
#define CORVANE_KS_SLOT(name, parameters) void* name;
    CORVANE_KS_TOPOLOGY_INFO_METHODS(CORVANE_KS_SLOT)
#undef CORVANE_KS_SLOT
};
constexpr std::size_t Slot(std::size_t offset) { return offset / sizeof(void*); }
}  // namespace ks_layout

// The SDK's slots: IUnknown's 0 to 2, then the methods from 3 on.
static_assert(ks_layout::Slot(offsetof(ks_layout::Vtable, get_NumCategories)) == 3, "vidcap.h slot 3");
static_assert(ks_layout::Slot(offsetof(ks_layout::Vtable, get_Category)) == 4, "vidcap.h slot 4");
static_assert(ks_layout::Slot(offsetof(ks_layout::Vtable, get_NumConnections)) == 5, "vidcap.h slot 5");
static_assert(ks_layout::Slot(offsetof(ks_layout::Vtable, get_ConnectionInfo)) == 6, "vidcap.h slot 6");
static_assert(ks_layout::Slot(offsetof(ks_layout::Vtable, get_NodeName)) == 7, "vidcap.h slot 7");
static_assert(ks_layout::Slot(offsetof(ks_layout::Vtable, get_NumNodes)) == 8, "vidcap.h slot 8");
static_assert(ks_layout::Slot(offsetof(ks_layout::Vtable, get_NodeType)) == 9, "vidcap.h slot 9");
static_assert(ks_layout::Slot(offsetof(ks_layout::Vtable, CreateNodeInstance)) == 10, "vidcap.h slot 10");
static_assert(sizeof(ks_layout::Vtable) == 11 * sizeof(void*), "IKsTopologyInfo has 11 slots");
// Nothing but the interface's own slots: no data, one vtable pointer.
static_assert(sizeof(IKsTopologyInfo) == sizeof(void*), "IKsTopologyInfo is a pure interface");
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
inline constexpr GUID kIidKsTopologyInfo = {0x720D4AC0, 0x7533, 0x11D0, {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}};
namespace ks_layout {
constexpr unsigned HexDigit(char c) {
    return c >= '0' && c <= '9' ? unsigned(c - '0') : c >= 'A' && c <= 'F' ? unsigned(c - 'A' + 10) : 0x100;
}
// The value of n hex digits of text from position at.
constexpr unsigned long long Hex(const char* text, int at, int n) {
    unsigned long long v = 0;
    for (int i = 0; i < n; ++i) v = v * 16 + HexDigit(text[at + i]);
    return v;
}
// Whether guid is the registry form "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX" of text.
constexpr bool IsGuid(const GUID& guid, const char* text) {
    if (guid.Data1 != Hex(text, 0, 8) || guid.Data2 != Hex(text, 9, 4) || guid.Data3 != Hex(text, 14, 4)) return false;
    const int at[8] = {19, 21, 24, 26, 28, 30, 32, 34};
    for (int i = 0; i < 8; ++i)
        if (guid.Data4[i] != Hex(text, at[i], 2)) return false;
    return true;
}
}  // namespace ks_layout

// The uuid of IKsTopologyInfo in vidcap.idl.
static_assert(ks_layout::IsGuid(kIidKsTopologyInfo, "720D4AC0-7533-11D0-A5D6-28DB04C10000"),
              "IID_IKsTopologyInfo as the SDK publishes it");

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
