#include "station_record.h"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace station {

namespace {

// ---- SHA-256 ----------------------------------------------------------------

const uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

uint32_t Rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

void Compress(uint32_t h[8], const uint8_t block[64]) {
    uint32_t w[64];
    for (int i = 0; i < 16; ++i)
        w[i] = uint32_t(block[4 * i]) << 24 | uint32_t(block[4 * i + 1]) << 16 | uint32_t(block[4 * i + 2]) << 8 |
               uint32_t(block[4 * i + 3]);
    for (int i = 16; i < 64; ++i) {
        uint32_t s0 = Rotr(w[i - 15], 7) ^ Rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
        uint32_t s1 = Rotr(w[i - 2], 17) ^ Rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], k = h[7];
    for (int i = 0; i < 64; ++i) {
        uint32_t t1 = k + (Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25)) + ((e & f) ^ (~e & g)) + kRound[i] + w[i];
        uint32_t t2 = (Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
        k = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    h[0] += a;
    h[1] += b;
    h[2] += c;
    h[3] += d;
    h[4] += e;
    h[5] += f;
    h[6] += g;
    h[7] += k;
}

// ---- text -------------------------------------------------------------------

void PutUtf8(std::string& out, uint32_t c) {
    if (c < 0x80) {
        out += char(c);
    } else if (c < 0x800) {
        out += char(0xC0 | (c >> 6));
        out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += char(0xE0 | (c >> 12));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    } else {
        out += char(0xF0 | (c >> 18));
        out += char(0x80 | ((c >> 12) & 0x3F));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    }
}

bool NeedsQuotes(const std::string& field) {
    if (field.empty()) return false;
    if (field.find_first_of(",\"\r\n") != std::string::npos) return true;
    auto blank = [](char c) { return c == ' ' || c == '\t'; };
    return blank(field.front()) || blank(field.back());
}

// Elapsed seconds with one decimal, whatever the C locale's decimal point.
std::string Seconds(double s) {
    if (!std::isfinite(s)) return std::string();
    char text[64];
    if (std::fabs(s) >= 1e15) {
        // No fraction to speak of; "%.0f" writes no decimal point.
        std::snprintf(text, sizeof text, "%.0f", s);
        return std::string(text) + ".0";
    }
    long long tenths = std::llround(s * 10);
    bool negative = tenths < 0;
    unsigned long long t = static_cast<unsigned long long>(tenths);
    if (negative) t = 0ULL - t;
    std::snprintf(text, sizeof text, "%s%llu.%llu", negative ? "-" : "", t / 10, t % 10);
    return text;
}

// ---- command line -----------------------------------------------------------

enum Switch {
    kStation, kResults, kCount, kTimeout, kSha256, kExpectVersion, kOperator, kLot, kRecover, kCameraTimeout,
    kParallel, kSwitches, kNone = kSwitches
};

const wchar_t* const kSwitchName[kSwitches] = {L"station", L"results",        L"count",    L"timeout", L"sha256",
                                               L"expect-version", L"operator", L"lot", L"recover",
                                               L"camera-timeout", L"parallel"};

// Which switch an argument is: "/" or "-" and the name in any case.
Switch SwitchOf(const std::wstring& arg) {
    if (arg.size() < 2 || (arg[0] != L'/' && arg[0] != L'-')) return kNone;
    for (int s = 0; s < kSwitches; ++s) {
        const wchar_t* name = kSwitchName[s];
        size_t n = std::wcslen(name);
        if (arg.size() != n + 1) continue;
        bool same = true;
        for (size_t i = 0; i < n && same; ++i) {
            wchar_t c = arg[i + 1];
            if (c >= L'A' && c <= L'Z') c = wchar_t(c - L'A' + L'a');
            same = c == name[i];
        }
        if (same) return Switch(s);
    }
    return kNone;
}

std::wstring Slash(Switch s) { return std::wstring(L"/") + kSwitchName[s]; }

// A whole number of decimal digits within [1, limit]; false for anything else.
bool ParseNumber(const std::wstring& text, unsigned limit, unsigned* value) {
    if (text.empty()) return false;
    unsigned long long v = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9') return false;
        v = v * 10 + unsigned(c - L'0');
        if (v > limit) return false;
    }
    if (v < 1) return false;
    *value = unsigned(v);
    return true;
}

// 64 hex digits in either case, kept in lower case.
bool ParseSha256(const std::wstring& text, std::string* out) {
    if (text.size() != 64) return false;
    std::string hex;
    for (wchar_t c : text) {
        if (c >= L'A' && c <= L'F') c = wchar_t(c - L'A' + L'a');
        if (!((c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f'))) return false;
        hex += char(c);
    }
    *out = hex;
    return true;
}

bool LetterOrDigit(wchar_t c) {
    return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z');
}

std::wstring MissingValue(Switch s) {
    switch (s) {
        case kStation: return L"/station needs the firmware file.";
        case kResults: return L"/results needs the results file.";
        case kCount: return L"/count needs a whole number from 1 to 100000.";
        case kSha256: return L"/sha256 needs the firmware file's SHA-256 (64 hex digits).";
        case kExpectVersion: return L"/expect-version needs the version the cameras must have afterwards.";
        case kOperator: return L"/operator needs the operator's name.";
        case kLot: return L"/lot needs the lot's text.";
        case kCameraTimeout: return L"/camera-timeout needs a whole number of seconds from 1 to 86400.";
        case kParallel: return L"/parallel needs a whole number of cameras from 1 to 16.";
        default: return L"/timeout needs a whole number of seconds from 1 to 86400.";
    }
}

std::wstring BadNumber(Switch s, const std::wstring& value) {
    if (s == kCount) return L"/count needs a whole number from 1 to 100000, not \"" + value + L"\".";
    if (s == kParallel) return L"/parallel needs a whole number of cameras from 1 to 16, not \"" + value + L"\".";
    if (s == kCameraTimeout)
        return L"/camera-timeout needs a whole number of seconds from 1 to 86400, not \"" + value + L"\".";
    return L"/timeout needs a whole number of seconds from 1 to 86400, not \"" + value + L"\".";
}

std::wstring Parse(const std::vector<std::wstring>& args, Arguments* out) {
    *out = Arguments();
    bool any = false;
    for (const std::wstring& a : args) any = any || SwitchOf(a) != kNone;
    if (!any) return std::wstring();  // the dialog, which ignores its arguments

    bool seen[kSwitches] = {};
    for (size_t i = 0; i < args.size(); ++i) {
        Switch s = SwitchOf(args[i]);
        if (s == kNone) return L"Unknown argument \"" + args[i] + L"\".";
        if (seen[s]) return Slash(s) + L" is given twice.";
        seen[s] = true;
        if (s == kRecover) {
            out->recover = true;
            continue;
        }
        // A value that is itself one of the switches means the value was left out.
        if (i + 1 >= args.size() || args[i + 1].empty() || SwitchOf(args[i + 1]) != kNone) return MissingValue(s);
        const std::wstring& value = args[++i];
        switch (s) {
            case kStation: out->firmware = value; break;
            case kResults: out->results = value; break;
            case kCount:
                if (!ParseNumber(value, 100000, &out->count)) return BadNumber(s, value);
                break;
            case kExpectVersion: out->expectVersion = value; break;
            case kOperator: out->operatorName = value; break;
            case kLot: out->lot = value; break;
            case kSha256:
                if (!ParseSha256(value, &out->sha256))
                    return L"/sha256 needs the firmware file's SHA-256 (64 hex digits), not \"" + value + L"\".";
                break;
            case kParallel:
                if (!ParseNumber(value, 16, &out->parallel)) return BadNumber(s, value);
                break;
            case kCameraTimeout:
                if (!ParseNumber(value, 86400, &out->cameraTimeoutSeconds)) return BadNumber(s, value);
                break;
            default:
                if (!ParseNumber(value, 86400, &out->timeoutSeconds)) return BadNumber(s, value);
                break;
        }
    }
    if (!seen[kStation]) return L"A station needs /station with the firmware file.";
    out->station = true;
    return std::wstring();
}

}  // namespace

std::string Sha256Hex(const uint8_t* data, size_t size) {
    uint32_t h[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    if (!data) size = 0;
    const uint64_t bits = uint64_t(size) * 8;
    size_t whole = size - size % 64;
    for (size_t at = 0; at < whole; at += 64) Compress(h, data + at);

    // The rest, the 0x80 marker, zeros and the length in bits: one block or two.
    uint8_t tail[128] = {};
    size_t rest = size - whole;
    if (rest) std::memcpy(tail, data + whole, rest);
    tail[rest] = 0x80;
    size_t tailSize = rest < 56 ? 64 : 128;
    for (int i = 0; i < 8; ++i) tail[tailSize - 1 - i] = uint8_t(bits >> (8 * i));
    for (size_t at = 0; at < tailSize; at += 64) Compress(h, tail + at);

    static const char kHex[] = "0123456789abcdef";
    char text[65];
    for (int i = 0; i < 32; ++i) {
        uint8_t b = uint8_t(h[i / 4] >> (24 - 8 * (i % 4)));
        text[2 * i] = kHex[b >> 4];
        text[2 * i + 1] = kHex[b & 15];
    }
    text[64] = 0;
    try {
        return text;
    } catch (...) {
        return std::string();
    }
}

std::string Utf8(const std::wstring& text) {
    try {
        std::string out;
        out.reserve(text.size());
        for (size_t i = 0; i < text.size(); ++i) {
            // wchar_t is 16 bits on Windows; where it is 32, a whole code point fits in one.
            uint32_t c = static_cast<uint32_t>(text[i]);
            if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size()) {
                uint32_t low = static_cast<uint32_t>(text[i + 1]);
                if (low >= 0xDC00 && low <= 0xDFFF) {
                    PutUtf8(out, 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00));
                    ++i;
                    continue;
                }
            }
            if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) c = 0xFFFD;
            PutUtf8(out, c);
        }
        return out;
    } catch (...) {
        return std::string();
    }
}

std::string CsvField(const std::string& field) {
    try {
        if (!NeedsQuotes(field)) return field;
        std::string out = "\"";
        for (char c : field) {
            if (c == '"') out += '"';
            out += c;
        }
        out += '"';
        return out;
    } catch (...) {
        return std::string();
    }
}

std::string CsvLine(const std::vector<std::string>& fields) {
    try {
        std::string out;
        for (size_t i = 0; i < fields.size(); ++i) {
            if (i) out += ',';
            out += CsvField(fields[i]);
        }
        out += "\r\n";
        return out;
    } catch (...) {
        return std::string();
    }
}

const char* ResultText(Result r) {
    switch (r) {
        case Result::Passed: return "passed";
        case Result::Skipped: return "skipped";
        case Result::Failed: break;
    }
    return "failed";
}

const char* const kHeader[kColumns] = {"time",         "computer",       "program_version", "firmware_file",
                                       "firmware_sha256", "model",        "vid_pid",         "unique_id",
                                       "port",         "version_before", "version_after",   "result",
                                       "failure",      "seconds",        "run_id",          "operator",
                                       "lot",          "verified"};

std::string CsvHeader() {
    try {
        return CsvLine(std::vector<std::string>(kHeader, kHeader + kColumns));
    } catch (...) {
        return std::string();
    }
}

std::string CsvRow(const Row& row, size_t columns) {
    try {
        std::vector<std::string> fields = {row.time, row.computer, row.programVersion, row.firmwareFile,
                                           row.firmwareSha256, row.model, row.vidPid, row.uniqueId, row.port,
                                           row.versionBefore, row.versionAfter, ResultText(row.result), row.failure,
                                           Seconds(row.seconds), row.runId, row.operatorName, row.lot,
                                           row.verified ? "verified" : "not verified"};
        if (columns < fields.size()) fields.resize(columns);
        return CsvLine(fields);
    } catch (...) {
        return std::string();
    }
}

size_t ColumnsOfHeader(const std::string& headerLine) {
    try {
        for (size_t n : {kColumns, kEarlierColumns}) {
            std::string line = CsvLine(std::vector<std::string>(kHeader, kHeader + n));
            line.resize(line.size() - 2);  // the CRLF
            if (line == headerLine) return n;
        }
    } catch (...) {
    }
    return 0;
}

std::string IsoTime(const LocalTime& t) {
    long long offset = t.offsetMinutes;
    char sign = offset < 0 ? '-' : '+';
    if (offset < 0) offset = -offset;
    char text[128];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d%c%02lld:%02lld", t.year, t.month, t.day, t.hour,
                  t.minute, t.second, sign, offset / 60, offset % 60);
    try {
        return text;
    } catch (...) {
        return std::string();
    }
}

std::wstring ParseArguments(const std::vector<std::wstring>& args, Arguments* out) {
    Arguments parsed;
    try {
        std::wstring error = Parse(args, &parsed);
        if (out) *out = error.empty() ? parsed : Arguments();
        return error;
    } catch (...) {
        // Out of memory: still not a good command line. One letter needs no allocation.
        if (out) *out = Arguments();
        return std::wstring(1, L'!');
    }
}

bool ModelFitsFileName(const std::wstring& model, const std::wstring& fileName) {
    if (model.empty()) return false;
    for (size_t at = fileName.find(model); at != std::wstring::npos; at = fileName.find(model, at + 1)) {
        const size_t end = at + model.size();
        if ((at == 0 || !LetterOrDigit(fileName[at - 1])) && (end == fileName.size() || !LetterOrDigit(fileName[end])))
            return true;
    }
    return false;
}

}  // namespace station
