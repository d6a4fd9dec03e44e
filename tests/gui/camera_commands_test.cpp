// READ F/W VERSION and RESET through the dialog and its command thread, for
// every kind of camera.
#include <windows.h>

#include <gtest/gtest.h>

#include <functional>

#include "app_state.h"
#include "camera_plug.h"
#include "com_video_devices.h"
#include "dialog_harness.h"
#include "resource.h"

namespace {

struct Kind {
    const char* name;
    std::function<void()> plug;
    std::vector<std::pair<std::wstring, std::wstring>> boxes;  // caption, text, in order
};

sim::CameraPlace Place(std::vector<int> hid = {}) {
    sim::CameraPlace p;
    p.serial = L"SN12345678AB";
    p.ports = {3, 2};
    p.hidInterfaces = std::move(hid);
    return p;
}

std::vector<std::pair<std::wstring, std::wstring>> Boxes() {
    std::vector<std::pair<std::wstring, std::wstring>> out;
    for (const auto& b : sim::MessageBoxes()) out.emplace_back(b.caption, b.text);
    return out;
}

}  // namespace

TEST(CameraCommands, VersionReadOfEveryKind) {
    const Kind kinds[] = {
        {"HID camera", [] { sim::PlugHidCamera(Place()); },
         {{L"Corvane_FW_Updater", L"Firmware Version = 1.2.10.300\r\n"}}},
        {"Tessa", [] { sim::PlugTessaCamera(Place()); }, {{L"Corvane_FW_Updater", L"Firmware Version = 1.4.2.7"}}},
        {"R7", [] { sim::PlugKivoR7Camera(Place()); },
         {{L"Corvane_FW_Updater", L"Firmware Version : 2024.5.17, Version : 3"}}},
        {"V9", [] { sim::PlugKivoV9Camera(Place()); }, {{L"Corvane_FW_Updater", L"Firmware Version : 2.5.259"}}},
        {"CX3 (command interface not on MI_02)", [] { sim::PlugCx3Camera(Place({3})); },
         {{L"SocioNext_FW_Updater",
           L"CX3 firmware version = 3.1\nCX3 firmware build date = 12-24-23 (MM-DD-YY)\n\nISP firmware version = "
           L"0x10.0x2 (16.2)\nISP firmware Build date = 231224 \nISP firmware Build time = 153045 \n"}}},
        {"CX3 bound on MI_02 with vendor 04B4", [] { sim::PlugCx3Camera(Place()); }, {}},
    };
    for (const Kind& k : kinds) {
        SCOPED_TRACE(k.name);
        DialogHarness h;
        k.plug();
        h.Open();
        ASSERT_EQ(1u, h.ListItems().size());
        EnableWindow(GetDlgItem(h.dialog, IDC_BTN_READFW_VERSION), TRUE);
        h.Click(IDC_BTN_READFW_VERSION);
        ASSERT_TRUE(h.WaitFor([] { return !g_bReadVersionRequested; }));
        h.Pump(20);
        EXPECT_EQ(k.boxes, Boxes());
        for (const auto& b : sim::MessageBoxes()) EXPECT_EQ(static_cast<UINT>(MB_OK), b.type);
        EXPECT_TRUE(h.Enabled(IDC_BTN_READFW_VERSION)) << "enabled again after the read";
    }
}

TEST(CameraCommands, FailedHidVersionReadSaysSo) {
    DialogHarness h;
    sim::HidCameraKnobs knobs;
    knobs.replyCode = 0x41;  // answers with the wrong code
    sim::PlugHidCamera(Place(), knobs);
    h.Open();
    h.Click(IDC_BTN_READFW_VERSION);
    ASSERT_TRUE(h.WaitFor([] { return !g_bReadVersionRequested; }));
    h.Pump(20);
    ASSERT_EQ(1u, sim::MessageBoxes().size());
    EXPECT_EQ(L"Firmware Version Failed", sim::MessageBoxes()[0].text);
}

TEST(CameraCommands, ResetOfEveryKind) {
    struct ResetKind {
        const char* name;
        std::function<std::function<int()>()> plug;  // returns the camera's reset count
    } kinds[] = {
        {"HID camera",
         [] {
             auto c = sim::PlugHidCamera(Place());
             return std::function<int()>([m = c.model] { return m->Resets(); });
         }},
        {"R7",
         [] {
             auto c = sim::PlugKivoR7Camera(Place());
             return std::function<int()>([m = c.model] { return m->Resets(); });
         }},
        {"V9",
         [] {
             auto c = sim::PlugKivoV9Camera(Place());
             return std::function<int()>([m = c.model] { return m->Resets(); });
         }},
    };
    for (const ResetKind& k : kinds) {
        SCOPED_TRACE(k.name);
        DialogHarness h;
        auto resets = k.plug();
        h.Open();
        h.Click(IDC_BTN_RESET);
        ASSERT_TRUE(h.WaitFor([] { return !g_bResetRequested; }));
        EXPECT_EQ(1, resets());
        EXPECT_TRUE(sim::MessageBoxes().empty()) << "a reset shows no box";
    }
}

TEST(CameraCommands, VersionReadKeepsItsButtonDisabledWhileItRuns) {
    DialogHarness h;
    sim::HidCameraKnobs knobs;
    knobs.noReply = true;  // the read waits its whole 5 s for a reply
    sim::PlugHidCamera(Place(), knobs);
    h.Open();
    h.Select(0);
    EXPECT_TRUE(h.Enabled(IDC_BTN_READFW_VERSION)) << "a camera whose command interface binds";
    sim::SetTimeScale(0.1);  // half a second of real time for the check below
    h.Click(IDC_BTN_READFW_VERSION);
    ASSERT_TRUE(h.WaitFor([&] { return !h.Enabled(IDC_BTN_READFW_VERSION); }, 5000));
    EXPECT_TRUE(g_bReadVersionRequested);
    h.Click(IDC_BTN_RESET);
    EXPECT_EQ(L"Please wait...ReadFirmwarVersion in progress", sim::MessageBoxes().back().text);
    ASSERT_TRUE(h.WaitFor([] { return !g_bReadVersionRequested; }, 20000));
    h.Pump(20);
    EXPECT_TRUE(h.Enabled(IDC_BTN_READFW_VERSION));
    EXPECT_EQ(L"Firmware Version Failed", sim::MessageBoxes().back().text);
}

// Two extension-unit cameras of one model: the version read is the selected
// camera's, whichever the dialog bound last, and the interfaces it uses are
// obtained and released on the command thread.
TEST(CameraCommands, ExtensionUnitVersionIsTheSelectedCamerasOfTwo) {
    struct Case {
        const char* name;
        std::function<void(const sim::CameraPlace&, const sim::XuCameraKnobs&)> plug;
        std::function<void(sim::XuCameraKnobs*, uint8_t)> version;
        std::wstring secondsText;
    } cases[] = {
        {"R7", [](const sim::CameraPlace& p, const sim::XuCameraKnobs& k) { sim::PlugKivoR7Camera(p, k); },
         [](sim::XuCameraKnobs* k, uint8_t v) { k->r7Version[3] = v; }, L"Firmware Version : 2024.5.17, Version : 9"},
        {"Tessa", [](const sim::CameraPlace& p, const sim::XuCameraKnobs& k) { sim::PlugTessaCamera(p, k); },
         [](sim::XuCameraKnobs* k, uint8_t v) { k->tessaVersion[3] = v; }, L"Firmware Version = 1.4.2.9"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DialogHarness h;
        for (uint8_t v : {uint8_t{4}, uint8_t{9}}) {
            sim::CameraPlace place = Place();
            place.serial = v == 4 ? L"XUFIRST0001" : L"XUSECOND001";
            place.ports = {3, v == 4 ? 1 : 2};
            sim::XuCameraKnobs knobs;
            c.version(&knobs, v);
            c.plug(place, knobs);
        }
        h.Open();
        ASSERT_EQ(2u, h.ListItems().size());
        h.Select(1);
        h.Click(IDC_BTN_READFW_VERSION);
        ASSERT_TRUE(h.WaitFor([] { return !g_bReadVersionRequested; }));
        h.Pump(20);
        EXPECT_EQ((std::vector<std::pair<std::wstring, std::wstring>>{{L"Corvane_FW_Updater", c.secondsText}}), Boxes());
        EXPECT_EQ(0, sim::LiveComObjects()) << "the command released what it bound";
    }
}
