// The UVC extension-unit commands through the simulated-flavour
// KivoFWSW.dll: binding through the system device enumerator and the
// filter's topology, every property request with its header and data as the
// camera received them, and the failures.
#include "camera_test_support.h"

#include <algorithm>
#include <cstring>
#include <functional>

namespace {

Bytes Le32(ULONG v) {
    return {static_cast<BYTE>(v), static_cast<BYTE>(v >> 8), static_cast<BYTE>(v >> 16), static_cast<BYTE>(v >> 24)};
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// The property sets as they travel: a GUID's bytes in memory order.
const Bytes kTessaSet = {'T', 'E', 'S', 'S', 'A', 'U', 'V', 'C', 'E', 'X', 'T', 'N', 'U', 'N', 'I', 'T'};
const Bytes kR7Set = {0x5D, 0xC7, 0x17, 0xA9, 0x19, 0x41, 0xDA, 0x11, 0xAE, 0x0E, 0x00, 0x0D, 0x56, 0xAC, 0x7B, 0x4C};
const Bytes kV9Set = {0xC3, 0x85, 0xB8, 0x0F, 0xC2, 0x68, 0x47, 0x45, 0x90, 0xF7, 0x8F, 0x47, 0x57, 0x9D, 0x95, 0xFC};

constexpr ULONG kGet = 0x10000001;
constexpr ULONG kSet = 0x10000002;
constexpr ULONG kUnitNode = 2;  // camera terminal, processing unit, then the extension unit

// The 32-byte KSP_NODE header: set, selector, flags, node, reserved.
Bytes Header(const Bytes& set, ULONG selector, ULONG flags, ULONG node = kUnitNode) {
    return Cat({set, Le32(selector), Le32(flags), Le32(node), Le32(0)});
}

struct Request {
    Bytes header;
    Bytes dataIn;
};

::testing::AssertionResult SameRequests(const std::vector<Request>& expected,
                                        const std::vector<sim::KsPropertyRecord>& got) {
    if (expected.size() != got.size()) {
        auto r = ::testing::AssertionFailure() << "expected " << expected.size() << " requests, got " << got.size();
        for (const auto& g : got) r << "\n  got " << Hex(g.header) << " | " << Hex(g.dataIn);
        return r;
    }
    for (size_t i = 0; i < got.size(); ++i) {
        auto h = SameBytes(expected[i].header, got[i].header);
        if (!h) return ::testing::AssertionFailure() << "header of request " << i << ":" << h.message();
        auto d = SameBytes(expected[i].dataIn, got[i].dataIn);
        if (!d) return ::testing::AssertionFailure() << "data of request " << i << ":" << d.message();
    }
    return ::testing::AssertionSuccess();
}

using Plugger = sim::PluggedCamera<sim::XuCameraModel> (*)(const sim::CameraPlace&, const sim::XuCameraKnobs&);

class ExtensionUnit : public CameraTest {
protected:
    sim::PluggedCamera<sim::XuCameraModel> PlugAndBind(Plugger plug, int (*bind)(wchar_t*),
                                                       const sim::XuCameraKnobs& knobs = sim::XuCameraKnobs()) {
        auto cam = plug({L"XU0000000001", {1}}, knobs);
        Arg path(cam.videoPath);
        EXPECT_EQ(bind(path.buf), 1);
        StartDebugCapture();
        return cam;
    }
};

TEST_F(ExtensionUnit, RequestsOnTheWire) {
    unsigned char out[4];
    unsigned char major, minor;
    unsigned short build;
    struct Case {
        const char* name;
        Plugger plug;
        int (*bind)(wchar_t*);
        std::function<int()> call;
        std::vector<Request> requests;
    } cases[] = {
        {"Tessa: set a control (low byte of the value, then 0)", sim::PlugTessaCamera, InitTessaExtensionUnit,
         [] { return SetExtensionUnitValueForTessa(5, 0x101); }, {{Header(kTessaSet, 5, kSet), {0x01, 0x00}}}},
        {"Tessa: read a control", sim::PlugTessaCamera, InitTessaExtensionUnit,
         [&] { return GetTessaFirmwareVersion(7, out); }, {{Header(kTessaSet, 7, kGet), {0, 0, 0, 0}}}},
        {"R7: four EEPROM registers", sim::PlugKivoR7Camera, InitKivoR7ExtensionUnit,
         [&] { return GetKivoR7FirmwareVersion(out); },
         {{Header(kR7Set, 5, kSet), {0xA0, 0x96, 0x00, 0x00}}, {Header(kR7Set, 5, kGet), {0xA0, 0x96, 0x00, 0x00}},
          {Header(kR7Set, 5, kSet), {0xA0, 0x97, 0x00, 0x00}}, {Header(kR7Set, 5, kGet), {0xA0, 0x97, 0x00, 0x00}},
          {Header(kR7Set, 5, kSet), {0xA0, 0x98, 0x00, 0x00}}, {Header(kR7Set, 5, kGet), {0xA0, 0x98, 0x00, 0x00}},
          {Header(kR7Set, 5, kSet), {0xA0, 0x99, 0x00, 0x00}}, {Header(kR7Set, 5, kGet), {0xA0, 0x99, 0x00, 0x00}}}},
        {"R7: reset", sim::PlugKivoR7Camera, InitKivoR7ExtensionUnit, ResetKivoR7,
         {{Header(kR7Set, 24, kSet), {0xA0, 0x32, 0x04, 0x00}}}},
        {"R7: fall back to the update boot loader", sim::PlugKivoR7Camera, InitKivoR7ExtensionUnit, FallbacktoFWKivoR7,
         {{Header(kR7Set, 24, kSet), {0xA0, 0x30, 0xFF, 0x00}}}},
        {"V9: version, buffer zeroed first", sim::PlugKivoV9Camera, InitKivoV9ExtensionUnit,
         [&] { return GetFirmwareVersionKivoV9(&major, &minor, &build); }, {{Header(kV9Set, 1, kGet), {0, 0, 0, 0}}}},
        {"V9: reset", sim::PlugKivoV9Camera, InitKivoV9ExtensionUnit, ResetDeviceV9,
         {{Header(kV9Set, 3, kSet), {0x01}}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DeinitExtUnit();
        sim::Reset();
        sim::SetTimeScale(kTimeScale);
        std::memset(out, 0xEE, sizeof(out));
        auto cam = PlugAndBind(c.plug, c.bind);
        ::SetLastError(kMarker);
        EXPECT_EQ(c.call(), 1);
        EXPECT_TRUE(SameRequests(c.requests, cam.model->KsRequests()));
        for (const auto& r : cam.model->KsRequests()) EXPECT_EQ(r.controlNode, kUnitNode) << "the unit's own node";
    }
}

TEST_F(ExtensionUnit, VersionsAsTheCamerasReportThem) {
    sim::XuCameraKnobs knobs;
    const uint8_t tessa[4] = {1, 4, 2, 7};
    const uint8_t r7[4] = {24, 5, 17, 3};
    std::copy(tessa, tessa + 4, knobs.tessaVersion);
    std::copy(r7, r7 + 4, knobs.r7Version);
    unsigned char out[4] = {};
    PlugAndBind(sim::PlugTessaCamera, InitTessaExtensionUnit, knobs);
    ASSERT_EQ(GetTessaFirmwareVersion(7, out), 1);
    EXPECT_TRUE(SameBytes(Bytes(tessa, tessa + 4), Bytes(out, out + 4)));
    DeinitExtUnit();
    sim::Reset();
    sim::SetTimeScale(kTimeScale);
    PlugAndBind(sim::PlugKivoR7Camera, InitKivoR7ExtensionUnit, knobs);
    ASSERT_EQ(GetKivoR7FirmwareVersion(out), 1);
    EXPECT_TRUE(SameBytes(Bytes(r7, r7 + 4), Bytes(out, out + 4)));
}

TEST_F(ExtensionUnit, V9VersionBytes) {
    struct Case {
        uint8_t bytes[4];
        unsigned major, minor, build;
    } cases[] = {
        {{2, 5, 0x01, 0x03}, 2, 5, 259},
        {{0xFF, 0x00, 0xFF, 0xFE}, 255, 0, 65534},
        {{0, 9, 0x00, 0x10}, 0, 9, 16},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Hex(Bytes(c.bytes, c.bytes + 4)));
        DeinitExtUnit();
        sim::Reset();
        sim::SetTimeScale(kTimeScale);
        sim::XuCameraKnobs knobs;
        std::copy(c.bytes, c.bytes + 4, knobs.v9Version);
        PlugAndBind(sim::PlugKivoV9Camera, InitKivoV9ExtensionUnit, knobs);
        unsigned char major = 0xEE, minor = 0xEE;
        unsigned short build = 0xEEEE;
        EXPECT_EQ(GetFirmwareVersionKivoV9(&major, &minor, &build), 1);
        EXPECT_EQ(major, c.major);
        EXPECT_EQ(minor, c.minor);
        EXPECT_EQ(build, c.build);
    }
}

TEST_F(ExtensionUnit, R7VersionStopsAtTheFirstFailedRegister) {
    sim::XuCameraKnobs knobs;
    knobs.failEepromAddress = 0x98;
    auto cam = PlugAndBind(sim::PlugKivoR7Camera, InitKivoR7ExtensionUnit, knobs);
    unsigned char out[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    ::SetLastError(kMarker);
    EXPECT_EQ(GetKivoR7FirmwareVersion(out), 0);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(HRESULT_FROM_WIN32(ERROR_GEN_FAILURE)));
    EXPECT_TRUE(SameBytes(Bytes{24, 5, 0xEE, 0xEE}, Bytes(out, out + 4)));
    EXPECT_EQ(cam.model->KsRequests().size(), 6u) << "nothing after the failed read of 0x98";
    EXPECT_EQ(CapturedDebugLines(), Lines{L"RegReadEEPROM:: Unable to obtain extension unit 8007001f\n"});
}

struct RequestCase {
    const char* name;
    std::function<int()> call;
    Lines lines;
};

std::vector<RequestCase> EveryRequest() {
    static unsigned char out[4];
    static unsigned char major, minor;
    static unsigned short build;
    const std::wstring r7 = L"RegReadEEPROM :: g_pKsControl is invalid 80004005\n";
    return {
        {"SetExtensionUnitValueForTessa", [] { return SetExtensionUnitValueForTessa(5, 1); },
         {L"Click the MANUAL radio button", L"SetExtensionUnitValueForTessa :: g_pKsControl is invalid 0\n"}},
        {"GetTessaFirmwareVersion", [] { return GetTessaFirmwareVersion(7, out); },
         {L"GetFirmwareVersion :: g_pKsControl is invalid 0\n"}},
        {"GetKivoR7FirmwareVersion", [] { return GetKivoR7FirmwareVersion(out); }, {r7}},
        {"ResetKivoR7", ResetKivoR7, {r7}},
        {"FallbacktoFWKivoR7", FallbacktoFWKivoR7, {r7}},
        {"GetFirmwareVersionKivoV9", [] { return GetFirmwareVersionKivoV9(&major, &minor, &build); },
         {L"GetFirmwareVersion :: g_pKsControl is invalid 0\n"}},
        {"ResetDeviceV9", ResetDeviceV9, {L"ResetDeviceV9 :: g_pKsControl is invalid 0\n"}},
    };
}

void ExpectNothingSent(const std::vector<std::shared_ptr<sim::XuCameraModel>>& models) {
    for (const RequestCase& c : EveryRequest()) {
        SCOPED_TRACE(c.name);
        StartDebugCapture();
        ::SetLastError(kMarker);
        EXPECT_EQ(c.call(), 0);
        EXPECT_EQ(::GetLastError(), KIVOFWSW_ERROR_NOT_BOUND);
        EXPECT_EQ(CapturedDebugLines(), c.lines) << Show(CapturedDebugLines());
    }
    for (const auto& m : models) EXPECT_TRUE(m->KsRequests().empty());
}

TEST_F(ExtensionUnit, RequestsBeforeAnyBindingSendNothing) {
    auto tessa = sim::PlugTessaCamera({L"T00000000001", {1}});
    auto r7 = sim::PlugKivoR7Camera({L"R00000000001", {2}});
    auto v9 = sim::PlugKivoV9Camera({L"V00000000001", {3}});
    ExpectNothingSent({tessa.model, r7.model, v9.model});
}

TEST_F(ExtensionUnit, RequestsAfterDeinitSendNothing) {
    auto tessa = sim::PlugTessaCamera({L"T00000000001", {1}});
    auto r7 = sim::PlugKivoR7Camera({L"R00000000001", {2}});
    auto v9 = sim::PlugKivoV9Camera({L"V00000000001", {3}});
    Arg path(r7.videoPath);
    ASSERT_EQ(InitKivoR7ExtensionUnit(path.buf), 1);
    EXPECT_EQ(DeinitExtUnit(), 1);
    EXPECT_EQ(sim::LiveComObjects(), 0) << "every reference of the binding released";
    ExpectNothingSent({tessa.model, r7.model, v9.model});
}

TEST_F(ExtensionUnit, BindsTheCameraOfThePathOnlyWithItsModelsBinding) {
    auto a = sim::PlugTessaCamera({L"TESSA0000001", {1}});
    auto b = sim::PlugTessaCamera({L"TESSA0000002", {2}, L"", 0, 0xC129});
    auto r7 = sim::PlugKivoR7Camera({L"R70000000001", {3}});
    struct Case {
        const char* name;
        std::wstring path;
        int (*bind)(wchar_t*);
        int result;
        std::shared_ptr<sim::XuCameraModel> reached;
    } cases[] = {
        {"second Tessa (C129)", b.videoPath, InitTessaExtensionUnit, 1, b.model},
        {"first Tessa, upper case", Upper(a.videoPath), InitTessaExtensionUnit, 1, a.model},
        {"a Tessa path with the R7's binding", a.videoPath, InitKivoR7ExtensionUnit, 0, nullptr},
        {"an R7 path with the V9's binding", r7.videoPath, InitKivoV9ExtensionUnit, 0, nullptr},
        {"a camera that is not there", L"\\\\?\\usb#vid_4a7e&pid_c123&mi_00#6&1&0&0000#{65e8773d-8f56-11d0-a3b9-00a0c9223196}\\global",
         InitTessaExtensionUnit, 0, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DeinitExtUnit();
        for (auto* m : {a.model.get(), b.model.get(), r7.model.get()}) m->ClearKsRequests();
        Arg path(c.path);
        ::SetLastError(kMarker);
        EXPECT_EQ(c.bind(path.buf), c.result);
        unsigned char out[4];
        if (c.result == 0) {
            EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));
            EXPECT_EQ(GetTessaFirmwareVersion(7, out), 0);
            EXPECT_EQ(sim::LiveComObjects(), 0);
        } else {
            EXPECT_EQ(GetTessaFirmwareVersion(7, out), 1);
        }
        for (auto* m : {a.model.get(), b.model.get(), r7.model.get()}) {
            EXPECT_EQ(m->KsRequests().size(), m == c.reached.get() ? 1u : 0u);
        }
    }
}

TEST_F(ExtensionUnit, SunplusCameraIsAV9) {
    auto cam = sim::PlugSunplusCamera({L"SP0000000001", {1}});
    Arg path(cam.videoPath);
    EXPECT_EQ(InitTessaExtensionUnit(path.buf), 0);
    EXPECT_EQ(InitKivoR7ExtensionUnit(path.buf), 0);
    EXPECT_EQ(InitKivoV9ExtensionUnit(path.buf), 1);
    unsigned char major = 0, minor = 0;
    unsigned short build = 0;
    EXPECT_EQ(GetFirmwareVersionKivoV9(&major, &minor, &build), 1);
    EXPECT_EQ(build, 259);
}

TEST_F(ExtensionUnit, ABindingReplacesTheOneBeforeWithoutLeakingIt) {
    auto a = sim::PlugTessaCamera({L"TESSA0000001", {1}});
    auto b = sim::PlugTessaCamera({L"TESSA0000002", {2}});
    Arg pa(a.videoPath), pb(b.videoPath);
    ASSERT_EQ(InitTessaExtensionUnit(pa.buf), 1);
    const long one = sim::LiveComObjects();
    EXPECT_GT(one, 0) << "the filter and the node instance stay alive while bound";
    ASSERT_EQ(InitTessaExtensionUnit(pb.buf), 1);
    EXPECT_EQ(sim::LiveComObjects(), one);
    unsigned char out[4];
    EXPECT_EQ(GetTessaFirmwareVersion(7, out), 1);
    EXPECT_TRUE(a.model->KsRequests().empty());
    EXPECT_EQ(b.model->KsRequests().size(), 1u);
    EXPECT_EQ(DeinitExtUnit(), 1);
    EXPECT_EQ(sim::LiveComObjects(), 0);
}

TEST_F(ExtensionUnit, FailuresOfTheEnumerationAndTheFilter) {
    struct Case {
        const char* name;
        sim::KsFilterFaults faults;
        DWORD error;
        Lines lines;
    };
    std::vector<Case> cases;
    {
        Case c{"no property bag", {}, static_cast<DWORD>(HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED)), {}};
        c.faults.storageBindFails = true;
        cases.push_back(c);
    }
    {
        Case c{"no device path", {}, ERROR_NOT_FOUND, {}};
        c.faults.noDevicePath = true;
        cases.push_back(c);
    }
    {
        Case c{"filter cannot be bound", {}, static_cast<DWORD>(HRESULT_FROM_WIN32(ERROR_GEN_FAILURE)),
               {L"Printing device path with InstanceID\r\n", L"IsTessaDevice ++\r\n"}};
        c.faults.filterBindFails = true;
        cases.push_back(c);
    }
    {
        Case c{"filter without topology", {}, static_cast<DWORD>(E_NOINTERFACE),
               {L"Printing device path with InstanceID\r\n", L"IsTessaDevice ++\r\n",
                L"Unable to obtain Get video input filter 80004002\n",
                L"KSTopologyInitialize pKsTopologyInfo is  Invalid hr = 80004002\n"}};
        c.faults.noTopologyInfo = true;
        cases.push_back(c);
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DeinitExtUnit();
        sim::Reset();
        sim::SetTimeScale(kTimeScale);
        sim::XuCameraKnobs knobs;
        knobs.faults = c.faults;
        auto cam = sim::PlugTessaCamera({L"TESSA0000001", {1}}, knobs);
        Arg path(cam.videoPath);
        StartDebugCapture();
        ::SetLastError(kMarker);
        EXPECT_EQ(InitTessaExtensionUnit(path.buf), 0);
        EXPECT_EQ(::GetLastError(), c.error);
        EXPECT_EQ(CapturedDebugLines(), c.lines) << Show(CapturedDebugLines());
        EXPECT_EQ(DeinitExtUnit(), 1);
        EXPECT_EQ(sim::LiveComObjects(), 0);
    }
}

TEST_F(ExtensionUnit, NoCameraOrNoEnumerator) {
    StartDebugCapture();
    ::SetLastError(kMarker);
    Arg path(L"\\\\?\\usb#vid_4a7e&pid_c123&mi_00#6&1&0&0000#{65e8773d-8f56-11d0-a3b9-00a0c9223196}\\global");
    EXPECT_EQ(InitTessaExtensionUnit(path.buf), 0);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));
    EXPECT_EQ(CapturedDebugLines(), Lines{L"DeviceManager::DetectDevice -- false \n"});

    sim::SetCoCreateInstanceHook([](REFCLSID, LPUNKNOWN, DWORD, REFIID, LPVOID* out, HRESULT* result) {
        *out = nullptr;
        *result = REGDB_E_CLASSNOTREG;
        return true;
    });
    StartDebugCapture();
    ::SetLastError(kMarker);
    EXPECT_EQ(InitTessaExtensionUnit(path.buf), 0);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(REGDB_E_CLASSNOTREG));
    EXPECT_EQ(CapturedDebugLines(), Lines{L"Cocreateinstance failed...-2147221164\n"});
}

TEST_F(ExtensionUnit, ANodeWithoutControlLeavesTheBindingUpWithoutRequests) {
    struct Case {
        const char* name;
        bool instanceFails;
        const wchar_t* first;
        const wchar_t* query;
    } cases[] = {
        {"node instance fails", true, L"ERROR: Unable to Create g_pUnkOuter instancer 80070490\n",
         L"Unable to obtain IksControlInitialize hr = 80004003 GatLastError() = "},
        {"node without IKsControl", false, nullptr, L"Unable to obtain IksControlInitialize hr = 80004002 GatLastError() = "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DeinitExtUnit();
        sim::Reset();
        sim::SetTimeScale(kTimeScale);
        sim::XuCameraKnobs knobs;
        knobs.faults.nodeInstanceFails = c.instanceFails;
        knobs.faults.nodeWithoutControl = !c.instanceFails;
        auto cam = sim::PlugTessaCamera({L"TESSA0000001", {1}}, knobs);
        Arg path(cam.videoPath);
        StartDebugCapture();
        EXPECT_EQ(InitTessaExtensionUnit(path.buf), 1);
        const Lines lines = CapturedDebugLines();
        ASSERT_GE(lines.size(), 3u) << Show(lines);
        if (c.first != nullptr) {
            EXPECT_EQ(lines[lines.size() - 3], c.first) << Show(lines);
        }
        EXPECT_EQ(lines[lines.size() - 2].rfind(c.query, 0), 0u) << Show(lines);
        EXPECT_EQ(lines.back(), L"InitExtensionunit :: IksControlInitialize failed ....\r\n");
        unsigned char out[4];
        ::SetLastError(kMarker);
        EXPECT_EQ(GetTessaFirmwareVersion(7, out), 0);
        EXPECT_EQ(::GetLastError(), KIVOFWSW_ERROR_NOT_BOUND);
        EXPECT_TRUE(cam.model->KsRequests().empty());
        EXPECT_EQ(DeinitExtUnit(), 1);
        EXPECT_EQ(sim::LiveComObjects(), 0);
    }
}

TEST_F(ExtensionUnit, TheFirstExtensionUnitNodeIsUsed) {
    struct Case {
        const char* name;
        int units;
        bool unitsFirst;
        ULONG node;
    } cases[] = {
        {"two units after the processing unit", 2, false, 2},
        {"units before the camera terminal", 1, true, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DeinitExtUnit();
        sim::Reset();
        sim::SetTimeScale(kTimeScale);
        sim::XuCameraKnobs knobs;
        knobs.extensionUnits = c.units;
        knobs.unitsFirst = c.unitsFirst;
        auto cam = PlugAndBind(sim::PlugTessaCamera, InitTessaExtensionUnit, knobs);
        unsigned char out[4];
        EXPECT_EQ(GetTessaFirmwareVersion(7, out), 1);
        ASSERT_EQ(cam.model->KsRequests().size(), 1u);
        EXPECT_EQ(cam.model->KsRequests()[0].nodeId, c.node);
        EXPECT_EQ(cam.model->KsRequests()[0].controlNode, c.node);
    }
}

TEST_F(ExtensionUnit, ACameraWithoutExtensionUnitAnswersNoProperty) {
    sim::XuCameraKnobs knobs;
    knobs.extensionUnits = 0;
    auto cam = PlugAndBind(sim::PlugTessaCamera, InitTessaExtensionUnit, knobs);
    unsigned char out[4];
    ::SetLastError(kMarker);
    EXPECT_EQ(GetTessaFirmwareVersion(7, out), 0);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(HRESULT_FROM_WIN32(ERROR_SET_NOT_FOUND)));
    EXPECT_EQ(CapturedDebugLines(), Lines{L"GetFirmwareVersion:: Unable to obtain extension unit 80070492\n"});
    EXPECT_EQ(cam.model->KsRequests().size(), 1u);
}

TEST_F(ExtensionUnit, UpdateModeAndResetRequestsRestartTheCameras) {
    struct Case {
        const char* name;
        Plugger plug;
        int (*bind)(wchar_t*);
        std::function<int()> call;
        USHORT vid, pid;  // what arrives afterwards
        const wchar_t* serial = L"XU0000000001";
    } cases[] = {
        {"Tessa to the update-mode device", sim::PlugTessaCamera, InitTessaExtensionUnit,
         [] { return SetExtensionUnitValueForTessa(5, 1); }, 0x4A7E, 0xDF01},
        // The ROM, as a real one, carries no serial.
        {"R7 to the NXP boot ROM", sim::PlugKivoR7Camera, InitKivoR7ExtensionUnit, FallbacktoFWKivoR7, 0x1FC9, 0x0135,
         L""},
        {"R7 reset", sim::PlugKivoR7Camera, InitKivoR7ExtensionUnit, ResetKivoR7, 0x4A7E, 0xC05C},
        {"V9 reset", sim::PlugKivoV9Camera, InitKivoV9ExtensionUnit, ResetDeviceV9, 0x4A7E, 0xC181},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DeinitExtUnit();
        sim::Reset();
        sim::SetTimeScale(kTimeScale);
        auto cam = PlugAndBind(c.plug, c.bind);
        EXPECT_EQ(c.call(), 1);
        ASSERT_TRUE(sim::WaitForIdle());
        EXPECT_FALSE(sim::IsPresent(cam.device));
        bool arrived = false;
        for (sim::DeviceId d : sim::PresentDevices()) {
            const sim::UsbDeviceSpec s = sim::SpecOf(d);
            arrived |= s.vid == c.vid && s.pid == c.pid && s.serial == c.serial;
        }
        EXPECT_TRUE(arrived);
        // The old binding no longer reaches a camera.
        unsigned char out[4];
        ::SetLastError(kMarker);
        EXPECT_EQ(GetKivoR7FirmwareVersion(out), 0);
        EXPECT_NE(::GetLastError(), kMarker);
    }
}

TEST_F(ExtensionUnit, V9ResetReturnsAfterFiveSeconds) {
    PlugAndBind(sim::PlugKivoV9Camera, InitKivoV9ExtensionUnit);
    const ULONGLONG start = SimElapsedMs();
    EXPECT_EQ(ResetDeviceV9(), 1);
    EXPECT_GE(SimElapsedMs() - start, 5000u);
}

TEST_F(ExtensionUnit, ACameraThatDoesNotAnswerFailsEveryRequest) {
    sim::XuCameraKnobs knobs;
    knobs.noReply = true;
    knobs.timeoutMs = 1000;  // the driver gives up on each request after a second
    auto cam = PlugAndBind(sim::PlugKivoV9Camera, InitKivoV9ExtensionUnit, knobs);
    unsigned char major = 0xEE, minor = 0xEE;
    unsigned short build = 0xEEEE;
    ::SetLastError(kMarker);
    EXPECT_EQ(GetFirmwareVersionKivoV9(&major, &minor, &build), 0);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(HRESULT_FROM_WIN32(ERROR_SEM_TIMEOUT)));
    EXPECT_EQ(major, 0xEE);
    EXPECT_EQ(build, 0xEEEE);
    const ULONGLONG start = SimElapsedMs();
    EXPECT_EQ(ResetDeviceV9(), 0);
    EXPECT_GE(SimElapsedMs() - start, 1000u) << "the request took the driver's time-out";
    EXPECT_LT(SimElapsedMs() - start, 5000u) << "no pause after a failed reset";
    EXPECT_EQ(CapturedDebugLines(), (Lines{L"GetFirmwareVersion:: Unable to obtain extension unit 80070079\n",
                                           L"ResetDeviceV9:: Unable to obtain extension unit 80070079\n"}));
    EXPECT_TRUE(sim::IsPresent(cam.device));
}

TEST_F(ExtensionUnit, RequestsToACameraThatLeftFail) {
    auto cam = PlugAndBind(sim::PlugKivoR7Camera, InitKivoR7ExtensionUnit);
    sim::Unplug(cam.device);
    unsigned char out[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    ::SetLastError(kMarker);
    EXPECT_EQ(GetKivoR7FirmwareVersion(out), 0);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(HRESULT_FROM_WIN32(ERROR_DEVICE_NOT_CONNECTED)));
    EXPECT_TRUE(SameBytes(Bytes{0xEE, 0xEE, 0xEE, 0xEE}, Bytes(out, out + 4)));
}

}  // namespace
