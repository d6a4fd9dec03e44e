// Small texts the device models write into their refusal records.
#pragma once

#include <string>

namespace sim {

// v in hexadecimal with at least digits digits, upper case, without "0x".
inline std::wstring HexText(unsigned long v, int digits = 2) {
    const wchar_t hex[] = L"0123456789ABCDEF";
    std::wstring s;
    do {
        s.insert(s.begin(), hex[v & 15]);
        v >>= 4;
    } while (v != 0);
    while (static_cast<int>(s.size()) < digits) s.insert(s.begin(), L'0');
    return s;
}

}  // namespace sim
