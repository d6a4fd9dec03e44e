#include "json_lines.h"

#include <cstdlib>

namespace jsonl {

namespace {

class Parser {
public:
    Parser(const std::string& s, std::string* error) : s_(s), error_(error) {}

    bool Run(Value* v) {
        if (!ParseValue(v, 0)) return false;
        SkipSpace();
        return at_ == s_.size() || Error("trailing text");
    }

private:
    bool Error(const std::string& what) {
        if (error_ && error_->empty()) *error_ = what + " at byte " + std::to_string(at_);
        return false;
    }
    bool More() const { return at_ < s_.size(); }
    char Peek() const { return More() ? s_[at_] : '\0'; }
    void SkipSpace() {
        while (More() && (Peek() == ' ' || Peek() == '\t' || Peek() == '\n' || Peek() == '\r')) ++at_;
    }
    bool Expect(char c) {
        SkipSpace();
        if (Peek() != c) return Error(std::string("expected '") + c + "'");
        ++at_;
        return true;
    }

    bool ParseValue(Value* v, int depth) {
        if (depth > 64) return Error("too deep");
        SkipSpace();
        switch (Peek()) {
            case '{': return ParseObject(v, depth);
            case '[': return ParseArray(v, depth);
            case '"': v->kind = Value::String; return ParseString(&v->text);
            case 't': v->kind = Value::Bool; v->boolean = true; return Word("true");
            case 'f': v->kind = Value::Bool; return Word("false");
            case 'n': v->kind = Value::Null; return Word("null");
            default: return ParseNumber(v);
        }
    }
    bool Word(const char* w) {
        for (const char* p = w; *p; ++p, ++at_)
            if (Peek() != *p) return Error("bad literal");
        return true;
    }
    bool ParseObject(Value* v, int depth) {
        v->kind = Value::Object;
        ++at_;
        SkipSpace();
        if (Peek() == '}') return ++at_, true;
        for (;;) {
            SkipSpace();
            if (Peek() != '"') return Error("expected a member name");
            std::string key;
            if (!ParseString(&key) || !Expect(':')) return false;
            for (const auto& m : v->members)
                if (m.first == key) return Error("duplicate member " + key);
            Value member;
            if (!ParseValue(&member, depth + 1)) return false;
            v->members.emplace_back(key, std::move(member));
            SkipSpace();
            if (Peek() == ',') { ++at_; continue; }
            if (Peek() == '}') return ++at_, true;
            return Error("expected ',' or '}'");
        }
    }
    bool ParseArray(Value* v, int depth) {
        v->kind = Value::Array;
        ++at_;
        SkipSpace();
        if (Peek() == ']') return ++at_, true;
        for (;;) {
            Value item;
            if (!ParseValue(&item, depth + 1)) return false;
            v->items.push_back(std::move(item));
            SkipSpace();
            if (Peek() == ',') { ++at_; continue; }
            if (Peek() == ']') return ++at_, true;
            return Error("expected ',' or ']'");
        }
    }
    bool ParseHex4(unsigned* u) {
        *u = 0;
        for (int i = 0; i < 4; ++i) {
            const char c = Peek();
            int d = (c >= '0' && c <= '9') ? c - '0' : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                                                     : (c >= 'A' && c <= 'F') ? c - 'A' + 10 : -1;
            if (d < 0) return Error("bad \\u escape");
            *u = *u * 16 + static_cast<unsigned>(d);
            ++at_;
        }
        return true;
    }
    static void Put(std::string* out, unsigned c) {
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
    // One UTF-8 sequence, checked: no overlong forms, no surrogates, nothing
    // above U+10FFFF.
    bool CopyUtf8(std::string* out) {
        const unsigned char lead = static_cast<unsigned char>(Peek());
        int extra;
        unsigned c;
        if (lead < 0x80) {
            extra = 0;
            c = lead;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            extra = 1;
            c = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            extra = 2;
            c = lead & 0x0F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            extra = 3;
            c = lead & 0x07;
        } else {
            return Error("invalid UTF-8 lead byte");
        }
        const size_t start = at_++;
        for (int i = 0; i < extra; ++i) {
            const unsigned char b = static_cast<unsigned char>(Peek());
            if ((b & 0xC0) != 0x80) return Error("invalid UTF-8 continuation");
            c = (c << 6) | (b & 0x3F);
            ++at_;
        }
        if ((extra == 2 && c < 0x800) || (extra == 3 && (c < 0x10000 || c > 0x10FFFF)))
            return Error("overlong or out-of-range UTF-8");
        if (c >= 0xD800 && c <= 0xDFFF) return Error("UTF-8 encoded surrogate");
        out->append(s_, start, at_ - start);
        return true;
    }
    bool ParseString(std::string* out) {
        ++at_;
        for (;;) {
            if (!More()) return Error("unterminated string");
            const unsigned char c = static_cast<unsigned char>(Peek());
            if (c == '"') return ++at_, true;
            if (c < 0x20) return Error("raw control character in a string");
            if (c != '\\') {
                if (!CopyUtf8(out)) return false;
                continue;
            }
            ++at_;
            const char e = Peek();
            ++at_;
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
                    unsigned u;
                    if (!ParseHex4(&u)) return false;
                    if (u >= 0xDC00 && u <= 0xDFFF) return Error("lone low surrogate");
                    if (u >= 0xD800 && u <= 0xDBFF) {
                        unsigned low;
                        if (Peek() != '\\' || (++at_, Peek() != 'u') || (++at_, !ParseHex4(&low)) || low < 0xDC00 ||
                            low > 0xDFFF)
                            return Error("lone high surrogate");
                        u = 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00);
                    }
                    Put(out, u);
                    break;
                }
                default: return Error("bad escape");
            }
        }
    }
    bool ParseNumber(Value* v) {
        const size_t start = at_;
        if (Peek() == '-') ++at_;
        if (Peek() == '0') {
            ++at_;
        } else if (Peek() >= '1' && Peek() <= '9') {
            while (Peek() >= '0' && Peek() <= '9') ++at_;
        } else {
            return Error("expected a value");
        }
        if (Peek() == '.') {
            ++at_;
            if (!(Peek() >= '0' && Peek() <= '9')) return Error("bad fraction");
            while (Peek() >= '0' && Peek() <= '9') ++at_;
        }
        if (Peek() == 'e' || Peek() == 'E') {
            ++at_;
            if (Peek() == '+' || Peek() == '-') ++at_;
            if (!(Peek() >= '0' && Peek() <= '9')) return Error("bad exponent");
            while (Peek() >= '0' && Peek() <= '9') ++at_;
        }
        v->kind = Value::Number;
        v->number = std::strtod(s_.substr(start, at_ - start).c_str(), nullptr);
        return true;
    }

    const std::string& s_;
    std::string* error_;
    size_t at_ = 0;
};

}  // namespace

const Value* Value::Find(const std::string& key) const {
    for (const auto& m : members)
        if (m.first == key) return &m.second;
    return nullptr;
}

std::string Value::Str(const std::string& key) const {
    const Value* v = Find(key);
    return v && v->kind == String ? v->text : std::string();
}

double Value::Num(const std::string& key) const {
    const Value* v = Find(key);
    return v && v->kind == Number ? v->number : -1;
}

std::wstring Value::WStr(const std::string& key) const { return Widen(Str(key)); }

bool Parse(const std::string& text, Value* out, std::string* error) {
    *out = Value();
    return Parser(text, error).Run(out);
}

std::vector<const Value*> Trace::Calls(const std::string& call) const {
    std::vector<const Value*> out;
    for (const Value& r : records)
        if (r.Str("call") == call) out.push_back(&r);
    return out;
}

Trace ReadTrace(const std::wstring& path) {
    Trace t;
    HANDLE f = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) {
        t.problems.push_back("the trace file cannot be opened (error " + std::to_string(::GetLastError()) + ")");
        return t;
    }
    char buffer[65536];
    DWORD n = 0;
    while (::ReadFile(f, buffer, sizeof buffer, &n, nullptr) && n > 0) t.raw.append(buffer, n);
    ::CloseHandle(f);
    if (!t.raw.empty() && t.raw.back() != '\n') t.problems.push_back("the last line has no line feed");
    size_t begin = 0, line = 0;
    while (begin < t.raw.size()) {
        size_t end = t.raw.find('\n', begin);
        if (end == std::string::npos) end = t.raw.size();
        const std::string text = t.raw.substr(begin, end - begin);
        begin = end + 1;
        ++line;
        Value v;
        std::string error;
        if (!Parse(text, &v, &error)) {
            t.problems.push_back("line " + std::to_string(line) + ": " + error + ": " + text.substr(0, 200));
            continue;
        }
        const Value* time = v.Find("t");
        const Value* tid = v.Find("tid");
        const Value* call = v.Find("call");
        if (v.kind != Value::Object || !time || time->kind != Value::Number || time->number < 0 || !tid ||
            tid->kind != Value::Number || !call || call->kind != Value::String) {
            t.problems.push_back("line " + std::to_string(line) + " lacks t, tid or call: " + text.substr(0, 200));
            continue;
        }
        t.records.push_back(std::move(v));
    }
    return t;
}

std::wstring Widen(const std::string& utf8) {
    if (utf8.empty()) return std::wstring();
    int n = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring w(static_cast<size_t>(n), L'\0');
    ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()), &w[0], n);
    return w;
}

std::string Narrow(const std::wstring& text) {
    if (text.empty()) return std::string();
    int n = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string s(static_cast<size_t>(n), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &s[0], n, nullptr, nullptr);
    return s;
}

std::string Hex(const std::vector<BYTE>& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (BYTE b : bytes) {
        s += digits[b >> 4];
        s += digits[b & 15];
    }
    return s;
}

std::wstring FreshTempPath(const wchar_t* prefix) {
    wchar_t dir[MAX_PATH], path[MAX_PATH];
    ::GetTempPathW(MAX_PATH, dir);
    ::GetTempFileNameW(dir, prefix, 0, path);
    ::DeleteFileW(path);
    return path;
}

}  // namespace jsonl
