// The console program's command line, its exit codes and the texts it
// prints: progress lines and JSON events.
// Pure: no OS, so it builds natively too.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace console {

// Exit codes of corvane-fw.exe.
constexpr int kDone = 0;           // done (and verified where a version was expected)
constexpr int kFailed = 1;         // an update (or a reset) failed
constexpr int kNoCamera = 2;       // no fitting camera
constexpr int kAmbiguous = 3;      // more than one camera and no choice
constexpr int kBadCommand = 4;     // a bad command line or an unreadable file
constexpr int kRefused = 5;        // refused: the model does not fit, the version read back is not the expected one

enum class Command { Help, Version, List, ReadVersion, Update, Reset };

struct Arguments {
    Command command = Command::Help;
    std::wstring firmware;       // update: the firmware file
    std::wstring camera;         // --camera: a USB serial or a port
    bool all = false;            // --all
    bool json = false;           // --json
    bool force = false;          // --force: a file whose model does not fit
    std::wstring expectVersion;  // --expect-version
    std::string sha256;          // --sha256: the file's SHA-256 must be this (lower-case hex)
    std::wstring log;            // --log: the diagnostic lines go there too
    unsigned waitSeconds = 0;    // --wait: how long the named camera may take to be connected
    unsigned cameraTimeoutSeconds = 0;  // --camera-timeout: an update not done by then is given up (0: none)
    // --worker: started by a station for one of its cameras (the station is
    // the program that runs; its diagnostic lines carry the camera's name).
    bool worker = false;
};

// The arguments after the program's name. Returns "" when they are good,
// else what is wrong with them (*out is then the default).
std::wstring ParseArguments(const std::vector<std::wstring>& args, Arguments* out);
// The text of --help.
const wchar_t* UsageText();

// A JSON string (quoted, escaped) of UTF-8 text.
std::string JsonString(const std::string& utf8);
// The value of the last member `key` in one line of this program's JSON:
// a string unescaped, anything else as it stands; "" when there is none.
std::string JsonMember(const std::string& line, const char* key);

// One JSON object, its members in the order they are added.
class JsonObject {
public:
    JsonObject& Add(const char* key, const std::string& utf8);
    JsonObject& Add(const char* key, const char* utf8) { return Add(key, std::string(utf8)); }
    JsonObject& Add(const char* key, long long number);
    JsonObject& Add(const char* key, double number);
    JsonObject& Add(const char* key, bool value);
    // A member whose value is JSON text already (an object or an array).
    JsonObject& AddRaw(const char* key, const std::string& json);
    std::string Text() const { return text_ + "}"; }

private:
    void Key(const char* key);
    std::string text_ = "{";
};

// "1:05" (minutes and seconds), "1:02:05" from an hour on.
std::string ClockText(uint64_t ms);

// The progress of a part being written, as one line: phase, percent, blocks,
// elapsed time and time left (estimated from the blocks sent over partMs;
// none before two looks at the part).
struct Progress {
    std::string phase;        // "writing part 2"
    uint32_t blocks = 0;      // sent of this part
    uint32_t total = 0;       // of this part, 0 when not known yet
    uint64_t elapsedMs = 0;   // since the update started
    uint64_t partMs = 0;      // over which partBlocks were sent
    uint32_t partBlocks = 0;
};
unsigned PercentOf(const Progress& p);
std::string ProgressLine(const Progress& p);

}  // namespace console
