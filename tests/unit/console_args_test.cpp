// The console program's command line, its JSON texts and its progress line.
#include <gtest/gtest.h>

#include "console_args.h"

namespace {

using console::Command;

TEST(ConsoleArgs, CommandLines) {
    struct Case {
        std::vector<std::wstring> args;
        bool good;
        Command command;
        std::wstring firmware, camera;
        bool all, json, force;
    } cases[] = {
        {{L"list", L"--json"}, true, Command::List, L"", L"", false, true, false},
        {{L"version", L"--camera", L"SN1"}, true, Command::ReadVersion, L"", L"SN1", false, false, false},
        {{L"update", L"--all", L"f.img", L"--force"}, true, Command::Update, L"f.img", L"", true, false, true},
        {{L"update", L"f.img", L"--camera", L"Port_#0002.Hub_#0003"}, true, Command::Update, L"f.img",
         L"Port_#0002.Hub_#0003", false, false, false},
        {{L"reset"}, true, Command::Reset, L"", L"", false, false, false},
        {{L"--help"}, true, Command::Help, L"", L"", false, false, false},
        {{L"--version"}, true, Command::Version, L"", L"", false, false, false},
        {{}, false},
        {{L"flash", L"f.img"}, false},
        {{L"update"}, false},                                          // no file
        {{L"update", L"a.img", L"b.img"}, false},                      // two files
        {{L"update", L"f.img", L"--camera"}, false},                   // no value
        {{L"update", L"f.img", L"--camera", L"--all"}, false},         // an option for a value
        {{L"update", L"f.img", L"--all", L"--camera", L"SN1"}, false}, // both
        {{L"update", L"f.img", L"--camera", L"A", L"--camera", L"B"}, false},
        {{L"list", L"--camera", L"SN1"}, false},
        {{L"reset", L"--all"}, false},
        {{L"version", L"--force"}, false},
        {{L"--help", L"list"}, false},
    };
    for (const Case& c : cases) {
        console::Arguments a;
        a.json = true;  // replaced by the result either way
        const std::wstring error = console::ParseArguments(c.args, &a);
        std::wstring line;
        for (const auto& w : c.args) line += w + L" ";
        EXPECT_EQ(error.empty(), c.good) << std::string(line.begin(), line.end());
        if (!c.good) {
            EXPECT_FALSE(a.json);  // the default
            continue;
        }
        EXPECT_EQ(a.command, c.command);
        EXPECT_EQ(a.firmware, c.firmware);
        EXPECT_EQ(a.camera, c.camera);
        EXPECT_EQ(a.all, c.all);
        EXPECT_EQ(a.json, c.json);
        EXPECT_EQ(a.force, c.force);
    }
}

TEST(ConsoleArgs, JsonTextsAndTheProgressLine) {
    EXPECT_EQ(console::JsonString("a\"b\\c\r\n\t\x01\x7f\xc3\xa9"), "\"a\\\"b\\\\c\\r\\n\\t\\u0001\\u007f\xc3\xa9\"");
    EXPECT_EQ(console::JsonObject().Add("n", 5LL).Add("ok", false).Add("s", 1.25).AddRaw("v", "null").Text(),
              "{\"n\":5,\"ok\":false,\"s\":1.2,\"v\":null}");
    struct Case {
        console::Progress p;
        const char* line;
    } cases[] = {
        {{"writing part 1", 0, 0, 1500, 0, 0}, "writing part 1  0:01 elapsed"},
        {{"writing part 2", 250, 1000, 65000, 10000, 100}, "writing part 2  25 %  250/1000 blocks  1:05 elapsed  1:15 left"},
        {{"writing part 2", 1000, 1000, 3723000, 10000, 100}, "writing part 2  100 %  1000/1000 blocks  1:02:03 elapsed  0:00 left"},
        {{"writing part 2", 40, 1000, 2000, 0, 0}, "writing part 2  4 %  40/1000 blocks  0:02 elapsed"},
    };
    for (const Case& c : cases) EXPECT_EQ(console::ProgressLine(c.p), c.line);
}

}  // namespace
