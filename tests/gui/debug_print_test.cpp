// The updater's diagnostic output.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "debug_print.h"
#include "sim_world.h"

TEST(DebugPrint, FormatsBoundsAndSwitchesOff) {
    sim::Reset();
    struct Case {
        const char* name;
        std::function<void()> call;
        std::vector<std::wstring> lines;
    } cases[] = {
        {"switched off", [] { DebugPrint(0, L"never %d\r\n", 1); }, {}},
        {"wide and narrow strings, numbers", [] { DebugPrint(1, L"%s|%S|%d|%02X|%c\r\n", L"w", "n", -5, 10, L'x'); },
         {L"w|n|-5|0A|x\r\n"}},
        {"a long line is cut to 2046 characters",
         [] { DebugPrint(1, L"%s", std::wstring(5000, L'a').c_str()); }, {std::wstring(2046, L'a')}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sim::ClearDebugLines();
        c.call();
        std::vector<std::wstring> got;
        for (const auto& l : sim::DebugLines()) got.push_back(l.text);
        EXPECT_EQ(c.lines, got);
    }
}
