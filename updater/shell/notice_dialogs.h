// The two notices that end an update: 143 "Warning" (after a Tessa camera's
// update in update mode "DF01") and 144 "Error".
#pragma once

#include <windows.h>

#include "resource.h"

INT_PTR CALLBACK WarningNoticeProc(HWND hDlg, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK ErrorNoticeProc(HWND hDlg, UINT message, WPARAM wParam, LPARAM lParam);
