#include "id_text.h"

namespace {

// Only the ASCII letters change case: device strings are ASCII, and a
// locale-aware conversion would turn IDs of other letters into surprises.
wchar_t UpperAscii(wchar_t c) { return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - L'a' + L'A') : c; }
wchar_t LowerAscii(wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c; }

wchar_t Same(wchar_t c) { return c; }

// First position at or after which marker follows in s[0, len), comparing the
// string's characters through fold. Returns len when absent.
template <typename Fold>
std::size_t FindMarker(const wchar_t* s, std::size_t len, const wchar_t* marker, Fold fold) {
    const std::size_t mlen = IdTextLength(marker, kIdScanLimit);
    if (mlen == 0 || mlen > len) return len;
    for (std::size_t i = 0; i + mlen <= len; ++i) {
        std::size_t j = 0;
        while (j < mlen && fold(s[i + j]) == marker[j]) ++j;
        if (j == mlen) return i;
    }
    return len;
}

template <typename Fold>
bool CutAfter(const wchar_t* s, std::size_t s_cap, const wchar_t* marker, wchar_t* field, std::size_t field_cap,
              Fold fold) {
    if (s == nullptr || marker == nullptr || field == nullptr || field_cap == 0) return false;
    const std::size_t len = IdTextLength(s, s_cap);
    const std::size_t at = FindMarker(s, len, marker, fold);
    if (at == len) return false;
    std::size_t from = at + IdTextLength(marker, kIdScanLimit);
    std::size_t n = 0;
    while (n < kIdLen && n + 1 < field_cap && from < len) field[n++] = fold(s[from++]);
    field[n] = L'\0';
    return true;
}

}  // namespace

std::size_t IdTextLength(const wchar_t* s, std::size_t cap) {
    if (s == nullptr) return 0;
    std::size_t n = 0;
    while (n < cap && s[n] != L'\0') ++n;
    return n;
}

void IdToUpperInPlace(wchar_t* s, std::size_t cap) {
    if (s == nullptr) return;
    for (std::size_t i = 0; i < cap && s[i] != L'\0'; ++i) s[i] = UpperAscii(s[i]);
}

bool IdCutAfterMarker(const wchar_t* s, std::size_t s_cap, const wchar_t* marker, wchar_t* field,
                      std::size_t field_cap) {
    return CutAfter(s, s_cap, marker, field, field_cap, Same);
}

void IdCutVidPidUpper(wchar_t* s, std::size_t s_cap, wchar_t* vid, std::size_t vid_cap, wchar_t* pid,
                      std::size_t pid_cap) {
    IdToUpperInPlace(s, s_cap);
    IdCutAfterMarker(s, s_cap, L"VID_", vid, vid_cap);
    IdCutAfterMarker(s, s_cap, L"PID_", pid, pid_cap);
}

void IdCutVidPidLower(const wchar_t* s, std::size_t s_cap, wchar_t* vid, std::size_t vid_cap, wchar_t* pid,
                      std::size_t pid_cap) {
    // Reading through the lower-casing fold gives what a lower-cased copy of
    // the path would give, without a copy that a long path could overflow.
    CutAfter(s, s_cap, L"vid_", vid, vid_cap, LowerAscii);
    CutAfter(s, s_cap, L"pid_", pid, pid_cap, LowerAscii);
}

bool IdEqualUpperInPlace(wchar_t* a, std::size_t a_cap, wchar_t* b, std::size_t b_cap) {
    if (a == nullptr || b == nullptr) return false;
    IdToUpperInPlace(a, a_cap);
    IdToUpperInPlace(b, b_cap);
    const std::size_t len = IdTextLength(a, a_cap);
    if (len != IdTextLength(b, b_cap)) return false;
    for (std::size_t i = 0; i < len; ++i) {
        if (a[i] != b[i]) return false;
    }
    return true;
}

bool IdEqualsText(wchar_t* id, std::size_t id_cap, const wchar_t* text) {
    if (id == nullptr || text == nullptr) return false;
    IdToUpperInPlace(id, id_cap);
    const std::size_t len = IdTextLength(id, id_cap);
    if (len != IdTextLength(text, kIdScanLimit)) return false;
    for (std::size_t i = 0; i < len; ++i) {
        if (id[i] != UpperAscii(text[i])) return false;
    }
    return true;
}

int IdTableFind(wchar_t* id, std::size_t id_cap, wchar_t (*table)[kIdSlotCap], std::size_t count) {
    if (id == nullptr || table == nullptr) return -1;
    for (std::size_t i = 0; i < count; ++i) {
        if (IdEqualUpperInPlace(id, id_cap, table[i], kIdSlotCap)) return static_cast<int>(i);
    }
    return -1;
}
