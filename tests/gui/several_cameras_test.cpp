// Several cameras on one bench: the update goes to the camera the operator
// chose, whatever its place in the list and whatever comes or goes meanwhile,
// and that camera is selected again by its unique ID when it is back.
#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "app_state.h"
#include "camera_plug.h"
#include "dialog_harness.h"
#include "engine_harness.h"
#include "resource.h"
#include "scenario_worlds.h"

namespace {

const wchar_t kSuccessText[] =
    L"Firmware Downloaded Successfully!\r\nDonot Reset the Device.\r\nDevice will boot automatically after "
    L"completing firmware update!";

// What else is on the bench besides the HID cameras of one model.
enum class Other { None, Tessa, Cx3 };

struct BenchCase {
    const char* name;
    Other before;     // plugged before the HID cameras, so it is listed first
    int hidCameras;   // HID cameras of one model
    int updated;      // which of them the operator updates (0-based)
    sim::ArrivalOrder arrivals = sim::ArrivalOrder::UsbDeviceFirst;  // of each device's interfaces
};

void PrintTo(const BenchCase& c, std::ostream* os) { *os << c.name; }

std::wstring SerialOf(int i) { return L"SNBENCH" + std::to_wstring(10 + i) + L"AB"; }

bool SamePath(const wchar_t* a, const std::wstring& b) { return lstrcmpiW(a, b.c_str()) == 0; }

int ListedAt(const std::wstring& videoPath) {
    for (int i = 0; i < g_nDeviceCount; ++i)
        if (SamePath(g_szDevicePathList[i], videoPath)) return i;
    return -1;
}

class Bench : public ::testing::TestWithParam<BenchCase> {};

TEST_P(Bench, TheChosenCameraIsUpdatedAndSelectedAgainByItsUniqueId) {
    const BenchCase& c = GetParam();
    DialogHarness h;
    sim::SetArrivalOrder(c.arrivals);
    if (c.before == Other::Tessa) sim::PlugTessaCamera({L"TS00000001AB", {1}, L"Tessa Camera"});
    if (c.before == Other::Cx3) sim::PlugCx3Camera({L"CX00000001AB", {1}});
    std::vector<std::unique_ptr<CameraUpdateWorld>> cams;
    for (int i = 0; i < c.hidCameras; ++i) {
        cams.push_back(std::make_unique<CameraUpdateWorld>());
        cams.back()->Plug(SerialOf(i), L"Corvane_RX20", {3, 1 + i});
    }
    h.Open();
    const int first = c.before == Other::None ? 0 : 1;
    ASSERT_EQ(static_cast<size_t>(first + c.hidCameras), h.ListItems().size());
    CameraUpdateWorld& target = *cams[c.updated];
    const int index = ListedAt(target.camera.videoPath);
    ASSERT_GT(index, 0) << "the updated camera is not the first one listed";
    h.Select(index);
    EXPECT_EQ(SerialOf(c.updated).substr(0, 10), std::wstring(DialogUpdate().USBUniqueID));

    const auto part1 = Pattern(3000, 51), part2 = Pattern(5000, 52);
    AnswerWarningWithOk();
    sim::QueueOpenFileAnswer(WriteTempFile(TwoPartFile(2, part1, part2)));
    h.Click(IDC_BTN_BROWSE);
    h.Click(IDC_BTN_FW_UPDATE);
    ASSERT_TRUE(h.WaitFor(UpdateEnded, 60000));
    EXPECT_TRUE(HasBox(kSuccessText));
    for (int i = 0; i < c.hidCameras; ++i) {
        SCOPED_TRACE(i);
        const bool mine = i == c.updated;
        EXPECT_EQ(mine ? std::vector<uint8_t>{2} : std::vector<uint8_t>{}, cams[i]->camera.model->UpdateKinds());
        EXPECT_EQ(mine ? part1 : std::vector<uint8_t>{}, cams[i]->flash->image1);
        EXPECT_EQ(mine ? part2 : std::vector<uint8_t>{}, cams[i]->flash->image2);
    }
    // Back in normal mode: the list holds every camera again, and the
    // updated one is selected.
    ASSERT_TRUE(h.WaitFor([&] { return ListedAt(target.camera.videoPath) >= 0 &&
                                       h.ListItems().size() == static_cast<size_t>(first + c.hidCameras); },
                          30000));
    h.Settle();
    const int selection = h.ListSelection();
    ASSERT_GE(selection, 0);
    EXPECT_TRUE(SamePath(g_szDevicePathList[selection], target.camera.videoPath))
        << "selected: " << selection << ", the updated camera is at " << ListedAt(target.camera.videoPath);
    EXPECT_EQ(SerialOf(c.updated).substr(0, 10), std::wstring(DialogUpdate().USBUniqueID));
}

INSTANTIATE_TEST_SUITE_P(SeveralCameras, Bench,
                         ::testing::Values(BenchCase{"SecondOfTwoOfOneModel", Other::None, 2, 1},
                                           BenchCase{"ThirdOfThreeOfOneModel", Other::None, 3, 2},
                                           BenchCase{"BehindATessaCamera", Other::Tessa, 2, 1},
                                           BenchCase{"BehindACx3Camera", Other::Cx3, 1, 0},
                                           BenchCase{"SecondOfTwoHidInterfaceArrivingFirst", Other::None, 2, 1,
                                                     sim::ArrivalOrder::FunctionsFirst},
                                           BenchCase{"BehindATessaHidInterfaceArrivingFirst", Other::Tessa, 2, 1,
                                                     sim::ArrivalOrder::FunctionsFirst}),
                         [](const ::testing::TestParamInfo<BenchCase>& info) { return std::string(info.param.name); });

// Another camera arrives while the warning before the update is open: the
// list is rebuilt under it (its first entry selected, the current path
// pointing there), and OK still sends the chosen camera into update mode,
// reads that camera's unique ID and selects it again afterwards.
TEST(SeveralCameras, DeviceChangeWhileTheWarningIsOpen) {
    DialogHarness h;
    CameraUpdateWorld a, b;
    a.Plug(SerialOf(0), L"Corvane_RX20", {3, 1});
    b.Plug(SerialOf(1), L"Corvane_RX20", {3, 2});
    h.Open();
    h.Select(ListedAt(b.camera.videoPath));
    bool rebuiltUnderTheWarning = false;
    AnswerWarningWithOkAfter([&] {
        sim::CameraPlace place;
        place.serial = L"NEWCOMER01AB";
        place.ports = {4};
        sim::PlugHidCamera(place);
        sim::WaitForIdle();
        // What the rebuild left: three cameras, the current path on the first.
        rebuiltUnderTheWarning = g_nDeviceCount == 3 && SamePath(g_szCurrentDevicePath, a.camera.videoPath);
    });
    const auto part1 = Pattern(2000, 61), part2 = Pattern(3000, 62);
    sim::QueueOpenFileAnswer(WriteTempFile(TwoPartFile(2, part1, part2)));
    h.Click(IDC_BTN_BROWSE);
    h.Click(IDC_BTN_FW_UPDATE);
    EXPECT_TRUE(rebuiltUnderTheWarning);
    EXPECT_EQ(SerialOf(1).substr(0, 10), std::wstring(DialogUpdate().USBUniqueID)) << "the chosen camera's ID";
    EXPECT_TRUE(a.camera.model->UpdateKinds().empty());
    EXPECT_EQ(std::vector<uint8_t>{2}, b.camera.model->UpdateKinds());
    ASSERT_TRUE(h.WaitFor(UpdateEnded, 60000));
    EXPECT_TRUE(HasBox(kSuccessText));
    EXPECT_EQ(part2, b.flash->image2);
    ASSERT_TRUE(h.WaitFor([&] { return ListedAt(b.camera.videoPath) >= 0 && h.ListItems().size() == 3; }, 30000));
    h.Settle();
    EXPECT_TRUE(SamePath(g_szDevicePathList[h.ListSelection()], b.camera.videoPath));
}

}  // namespace
