// The parts of device strings that the HID binding compares: the instance
// part that all interfaces of one composite USB device share, and the
// interface marker ("MI_02") of an interface.
//
// Pure functions over bounded buffers: a string shorter than the position a
// part is cut from yields no part at all, never characters from beyond its
// end.
#pragma once

#include <cstddef>

// Characters of an instance part ("6&173BB4E8"), and a buffer that holds one.
constexpr std::size_t kInstancePartLen = 10;
constexpr std::size_t kInstancePartCap = kInstancePartLen + 1;

// The instance part begins six characters after "MI_": the marker, its two
// digits and the separator ('#' in a path, '\' in an instance ID).
constexpr std::size_t kInstancePartAfterMarker = 6;

// Without "MI_" (a non-composite device path) the instance part begins after
// the 26-character prefix "\\?\USB#VID_xxxx&PID_xxxx#".
constexpr std::size_t kInstancePartWithoutMarker = 26;

// "MI_" and two digits, and the capacity of the library's marker buffer.
constexpr std::size_t kMarkerLen = 5;
constexpr std::size_t kMarkerCap = 10;

// Cuts the instance part of s (up to its terminator or s_cap characters):
// the ten characters six after the first "MI_", or, when s has no "MI_" and
// positionalFallback is set, the ten characters from position 26. Returns
// false and leaves part empty when s is too short for the part it names.
bool CutInstancePart(const wchar_t* s, std::size_t s_cap, bool positionalFallback, wchar_t* part,
                     std::size_t part_cap);

// True when s contains "MI_".
bool HasInterfaceMarker(const wchar_t* s, std::size_t s_cap);

// Copies "MI_" and the two characters after it (fewer when s ends sooner)
// into marker, terminated. False, marker unchanged, when s has no "MI_".
bool CutInterfaceMarker(const wchar_t* s, std::size_t s_cap, wchar_t* marker, std::size_t marker_cap);

// True when part (non-empty) occurs in s.
bool ContainsText(const wchar_t* s, std::size_t s_cap, const wchar_t* part, std::size_t part_cap);

// True when both parts are complete (ten characters) and equal. Empty or
// short parts never match, so a string that yielded no part matches nothing.
bool SameInstancePart(const wchar_t* a, const wchar_t* b);
