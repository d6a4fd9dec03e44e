#include "camera_test_support.h"

#include <cstdio>
#include <cwchar>

namespace {
ULONGLONG g_start = 0;
}

Arg::Arg(const std::wstring& s) {
    std::wmemset(buf, L'#', MAX_PATH);
    wcsncpy_s(buf, MAX_PATH, s.c_str(), _TRUNCATE);
}

std::string Hex(const Bytes& bytes) {
    std::string out;
    char two[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(two, sizeof(two), "%02X", bytes[i]);
        if (i) out += ' ';
        out += two;
    }
    return out;
}

std::wstring Upper(std::wstring s) {
    for (wchar_t& c : s) {
        if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
    }
    return s;
}

Bytes Command(BYTE code, BYTE parameter) {
    Bytes b(65, 0);
    b[1] = code;
    b[2] = parameter;
    return b;
}

::testing::AssertionResult SameBytes(const Bytes& expected, const Bytes& got) {
    if (expected == got) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "\n  expected (" << expected.size() << " bytes): " << Hex(expected)
                                         << "\n       got (" << got.size() << " bytes): " << Hex(got);
}

ULONGLONG SimElapsedMs() { return sim::SimulatedNowMs() - g_start; }

void CameraTest::SetUp() {
    sim::Reset();
    sim::SetTimeScale(kTimeScale);
    sim::ServeVideoDevices();
    g_start = sim::SimulatedNowMs();
    StartDebugCapture();
}

void CameraTest::TearDown() {
    DeinitExtUnit();
    DeinitExtensionUnit();
    sim::WaitForIdle(2000);
}

Lines LinesWith(const std::wstring& part) {
    Lines out;
    for (const std::wstring& l : CapturedDebugLines()) {
        if (l.find(part) != std::wstring::npos) out.push_back(l);
    }
    return out;
}

bool ContainsRun(const Lines& lines, const Lines& run) {
    if (run.empty()) return true;
    for (size_t i = 0; i + run.size() <= lines.size(); ++i) {
        size_t j = 0;
        while (j < run.size() && lines[i + j] == run[j]) ++j;
        if (j == run.size()) return true;
    }
    return false;
}

std::string Show(const Lines& lines) {
    std::string out;
    for (const std::wstring& l : lines) {
        out += "\n  [";
        for (wchar_t c : l) {
            if (c == L'\r') {
                out += "\\r";
            } else if (c == L'\n') {
                out += "\\n";
            } else {
                out += c < 128 ? static_cast<char>(c) : '?';
            }
        }
        out += "]";
    }
    return out;
}
