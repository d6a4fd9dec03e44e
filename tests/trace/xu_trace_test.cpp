// Extension-unit requests never cross the OS table (they are COM calls on the
// objects the device enumerator hands out), so the library records each one
// in the wire trace itself. The library is loaded after tracing is turned on:
// a module decides at its first OS call, which for the library is its load.
#include <windows.h>

#include <objbase.h>

#include "camera_plug.h"
#include "trace_test_support.h"

#ifndef KIVOFWSW_SIM_DLL
#error "KIVOFWSW_SIM_DLL names the simulated build of the library"
#endif

using namespace tracetest;

TEST(TraceExtensionUnit, V9VersionReadIsRecordedWithItsPropertyAndBytes) {
    TracedProcess trace;
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    auto camera = sim::PlugKivoV9Camera();
    sim::WaitForIdle();

    wchar_t dll[MAX_PATH];
    MultiByteToWideChar(CP_UTF8, 0, KIVOFWSW_SIM_DLL, -1, dll, MAX_PATH);
    HMODULE lib = LoadLibraryW(dll);
    ASSERT_NE(nullptr, lib);
    auto bind = reinterpret_cast<int (*)(wchar_t*)>(GetProcAddress(lib, "InitKivoV9ExtensionUnit"));
    auto version = reinterpret_cast<int (*)(unsigned char*, unsigned char*, unsigned short*)>(
        GetProcAddress(lib, "GetFirmwareVersionKivoV9"));
    ASSERT_TRUE(bind != nullptr && version != nullptr);

    std::wstring path = camera.videoPath;
    ASSERT_EQ(1, bind(&path[0]));
    unsigned char major = 0, minor = 0;
    unsigned short build = 0;
    ASSERT_EQ(1, version(&major, &minor, &build));
    EXPECT_EQ(259, build);

    const jsonl::Trace t = trace.Read();
    EXPECT_TRUE(t.problems.empty());
    const auto calls = t.Calls("KsProperty");
    ASSERT_EQ(1u, calls.size());
    const jsonl::Value* property = calls[0]->Find("property");
    ASSERT_NE(nullptr, property);
    EXPECT_EQ(1, property->Num("id"));
    EXPECT_EQ("0x10000001", property->Str("flags"));
    EXPECT_EQ("02050103", calls[0]->Str("in"));
    FreeLibrary(lib);
}
