// A second module of the test process with its own OS table, as
// KivoFWSW.dll is beside the updater: its records go to the same trace file.
#include "os_api.h"

#include <string>

extern "C" __declspec(dllexport) void TracePeerLines(int count, const wchar_t* tag, int padding) {
    const std::wstring pad(static_cast<size_t>(padding), L'x');
    for (int i = 0; i < count; ++i) {
        Os().OutputDebugStringW((std::wstring(tag) + L" " + std::to_wstring(i) + L" " + pad).c_str());
    }
}
