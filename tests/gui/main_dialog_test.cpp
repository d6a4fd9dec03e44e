// The main dialog as the operator drives it, against simulated devices.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>
#include <oleacc.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "app_state.h"
#include "dialog_harness.h"
#include "main_dialog.h"
#include "notice_dialogs.h"
#include "resource.h"
#include "sim_world.h"
#include "ui_state.h"

namespace {

enum Cell { On, Off, Same };  // shown/enabled, hidden/disabled, unchanged

struct StateRow {
    int state;
    const char* name;
    Cell noDevice, connected, updating, entering, status, progress;  // visibility
    Cell file, browse, read, update, reset, exit, list;              // enabled
};

// RESET in the connected state follows the selected entry's vendor ID; the
// rows below are for a "4A7E" entry.
const StateRow kRows[] = {
    {UI_STATE_NO_DEVICE, "no device", On, Off, Off, Off, Off, Off, Off, Off, Off, Off, Off, On, Same},
    {UI_STATE_DEVICE_CONNECTED, "connected", Off, On, Off, Off, Off, Off, On, On, On, Off, On, On, On},
    {UI_STATE_UPDATING, "updating", Off, Off, On, Off, On, Same, Off, Off, Off, Off, Off, Off, Off},
    {UI_STATE_UPDATE_DONE, "update done", Off, Off, Off, Off, Off, Off, On, On, On, Off, On, On, On},
};

void SetAll(DialogHarness& h, bool on) {
    for (int id : {IDC_STATIC_NO_DEVICE, IDC_STATIC_DEVICE_CONNECTED, IDC_STATIC_UPDATING, IDC_STATIC_ENTERING_UPDATE,
                   IDC_STATIC_STATUS, IDC_PROGRESS})
        ShowWindow(GetDlgItem(h.dialog, id), on ? SW_SHOW : SW_HIDE);
    for (int id : {IDC_EDIT_FIRMWARE_PATH, IDC_STATIC_SELECT_FILE, IDC_BTN_BROWSE, IDC_BTN_READFW_VERSION,
                   IDC_BTN_FW_UPDATE, IDC_BTN_RESET, IDC_BTN_EXIT, IDC_COMBO_DEVICELIST})
        EnableWindow(GetDlgItem(h.dialog, id), on);
}

void Expect(const DialogHarness& h, int id, Cell cell, bool before, bool visibility, const char* what) {
    const bool now = visibility ? h.Visible(id) : h.Enabled(id);
    const bool expected = cell == Same ? before : cell == On;
    EXPECT_EQ(expected, now) << what << " control " << id << (cell == Same ? " (unchanged)" : "");
}

sim::DeviceId PlugUpdateModeDevice(USHORT vid = 0x4A7E, USHORT pid = 0xDF00, std::vector<int> ports = {3, 2},
                                   const wchar_t* serial = L"SN12345678AB") {
    return sim::Plug(sim::WinUsbSpec(vid, pid, serial, ports));
}

}  // namespace

TEST(MainDialog, StartUpListsAnUpdateModeDeviceByItsPorts) {
    DialogHarness h;
    PlugUpdateModeDevice();
    h.Open();
    EXPECT_EQ(std::vector<std::wstring>{L"orviDFU_USB_3_HUB_2(VID_4A7E,PID_DF00_0)"}, h.ListItems());
    EXPECT_EQ(0, h.ListSelection());
    EXPECT_TRUE(h.Visible(IDC_STATIC_DEVICE_CONNECTED));
    EXPECT_FALSE(h.Visible(IDC_STATIC_NO_DEVICE));
    EXPECT_EQ(2u, sim::Registrations().size()) << "HID and USB-device notifications";
}

TEST(MainDialog, StartUpWithoutDevicesShowsNoDevice) {
    DialogHarness h;
    h.Open();
    EXPECT_TRUE(h.ListItems().empty());
    EXPECT_TRUE(h.Visible(IDC_STATIC_NO_DEVICE));
    EXPECT_FALSE(h.Enabled(IDC_BTN_BROWSE));
    EXPECT_TRUE(h.Enabled(IDC_BTN_EXIT));
}

TEST(MainDialog, EveryControlInEveryUiState) {
    DialogHarness h;
    PlugUpdateModeDevice();
    h.Open();
    for (const StateRow& row : kRows) {
        for (bool before : {false, true}) {
            SCOPED_TRACE(testing::Message() << row.name << (before ? ", from all on" : ", from all off"));
            SetAll(h, before);
            SetUIState(row.state);
            Expect(h, IDC_STATIC_NO_DEVICE, row.noDevice, before, true, "visible");
            Expect(h, IDC_STATIC_DEVICE_CONNECTED, row.connected, before, true, "visible");
            Expect(h, IDC_STATIC_UPDATING, row.updating, before, true, "visible");
            Expect(h, IDC_STATIC_ENTERING_UPDATE, row.entering, before, true, "visible");
            Expect(h, IDC_STATIC_STATUS, row.status, before, true, "visible");
            Expect(h, IDC_PROGRESS, row.progress, before, true, "visible");
            Expect(h, IDC_EDIT_FIRMWARE_PATH, row.file, before, false, "enabled");
            Expect(h, IDC_STATIC_SELECT_FILE, row.file, before, false, "enabled");
            Expect(h, IDC_BTN_BROWSE, row.browse, before, false, "enabled");
            Expect(h, IDC_BTN_READFW_VERSION, row.read, before, false, "enabled");
            Expect(h, IDC_BTN_FW_UPDATE, row.update, before, false, "enabled");
            Expect(h, IDC_BTN_RESET, row.reset, before, false, "enabled");
            Expect(h, IDC_BTN_EXIT, row.exit, before, false, "enabled");
            Expect(h, IDC_COMBO_DEVICELIST, row.list, before, false, "enabled");
        }
    }
    // The done state clears the file path.
    SetDlgItemTextW(h.dialog, IDC_EDIT_FIRMWARE_PATH, L"C:\\fw.img");
    SetUIState(UI_STATE_UPDATE_DONE);
    EXPECT_EQ(L"", h.Text(IDC_EDIT_FIRMWARE_PATH));
    // Any other value changes nothing.
    SetAll(h, true);
    SetUIState(272);
    EXPECT_TRUE(h.Enabled(IDC_BTN_FW_UPDATE));
    EXPECT_TRUE(h.Visible(IDC_STATIC_NO_DEVICE));
}

TEST(MainDialog, ConnectedStateFollowsVendorIdAndLeavesExitDuringAnUpdate) {
    DialogHarness h;
    PlugUpdateModeDevice(0x04B4, 0xDF00);
    h.Open();
    ASSERT_EQ(1u, h.ListItems().size());
    SetAll(h, true);
    SetUIState(UI_STATE_DEVICE_CONNECTED);
    EXPECT_FALSE(h.Enabled(IDC_BTN_RESET)) << "RESET only for vendor 4A7E";
    DialogUpdate().bUpdatedFromHIDMode = true;
    EnableWindow(GetDlgItem(h.dialog, IDC_BTN_EXIT), FALSE);
    SetUIState(UI_STATE_DEVICE_CONNECTED);
    EXPECT_FALSE(h.Enabled(IDC_BTN_EXIT)) << "EXIT left alone while an update from normal mode runs";
    DialogUpdate().bUpdatedFromHIDMode = false;
}

TEST(MainDialog, ProgressMessages) {
    DialogHarness h;
    PlugUpdateModeDevice();
    h.Open();
    h.Send(WM_FW_PROGRESS_STEP, 3);
    EXPECT_EQ(L"", h.Text(IDC_STATIC_STATUS)) << "a step while the total is 0 changes nothing";
    EXPECT_EQ(0, h.ProgressPosition());
    h.Send(WM_FW_PROGRESS_RANGE, 8);
    EXPECT_EQ(L"Erasing Memory...Please Wait...", h.Text(IDC_STATIC_STATUS));
    EXPECT_FALSE(h.Visible(IDC_STATIC_UPDATING));
    struct Step {
        WPARAM blocks;
        const wchar_t* text;
        int position;
    } steps[] = {{1, L"12%", 15}, {4, L"50%", 53}, {8, L"100%", 100}};
    for (const Step& s : steps) {
        h.Send(WM_FW_PROGRESS_STEP, s.blocks);
        EXPECT_EQ(s.text, h.Text(IDC_STATIC_STATUS));
        EXPECT_EQ(s.position, h.ProgressPosition()) << "the bar runs 3 points ahead (capped at 100)";
        EXPECT_TRUE(h.Visible(IDC_STATIC_UPDATING));
        EXPECT_EQ(L"Updating Firmware..", h.Text(IDC_STATIC_UPDATING));
    }
    h.Send(WM_FW_PROGRESS_PERCENT, 1);
    EXPECT_EQ(L"0%", h.Text(IDC_STATIC_STATUS));
    EXPECT_EQ(4, h.ProgressPosition());
    h.Send(WM_FW_UPDATE_DONE, 0);
    EXPECT_EQ(L"", h.Text(IDC_STATIC_STATUS));
    EXPECT_EQ(0, h.ProgressPosition());
    EXPECT_EQ(0u, DialogUpdate().nProgressTotal.load());
    EXPECT_TRUE(h.Enabled(IDC_BTN_BROWSE));
}

TEST(MainDialog, TimersBlinkAndReenableExit) {
    DialogHarness h;
    PlugUpdateModeDevice();
    h.Open();
    g_nBlinkState = 0;
    h.Send(WM_TIMER, IDT_TIMER_ERASE_BLINK);
    EXPECT_EQ(L"Erasing Memory...Please Wait...", h.Text(IDC_STATIC_STATUS));
    h.Send(WM_TIMER, IDT_TIMER_ERASE_BLINK);
    EXPECT_EQ(L"", h.Text(IDC_STATIC_STATUS));
    h.Send(WM_TIMER, IDT_TIMER_VERIFY_BLINK);
    EXPECT_EQ(L"Verify Flash... Please Wait...", h.Text(IDC_STATIC_STATUS));

    EnableWindow(GetDlgItem(h.dialog, IDC_BTN_EXIT), FALSE);
    g_bHDIssuePending = false;
    h.Send(WM_TIMER, IDT_TIMER_FOR_HD_ISSUE);
    EXPECT_FALSE(h.Enabled(IDC_BTN_EXIT)) << "timer 2 does nothing without a pending update";
    g_bHDIssuePending = true;
    h.Send(WM_TIMER, IDT_TIMER_FOR_HD_ISSUE);
    EXPECT_TRUE(h.Enabled(IDC_BTN_EXIT));
}

TEST(MainDialog, FirmwareUpdateWithoutAFileAsksForOne) {
    DialogHarness h;
    PlugUpdateModeDevice();
    h.Open();
    h.Click(IDC_BTN_FW_UPDATE);
    ASSERT_FALSE(sim::MessageBoxes().empty());
    EXPECT_EQ(L"Choose File!", sim::MessageBoxes().back().text);
    EXPECT_EQ(L"Alert", sim::MessageBoxes().back().caption);
    EXPECT_TRUE(sim::DialogCalls().empty()) << "no warning dialog";
}

TEST(MainDialog, SuitabilityQuestionByFileAndDeviceName) {
    DialogHarness h;
    PlugUpdateModeDevice();
    h.Open();
    struct Case {
        const wchar_t* deviceName;
        const wchar_t* fileName;
        bool asks;
    } cases[] = {
        {L"Corvane_RX20", L"Corvane_RX20_v2.img", false},
        {L"Corvane_RX20", L"other.img", true},
        {L"Corvane_RX40_MH", L"Corvane_RX40M_fw.img", false},
        {L"Corvane_RX40_MH", L"Corvane_RX40_MH_fw.img", true},
        {L"orviDFU_USB_3_HUB_2", L"anything.img", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "name " << std::string(c.deviceName, c.deviceName + wcslen(c.deviceName)));
        sim::Reset();
        wcscpy(g_szDeviceNameList[0], c.deviceName);
        wcscpy(DialogUpdate().szFirmwareFileName, c.fileName);
        SetDlgItemTextW(h.dialog, IDC_EDIT_FIRMWARE_PATH, L"C:\\fw\\file.img");
        sim::QueueMessageBoxAnswer(IDNO);
        sim::SetDialogHook([](const sim::DialogCall&, DLGPROC, INT_PTR* result) {
            *result = 0;  // the warning closed without OK
            return true;
        });
        h.Click(IDC_BTN_FW_UPDATE);
        const auto boxes = sim::MessageBoxes();
        if (c.asks) {
            ASSERT_EQ(1u, boxes.size());
            EXPECT_EQ(L"Corvane_FW_Updater", boxes[0].caption);
            EXPECT_EQ(static_cast<UINT>(MB_YESNO | MB_ICONEXCLAMATION), boxes[0].type);
            EXPECT_TRUE(sim::DialogCalls().empty()) << "No starts nothing";
        } else {
            EXPECT_TRUE(boxes.empty());
            ASSERT_EQ(1u, sim::DialogCalls().size());
            EXPECT_EQ(IDD_UPDATE_WARNING, sim::DialogCalls()[0].templateId);
        }
    }
}

TEST(MainDialog, ReadAndResetRefuseEachOther) {
    DialogHarness h;
    PlugUpdateModeDevice();
    h.Open();
    g_bResetRequested = true;
    h.Click(IDC_BTN_READFW_VERSION);
    EXPECT_EQ(L"Please wait...Device Reset in progress", h.BoxTexts().back());
    EXPECT_FALSE(g_bReadVersionRequested);
    g_bResetRequested = false;
    g_bReadVersionRequested = true;
    h.Click(IDC_BTN_RESET);
    EXPECT_EQ(L"Please wait...ReadFirmwarVersion in progress", h.BoxTexts().back());
    EXPECT_FALSE(g_bResetRequested);
    g_bReadVersionRequested = false;
}

TEST(MainDialog, SelectionChangeDropsTheFileOnlyForAnotherEntry) {
    DialogHarness h;
    PlugUpdateModeDevice(0x4A7E, 0xDF00, {3, 2}, L"SNA");
    PlugUpdateModeDevice(0x04B4, 0xDF00, {3, 3}, L"SNB");
    h.Open();
    ASSERT_EQ(2u, h.ListItems().size());
    SetDlgItemTextW(h.dialog, IDC_EDIT_FIRMWARE_PATH, L"C:\\fw.img");
    EnableWindow(GetDlgItem(h.dialog, IDC_BTN_FW_UPDATE), TRUE);
    h.Select(0);
    EXPECT_EQ(L"C:\\fw.img", h.Text(IDC_EDIT_FIRMWARE_PATH)) << "the same entry keeps the file";
    EXPECT_TRUE(h.Enabled(IDC_BTN_FW_UPDATE));
    EXPECT_TRUE(h.Enabled(IDC_BTN_RESET));
    EXPECT_FALSE(h.Enabled(IDC_BTN_READFW_VERSION)) << "an update-mode device has no version to read";
    h.Select(1);
    EXPECT_EQ(L"", h.Text(IDC_EDIT_FIRMWARE_PATH));
    EXPECT_FALSE(h.Enabled(IDC_BTN_FW_UPDATE));
    EXPECT_FALSE(h.Enabled(IDC_BTN_RESET)) << "vendor 04B4";
}

TEST(MainDialog, ArrivalAndRemovalRebuildTheList) {
    DialogHarness h;
    h.Open();
    ASSERT_TRUE(h.ListItems().empty());
    const sim::DeviceId d = PlugUpdateModeDevice();
    ASSERT_TRUE(h.WaitFor([&] { return h.ListItems().size() == 1; }));
    EXPECT_TRUE(h.Visible(IDC_STATIC_DEVICE_CONNECTED));
    sim::Unplug(d);
    ASSERT_TRUE(h.WaitFor([&] { return h.ListItems().empty(); }));
    EXPECT_TRUE(h.Visible(IDC_STATIC_NO_DEVICE));
}

namespace {

// A 24-bit bottom-up BMP as SaveWindowPicture writes it.
struct Picture {
    int width = 0, height = 0, stride = 0;
    std::vector<BYTE> pixels;
    COLORREF At(int x, int y) const {
        const BYTE* p = &pixels[static_cast<size_t>(height - 1 - y) * stride + static_cast<size_t>(x) * 3];
        return RGB(p[2], p[1], p[0]);
    }
};

bool ReadPicture(const std::wstring& path, Picture* out) {
    FILE* f = _wfopen(path.c_str(), L"rb");
    if (f == nullptr) return false;
    BITMAPFILEHEADER fh{};
    BITMAPINFOHEADER ih{};
    bool ok = std::fread(&fh, sizeof fh, 1, f) == 1 && std::fread(&ih, sizeof ih, 1, f) == 1 && fh.bfType == 0x4D42 &&
              ih.biBitCount == 24 && ih.biHeight > 0;
    if (ok) {
        out->width = ih.biWidth;
        out->height = ih.biHeight;
        out->stride = (ih.biWidth * 3 + 3) & ~3;
        out->pixels.resize(static_cast<size_t>(out->stride) * out->height);
        ok = std::fread(out->pixels.data(), 1, out->pixels.size(), f) == out->pixels.size();
    }
    std::fclose(f);
    return ok;
}

// Pixels of the picture (taken of the dialog window) inside control id that
// match the test.
int CountIn(const Picture& pic, HWND dialog, int id, bool (*match)(COLORREF)) {
    RECT window, control;
    GetWindowRect(dialog, &window);
    GetWindowRect(GetDlgItem(dialog, id), &control);
    int n = 0;
    for (int y = control.top - window.top; y < control.bottom - window.top; ++y)
        for (int x = control.left - window.left; x < control.right - window.left; ++x)
            if (x >= 0 && y >= 0 && x < pic.width && y < pic.height && match(pic.At(x, y))) ++n;
    return n;
}

bool Orange(COLORREF c) { return GetRValue(c) > 200 && GetGValue(c) > 60 && GetGValue(c) < 140 && GetBValue(c) < 60; }
bool Red(COLORREF c) { return GetRValue(c) > 200 && GetGValue(c) < 50 && GetBValue(c) < 50; }
bool Blue(COLORREF c) { return GetBValue(c) > 200 && GetRValue(c) < 60 && GetGValue(c) < 60; }
bool NotFace(COLORREF c) { return c != GetSysColor(COLOR_BTNFACE); }

}  // namespace

// What the screen shows of the dialog with a device listed: the connected
// line in orange (the red "no device" line hidden), the maker's name and the
// version in blue, and the camera icon drawn in its 20 x 20 place.
TEST(MainDialog, ScreenshotWithADeviceListed) {
    DialogHarness h;
    PlugUpdateModeDevice();
    h.Open();
    h.Pump(200);
    wchar_t dir[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, dir);
    const std::wstring path = std::wstring(dir) + L"\\main_dialog_connected.bmp";
    ASSERT_TRUE(h.Screenshot(path));
    Picture pic;
    ASSERT_TRUE(ReadPicture(path, &pic));
    RECT window;
    GetWindowRect(h.dialog, &window);
    EXPECT_EQ(window.right - window.left, pic.width);
    EXPECT_EQ(window.bottom - window.top, pic.height);

    EXPECT_GT(CountIn(pic, h.dialog, IDC_STATIC_DEVICE_CONNECTED, Orange), 20);
    EXPECT_EQ(0, CountIn(pic, h.dialog, IDC_STATIC_DEVICE_CONNECTED, Red));
    EXPECT_GT(CountIn(pic, h.dialog, IDC_STATIC_VERSION, Blue), 20);
    EXPECT_GT(CountIn(pic, h.dialog, IDC_STATIC_MAKER, Blue), 20);
    EXPECT_GT(CountIn(pic, h.dialog, IDC_ICON_CAMERA, NotFace), 40) << "the icon is drawn";
    RECT icon = {8, 197, 8 + 20, 197 + 20};
    MapDialogRect(h.dialog, &icon);
    RECT shown;
    GetWindowRect(GetDlgItem(h.dialog, IDC_ICON_CAMERA), &shown);
    EXPECT_EQ(icon.right - icon.left, shown.right - shown.left) << "20 dialog units wide";
    EXPECT_EQ(icon.bottom - icon.top, shown.bottom - shown.top) << "20 dialog units high";
}

TEST(MainDialog, WarningNoticeIsReplacedByTheErrorNoticeAfterItsTimeOut) {
    DialogHarness h;
    PlugUpdateModeDevice();
    h.Open();
    int errorNotices = 0;
    sim::SetDialogHook([&](const sim::DialogCall& call, DLGPROC, INT_PTR* result) {
        if (call.templateId != IDD_ERROR_NOTICE) return false;
        ++errorNotices;
        *result = 1;
        return true;
    });
    HWND warning = CreateDialogParamW(g_hInst, MAKEINTRESOURCEW(IDD_WARNING_NOTICE), h.dialog, WarningNoticeProc, 0);
    ASSERT_NE(nullptr, warning);
    EXPECT_EQ(warning, g_hNoticeDialog.load());
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(warning, IDC_BTN_NOTICE_OK))) << "OK waits for the camera to leave";
    // Timer 4 (180 s) runs on the main dialog; at 0.01 it expires after 1.8 s.
    ASSERT_TRUE(h.WaitFor([&] { return errorNotices == 1; }, 10000));
    EXPECT_EQ(1, errorNotices);
    DestroyWindow(warning);

    // The error notice enables its OK; the warning's OK ends it and stops timer 4.
    HWND error = CreateDialogParamW(g_hInst, MAKEINTRESOURCEW(IDD_ERROR_NOTICE), h.dialog, ErrorNoticeProc, 0);
    ASSERT_NE(nullptr, error);
    // The template's OK is enabled already: disable it and initialise again.
    HWND errorOk = GetDlgItem(error, IDOK);
    EnableWindow(errorOk, FALSE);
    SendMessageW(error, WM_INITDIALOG, 0, 0);
    EXPECT_TRUE(IsWindowEnabled(errorOk)) << "initialising the error notice enables its OK";
    wchar_t text[256] = L"";
    GetDlgItemTextW(error, -1, text, 256);
    EXPECT_EQ(std::wstring(L"Firmware Update Failed. Please try again."), text);
    DestroyWindow(error);
    warning = CreateDialogParamW(g_hInst, MAKEINTRESOURCEW(IDD_WARNING_NOTICE), h.dialog, WarningNoticeProc, 0);
    SendMessageW(warning, WM_COMMAND, MAKEWPARAM(IDC_BTN_NOTICE_OK, BN_CLICKED), 0);
    h.Pump(2500);
    EXPECT_EQ(1, errorNotices) << "OK stopped timer 4";
    DestroyWindow(warning);
}

// The keyboard through the program's message loop: the focus starts on the
// camera list, Tab and Shift+Tab go round the enabled controls of each UI
// state (never resting on a disabled one), Space and Enter press the focused
// button, the arrow keys and F4 work in the list.
TEST(MainDialog, KeyboardGoesRoundTheEnabledControlsOfEachState) {
    DialogHarness h;
    PlugUpdateModeDevice(0x4A7E, 0xDF00, {3, 2}, L"SNA");
    PlugUpdateModeDevice(0x4A7E, 0xDF00, {3, 3}, L"SNB");
    h.Open();
    h.Activate();
    EXPECT_EQ(IDC_COMBO_DEVICELIST, h.FocusId());
    struct Case {
        int state;
        bool fileChosen;
        std::vector<int> ring;  // in Tab order; empty: the dialog itself holds the focus
    } const cases[] = {
        {UI_STATE_DEVICE_CONNECTED, false,
         {IDC_COMBO_DEVICELIST, IDC_EDIT_FIRMWARE_PATH, IDC_BTN_BROWSE, IDC_BTN_READFW_VERSION, IDC_BTN_RESET,
          IDC_BTN_EXIT}},
        {UI_STATE_DEVICE_CONNECTED, true,
         {IDC_COMBO_DEVICELIST, IDC_EDIT_FIRMWARE_PATH, IDC_BTN_BROWSE, IDC_BTN_READFW_VERSION, IDC_BTN_FW_UPDATE,
          IDC_BTN_RESET, IDC_BTN_EXIT}},
        {UI_STATE_NO_DEVICE, false, {IDC_COMBO_DEVICELIST, IDC_BTN_EXIT}},
        {UI_STATE_UPDATING, false, {}},
        {UI_STATE_UPDATE_DONE, false,
         {IDC_COMBO_DEVICELIST, IDC_EDIT_FIRMWARE_PATH, IDC_BTN_BROWSE, IDC_BTN_READFW_VERSION, IDC_BTN_RESET,
          IDC_BTN_EXIT}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "state " << c.state << (c.fileChosen ? " with a file" : ""));
        h.Activate();
        SetFocus(GetDlgItem(h.dialog, IDC_BTN_RESET));
        SetUIState(c.state);
        EnableWindow(GetDlgItem(h.dialog, IDC_BTN_FW_UPDATE), c.fileChosen);
        h.Pump(20);
        if (c.ring.empty()) {
            EXPECT_EQ(0, h.FocusId());
            continue;
        }
        const auto at = std::find(c.ring.begin(), c.ring.end(), h.FocusId());
        ASSERT_NE(c.ring.end(), at) << "focus on " << h.FocusId();
        const size_t n = c.ring.size(), start = static_cast<size_t>(at - c.ring.begin());
        for (size_t k = 1; k <= n; ++k) {
            h.Key(VK_TAB);
            EXPECT_EQ(c.ring[(start + k) % n], h.FocusId()) << "Tab " << k;
        }
        h.Key(VK_TAB, true);
        EXPECT_EQ(c.ring[(start + n - 1) % n], h.FocusId()) << "Shift+Tab";
    }

    SetUIState(UI_STATE_DEVICE_CONNECTED);
    const size_t browsed = sim::OpenFileCalls().size();
    SetFocus(GetDlgItem(h.dialog, IDC_BTN_BROWSE));
    h.Key(VK_SPACE);
    h.Key(VK_RETURN);
    EXPECT_EQ(browsed + 2, sim::OpenFileCalls().size()) << "Space and Enter pressed Browse";

    SetFocus(GetDlgItem(h.dialog, IDC_COMBO_DEVICELIST));
    h.Select(0);
    h.Key(VK_DOWN);
    EXPECT_EQ(1, h.ListSelection());
    EXPECT_EQ(1, g_nSelectedIndex.load()) << "the dialog saw the change";
    h.Key(VK_F4);
    EXPECT_TRUE(SendMessageW(GetDlgItem(h.dialog, IDC_COMBO_DEVICELIST), CB_GETDROPPEDSTATE, 0, 0));
    h.Key(VK_ESCAPE);
    EXPECT_FALSE(SendMessageW(GetDlgItem(h.dialog, IDC_COMBO_DEVICELIST), CB_GETDROPPEDSTATE, 0, 0));
    EXPECT_TRUE(IsWindow(h.dialog)) << "Esc closed the drop-down, not the program";
}

// What a screen reader hears of the controls whose text is not their name:
// the list, the path box, and the progress bar with the percentage shown.
TEST(MainDialog, ControlsHaveAccessibleNames) {
    DialogHarness h;
    PlugUpdateModeDevice(0x4A7E, 0xDF00, {3, 2}, L"SNA");
    h.Open();
    lstrcpyW(g_szPercent, L"42%");
    ShowWindow(GetDlgItem(h.dialog, IDC_PROGRESS), SW_SHOW);
    const struct {
        int id;
        bool value;
        const wchar_t* said;
    } cases[] = {{IDC_COMBO_DEVICELIST, false, L"Camera"}, {IDC_EDIT_FIRMWARE_PATH, false, L"Firmware file"},
                 {IDC_PROGRESS, false, L"Progress"},       {IDC_PROGRESS, true, L"42%"}};
    for (const auto& c : cases) {
        void* object = nullptr;
        ASSERT_HRESULT_SUCCEEDED(AccessibleObjectFromWindow(GetDlgItem(h.dialog, c.id), OBJID_CLIENT,
                                                            __uuidof(IAccessible), &object));
        auto* accessible = static_cast<IAccessible*>(object);
        VARIANT self{};
        self.vt = VT_I4;
        BSTR text = nullptr;
        const HRESULT hr = c.value ? accessible->get_accValue(self, &text) : accessible->get_accName(self, &text);
        accessible->Release();
        EXPECT_EQ(std::wstring(c.said), SUCCEEDED(hr) && text ? std::wstring(text) : L"(none)") << "control " << c.id;
        SysFreeString(text);
    }
}
