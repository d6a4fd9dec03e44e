// USB vendor and product IDs as text.
//
// A VID or PID is the (up to) four characters that follow "VID_" or "PID_" in
// a device path or hardware ID, kept in a small wide-character field. Two IDs
// are equal when their texts are equal after upper-casing (A-Z only). The
// updater and the camera-control library both build on these helpers, so the
// rules live in one place. Nothing here touches the OS: the helpers build and
// are tested natively as well as for Windows.
//
// Every helper takes the capacity of each buffer it reads or writes (in
// characters, terminator included) and never goes past it, even when the text
// in the buffer is not terminated.
#pragma once

#include <cstddef>

// Capacity of an ID field in the updater's device table and of the fields the
// library's GetVidPid fills.
constexpr std::size_t kIdFieldCap = 10;
// Characters of an ID cut out of a device string.
constexpr std::size_t kIdLen = 4;
// Capacity of one entry of the library's ID tables: four characters and a
// terminator.
constexpr std::size_t kIdSlotCap = kIdLen + 1;
// Upper bound for scanning strings whose buffer size the caller does not pass
// (the library's exports): no Windows string is longer than 32767 characters.
constexpr std::size_t kIdScanLimit = 32768;

// Number of characters before the terminator, at most cap.
std::size_t IdTextLength(const wchar_t* s, std::size_t cap);

// Converts a-z to A-Z in place, up to the terminator or cap. Every other
// character (digits, punctuation, non-ASCII letters) stays as it is.
void IdToUpperInPlace(wchar_t* s, std::size_t cap);

// Finds the first occurrence of marker in s (exact, case-sensitive) and copies
// the up to four characters that follow it into field, terminated. The
// characters are taken as they stand, hex digits or not; fewer than four are
// taken when the string ends sooner. Returns true when the marker was found;
// when it is absent, field is left unchanged. field_cap below 1 writes nothing.
bool IdCutAfterMarker(const wchar_t* s, std::size_t s_cap, const wchar_t* marker, wchar_t* field,
                      std::size_t field_cap);

// Upper-cases s in place, then cuts "VID_" into vid and "PID_" into pid (each
// left unchanged when its marker is absent).
void IdCutVidPidUpper(wchar_t* s, std::size_t s_cap, wchar_t* vid, std::size_t vid_cap, wchar_t* pid,
                      std::size_t pid_cap);

// The video enumeration's way round: works on a lower-cased copy of s (s
// itself is not changed) and cuts the four characters after "vid_" and "pid_",
// so the fields come out in lower case. Fields are unchanged when their marker
// is absent.
void IdCutVidPidLower(const wchar_t* s, std::size_t s_cap, wchar_t* vid, std::size_t vid_cap, wchar_t* pid,
                      std::size_t pid_cap);

// Upper-cases both texts in place and compares them exactly: true only when
// they have the same length and the same characters.
bool IdEqualUpperInPlace(wchar_t* a, std::size_t a_cap, wchar_t* b, std::size_t b_cap);

// Upper-cases id in place and compares it with text, whose letters are
// compared as upper case without writing to it (text may be a literal).
bool IdEqualsText(wchar_t* id, std::size_t id_cap, const wchar_t* text);

// Looks id up in a table of writable slots: id and each entry examined are
// upper-cased in place; returns the index of the first equal entry, or -1.
int IdTableFind(wchar_t* id, std::size_t id_cap, wchar_t (*table)[kIdSlotCap], std::size_t count);
