// The tests' own reading of a trace file: a strict JSON parser (RFC 8259,
// UTF-8 checked byte by byte) written apart from the simulator's, so that a
// fault in one does not hide a fault in the other.
#pragma once

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

namespace jsonl {

struct Value {
    enum Kind { Null, Bool, Number, String, Array, Object };
    Kind kind = Null;
    bool boolean = false;
    double number = 0;
    std::string text;  // UTF-8
    std::vector<Value> items;
    std::vector<std::pair<std::string, Value>> members;

    const Value* Find(const std::string& key) const;
    bool Has(const std::string& key) const { return Find(key) != nullptr; }
    // The member as a string / number; empty / -1 when absent or of another kind.
    std::string Str(const std::string& key) const;
    double Num(const std::string& key) const;
    std::wstring WStr(const std::string& key) const;
};

// One JSON text; false with the reason when it is not valid JSON.
bool Parse(const std::string& text, Value* out, std::string* error);

struct Trace {
    std::vector<Value> records;  // every line, in file order
    std::string raw;             // the file as it is
    std::vector<std::string> problems;  // lines that are not JSON objects, or lack t / tid / call
    std::vector<const Value*> Calls(const std::string& call) const;
};

// Reads a trace file and checks every line: one JSON object with a number
// "t" (>= 0), a number "tid" and a string "call", ending in a line feed.
Trace ReadTrace(const std::wstring& path);

std::wstring Widen(const std::string& utf8);
std::string Narrow(const std::wstring& text);  // UTF-8
std::string Hex(const std::vector<BYTE>& bytes);

// A temporary file name that does not exist yet.
std::wstring FreshTempPath(const wchar_t* prefix);

}  // namespace jsonl
