#include "instance_part.h"

#include "id_text.h"

namespace {

constexpr wchar_t kMarker[] = L"MI_";
constexpr std::size_t kMarkerPrefixLen = 3;

// Index of the first occurrence of part in s[0, len), or len.
std::size_t Find(const wchar_t* s, std::size_t len, const wchar_t* part, std::size_t part_len) {
    if (part_len == 0 || part_len > len) return len;
    for (std::size_t i = 0; i + part_len <= len; ++i) {
        std::size_t j = 0;
        while (j < part_len && s[i + j] == part[j]) ++j;
        if (j == part_len) return i;
    }
    return len;
}

bool CopyPart(const wchar_t* s, std::size_t len, std::size_t from, wchar_t* part, std::size_t part_cap) {
    if (part_cap < kInstancePartCap || from > len || len - from < kInstancePartLen) return false;
    for (std::size_t i = 0; i < kInstancePartLen; ++i) part[i] = s[from + i];
    part[kInstancePartLen] = L'\0';
    return true;
}

}  // namespace

bool CutInstancePart(const wchar_t* s, std::size_t s_cap, bool positionalFallback, wchar_t* part,
                     std::size_t part_cap) {
    if (part == nullptr || part_cap == 0) return false;
    part[0] = L'\0';
    if (s == nullptr) return false;
    const std::size_t len = IdTextLength(s, s_cap);
    const std::size_t at = Find(s, len, kMarker, kMarkerPrefixLen);
    if (at < len) return CopyPart(s, len, at + kInstancePartAfterMarker, part, part_cap);
    if (!positionalFallback) return false;
    return CopyPart(s, len, kInstancePartWithoutMarker, part, part_cap);
}

bool HasInterfaceMarker(const wchar_t* s, std::size_t s_cap) {
    if (s == nullptr) return false;
    const std::size_t len = IdTextLength(s, s_cap);
    return Find(s, len, kMarker, kMarkerPrefixLen) < len;
}

bool CutInterfaceMarker(const wchar_t* s, std::size_t s_cap, wchar_t* marker, std::size_t marker_cap) {
    if (s == nullptr || marker == nullptr || marker_cap == 0) return false;
    const std::size_t len = IdTextLength(s, s_cap);
    const std::size_t at = Find(s, len, kMarker, kMarkerPrefixLen);
    if (at == len) return false;
    std::size_t n = 0;
    while (n < kMarkerLen && n + 1 < marker_cap && at + n < len) {
        marker[n] = s[at + n];
        ++n;
    }
    marker[n] = L'\0';
    return true;
}

bool ContainsText(const wchar_t* s, std::size_t s_cap, const wchar_t* part, std::size_t part_cap) {
    if (s == nullptr || part == nullptr) return false;
    const std::size_t len = IdTextLength(s, s_cap);
    const std::size_t part_len = IdTextLength(part, part_cap);
    return part_len > 0 && Find(s, len, part, part_len) < len;
}

bool SameInstancePart(const wchar_t* a, const wchar_t* b) {
    if (a == nullptr || b == nullptr) return false;
    if (IdTextLength(a, kInstancePartCap) != kInstancePartLen) return false;
    if (IdTextLength(b, kInstancePartCap) != kInstancePartLen) return false;
    for (std::size_t i = 0; i < kInstancePartLen; ++i) {
        if (a[i] != b[i]) return false;
    }
    return true;
}
