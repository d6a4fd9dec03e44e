// What a station writes down about each camera, and how it is started: the
// results file's rows (the dialog's update history has the same ones), the
// firmware file's fingerprint, the command line.
// Pure: no OS, so it builds natively too (tests with the sanitizers).
// Nothing here throws: should memory run out, a text comes back empty (and
// ParseArguments' error text is not empty).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace station {

// SHA-256 of data, as 64 lower-case hex digits.
std::string Sha256Hex(const uint8_t* data, size_t size);

// UTF-16 (Windows wide text, surrogate pairs included) to UTF-8. A lone
// surrogate becomes U+FFFD.
std::string Utf8(const std::wstring& text);

// One field as RFC 4180 writes it: quoted when it holds a comma, a quote, a
// CR or an LF (or starts or ends with a blank), quotes doubled inside.
std::string CsvField(const std::string& field);
// Fields joined by commas, ending in CRLF.
std::string CsvLine(const std::vector<std::string>& fields);

// One camera handled by the station.
enum class Result { Passed, Failed, Skipped };
const char* ResultText(Result r);  // "passed", "failed", "skipped"

struct Row {
    std::string time;          // ISO 8601 with UTC offset (IsoTime)
    std::string computer;
    std::string programVersion;
    std::string firmwareFile;  // file name, no folder
    std::string firmwareSha256;
    std::string model;
    std::string vidPid;        // "4A7E:C110"
    std::string uniqueId;
    std::string port;
    std::string versionBefore;
    std::string versionAfter;
    Result result = Result::Failed;
    std::string failure;
    double seconds = 0;        // written with one decimal: "12.3"
    std::string runId;         // the same on every row of one station run
    std::string operatorName;  // /operator
    std::string lot;           // /lot
    bool verified = false;     // its version read back is the one expected
};

// The header line (CRLF at the end) and a row's line, in the same order:
// time, computer, program_version, firmware_file, firmware_sha256, model,
// vid_pid, unique_id, port, version_before, version_after, result, failure,
// seconds, run_id, operator, lot, verified ("verified" or "not verified").
// Files of earlier versions have the first kEarlierColumns of them; rows
// for such a file are written with as many (columns), so that it stays one
// table.
constexpr size_t kColumns = 18;
constexpr size_t kEarlierColumns = 14;
std::string CsvHeader();
std::string CsvRow(const Row& row, size_t columns = kColumns);
// How many of the columns a file has whose first line (without its CRLF) is
// headerLine: kColumns or kEarlierColumns, 0 for any other line.
size_t ColumnsOfHeader(const std::string& headerLine);

// A local time and its offset from UTC in minutes (east positive), as
// "2026-12-08T14:03:09+01:00" ("Z" is never used: the offset is always
// written, "+00:00" for UTC).
struct LocalTime {
    int year, month, day, hour, minute, second;
    int offsetMinutes;
};
std::string IsoTime(const LocalTime& t);

// The command line of a station:
//   /station <firmware file> [/results <csv file>] [/count <n>] [/timeout <seconds>]
//            [/sha256 <64 hex digits>] [/expect-version <v>] [/operator <name>] [/lot <text>]
//            [/recover]
// (/recover alone takes no value.)
// Switches are case-insensitive and may be written with "-" instead of "/";
// each at most once. count: 1..100000; timeout: 1..86400 seconds.
struct Arguments {
    bool station = false;      // false: no station switch at all (dialog mode)
    std::wstring firmware;
    std::wstring results;      // empty: the default file
    unsigned count = 0;        // 0: no limit
    unsigned timeoutSeconds = 0;  // 0: no limit
    unsigned cameraTimeoutSeconds = 600;  // a camera not done by then is stopped
    unsigned parallel = 4;     // cameras updated at once (1: one after another, in this program)
    std::string sha256;        // lower-case hex; empty: the file is not pinned
    std::wstring expectVersion;  // empty: any version read back passes
    std::wstring operatorName;
    std::wstring lot;
    bool recover = false;      // update-mode devices of no camera of this run are written too
};
// Parses the arguments after the program's name (as CommandLineToArgvW
// gives them). Returns an empty text when they are good, else what is wrong
// in one sentence for the operator, for instance
// "/count needs a whole number from 1 to 100000, not \"x\"."
// Arguments without any of the switches are dialog mode (station
// false, no error: the dialog takes no arguments and ignores them). Once one
// of the switches is there, every argument must belong to a well-formed
// station command line: /station with its file is required, an unknown
// argument, a missing or bad value or a repeated switch is an error.
std::wstring ParseArguments(const std::vector<std::wstring>& args, Arguments* out);

// Whether a firmware file's name names model as a whole: "Corvane_RX20" fits
// "Corvane_RX20_fw.img" and "v2-Corvane_RX20.img", "Corvane_RX2" fits
// neither (a letter or digit may not go on either side of it). An empty
// model fits nothing.
bool ModelFitsFileName(const std::wstring& model, const std::wstring& fileName);

}  // namespace station
