#include "console_args.h"

#include <cstdio>
#include <cstdlib>

namespace console {

namespace {

bool Is(const std::wstring& arg, const wchar_t* name) { return arg == name; }

std::wstring Parse(const std::vector<std::wstring>& args, Arguments* out) {
    if (args.empty()) return L"No command: say list, version, update or reset (corvane-fw --help).";
    const std::wstring& verb = args[0];
    if (Is(verb, L"--help") || Is(verb, L"-h") || Is(verb, L"/?") || Is(verb, L"help")) {
        out->command = Command::Help;
        return args.size() == 1 ? L"" : L"--help takes nothing after it.";
    }
    if (Is(verb, L"--version")) {
        out->command = Command::Version;
        return args.size() == 1 ? L"" : L"--version takes nothing after it.";
    }
    if (Is(verb, L"list")) out->command = Command::List;
    else if (Is(verb, L"version")) out->command = Command::ReadVersion;
    else if (Is(verb, L"update")) out->command = Command::Update;
    else if (Is(verb, L"reset")) out->command = Command::Reset;
    else return L"Unknown command \"" + verb + L"\": say list, version, update or reset.";

    const Command c = out->command;
    bool cameraGiven = false;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::wstring& a = args[i];
        auto value = [&](std::wstring* to) -> std::wstring {
            if (i + 1 >= args.size() || args[i + 1].empty() || args[i + 1].rfind(L"--", 0) == 0)
                return a + L" needs a value.";
            *to = args[++i];
            return L"";
        };
        std::wstring wrong;
        if (Is(a, L"--json")) {
            out->json = true;
        } else if (Is(a, L"--log")) {
            wrong = value(&out->log);
        } else if (Is(a, L"--camera") && c != Command::List) {
            if (cameraGiven) return L"--camera is given twice.";
            cameraGiven = true;
            wrong = value(&out->camera);
        } else if (Is(a, L"--all") && c == Command::Update) {
            out->all = true;
        } else if (Is(a, L"--force") && c == Command::Update) {
            out->force = true;
        } else if (Is(a, L"--expect-version") && c == Command::Update) {
            wrong = value(&out->expectVersion);
        } else if ((Is(a, L"--wait") || Is(a, L"--camera-timeout")) && c == Command::Update) {
            std::wstring text;
            wrong = value(&text);
            unsigned long long n = 0;
            for (wchar_t ch : text) n = (ch >= L'0' && ch <= L'9' && n <= 86400) ? n * 10 + unsigned(ch - L'0') : 99999999;
            if (wrong.empty() && (text.empty() || n < 1 || n > 86400))
                return a + L" needs a whole number of seconds from 1 to 86400.";
            (Is(a, L"--wait") ? out->waitSeconds : out->cameraTimeoutSeconds) = static_cast<unsigned>(n);
        } else if (Is(a, L"--sha256") && c == Command::Update) {
            std::wstring text;
            wrong = value(&text);
            for (wchar_t ch : text) {
                if (ch >= L'A' && ch <= L'F') ch = wchar_t(ch - L'A' + L'a');
                if (!((ch >= L'0' && ch <= L'9') || (ch >= L'a' && ch <= L'f'))) return L"--sha256 needs 64 hex digits.";
                out->sha256 += char(ch);
            }
            if (wrong.empty() && out->sha256.size() != 64) return L"--sha256 needs 64 hex digits.";
        } else if (Is(a, L"--worker") && c == Command::Update) {
            out->worker = true;
        } else if (a.rfind(L"--", 0) != 0 && c == Command::Update && out->firmware.empty()) {
            out->firmware = a;
        } else {
            return L"\"" + a + L"\" is not an argument of " + args[0] + L".";
        }
        if (!wrong.empty()) return wrong;
    }
    if (c == Command::Update && out->firmware.empty()) return L"update needs the firmware file.";
    if (out->all && cameraGiven) return L"--camera and --all cannot be given together.";
    return L"";
}

void AppendUtf8Escaped(std::string* to, const std::string& s) {
    static const char hex[] = "0123456789abcdef";
    for (unsigned char ch : s) {
        switch (ch) {
            case '"': *to += "\\\""; break;
            case '\\': *to += "\\\\"; break;
            case '\n': *to += "\\n"; break;
            case '\r': *to += "\\r"; break;
            case '\t': *to += "\\t"; break;
            default:
                if (ch < 0x20 || ch == 0x7F) {
                    *to += "\\u00";
                    *to += hex[ch >> 4];
                    *to += hex[ch & 15];
                } else {
                    *to += static_cast<char>(ch);
                }
        }
    }
}

}  // namespace

std::wstring ParseArguments(const std::vector<std::wstring>& args, Arguments* out) {
    Arguments parsed;
    try {
        std::wstring error = Parse(args, &parsed);
        if (out) *out = error.empty() ? parsed : Arguments();
        return error;
    } catch (...) {
        if (out) *out = Arguments();
        return std::wstring(1, L'!');
    }
}

const wchar_t* UsageText() {
    return L"Usage:\n"
           L"  corvane-fw list [--json]\n"
           L"  corvane-fw version [--camera <serial or port>] [--json]\n"
           L"  corvane-fw update <firmware file> [--camera <serial or port> | --all] [--expect-version <v>]\n"
           L"                    [--force] [--json] [--log <file>] [--wait <seconds>] [--camera-timeout <seconds>]\n"
           L"                    [--sha256 <hex>]\n"
           L"  corvane-fw reset [--camera <serial or port>] [--json]\n"
           L"  corvane-fw --help | --version\n"
           L"\n"
           L"Exit codes: 0 done (and verified where --expect-version was given), 1 an update failed,\n"
           L"2 no fitting camera, 3 more than one camera and no choice, 4 bad command line or\n"
           L"unreadable file, 5 refused (the model does not fit, the version read back differs).\n";
}

std::string JsonString(const std::string& utf8) {
    std::string out = "\"";
    AppendUtf8Escaped(&out, utf8);
    return out + "\"";
}

std::string JsonMember(const std::string& line, const char* key) {
    const std::string quoted = JsonString(key) + ":";
    const size_t at = line.rfind(quoted);
    if (at == std::string::npos) return "";
    size_t i = at + quoted.size();
    if (i >= line.size()) return "";
    if (line[i] != '"') return line.substr(i, line.find_first_of(",}", i) - i);
    std::string out;
    for (++i; i < line.size() && line[i] != '"'; ++i) {
        char c = line[i];
        if (c == '\\' && i + 1 < line.size()) {
            c = line[++i];
            if (c == 'n') c = '\n';
            else if (c == 'r') c = '\r';
            else if (c == 't') c = '\t';
            else if (c == 'u' && i + 4 < line.size()) {
                c = static_cast<char>(std::strtol(line.substr(i + 1, 4).c_str(), nullptr, 16) & 0x7F);
                i += 4;
            }
        }
        out += c;
    }
    return out;
}

void JsonObject::Key(const char* key) {
    if (text_.size() > 1) text_ += ",";
    text_ += JsonString(key) + ":";
}

JsonObject& JsonObject::Add(const char* key, const std::string& utf8) {
    Key(key);
    text_ += JsonString(utf8);
    return *this;
}

JsonObject& JsonObject::Add(const char* key, long long number) {
    Key(key);
    text_ += std::to_string(number);
    return *this;
}

JsonObject& JsonObject::Add(const char* key, double number) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f", number);
    Key(key);
    text_ += buf;
    return *this;
}

JsonObject& JsonObject::Add(const char* key, bool value) {
    Key(key);
    text_ += value ? "true" : "false";
    return *this;
}

JsonObject& JsonObject::AddRaw(const char* key, const std::string& json) {
    Key(key);
    text_ += json;
    return *this;
}

std::string ClockText(uint64_t ms) {
    const uint64_t s = ms / 1000;
    char buf[32];
    if (s >= 3600)
        std::snprintf(buf, sizeof buf, "%llu:%02llu:%02llu", static_cast<unsigned long long>(s / 3600),
                      static_cast<unsigned long long>(s / 60 % 60), static_cast<unsigned long long>(s % 60));
    else
        std::snprintf(buf, sizeof buf, "%llu:%02llu", static_cast<unsigned long long>(s / 60),
                      static_cast<unsigned long long>(s % 60));
    return buf;
}

unsigned PercentOf(const Progress& p) {
    if (p.total == 0) return 0;
    const uint32_t blocks = p.blocks > p.total ? p.total : p.blocks;
    return static_cast<unsigned>(static_cast<uint64_t>(blocks) * 100 / p.total);
}

std::string ProgressLine(const Progress& p) {
    std::string line = p.phase;
    if (p.total != 0) {
        line += "  " + std::to_string(PercentOf(p)) + " %  " + std::to_string(p.blocks) + "/" +
                std::to_string(p.total) + " blocks";
    }
    line += "  " + ClockText(p.elapsedMs) + " elapsed";
    if (p.total != 0 && p.partBlocks > 0 && p.partMs > 0 && p.blocks <= p.total) {
        const uint64_t left = p.partMs * (p.total - p.blocks) / p.partBlocks;
        line += "  " + ClockText(left) + " left";
    }
    return line;
}

}  // namespace console
