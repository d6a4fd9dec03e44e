// The pieces of the record format: JSON strings from wide text, hex bytes,
// and which paths name devices (whose bytes are recorded) and which name
// files (whose bytes are not).
#include "json_lines.h"
#include "os_trace.h"

#include <gtest/gtest.h>

TEST(TraceFormat, WideTextBecomesAnEscapedUtf8JsonString) {
    struct Case {
        const char* name;
        std::wstring text;
        std::string json;
    } cases[] = {
        {"plain", L"DoDownload --", "\"DoDownload --\""},
        {"empty", L"", "\"\""},
        {"quote and backslash", L"a \"b\" \\\\?\\usb#", "\"a \\\"b\\\" \\\\\\\\?\\\\usb#\""},
        {"line ends and tab", L"x\r\n\ty", "\"x\\r\\n\\ty\""},
        {"backspace and form feed", L"\b\f", "\"\\b\\f\""},
        {"other control characters", std::wstring{0x01, 0x1F, 0x7F}, "\"\\u0001\\u001f\x7F\""},
        {"embedded NUL", std::wstring(L"a\0b", 3), "\"a\\u0000b\""},
        {"two-byte UTF-8", L"\u00e9", "\"\xC3\xA9\""},
        {"three-byte UTF-8", L"\u20AC\u2713", "\"\xE2\x82\xAC\xE2\x9C\x93\""},
        {"surrogate pair", std::wstring{0xD83D, 0xDE00}, "\"\xF0\x9F\x98\x80\""},
        {"lone high surrogate", std::wstring{L'a', 0xD800, L'b'}, "\"a\xEF\xBF\xBD" "b\""},
        {"high surrogate at the end", std::wstring{L'a', 0xDBFF}, "\"a\xEF\xBF\xBD\""},
        {"lone low surrogate", std::wstring{0xDC00, L'z'}, "\"\xEF\xBF\xBDz\""},
        {"reversed pair", std::wstring{0xDE00, 0xD83D}, "\"\xEF\xBF\xBD\xEF\xBF\xBD\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string json = ostrace::JsonString(c.text.data(), c.text.size());
        EXPECT_EQ(c.json, json);
        // And a strict reader takes it back.
        jsonl::Value v;
        std::string error;
        ASSERT_TRUE(jsonl::Parse(json, &v, &error)) << error;
        EXPECT_EQ(jsonl::Value::String, v.kind);
    }
}

TEST(TraceFormat, BytesAreLowerCaseHexPairs) {
    const BYTE bytes[] = {0x00, 0x0F, 0xA5, 0xFF, 0x10};
    EXPECT_EQ("000fa5ff10", ostrace::Hex(bytes, sizeof bytes));
    EXPECT_EQ("", ostrace::Hex(bytes, 0));
}

TEST(TraceFormat, DevicePathsAreToldFromFilePaths) {
    struct Case {
        const wchar_t* path;
        bool device;
    } cases[] = {
        {L"\\\\?\\usb#vid_4a7e&pid_df00#sn12345678ab#{a5dcbf10-6530-11d2-901f-00c04fb951ed}", true},
        {L"\\\\?\\HID#VID_4A7E&PID_C05C&MI_02#7&2a8f41c&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}", true},
        {L"\\\\.\\COM3", true},
        {L"\\\\?\\GLOBALROOT\\Device\\Harddisk0", true},
        {L"\\\\?\\C:\\firmware\\camera.img", false},
        {L"\\\\?\\UNC\\server\\share\\camera.img", false},
        {L"\\\\?\\unc\\server\\share\\camera.img", false},
        {L"C:\\firmware\\camera.img", false},
        {L"camera.img", false},
        {L"\\\\server\\share\\camera.img", false},
        {L"\\\\?\\", false},
        {L"\\\\?", false},
        {L"", false},
        {nullptr, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path ? jsonl::Narrow(c.path) : std::string("(null)"));
        EXPECT_EQ(c.device, ostrace::IsDevicePath(c.path));
    }
}

TEST(TraceFormat, TheTestsOwnReaderRefusesWhatIsNotJson) {
    // The checker of the other tests must be able to fail.
    const char* bad[] = {
        "{\"a\":1,}",  "{\"a\" 1}",       "{\"a\":01}",          "{\"a\":\"\x01\"}", "{\"a\":\"\\x\"}",
        "{\"a\":1} x", "{\"a\":\"\xC3\"}", "{\"a\":\"\xED\xA0\x80\"}", "{\"a\":\"\\ud800\"}", "{\"a\":1,\"a\":2}",
        "[1,2",        "",
    };
    for (const char* text : bad) {
        SCOPED_TRACE(text);
        jsonl::Value v;
        std::string error;
        EXPECT_FALSE(jsonl::Parse(text, &v, &error));
        EXPECT_FALSE(error.empty());
    }
    jsonl::Value v;
    std::string error;
    const char* good = "{\"t\":0.125,\"x\":[true,null,\"\\u00e9\\ud83d\\ude00\"],\"n\":-1e3}";
    ASSERT_TRUE(jsonl::Parse(good, &v, &error)) << error;
    EXPECT_EQ(0.125, v.Num("t"));
    EXPECT_EQ(-1000, v.Num("n"));
    EXPECT_EQ("\xC3\xA9\xF0\x9F\x98\x80", v.Find("x")->items[2].text);
}
