#include "replay_trace.h"

#include <cstdio>
#include <cstdlib>
#include <map>

namespace sim {

namespace {

// ---------------------------------------------------------------- JSON

struct Json {
    enum Type { Null, Bool, Number, String, Array, Object };
    Type type = Null;
    bool boolean = false;
    double number = 0;
    std::string text;  // UTF-8
    std::vector<Json> items;
    std::vector<std::pair<std::string, Json>> members;

    const Json* Get(const char* key) const {
        for (const auto& m : members)
            if (m.first == key) return &m.second;
        return nullptr;
    }
};

class JsonReader {
public:
    explicit JsonReader(const std::string& s) : s_(s) {}

    bool Document(Json* out, std::string* error) {
        if (!Value(out, 0)) {
            *error = error_ + " at column " + std::to_string(pos_ + 1);
            return false;
        }
        Space();
        if (pos_ != s_.size()) {
            *error = "text after the value at column " + std::to_string(pos_ + 1);
            return false;
        }
        return true;
    }

private:
    bool Fail(const char* what) {
        if (error_.empty()) error_ = what;
        return false;
    }
    void Space() {
        while (pos_ < s_.size() && (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == '\r' || s_[pos_] == '\n')) ++pos_;
    }
    bool Literal(const char* word) {
        size_t n = std::char_traits<char>::length(word);
        if (s_.compare(pos_, n, word) != 0) return Fail("unknown literal");
        pos_ += n;
        return true;
    }
    bool Value(Json* v, int depth) {
        if (depth > 32) return Fail("nested too deeply");
        Space();
        if (pos_ >= s_.size()) return Fail("value expected");
        const char c = s_[pos_];
        if (c == '{') return ObjectValue(v, depth);
        if (c == '[') return ArrayValue(v, depth);
        if (c == '"') {
            v->type = Json::String;
            return StringValue(&v->text);
        }
        if (c == 't') {
            v->type = Json::Bool;
            v->boolean = true;
            return Literal("true");
        }
        if (c == 'f') {
            v->type = Json::Bool;
            return Literal("false");
        }
        if (c == 'n') return Literal("null");
        return NumberValue(v);
    }
    bool ObjectValue(Json* v, int depth) {
        v->type = Json::Object;
        ++pos_;
        Space();
        if (pos_ < s_.size() && s_[pos_] == '}') {
            ++pos_;
            return true;
        }
        for (;;) {
            Space();
            std::string key;
            if (pos_ >= s_.size() || s_[pos_] != '"') return Fail("member name expected");
            if (!StringValue(&key)) return false;
            Space();
            if (pos_ >= s_.size() || s_[pos_] != ':') return Fail("':' expected");
            ++pos_;
            Json member;
            if (!Value(&member, depth + 1)) return false;
            v->members.emplace_back(std::move(key), std::move(member));
            Space();
            if (pos_ < s_.size() && s_[pos_] == ',') {
                ++pos_;
                continue;
            }
            if (pos_ < s_.size() && s_[pos_] == '}') {
                ++pos_;
                return true;
            }
            return Fail("',' or '}' expected");
        }
    }
    bool ArrayValue(Json* v, int depth) {
        v->type = Json::Array;
        ++pos_;
        Space();
        if (pos_ < s_.size() && s_[pos_] == ']') {
            ++pos_;
            return true;
        }
        for (;;) {
            Json item;
            if (!Value(&item, depth + 1)) return false;
            v->items.push_back(std::move(item));
            Space();
            if (pos_ < s_.size() && s_[pos_] == ',') {
                ++pos_;
                continue;
            }
            if (pos_ < s_.size() && s_[pos_] == ']') {
                ++pos_;
                return true;
            }
            return Fail("',' or ']' expected");
        }
    }
    static void PutUtf8(std::string* out, unsigned long c) {
        if (c < 0x80) {
            *out += static_cast<char>(c);
        } else if (c < 0x800) {
            *out += static_cast<char>(0xC0 | (c >> 6));
            *out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            *out += static_cast<char>(0xE0 | (c >> 12));
            *out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            *out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            *out += static_cast<char>(0xF0 | (c >> 18));
            *out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            *out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            *out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    bool Hex4(unsigned long* v) {
        if (pos_ + 4 > s_.size()) return Fail("short \\u escape");
        *v = 0;
        for (int i = 0; i < 4; ++i) {
            const char c = s_[pos_++];
            *v <<= 4;
            if (c >= '0' && c <= '9') *v |= c - '0';
            else if (c >= 'a' && c <= 'f') *v |= c - 'a' + 10;
            else if (c >= 'A' && c <= 'F') *v |= c - 'A' + 10;
            else return Fail("bad \\u escape");
        }
        return true;
    }
    bool StringValue(std::string* out) {
        ++pos_;  // the opening quote
        while (pos_ < s_.size()) {
            const unsigned char c = static_cast<unsigned char>(s_[pos_++]);
            if (c == '"') return true;
            if (c < 0x20) return Fail("control character in a string");
            if (c != '\\') {
                *out += static_cast<char>(c);
                continue;
            }
            if (pos_ >= s_.size()) break;
            const char e = s_[pos_++];
            switch (e) {
                case '"': *out += '"'; break;
                case '\\': *out += '\\'; break;
                case '/': *out += '/'; break;
                case 'b': *out += '\b'; break;
                case 'f': *out += '\f'; break;
                case 'n': *out += '\n'; break;
                case 'r': *out += '\r'; break;
                case 't': *out += '\t'; break;
                case 'u': {
                    unsigned long u;
                    if (!Hex4(&u)) return false;
                    if (u >= 0xD800 && u <= 0xDBFF && s_.compare(pos_, 2, "\\u") == 0) {
                        pos_ += 2;
                        unsigned long low;
                        if (!Hex4(&low)) return false;
                        if (low < 0xDC00 || low > 0xDFFF) return Fail("unpaired surrogate");
                        u = 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00);
                    } else if (u >= 0xD800 && u <= 0xDFFF) {
                        return Fail("unpaired surrogate");
                    }
                    PutUtf8(out, u);
                    break;
                }
                default: return Fail("unknown escape");
            }
        }
        return Fail("unterminated string");
    }
    bool NumberValue(Json* v) {
        const size_t start = pos_;
        if (pos_ < s_.size() && s_[pos_] == '-') ++pos_;
        size_t digits = 0;
        while (pos_ < s_.size() && s_[pos_] >= '0' && s_[pos_] <= '9') ++pos_, ++digits;
        if (digits == 0) return Fail("value expected");
        if (pos_ < s_.size() && s_[pos_] == '.') {
            ++pos_;
            size_t fraction = 0;
            while (pos_ < s_.size() && s_[pos_] >= '0' && s_[pos_] <= '9') ++pos_, ++fraction;
            if (fraction == 0) return Fail("digits expected after '.'");
        }
        if (pos_ < s_.size() && (s_[pos_] == 'e' || s_[pos_] == 'E')) {
            ++pos_;
            if (pos_ < s_.size() && (s_[pos_] == '+' || s_[pos_] == '-')) ++pos_;
            size_t exponent = 0;
            while (pos_ < s_.size() && s_[pos_] >= '0' && s_[pos_] <= '9') ++pos_, ++exponent;
            if (exponent == 0) return Fail("digits expected in the exponent");
        }
        v->type = Json::Number;
        v->number = std::strtod(s_.substr(start, pos_ - start).c_str(), nullptr);
        return true;
    }

    const std::string& s_;
    size_t pos_ = 0;
    std::string error_;
};

// ---------------------------------------------------------------- fields

std::string Utf8(const std::wstring& w) {
    std::string out;
    for (size_t i = 0; i < w.size(); ++i) {
        unsigned long c = static_cast<unsigned short>(w[i]);
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < w.size()) {
            unsigned long low = static_cast<unsigned short>(w[i + 1]);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            }
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

// Device paths differ in case between SetupAPI and device-change messages.
bool SamePath(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

class LineError {
public:
    explicit LineError(size_t line) : line_(line) {}
    bool operator()(std::string* error, const std::string& what) const {
        if (error) *error = "trace line " + std::to_string(line_) + ": " + what;
        return false;
    }

private:
    size_t line_;
};

bool NumberField(const Json& record, const char* key, double* out) {
    const Json* v = record.Get(key);
    if (!v || v->type != Json::Number) return false;
    *out = v->number;
    return true;
}

bool UnsignedField(const Json& record, const char* key, DWORD* out) {
    double d;
    if (!NumberField(record, key, &d) || d < 0 || d > 4294967295.0) return false;
    *out = static_cast<DWORD>(d);
    return true;
}

// "0x00220020"
bool HexNumberField(const Json& record, const char* key, DWORD* out) {
    const Json* v = record.Get(key);
    if (!v || v->type != Json::String || v->text.size() < 3 || v->text.compare(0, 2, "0x") != 0) return false;
    char* end = nullptr;
    const unsigned long n = std::strtoul(v->text.c_str() + 2, &end, 16);
    if (!end || *end != 0) return false;
    *out = static_cast<DWORD>(n);
    return true;
}

bool BytesField(const Json& record, const char* key, std::vector<uint8_t>* out) {
    out->clear();
    const Json* v = record.Get(key);
    if (!v) return true;  // absent: no bytes
    if (v->type != Json::String || v->text.size() % 2 != 0) return false;
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    for (size_t i = 0; i < v->text.size(); i += 2) {
        const int hi = nibble(v->text[i]), lo = nibble(v->text[i + 1]);
        if (hi < 0 || lo < 0) return false;
        out->push_back(static_cast<uint8_t>(hi << 4 | lo));
    }
    return true;
}

bool KindOfCall(const std::string& call, ExchangeKind* kind) {
    static const struct {
        const char* name;
        ExchangeKind kind;
    } kCalls[] = {
        {"WinUsb_ControlTransfer", ExchangeKind::ControlTransfer},
        {"ReadFile", ExchangeKind::Read},
        {"WriteFile", ExchangeKind::Write},
        {"DeviceIoControl", ExchangeKind::DeviceIoControl},
        {"HidD_GetInputReport", ExchangeKind::GetInputReport},
        {"HidD_SetOutputReport", ExchangeKind::SetOutputReport},
    };
    for (const auto& c : kCalls) {
        if (call == c.name) {
            *kind = c.kind;
            return true;
        }
    }
    return false;
}

// The request fields of an exchange record (also repeated in the record of
// its completion).
bool ReadRequest(const Json& record, ExchangeKind kind, ReplayRequest* r, std::string* what) {
    r->kind = kind;
    if (!BytesField(record, "out", &r->out)) {
        *what = "\"out\" is not hex";
        return false;
    }
    switch (kind) {
        case ExchangeKind::ControlTransfer: {
            const Json* s = record.Get("setup");
            DWORD type, request, value, index, length;
            if (!s || s->type != Json::Object || !UnsignedField(*s, "type", &type) ||
                !UnsignedField(*s, "request", &request) || !UnsignedField(*s, "value", &value) ||
                !UnsignedField(*s, "index", &index) || !UnsignedField(*s, "length", &length)) {
                *what = "a control transfer without its setup fields";
                return false;
            }
            r->setup.RequestType = static_cast<UCHAR>(type);
            r->setup.Request = static_cast<UCHAR>(request);
            r->setup.Value = static_cast<USHORT>(value);
            r->setup.Index = static_cast<USHORT>(index);
            r->setup.Length = static_cast<USHORT>(length);
            r->length = length;
            return true;
        }
        case ExchangeKind::DeviceIoControl:
            if (!HexNumberField(record, "ioctl", &r->ioctl) || !UnsignedField(record, "length", &r->length)) {
                *what = "an I/O control request without its code or output size";
                return false;
            }
            return true;
        case ExchangeKind::GetInputReport:
        case ExchangeKind::SetOutputReport: {
            DWORD id;
            if (!UnsignedField(record, "report", &id) || !UnsignedField(record, "length", &r->length)) {
                *what = "a HID report without its ID or length";
                return false;
            }
            r->reportId = static_cast<int>(id);
            return true;
        }
        case ExchangeKind::Read:
        case ExchangeKind::Write:
            if (!UnsignedField(record, "length", &r->length)) {
                *what = "a read or write without its length";
                return false;
            }
            return true;
    }
    return false;
}

// The outcome of a finished request: result, error, count, reply bytes.
bool ReadOutcome(const Json& record, RecordedExchange* x, std::string* what) {
    DWORD result = 0;
    if (!UnsignedField(record, "result", &result)) {
        *what = "no result";
        return false;
    }
    x->error = ERROR_SUCCESS;
    if (!result && !UnsignedField(record, "error", &x->error)) {
        *what = "a failed request without its error";
        return false;
    }
    if (!result && x->error == ERROR_SUCCESS) x->error = ERROR_GEN_FAILURE;
    x->count = 0;
    UnsignedField(record, "count", &x->count);
    if (!BytesField(record, "in", &x->in)) {
        *what = "\"in\" is not hex";
        return false;
    }
    if (x->request.kind == ExchangeKind::GetInputReport || x->request.kind == ExchangeKind::SetOutputReport) {
        x->count = x->request.length;
    }
    return true;
}

// Errors Windows reports before a request reaches the device.
bool FailsInTheHost(DWORD error) {
    switch (error) {
        case ERROR_INVALID_HANDLE:
        case ERROR_INVALID_PARAMETER:
        case ERROR_ACCESS_DENIED:
        case ERROR_NOACCESS:
        case ERROR_INVALID_USER_BUFFER:
            return true;
        default:
            return false;
    }
}

std::string HexByte(unsigned v, int digits) {
    char b[12];
    std::snprintf(b, sizeof b, "0x%0*X", digits, v);
    return b;
}

}  // namespace

bool ParseDeviceTrace(const std::string& text, const std::wstring& devicePath, DeviceTrace* out, std::string* error) {
    *out = DeviceTrace();
    out->path = devicePath;
    const std::string path = Utf8(devicePath);
    std::map<std::string, size_t> pendingByOv;  // "ov" of a request that went pending -> its exchange
    bool present = true;
    size_t lineNumber = 0;
    size_t begin = 0;
    while (begin < text.size()) {
        size_t end = text.find('\n', begin);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(begin, end - begin);
        begin = end + 1;
        ++lineNumber;
        const LineError fail(lineNumber);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.find_first_not_of(" \t") == std::string::npos) continue;
        Json record;
        std::string why;
        if (!JsonReader(line).Document(&record, &why)) return fail(error, why);
        if (record.type != Json::Object) return fail(error, "not a JSON object");
        const Json* call = record.Get("call");
        const Json* dev = record.Get("dev");
        if (!call || call->type != Json::String) return fail(error, "a record without \"call\"");
        if (!dev || dev->type != Json::String || !SamePath(dev->text, path)) continue;
        double t = 0, dur = 0;
        NumberField(record, "t", &t);
        NumberField(record, "dur", &dur);

        if (call->text == "WM_DEVICECHANGE") {
            const Json* event = record.Get("event");
            if (!event || event->type != Json::String) continue;
            // A window registered twice (or two windows) gets each change
            // more than once: only a change of state counts.
            if (event->text == "removal" && present) {
                present = false;
                RecordedDeparture d;
                d.afterExchange = out->exchanges.size();
                d.t = t;
                out->departures.push_back(d);
            } else if (event->text == "arrival" && !present) {
                present = true;
                out->departures.back().returns = true;
                out->departures.back().absentMs = t - out->departures.back().t;
            }
            continue;
        }

        if (call->text == "GetOverlappedResult") {
            const Json* ov = record.Get("ov");
            if (!ov || ov->type != Json::String) continue;
            auto it = pendingByOv.find(ov->text);
            if (it == pendingByOv.end()) continue;
            RecordedExchange& x = out->exchanges[it->second];
            pendingByOv.erase(it);
            if (!ReadOutcome(record, &x, &why)) return fail(error, why);
            x.pendingMs = t + dur - x.t;
            if (x.pendingMs < 0) x.pendingMs = 0;
            continue;
        }

        ExchangeKind kind;
        if (!KindOfCall(call->text, &kind)) continue;
        RecordedExchange x;
        x.line = lineNumber;
        x.t = t;
        if (!ReadRequest(record, kind, &x.request, &why)) return fail(error, why);
        DWORD result = 0, err = 0;
        if (!UnsignedField(record, "result", &result)) return fail(error, "no result");
        UnsignedField(record, "error", &err);
        const Json* ov = record.Get("ov");
        if (!result && err == ERROR_IO_PENDING && ov && ov->type == Json::String) {
            x.pending = true;
            x.error = ERROR_IO_PENDING;  // until its completion is read
            pendingByOv[ov->text] = out->exchanges.size();
        } else if (!ReadOutcome(record, &x, &why)) {
            return fail(error, why);
        }
        if (!present || (!x.pending && FailsInTheHost(x.error))) {
            ++out->notDelivered;
            continue;
        }
        out->exchanges.push_back(std::move(x));
    }
    return true;
}

bool LoadDeviceTrace(const std::wstring& traceFile, const std::wstring& devicePath, DeviceTrace* out,
                     std::string* error) {
    HANDLE f = ::CreateFileW(traceFile.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) {
        if (error) *error = "the trace cannot be opened (error " + std::to_string(::GetLastError()) + ")";
        return false;
    }
    std::string text;
    char buffer[65536];
    DWORD n = 0;
    while (::ReadFile(f, buffer, sizeof buffer, &n, nullptr) && n > 0) text.append(buffer, n);
    ::CloseHandle(f);
    return ParseDeviceTrace(text, devicePath, out, error);
}

const char* ExchangeCallName(ExchangeKind kind) {
    switch (kind) {
        case ExchangeKind::ControlTransfer: return "WinUsb_ControlTransfer";
        case ExchangeKind::Read: return "ReadFile";
        case ExchangeKind::Write: return "WriteFile";
        case ExchangeKind::DeviceIoControl: return "DeviceIoControl";
        case ExchangeKind::GetInputReport: return "HidD_GetInputReport";
        case ExchangeKind::SetOutputReport: return "HidD_SetOutputReport";
    }
    return "?";
}

std::string DescribeRequest(const ReplayRequest& r) {
    std::string s = ExchangeCallName(r.kind);
    switch (r.kind) {
        case ExchangeKind::ControlTransfer:
            s += " type " + HexByte(r.setup.RequestType, 2) + " request " + HexByte(r.setup.Request, 2) + " value " +
                 HexByte(r.setup.Value, 4) + " index " + HexByte(r.setup.Index, 4) + " length " +
                 std::to_string(r.setup.Length);
            break;
        case ExchangeKind::DeviceIoControl:
            s += " code " + HexByte(r.ioctl, 8) + ", room for " + std::to_string(r.length);
            break;
        case ExchangeKind::GetInputReport:
        case ExchangeKind::SetOutputReport:
            s += " report " + HexByte(static_cast<unsigned>(r.reportId), 2) + " length " + std::to_string(r.length);
            break;
        case ExchangeKind::Read:
        case ExchangeKind::Write:
            s += " length " + std::to_string(r.length);
            break;
    }
    if (!r.out.empty()) s += ", " + std::to_string(r.out.size()) + " bytes out";
    return s;
}

}  // namespace sim
