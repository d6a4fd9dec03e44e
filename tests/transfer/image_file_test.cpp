// Reading the firmware file through the open-file dialog, and the loader
// images beside the program.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app_state.h"
#include "engine_harness.h"
#include "image_file.h"
#include "firmware_browse.h"

namespace {

std::wstring TempFolder() {
    wchar_t dir[MAX_PATH];
    GetTempPathW(MAX_PATH, dir);
    wchar_t sub[MAX_PATH];
    swprintf(sub, MAX_PATH, L"%sfwtest%lu\\", dir, GetCurrentProcessId());
    CreateDirectoryW(sub, nullptr);
    return sub;
}

std::wstring WriteFile(const std::wstring& path, const std::vector<uint8_t>& bytes) {
    FILE* f = _wfopen(path.c_str(), L"wb");
    if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
    return path;
}

std::vector<std::wstring> BoxTexts() {
    std::vector<std::wstring> t;
    for (const auto& b : sim::MessageBoxes()) t.push_back(b.caption + L": " + b.text);
    return t;
}

}  // namespace

TEST(SelectFirmwareFile, FilterOrderFollowsTheNxpFlagAndOptionsAreFixed) {
    EngineHarness h;
    for (bool nxp : {false, true}) {
        SCOPED_TRACE(nxp);
        DialogUpdate().bNXPDevice = nxp;
        EXPECT_EQ(2, SelectFirmwareFile()) << "no answer queued: the operator cancels";
        const auto call = sim::OpenFileCalls().back();
        const std::vector<std::wstring> bin = {L"Binary Files (*.BIN)", L"*.bin"};
        const std::vector<std::wstring> img = {L"Binary Files (*.IMG)", L"*.img"};
        ASSERT_EQ(4u, call.filter.size());
        EXPECT_EQ(nxp ? bin[0] : img[0], call.filter[0]);
        EXPECT_EQ(nxp ? bin[1] : img[1], call.filter[1]);
        EXPECT_EQ(nxp ? img[0] : bin[0], call.filter[2]);
        EXPECT_EQ(static_cast<DWORD>(OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR),
                  call.flags & (OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR));
        EXPECT_EQ(static_cast<DWORD>(260), call.maxFile);
        EXPECT_EQ(h.dialog, call.owner);
    }
    DialogUpdate().bNXPDevice = false;
}

TEST(SelectFirmwareFile, CancelChangesNothingButTheCombinedFlag) {
    EngineHarness h;
    const std::wstring dir = TempFolder();
    sim::QueueOpenFileAnswer(WriteFile(dir + L"a.img", TwoPartFile(2, Pattern(100, 1), Pattern(50, 2))));
    ASSERT_EQ(1, SelectFirmwareFile());
    ASSERT_TRUE(DialogUpdate().bCombinedImage);
    EXPECT_EQ(dir + L"a.img", h.ControlText(1000));
    EXPECT_EQ(std::wstring(L"a.img"), DialogUpdate().szFirmwareFileName);
    EXPECT_EQ(2, SelectFirmwareFile());
    EXPECT_FALSE(DialogUpdate().bCombinedImage);
    EXPECT_EQ(100u, DialogUpdate().dwImageSize1.load()) << "the sections read before stay";
    EXPECT_EQ(dir + L"a.img", h.ControlText(1000));
}

TEST(SelectFirmwareFile, FailuresEndInZeroWithTheirReports) {
    EngineHarness h;
    const std::wstring dir = TempFolder();
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        const wchar_t* line;
    } cases[] = {
        {"one IMG section", Cat({{1}, Ascii("orviIMG"), {0}, Le32(4), Pattern(4, 3)}),
         L"Substring not found for Image2....\r\n"},
        {"section past the end", Cat({Ascii("orviFPGA"), Le32(5000), Pattern(10, 4)}), nullptr},
        {"empty file", {}, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sim::ClearDebugLines();
        sim::QueueOpenFileAnswer(WriteFile(dir + L"bad.img", c.bytes));
        EXPECT_EQ(0, SelectFirmwareFile());
        if (c.line != nullptr) {
            EXPECT_NE(std::wstring::npos, sim::DebugText().find(c.line));
        }
    }
    // A file that is gone between the dialog and the read.
    sim::QueueOpenFileAnswer(dir + L"missing.img");
    EXPECT_EQ(0, SelectFirmwareFile());
    EXPECT_EQ(L"Error: Check File Path!", BoxTexts().back());
    EXPECT_EQ(static_cast<UINT>(MB_ICONEXCLAMATION), sim::MessageBoxes().back().type & MB_ICONMASK);
}

TEST(SelectFirmwareFile, PlainFileLeavesNoPartOneOfAnEarlierFile) {
    EngineHarness h;
    const std::wstring dir = TempFolder();
    sim::QueueOpenFileAnswer(WriteFile(dir + L"two.img", TwoPartFile(1, Pattern(300, 5), Pattern(200, 6))));
    ASSERT_EQ(1, SelectFirmwareFile());
    ASSERT_NE(nullptr, DialogUpdate().pImageData1);
    const auto plain = Pattern(700, 7);
    sim::QueueOpenFileAnswer(WriteFile(dir + L"plain.img", plain));
    ASSERT_EQ(1, SelectFirmwareFile());
    EXPECT_EQ(nullptr, DialogUpdate().pImageData1);
    EXPECT_EQ(0u, DialogUpdate().dwImageSize1.load());
    EXPECT_EQ(3, DialogUpdate().byImageType.load());
    ASSERT_EQ(700u, DialogUpdate().dwImageSize2.load());
    EXPECT_EQ(plain, std::vector<uint8_t>(DialogUpdate().pImageData2, DialogUpdate().pImageData2 + 700));
    EXPECT_NE(std::wstring::npos, sim::DebugText().find(L"Substring not found for Image1....\r\n"));
}

// Read as the C runtime reads a file for binary reading: another program
// may hold it open for writing.
TEST(SelectFirmwareFile, AFileHeldOpenForWritingIsRead) {
    EngineHarness h;
    const std::wstring dir = TempFolder();
    const auto plain = Pattern(500, 10);
    const std::wstring path = WriteFile(dir + L"held.img", plain);
    HANDLE writer =
        CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, writer);
    sim::QueueOpenFileAnswer(path);
    EXPECT_EQ(1, SelectFirmwareFile());
    CloseHandle(writer);
    EXPECT_TRUE(sim::MessageBoxes().empty());
    ASSERT_EQ(500u, DialogUpdate().dwImageSize2.load());
    EXPECT_EQ(plain, std::vector<uint8_t>(DialogUpdate().pImageData2, DialogUpdate().pImageData2 + 500));
    DeleteFileW(path.c_str());
}

TEST(LoaderImages, ReadFromTheProgramFolder) {
    EngineHarness h;
    const std::wstring dir = TempFolder();
    const auto boot = Pattern(4000, 8), flash = Pattern(9000, 9);
    WriteFile(dir + L"bootloader.img", boot);
    WriteFile(dir + L"RT1060_Flashloader_nopadding.bin", flash);
    const std::wstring exe = dir + L"Corvane_FW_Updater.exe";
    wcscpy(g_szExePath, exe.c_str());
    g_nExeDirLength = static_cast<int>(dir.size()) - 1;  // index of the last backslash

    ASSERT_EQ(1, ReadBootloaderImage(DialogUpdate()));
    EXPECT_EQ(boot, std::vector<uint8_t>(DialogUpdate().pLoaderFileData, DialogUpdate().pLoaderFileData + DialogUpdate().dwLoaderFileSize));
    EXPECT_FALSE(DialogUpdate().bNXPDevice);
    const ULONGLONG before = sim::SimulatedNowMs();
    ASSERT_EQ(1, ReadFlashloaderImage(DialogUpdate()));
    EXPECT_EQ(flash, std::vector<uint8_t>(DialogUpdate().pLoaderFileData, DialogUpdate().pLoaderFileData + DialogUpdate().dwLoaderFileSize));
    EXPECT_TRUE(DialogUpdate().bNXPDevice);
    EXPECT_GE(sim::SimulatedNowMs() - before, 5000u) << "the flash loader read waits 5 s";
    DialogUpdate().bNXPDevice = false;

    DeleteFileW((dir + L"bootloader.img").c_str());
    EXPECT_EQ(0, ReadBootloaderImage(DialogUpdate()));
    EXPECT_EQ(L"Error: Check File Path!", BoxTexts().back());
}
