// The V9 camera's update through the Sunplus library, driven through the real
// dialog: the stand-in SunplusCamera.dll serves the simulated camera's chip,
// whose flash is compared with the file afterwards.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <set>
#include <thread>

#include "app_state.h"
#include "camera_plug.h"
#include "dialog_harness.h"
#include "engine_harness.h"
#include "resource.h"
#include "scenario_worlds.h"
#include "sunplus_chip.h"
#include "sunplus_update.h"

namespace {

using Kind = sim::SunplusLibraryEvent::Kind;

const wchar_t kSuccessText[] =
    L"Firmware Downloaded Successfully!\r\nDonot Reset the Device.\r\nDevice will boot automatically after "
    L"completing firmware update!";
const wchar_t kFailedText[] = L"Firmware Download Failed!";
const wchar_t kErasing[] = L"Erasing Memory...Please Wait...";
const wchar_t kCameraName[] = L"Corvane_V9";

// The lines of the Sunplus update, as the debugger output shows them.
const wchar_t kNotInitial[] = L"Sunplus camera not initial.\r\n";
const wchar_t kUninitialOk[] = L"Sunplus camera uninitial ok.\r\n";
const wchar_t kUnInited[] = L"UnInited Device  Successfully   \r\n";
const wchar_t kLoadFailed[] = L"Load Failed!\r\n";
const wchar_t kFound[] = L"Sunplus camera is found, init function pointer.\r\n";
const wchar_t kNotFound[] = L"Sunplus camera is NOT found\r\n";
const wchar_t kEntered[] = L"Entered into Download Firmware\r\n";
const wchar_t kFlashTypeSet[] = L"getSFtype is True\r\n";
const wchar_t kFlashTypeFail[] = L"Get flash type fail\r\n";
const wchar_t kFlashTypeNull[] = L"The function pointer of Get_FlashType() is NULL\r\n";
const wchar_t kStarted[] = L" DownloadKIVOV9Firmware Successfull  \r\n";
const wchar_t kThread[] = L"Entered into DownloadThread \r\n";
const wchar_t kOk[] = L"download ok\r\n";
const wchar_t kFail[] = L"download fail\r\n";
const wchar_t kFinished[] = L"Download progress finished,\r\n you need re-init device before access.\r\n";

std::vector<std::wstring> SunplusLines() {
    static const std::set<std::wstring> known = {kNotInitial, kUninitialOk, kUnInited, kLoadFailed, kFound,
                                                 kNotFound,   kEntered,     kFlashTypeSet, kFlashTypeFail,
                                                 kFlashTypeNull, kStarted,  kThread,   kOk, kFail, kFinished};
    std::vector<std::wstring> lines;
    for (const auto& l : sim::DebugLines())
        if (known.count(l.text) != 0) lines.push_back(l.text);
    // The branch's last line (user-interface thread) and the download
    // thread's first line may come in either order; each thread's own order
    // is what is checked, so the branch's line is put first.
    const auto started = std::find(lines.begin(), lines.end(), std::wstring(kStarted));
    const auto thread = std::find(lines.begin(), lines.end(), std::wstring(kThread));
    if (started != lines.end() && thread != lines.end() && thread < started) std::rotate(thread, started, started + 1);
    return lines;
}

std::vector<Kind> EventKinds() {
    std::vector<Kind> kinds;
    for (const auto& e : sim::SunplusLibraryEvents()) kinds.push_back(e.kind);
    return kinds;
}

std::wstring Folder(const std::wstring& path) { return path.substr(0, path.find_last_of(L'\\')); }

std::wstring ProgramFolder() {
    wchar_t path[MAX_PATH];
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    return Folder(path);
}

// A new empty folder under the temporary folder.
std::wstring NewFolder(const wchar_t* name) {
    wchar_t dir[MAX_PATH];
    GetTempPathW(MAX_PATH, dir);
    const std::wstring path = std::wstring(dir) + name + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(path.c_str(), nullptr);
    return path;
}

// A firmware file named after the camera, so no suitability question is asked.
std::wstring WriteFirmware(const std::vector<uint8_t>& bytes, int n = 1) {
    const std::wstring path =
        NewFolder(L"sunplus_fw") + L"\\" + kCameraName + L"_" + std::to_wstring(n) + L".bin";
    FILE* f = _wfopen(path.c_str(), L"wb");
    if (f != nullptr) {
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
    }
    return path;
}

// Changes the file's length; a longer file is extended without writing (sparse).
bool Resize(const std::wstring& path, LONGLONG length) {
    HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return false;
    LARGE_INTEGER at;
    at.QuadPart = length;
    const bool ok = SetFilePointerEx(f, at, nullptr, FILE_BEGIN) && SetEndOfFile(f);
    CloseHandle(f);
    return ok;
}

enum class Model { V9, Sunplus };

sim::PluggedCamera<sim::XuCameraModel> PlugCamera(Model model) {
    sim::CameraPlace place;
    place.serial = L"SP1234567890";
    place.ports = {2};
    place.friendlyName = kCameraName;
    return model == Model::V9 ? sim::PlugKivoV9Camera(place) : sim::PlugSunplusCamera(place);
}

// The Sunplus state as a new process has it, for table cases that run one
// after another in one process: no library, no connection, no image.
struct FreshSunplusState {
    FreshSunplusState() {
        if (g_pfnSunplusCam_UnInit != nullptr) g_pfnSunplusCam_UnInit(0);
        if (g_hSunplusDll != nullptr) FreeLibrary(g_hSunplusDll);
        g_hSunplusDll = nullptr;
        g_pfnSunplusCam_Init = nullptr;
        g_pfnSunplusCam_UnInit = nullptr;
        g_pfnDownload_FW_Verbose = nullptr;
        g_pfnGet_FlashType = nullptr;
        if (g_pSunplusImage != nullptr) VirtualFree(g_pSunplusImage, 0, MEM_RELEASE);
        g_pSunplusImage = nullptr;
        g_dwSunplusImageSize = 0;
        g_byFlashType = 0;
    }
};

// The dialog with one V9 camera selected.
struct SunplusWorld : FreshSunplusState {
    DialogHarness h;
    sim::PluggedCamera<sim::XuCameraModel> camera;
    std::shared_ptr<sim::SunplusChip> chip;

    explicit SunplusWorld(Model model = Model::V9, const sim::SunplusKnobs& knobs = sim::SunplusKnobs()) {
        camera = PlugCamera(model);
        chip = sim::SunplusChipOf(camera.device);
        chip->SetKnobs(knobs);
        AnswerWarningWithOk();
    }
    void Open() {
        h.Open();
        h.Select(0);
    }
    void Browse(const std::wstring& file) {
        sim::QueueOpenFileAnswer(file);
        h.Click(IDC_BTN_BROWSE);
    }
    // F/W UPDATE and OK; waits for the download thread when one started.
    void Update() {
        h.Click(IDC_BTN_FW_UPDATE);
        ASSERT_TRUE(h.WaitFor([] { return !g_bSunplusDownloadActive; }, 30000));
        h.Settle();
    }
};

}  // namespace

// Both vendor IDs of the V9 take the Sunplus branch; the camera's flash ends
// up holding the file, the library is called with the arguments it expects,
// and the progress reached the dialog from the download thread.
TEST(SunplusUpdate, V9CameraOfEitherVendorIsWrittenThroughTheLibrary) {
    for (Model model : {Model::V9, Model::Sunplus}) {
        SCOPED_TRACE(model == Model::V9 ? "4A7E:C181" : "1BCF:0B12");
        sim::SunplusKnobs knobs;
        knobs.flashType = 0x07;
        SunplusWorld w(model, knobs);
        w.Open();
        const std::vector<uint8_t> image = Pattern(70001, 3);
        w.Browse(WriteFirmware(image));
        ASSERT_TRUE(w.h.Enabled(IDC_BTN_FW_UPDATE));
        w.Update();

        EXPECT_EQ(std::vector<std::wstring>({kNotInitial, kFound, kEntered, kFlashTypeSet, kStarted, kThread, kOk,
                                             kFinished}),
                  SunplusLines());
        EXPECT_EQ(std::vector<std::wstring>{kSuccessText}, w.h.BoxTexts());
        EXPECT_EQ(image, w.chip->Flash());
        ASSERT_EQ(1u, w.chip->Downloads().size());
        const sim::SunplusDownloadCall call = w.chip->Downloads()[0];
        EXPECT_EQ(image.size(), call.length);
        EXPECT_EQ(0x07, call.flashType) << "the flash type the camera reported";
        EXPECT_EQ(std::vector<int>({0, 0, 0, 0, 1, 0, 0}), call.otherArgs);
        EXPECT_TRUE(call.progressGiven);
        EXPECT_EQ(std::vector<int>({0, 10, 20, 30, 40, 50, 60, 70, 80, 90, 100}), call.progress);
        EXPECT_EQ(std::vector<int>(11, 0), call.progressAnswers) << "the dialog's answer";
        EXPECT_NE(GetCurrentThreadId(), call.threadId) << "not on the user-interface thread";
        for (const auto& l : sim::DebugLines())
            if (l.text == kThread) {
                EXPECT_EQ(call.threadId, l.threadId) << "the download runs on DownloadThread";
            }

        EXPECT_EQ(L"100%", w.h.Text(IDC_STATIC_STATUS));
        EXPECT_EQ(100, w.h.ProgressPosition());
        EXPECT_EQ(L"Updating Firmware..", w.h.Text(IDC_STATIC_UPDATING));
        EXPECT_TRUE(w.h.Visible(IDC_STATIC_UPDATING));
        // The controls are as they were when F/W UPDATE was pressed.
        for (int id : {IDC_BTN_FW_UPDATE, IDC_BTN_BROWSE, IDC_COMBO_DEVICELIST}) EXPECT_TRUE(w.h.Enabled(id)) << id;
        EXPECT_TRUE(w.chip->IsOpen()) << "the connection stays open until the next Sunplus update";
    }
}

TEST(SunplusUpdate, ProgressCallbackShowsThePercentageAndTheBarFourAhead) {
    struct Case {
        int percent;
        const wchar_t* text;
        int bar;
    };
    const Case cases[] = {{0, L"0%", 4}, {1, L"1%", 5}, {50, L"50%", 54}, {96, L"96%", 100}, {100, L"100%", 100}};
    SunplusWorld w;
    w.Open();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.percent);
        // As the library calls it: on another thread, which waits for the dialog.
        std::atomic<bool> done{false};
        int answer = -1;
        std::thread caller([&] {
            answer = SunplusProgress(c.percent);
            done = true;
        });
        EXPECT_TRUE(w.h.WaitFor([&] { return done.load(); }));
        caller.join();
        EXPECT_EQ(0, answer);
        EXPECT_EQ(c.text, w.h.Text(IDC_STATIC_STATUS));
        EXPECT_EQ(c.bar, w.h.ProgressPosition());
        EXPECT_EQ(L"Updating Firmware..", w.h.Text(IDC_STATIC_UPDATING));
        for (int id : {IDC_STATIC_UPDATING, IDC_STATIC_STATUS, IDC_PROGRESS}) EXPECT_TRUE(w.h.Visible(id)) << id;
    }
}

TEST(SunplusUpdate, FailedDownloadShowsOnlyTheFailureAndResetsTheControls) {
    sim::SunplusKnobs knobs;
    knobs.failAtPercent = 40;
    SunplusWorld w(Model::Sunplus, knobs);
    w.Open();
    const std::vector<uint8_t> image = Pattern(50000, 5);
    w.Browse(WriteFirmware(image));
    w.Update();

    EXPECT_EQ(std::vector<std::wstring>({kNotInitial, kFound, kEntered, kFlashTypeSet, kStarted, kThread, kFail,
                                         kFinished}),
              SunplusLines());
    ASSERT_EQ(1u, sim::MessageBoxes().size());
    const sim::MessageBoxCall box = sim::MessageBoxes()[0];
    EXPECT_EQ(kFailedText, box.text);
    EXPECT_EQ(L"Error", box.caption);
    EXPECT_EQ(static_cast<UINT>(MB_ICONERROR), box.type & MB_ICONMASK);
    EXPECT_EQ(w.h.dialog, box.owner);
    EXPECT_NE(image, w.chip->Flash()) << "stopped at 40%";
    EXPECT_EQ(20000u, w.chip->Flash().size());

    EXPECT_EQ(L"", w.h.Text(IDC_EDIT_FIRMWARE_PATH));
    EXPECT_TRUE(w.h.Enabled(IDC_BTN_EXIT));
    for (int id : {IDC_EDIT_FIRMWARE_PATH, IDC_STATIC_SELECT_FILE, IDC_BTN_READFW_VERSION})
        EXPECT_FALSE(w.h.Enabled(id)) << id;
    for (int id : {IDC_STATIC_UPDATING, IDC_STATIC_ENTERING_UPDATE, IDC_STATIC_STATUS, IDC_PROGRESS})
        EXPECT_FALSE(w.h.Visible(id)) << id;
    for (int id : {IDC_BTN_BROWSE, IDC_COMBO_DEVICELIST}) EXPECT_TRUE(w.h.Enabled(id)) << id;
}

// What each failure before the download leaves: the lines written, whether
// the download thread ran (and failed), and what the library was asked.
TEST(SunplusUpdate, MissingLibraryCameraNotFoundAndFlashTypeFailure) {
    struct Case {
        const char* name;
        bool libraryMissing;
        bool notFound;
        bool flashTypeFails;
        std::vector<std::wstring> lines;
        std::vector<std::wstring> boxes;
        std::vector<Kind> events;
    };
    const std::vector<Case> cases = {
        {"library missing", true, false, false,
         {kNotInitial, kLoadFailed, kEntered, kFlashTypeNull, kStarted, kThread, kFail, kFinished},
         {kFailedText},
         {}},
        {"camera not found", false, true, false,
         {kNotInitial, kNotFound, kEntered, kFlashTypeNull, kStarted, kThread, kFail, kFinished},
         {kFailedText},
         {Kind::Loaded, Kind::Init}},
        {"flash type fails", false, false, true,
         {kNotInitial, kFound, kEntered, kFlashTypeSet, kFlashTypeFail},
         {},
         {Kind::Loaded, Kind::Init, Kind::FlashType}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sim::SunplusKnobs knobs;
        knobs.notFound = c.notFound;
        knobs.flashTypeFails = c.flashTypeFails;
        SunplusWorld w(Model::V9, knobs);
        // A program folder without the library.
        if (c.libraryMissing) sim::SetModuleFileName(NewFolder(L"sunplus_empty") + L"\\Corvane_FW_Updater.exe");
        w.Open();
        w.Browse(WriteFirmware(Pattern(4000, 6)));
        w.Update();
        EXPECT_EQ(c.lines, SunplusLines());
        EXPECT_EQ(c.boxes, w.h.BoxTexts());
        EXPECT_EQ(c.events, EventKinds());
        EXPECT_TRUE(w.chip->Downloads().empty());
        EXPECT_TRUE(w.chip->Flash().empty());
        if (c.flashTypeFails) {
            EXPECT_EQ(kErasing, w.h.Text(IDC_STATIC_STATUS));
            EXPECT_TRUE(w.h.Enabled(IDC_BTN_FW_UPDATE)) << "nothing started, nothing held";
        }
    }
}

TEST(SunplusUpdate, SecondUpdateClosesAndUnloadsTheFirstAndReplacesTheImage) {
    SunplusWorld w;
    w.Open();
    const std::vector<uint8_t> first = Pattern(30000, 7);
    const std::vector<uint8_t> second = Pattern(45000, 8);
    w.Browse(WriteFirmware(first, 1));
    w.Update();
    ASSERT_EQ(first, w.chip->Flash());
    uint8_t* const firstImage = g_pSunplusImage;
    ASSERT_NE(nullptr, firstImage);
    sim::ClearDebugLines();

    w.Browse(WriteFirmware(second, 2));
    w.Update();
    EXPECT_EQ(std::vector<std::wstring>({kUninitialOk, kUnInited, kFound, kEntered, kFlashTypeSet, kStarted, kThread,
                                         kOk, kFinished}),
              SunplusLines());
    EXPECT_EQ(std::vector<Kind>({Kind::Loaded, Kind::Init, Kind::FlashType, Kind::Download, Kind::UnInit,
                                 Kind::Unloaded, Kind::Loaded, Kind::Init, Kind::FlashType, Kind::Download}),
              EventKinds());
    EXPECT_EQ(2, w.chip->Opens());
    EXPECT_EQ(1, w.chip->Closes());
    EXPECT_EQ(second, w.chip->Flash());
    EXPECT_EQ(second.size(), g_dwSunplusImageSize);
    ASSERT_NE(nullptr, g_pSunplusImage);
    EXPECT_TRUE(std::equal(second.begin(), second.end(), g_pSunplusImage));
    // The first image was given back: its pages are free, or the new image
    // took their place (possible only once they were free).
    MEMORY_BASIC_INFORMATION info{};
    ASSERT_NE(0u, VirtualQuery(firstImage, &info, sizeof(info)));
    EXPECT_TRUE(info.State == MEM_FREE || g_pSunplusImage == firstImage);
}

// A library that found no camera is unloaded before the next update loads it
// again, so each update works with one fresh load.
TEST(SunplusUpdate, LibraryWithoutACameraIsUnloadedBeforeTheNextUpdate) {
    sim::SunplusKnobs knobs;
    knobs.notFound = true;
    SunplusWorld w(Model::V9, knobs);
    w.Open();
    w.Browse(WriteFirmware(Pattern(3000, 9), 1));
    w.Update();
    ASSERT_TRUE(HasBox(kFailedText));
    knobs.notFound = false;
    w.chip->SetKnobs(knobs);
    const std::vector<uint8_t> image = Pattern(3500, 10);
    w.Browse(WriteFirmware(image, 2));
    w.Update();
    EXPECT_EQ(std::vector<Kind>({Kind::Loaded, Kind::Init, Kind::Unloaded, Kind::Loaded, Kind::Init, Kind::FlashType,
                                 Kind::Download}),
              EventKinds());
    EXPECT_EQ(image, w.chip->Flash());
    EXPECT_TRUE(HasBox(kSuccessText));
}

// Only the library in the program's folder is ever loaded; one planted in the
// current folder never runs.
TEST(SunplusUpdate, LibraryIsLoadedFromTheProgramFolderOnly) {
    struct Case {
        const char* name;
        bool inProgramFolder;
        bool inCurrentFolder;
    };
    const Case cases[] = {
        {"planted in the current folder only", false, true},
        {"in both folders", true, true},
    };
    const std::wstring standIn = ProgramFolder() + L"\\SunplusCamera.dll";
    wchar_t oldCurrent[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, oldCurrent);
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ++n;
        const std::wstring program = NewFolder((L"sunplus_program" + std::to_wstring(n)).c_str());
        const std::wstring current = NewFolder((L"sunplus_current" + std::to_wstring(n)).c_str());
        const std::wstring programCopy = program + L"\\SunplusCamera.dll";
        const std::wstring plantedCopy = current + L"\\SunplusCamera.dll";
        if (c.inProgramFolder) {
            ASSERT_TRUE(CopyFileW(standIn.c_str(), programCopy.c_str(), FALSE));
        }
        if (c.inCurrentFolder) {
            ASSERT_TRUE(CopyFileW(standIn.c_str(), plantedCopy.c_str(), FALSE));
        }

        SunplusWorld w;
        sim::SetModuleFileName(program + L"\\Corvane_FW_Updater.exe");
        ASSERT_TRUE(SetCurrentDirectoryW(current.c_str()));
        w.Open();
        const std::vector<uint8_t> image = Pattern(5000, 11);
        w.Browse(WriteFirmware(image));
        w.Update();
        SetCurrentDirectoryW(oldCurrent);

        EXPECT_EQ(nullptr, GetModuleHandleW(plantedCopy.c_str())) << "the planted library was loaded";
        std::vector<std::wstring> loaded;
        for (const auto& e : sim::SunplusLibraryEvents())
            if (e.kind == Kind::Loaded) loaded.push_back(e.module);
        if (c.inProgramFolder) {
            ASSERT_EQ(1u, loaded.size());
            EXPECT_EQ(0, _wcsicmp(programCopy.c_str(), loaded[0].c_str())) << loaded[0];
            EXPECT_EQ(image, w.chip->Flash());
            EXPECT_TRUE(HasBox(kSuccessText));
        } else {
            EXPECT_TRUE(loaded.empty());
            EXPECT_EQ(std::vector<std::wstring>({kNotInitial, kLoadFailed, kEntered, kFlashTypeNull, kStarted, kThread,
                                                 kFail, kFinished}),
                      SunplusLines());
            EXPECT_TRUE(w.chip->Downloads().empty());
        }
    }
}

// While the download runs, nothing can start another one: the controls that
// would are disabled, and a start that gets through anyway is refused
// without touching the library or the image in use.
TEST(SunplusUpdate, NoSecondUpdateWhileTheDownloadRuns) {
    sim::SunplusKnobs knobs;
    knobs.holdAtPercent = 30;
    SunplusWorld w(Model::V9, knobs);
    w.Open();
    const std::vector<uint8_t> image = Pattern(60000, 12);
    w.Browse(WriteFirmware(image));
    ASSERT_TRUE(w.h.Enabled(IDC_BTN_FW_UPDATE));
    w.h.Click(IDC_BTN_FW_UPDATE);
    ASSERT_TRUE(w.h.WaitFor([&] { return w.chip->WaitUntilHeld(0); }));
    w.h.Pump(20);
    EXPECT_TRUE(g_bSunplusDownloadActive);
    EXPECT_EQ(L"30%", w.h.Text(IDC_STATIC_STATUS));
    for (int id : {IDC_BTN_FW_UPDATE, IDC_BTN_BROWSE, IDC_COMBO_DEVICELIST}) EXPECT_FALSE(w.h.Enabled(id)) << id;

    // The command sent anyway, as a stray message would, does nothing: no
    // box, no warning dialog.
    const size_t boxes = sim::MessageBoxes().size(), dialogs = sim::DialogCalls().size();
    w.h.Click(IDC_BTN_FW_UPDATE);
    EXPECT_EQ(boxes, sim::MessageBoxes().size());
    EXPECT_EQ(dialogs, sim::DialogCalls().size());
    EXPECT_EQ(std::vector<Kind>({Kind::Loaded, Kind::Init, Kind::FlashType}), EventKinds())
        << "the running connection was not closed";

    w.chip->Release();
    ASSERT_TRUE(w.h.WaitFor([] { return !g_bSunplusDownloadActive; }, 30000));
    w.h.Settle();
    EXPECT_EQ(image, w.chip->Flash());
    EXPECT_EQ(1u, w.chip->Downloads().size());
    EXPECT_EQ(std::vector<std::wstring>({kSuccessText}), w.h.BoxTexts());
    for (int id : {IDC_BTN_FW_UPDATE, IDC_BTN_BROWSE, IDC_COMBO_DEVICELIST})
        EXPECT_TRUE(w.h.Enabled(id)) << id << " given back";
}

// A file that is empty or larger than any of these cameras' flash, when the
// update starts, is refused with a message before anything is allocated or
// downloaded; a file of the largest size is taken.
TEST(SunplusUpdate, EmptyOrOversizedFileIsRefused) {
    struct Case {
        const char* name;
        LONGLONG length;
        const wchar_t* box;
    };
    const Case cases[] = {
        {"empty", 0, L"The firmware file is empty."},
        {"one byte over the limit", LONGLONG{kMaxSunplusImageBytes} + 1,
         L"The firmware file is too large for this camera."},
        {"beyond 32-bit lengths", 5LL << 30, L"The firmware file is too large for this camera."},
        {"exactly the limit", LONGLONG{kMaxSunplusImageBytes}, kSuccessText},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SunplusWorld w;
        w.Open();
        const std::vector<uint8_t> head = Pattern(4096, 13);
        const std::wstring file = WriteFirmware(head);
        w.Browse(file);
        // The file changes after it was chosen.
        ASSERT_TRUE(Resize(file, c.length));
        w.Update();
        EXPECT_EQ(std::vector<std::wstring>{c.box}, w.h.BoxTexts());
        if (c.box == kSuccessText) {
            const std::vector<uint8_t> flash = w.chip->Flash();
            ASSERT_EQ(static_cast<size_t>(c.length), flash.size());
            EXPECT_TRUE(std::equal(head.begin(), head.end(), flash.begin()));
            EXPECT_TRUE(std::all_of(flash.begin() + head.size(), flash.end(), [](uint8_t b) { return b == 0; }));
        } else {
            EXPECT_TRUE(w.chip->Downloads().empty());
            EXPECT_EQ(0u, g_dwSunplusImageSize);
            EXPECT_FALSE(g_bSunplusDownloadActive);
            EXPECT_TRUE(w.h.Enabled(IDC_BTN_FW_UPDATE)) << "nothing held";
            EXPECT_EQ(std::vector<std::wstring>({kNotInitial, kFound, kEntered, kFlashTypeSet}), SunplusLines());
        }
        DeleteFileW(file.c_str());
    }
}

// A file that is still there but cannot be opened (another program holds it
// exclusively): nothing is downloaded, and the status line is all that shows.
TEST(SunplusUpdate, FileThatCannotBeOpenedStartsNoDownload) {
    SunplusWorld w;
    w.Open();
    const std::wstring file = WriteFirmware(Pattern(2000, 14));
    w.Browse(file);
    HANDLE holder = CreateFileW(file.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, holder);
    w.Update();
    CloseHandle(holder);
    EXPECT_EQ(std::vector<std::wstring>({kNotInitial, kFound, kEntered, kFlashTypeSet}), SunplusLines());
    EXPECT_TRUE(w.h.BoxTexts().empty());
    EXPECT_EQ(kErasing, w.h.Text(IDC_STATIC_STATUS));
    EXPECT_TRUE(w.chip->Downloads().empty());
    EXPECT_EQ(nullptr, g_pSunplusImage);
    DeleteFileW(file.c_str());
}

// A file that another program still holds open for writing (letting others
// read it) is read as the C runtime would read it.
TEST(SunplusUpdate, AFileHeldOpenForWritingIsStillWritten) {
    SunplusWorld w;
    w.Open();
    const std::vector<uint8_t> image = Pattern(3000, 15);
    const std::wstring file = WriteFirmware(image);
    w.Browse(file);
    HANDLE writer = CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, writer);
    w.Update();
    CloseHandle(writer);
    EXPECT_EQ(std::vector<std::wstring>{kSuccessText}, w.h.BoxTexts());
    EXPECT_EQ(image, w.chip->Flash());
    DeleteFileW(file.c_str());
}
