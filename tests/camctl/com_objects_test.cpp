// The simulator's DirectShow and kernel-streaming objects, used the way the
// updater's video-device enumeration and the library use them: through the
// OS table's CoCreateInstance, then plain COM.
#include "camera_test_support.h"

#include "ks_interfaces.h"
#include "os_api.h"

#include <uuids.h>

namespace {

// Releases a COM reference at the end of a scope.
template <typename T>
struct Ref {
    T* p = nullptr;
    ~Ref() {
        if (p) p->Release();
    }
    void** out() { return reinterpret_cast<void**>(&p); }
    T* operator->() const { return p; }
};

std::wstring ReadText(IPropertyBag* bag, const wchar_t* name, HRESULT* hr) {
    VARIANT v;
    ::VariantInit(&v);
    *hr = bag->Read(name, &v, nullptr);
    std::wstring out = SUCCEEDED(*hr) && v.vt == VT_BSTR ? v.bstrVal : L"";
    ::VariantClear(&v);
    return out;
}

class ComObjects : public CameraTest {
protected:
    HRESULT Enumerator(const GUID& category, Ref<IEnumMoniker>* out) {
        Ref<ICreateDevEnum> devices;
        HRESULT hr = SimOsApi()->CoCreateInstance(kClsidSystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER,
                                                  kIidCreateDevEnum, devices.out());
        EXPECT_EQ(hr, S_OK);
        if (FAILED(hr)) return hr;
        return devices->CreateClassEnumerator(category, &out->p, 0);
    }
};

TEST_F(ComObjects, TheConstantsAreTheSystemsOwn) {
    EXPECT_TRUE(IsEqualGUID(kClsidSystemDeviceEnum, CLSID_SystemDeviceEnum));
    EXPECT_TRUE(IsEqualGUID(kClsidVideoInputDeviceCategory, CLSID_VideoInputDeviceCategory));
    EXPECT_TRUE(IsEqualGUID(kIidCreateDevEnum, IID_ICreateDevEnum));
    EXPECT_TRUE(IsEqualGUID(kIidBaseFilter, IID_IBaseFilter));
    EXPECT_TRUE(IsEqualGUID(kIidMediaFilter, IID_IMediaFilter));
    EXPECT_TRUE(IsEqualGUID(kIidKsControl, IID_IKsControl));
}

TEST_F(ComObjects, AnEmptyCategoryHasNoEnumerator) {
    Ref<IEnumMoniker> e;
    EXPECT_EQ(Enumerator(kClsidVideoInputDeviceCategory, &e), S_FALSE);
    EXPECT_EQ(e.p, nullptr);
    sim::PlugHidCamera();
    Ref<IEnumMoniker> audio;
    EXPECT_EQ(Enumerator(CLSID_AudioInputDeviceCategory, &audio), S_FALSE) << "only video devices here";
    EXPECT_EQ(audio.p, nullptr);
}

TEST_F(ComObjects, MonikersOfThePresentCamerasInArrivalOrder) {
    auto first = sim::PlugHidCamera({L"CAM000000001", {1}, L"First Camera"});
    auto gone = sim::PlugKivoR7Camera({L"R70000000001", {2}});
    auto second = sim::PlugTessaCamera({L"TESSA0000001", {3}, L"Second Camera"});
    sim::Unplug(gone.device);
    Ref<IEnumMoniker> e;
    ASSERT_EQ(Enumerator(kClsidVideoInputDeviceCategory, &e), S_OK);
    struct Expect {
        std::wstring path;
        std::wstring name;
    } expected[] = {{first.videoPath, L"First Camera"}, {second.videoPath, L"Second Camera"}};
    for (const Expect& x : expected) {
        Ref<IMoniker> m;
        ULONG fetched = 0;
        ASSERT_EQ(e->Next(1, &m.p, &fetched), S_OK);
        EXPECT_EQ(fetched, 1u);
        Ref<IPropertyBag> bag;
        ASSERT_EQ(m->BindToStorage(nullptr, nullptr, IID_IPropertyBag, bag.out()), S_OK);
        HRESULT hr;
        EXPECT_EQ(ReadText(bag.p, L"DevicePath", &hr), x.path);
        EXPECT_EQ(ReadText(bag.p, L"FriendlyName", &hr), x.name);
        ReadText(bag.p, L"CLSID", &hr);
        EXPECT_EQ(hr, HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
        VARIANT number;
        ::VariantInit(&number);
        number.vt = VT_I4;
        EXPECT_EQ(bag->Read(L"DevicePath", &number, nullptr), DISP_E_TYPEMISMATCH);
    }
    Ref<IMoniker> none;
    EXPECT_EQ(e->Next(1, &none.p, nullptr), S_FALSE);
}

TEST_F(ComObjects, NextSkipResetAndClone) {
    auto a = sim::PlugHidCamera({L"CAM000000001", {1}});
    auto b = sim::PlugHidCamera({L"CAM000000002", {2}});
    auto c = sim::PlugHidCamera({L"CAM000000003", {3}});
    Ref<IEnumMoniker> e;
    ASSERT_EQ(Enumerator(kClsidVideoInputDeviceCategory, &e), S_OK);
    auto pathOf = [](IMoniker* m) {
        Ref<IPropertyBag> bag;
        m->BindToStorage(nullptr, nullptr, IID_IPropertyBag, bag.out());
        HRESULT hr;
        return ReadText(bag.p, L"DevicePath", &hr);
    };
    EXPECT_EQ(e->Skip(1), S_OK);
    Ref<IEnumMoniker> clone;
    ASSERT_EQ(e->Clone(&clone.p), S_OK);
    IMoniker* two[4] = {};
    ULONG fetched = 0;
    EXPECT_EQ(e->Next(4, two, &fetched), S_FALSE);
    ASSERT_EQ(fetched, 2u);
    EXPECT_EQ(pathOf(two[0]), b.videoPath);
    EXPECT_EQ(pathOf(two[1]), c.videoPath);
    two[0]->Release();
    two[1]->Release();
    Ref<IMoniker> fromClone;
    ASSERT_EQ(clone->Next(1, &fromClone.p, nullptr), S_OK);
    EXPECT_EQ(pathOf(fromClone.p), b.videoPath) << "the clone keeps its own position";
    EXPECT_EQ(e->Skip(1), S_FALSE);
    EXPECT_EQ(e->Reset(), S_OK);
    Ref<IMoniker> again;
    ASSERT_EQ(e->Next(1, &again.p, nullptr), S_OK);
    EXPECT_EQ(pathOf(again.p), a.videoPath);
}

TEST_F(ComObjects, FilterTopologyAndNodeControl) {
    auto cam = sim::PlugKivoV9Camera({L"V90000000001", {1}});
    {
        Ref<IEnumMoniker> e;
        ASSERT_EQ(Enumerator(kClsidVideoInputDeviceCategory, &e), S_OK);
        Ref<IMoniker> m;
        ASSERT_EQ(e->Next(1, &m.p, nullptr), S_OK);
        Ref<IBaseFilter> filter;
        ASSERT_EQ(m->BindToObject(nullptr, nullptr, kIidBaseFilter, filter.out()), S_OK);
        Ref<IKsTopologyInfo> topology;
        ASSERT_EQ(filter->QueryInterface(kIidKsTopologyInfo, topology.out()), S_OK);
        DWORD nodes = 0;
        ASSERT_EQ(topology->get_NumNodes(&nodes), S_OK);
        ASSERT_EQ(nodes, 4u);
        GUID type;
        EXPECT_EQ(topology->get_NodeType(2, &type), S_OK);
        EXPECT_TRUE(IsEqualGUID(type, kNodeTypeDevSpecific));
        EXPECT_EQ(topology->get_NodeType(4, &type), E_INVALIDARG);
        Ref<IUnknown> node;
        ASSERT_EQ(topology->CreateNodeInstance(2, IID_IUnknown, node.out()), S_OK);
        Ref<IKsControl> control;
        ASSERT_EQ(node->QueryInterface(kIidKsControl, control.out()), S_OK);
        KSP_NODE header = {};
        header.Property.Set = kXuSetKivoV9;
        header.Property.Id = 1;
        header.Property.Flags = kKsPropertyGetTopology;
        header.NodeId = 2;
        BYTE data[4] = {};
        ULONG returned = 0;
        EXPECT_EQ(control->KsProperty(&header.Property, sizeof(header), data, sizeof(data), &returned), S_OK);
        EXPECT_EQ(returned, 4u);
        EXPECT_TRUE(SameBytes(Bytes{2, 5, 1, 3}, Bytes(data, data + 4)));
        // A node request needs the whole node header.
        EXPECT_EQ(control->KsProperty(&header.Property, sizeof(KSPROPERTY), data, sizeof(data), &returned),
                  HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER));
        sim::Unplug(cam.device);
        EXPECT_EQ(control->KsProperty(&header.Property, sizeof(header), data, sizeof(data), &returned),
                  HRESULT_FROM_WIN32(ERROR_DEVICE_NOT_CONNECTED));
        Ref<IBaseFilter> late;
        EXPECT_EQ(m->BindToObject(nullptr, nullptr, kIidBaseFilter, late.out()), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    }
    EXPECT_EQ(sim::LiveComObjects(), 0);
}

}  // namespace
