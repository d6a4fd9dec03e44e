#include "dialog_keys.h"

#include <initializer_list>

#include "app_state.h"
#include "resource.h"

namespace {

// The window whose dialog manager handles the keys of a message: the
// top-level dialog or control-parent window of the control it is for.
HWND KeyboardRoot(HWND hwnd) {
    if (hwnd == nullptr) return nullptr;
    HWND root = GetAncestor(hwnd, GA_ROOT);
    if (root == nullptr) return nullptr;
    wchar_t cls[16];
    if (GetClassNameW(root, cls, 16) > 0 && lstrcmpW(cls, L"#32770") == 0) return root;
    if ((GetWindowLongPtrW(root, GWL_EXSTYLE) & WS_EX_CONTROLPARENT) != 0) return root;
    return nullptr;
}

bool Usable(HWND control) {
    return control != nullptr && IsWindowVisible(control) && IsWindowEnabled(control) &&
           (GetWindowLongPtrW(control, GWL_STYLE) & WS_TABSTOP) != 0;
}

bool FocusIsUsable(HWND window) {
    HWND focus = GetFocus();
    return focus != nullptr && focus != window && IsChild(window, focus) && Usable(focus);
}

void FocusOn(HWND window, HWND target) {
    // WM_NEXTDLGCTL also moves the default-button look with the focus.
    wchar_t cls[16];
    if (target != window && GetClassNameW(window, cls, 16) > 0 && lstrcmpW(cls, L"#32770") == 0)
        SendMessageW(window, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(target), TRUE);
    else
        SetFocus(target);
}

}  // namespace

void ServeMessage(MSG& msg, HACCEL accelerators) {
    if (accelerators != nullptr && TranslateAcceleratorW(msg.hwnd, accelerators, &msg)) return;
    HWND root = KeyboardRoot(msg.hwnd);
    if (root != nullptr && IsDialogMessageW(root, &msg)) return;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
}

void PlaceFocus(HWND window, const int* ids, int count, bool anew) {
    // A window in the background keeps its focus for when it is active
    // again; taking the focus would bring it forward.
    if (window == nullptr || GetActiveWindow() != window || (!anew && FocusIsUsable(window))) return;
    for (int i = 0; i < count; ++i) {
        HWND control = GetDlgItem(window, ids[i]);
        if (!Usable(control)) continue;
        FocusOn(window, control);
        return;
    }
    if (GetFocus() != window) SetFocus(window);
}

HWND DialogFocusTarget() {
    HWND dlg = g_hMainDlg.load();
    if (dlg == nullptr) return nullptr;
    // An empty device list is no place to start from.
    const bool listed = SendMessageW(GetDlgItem(dlg, IDC_COMBO_DEVICELIST), CB_GETCOUNT, 0, 0) > 0;
    for (int id : {IDC_BTN_FW_UPDATE, IDC_COMBO_DEVICELIST, IDC_BTN_BROWSE, IDC_BTN_READFW_VERSION, IDC_BTN_RESET,
                   IDC_BTN_EXIT}) {
        if (id == IDC_COMBO_DEVICELIST && !listed) continue;
        HWND control = GetDlgItem(dlg, id);
        if (Usable(control)) return control;
    }
    return nullptr;
}

void PlaceDialogFocus(bool anew) {
    HWND dlg = g_hMainDlg.load();
    if (dlg == nullptr || GetWindowThreadProcessId(dlg, nullptr) != GetCurrentThreadId()) return;
    if (GetActiveWindow() != dlg || (!anew && FocusIsUsable(dlg))) return;
    HWND target = DialogFocusTarget();
    if (target != nullptr) FocusOn(dlg, target);
    else if (GetFocus() != dlg) SetFocus(dlg);
}

bool PressFocusedButton(HWND window) {
    HWND focus = GetFocus();
    if (focus == nullptr || !IsChild(window, focus) || !IsWindowEnabled(focus)) return false;
    wchar_t cls[16];
    if (GetClassNameW(focus, cls, 16) == 0 || lstrcmpiW(cls, L"Button") != 0) return false;
    const LONG_PTR kind = GetWindowLongPtrW(focus, GWL_STYLE) & BS_TYPEMASK;
    if (kind != BS_PUSHBUTTON && kind != BS_DEFPUSHBUTTON) return false;
    SendMessageW(focus, BM_CLICK, 0, 0);
    return true;
}
