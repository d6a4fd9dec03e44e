// Names for screen readers. A control whose label is not its own text (the
// device list, the path box) or that has no text (the progress bar) answers
// the accessibility query with the system's own object for it, with the name
// given here and, where a value function is given, that value.
#pragma once

#include <windows.h>

#include <string>

// The text read as the control's value, or empty for the system's own.
using AccessibleValue = std::wstring (*)(HWND control);

// From now until the control is destroyed. name must outlive the control.
void NameControl(HWND control, const wchar_t* name, AccessibleValue value = nullptr);
