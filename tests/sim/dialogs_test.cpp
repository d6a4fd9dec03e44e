// Message boxes, the open-file dialog and modal dialogs are recorded and
// answered as the test says; debugger output is captured line by line.
#include "sim_test_support.h"

#include "os_api.h"

using namespace simtest;

namespace {

TEST(SimMessageBoxes, UnqueuedBoxesGetTheSensibleAnswerOfTheirType) {
    struct Case {
        UINT type;
        int answer;
    } cases[] = {
        {MB_OK | MB_ICONERROR | MB_TOPMOST, IDOK},
        {MB_OKCANCEL, IDOK},
        {MB_YESNO | MB_ICONQUESTION, IDYES},
        {MB_YESNOCANCEL, IDYES},
        {MB_RETRYCANCEL, IDRETRY},
        {MB_ABORTRETRYIGNORE, IDABORT},
        {MB_CANCELTRYCONTINUE, IDCONTINUE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        EXPECT_EQ(c.answer, Os().MessageBoxW(nullptr, L"text", L"caption", c.type));
    }
    EXPECT_EQ(sizeof(cases) / sizeof(cases[0]), sim::MessageBoxes().size());
}

TEST(SimMessageBoxes, QueuedAnswersAreUsedInOrderAndEveryBoxIsRecorded) {
    sim::QueueMessageBoxAnswer(IDNO);
    sim::QueueMessageBoxAnswer(IDCANCEL);
    HWND owner = reinterpret_cast<HWND>(static_cast<ULONG_PTR>(0x1234));
    EXPECT_EQ(IDNO, Os().MessageBoxW(owner, L"Firmware file does not match the camera. Continue?", L"Warning", MB_YESNO));
    EXPECT_EQ(IDCANCEL, Os().MessageBoxW(nullptr, L"second", L"Alert", MB_OKCANCEL));
    EXPECT_EQ(IDOK, Os().MessageBoxW(nullptr, L"Error in SetupDiGetDeviceInterfaceDetail!", L"Error",
                                     MB_ICONERROR | MB_TOPMOST));
    std::vector<sim::MessageBoxCall> boxes = sim::MessageBoxes();
    ASSERT_EQ(3u, boxes.size());
    EXPECT_EQ(owner, boxes[0].owner);
    EXPECT_EQ(L"Firmware file does not match the camera. Continue?", boxes[0].text);
    EXPECT_EQ(L"Warning", boxes[0].caption);
    EXPECT_EQ(static_cast<UINT>(MB_YESNO), boxes[0].type);
    EXPECT_EQ(IDNO, boxes[0].answer);
    EXPECT_EQ(::GetCurrentThreadId(), boxes[0].threadId);
    EXPECT_EQ(IDCANCEL, boxes[1].answer);
    EXPECT_EQ(L"Error", boxes[2].caption);
    EXPECT_EQ(static_cast<UINT>(MB_ICONERROR | MB_TOPMOST), boxes[2].type);
}

TEST(SimMessageBoxes, AHookAnswersFirstAndMayLeaveTheBoxToTheQueue) {
    sim::QueueMessageBoxAnswer(IDNO);
    sim::SetMessageBoxHook([](const sim::MessageBoxCall& c) { return c.caption == L"Success" ? IDOK + 100 : 0; });
    EXPECT_EQ(IDOK + 100, Os().MessageBoxW(nullptr, L"done", L"Success", MB_OK));
    EXPECT_EQ(IDNO, Os().MessageBoxW(nullptr, L"sure?", L"Warning", MB_YESNO));
}

OPENFILENAMEW OpenFileRecord(wchar_t* file, DWORD size, wchar_t* title = nullptr, DWORD titleSize = 0) {
    OPENFILENAMEW ofn = {};
    ofn.lStructSize = sizeof(ofn);
    ofn.lpstrFilter = L"Firmware (*.bin)\0*.bin\0All files\0*.*\0";
    ofn.lpstrFile = file;
    ofn.nMaxFile = size;
    ofn.lpstrFileTitle = title;
    ofn.nMaxFileTitle = titleSize;
    ofn.Flags = OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST;
    return ofn;
}

TEST(SimOpenFile, AnsweredPathsFillTheRecordAsTheDialogDoes) {
    struct Case {
        std::wstring path;
        WORD offset;
        WORD extension;
        std::wstring title;
    } cases[] = {
        {L"C:\\fw\\Kivo_C05C.bin", 6, 16, L"Kivo_C05C.bin"},
        {L"Z:\\tmp\\a.b\\noext", 11, 16, L"noext"},       // no extension: the terminating null
        {L"C:\\fw\\trailing.", 6, 0, L"trailing."},       // a name ending in "."
        {L"C:\\fw\\v1.2.img", 6, 11, L"v1.2.img"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.path.begin(), c.path.end()));
        sim::QueueOpenFileAnswer(c.path);
        wchar_t file[MAX_PATH] = L"";
        wchar_t title[MAX_PATH] = L"";
        OPENFILENAMEW ofn = OpenFileRecord(file, MAX_PATH, title, MAX_PATH);
        ASSERT_TRUE(Os().GetOpenFileNameW(&ofn));
        EXPECT_EQ(c.path, file);
        EXPECT_EQ(c.offset, ofn.nFileOffset);
        EXPECT_EQ(c.extension, ofn.nFileExtension);
        EXPECT_EQ(c.title, title);
    }
    std::vector<sim::OpenFileCall> calls = sim::OpenFileCalls();
    ASSERT_EQ(4u, calls.size());
    EXPECT_EQ((std::vector<std::wstring>{L"Firmware (*.bin)", L"*.bin", L"All files", L"*.*"}), calls[0].filter);
    EXPECT_EQ(static_cast<DWORD>(OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST), calls[0].flags);
    EXPECT_EQ(static_cast<DWORD>(MAX_PATH), calls[0].maxFile);
    EXPECT_TRUE(calls[0].accepted);
    EXPECT_EQ(L"C:\\fw\\Kivo_C05C.bin", calls[0].answer);
}

TEST(SimOpenFile, EmptyQueueCancelsAndAShortBufferFails) {
    wchar_t file[8] = L"keep";
    OPENFILENAMEW ofn = OpenFileRecord(file, 8);
    EXPECT_FALSE(Os().GetOpenFileNameW(&ofn));
    EXPECT_STREQ(L"keep", file);

    sim::QueueOpenFileAnswer(L"C:\\long\\name.bin");  // 16 characters
    EXPECT_FALSE(Os().GetOpenFileNameW(&ofn));
    EXPECT_EQ(17, file[0]) << "the size needed, as FNERR_BUFFERTOOSMALL reports it";
    std::vector<sim::OpenFileCall> calls = sim::OpenFileCalls();
    ASSERT_EQ(2u, calls.size());
    EXPECT_FALSE(calls[0].accepted);
    EXPECT_FALSE(calls[1].accepted);
}

INT_PTR CALLBACK NoticeProc(HWND, UINT, WPARAM, LPARAM) { return FALSE; }

TEST(SimDialogs, AHookAnswersAndOtherwiseTheRealDialogRuns) {
    sim::SetDialogHook([](const sim::DialogCall& c, DLGPROC proc, INT_PTR* result) {
        if (c.templateId != 144) return false;
        EXPECT_EQ(&NoticeProc, proc);
        *result = 1;
        return true;
    });
    HWND parent = ::CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    EXPECT_EQ(1, Os().DialogBoxParamW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(144), parent, NoticeProc, 42));
    // No template 999 in this program: the real DialogBoxParamW fails with -1.
    EXPECT_EQ(-1, Os().DialogBoxParamW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(999), parent, NoticeProc, 0));
    std::vector<sim::DialogCall> calls = sim::DialogCalls();
    ASSERT_EQ(2u, calls.size());
    EXPECT_EQ(144, calls[0].templateId);
    EXPECT_EQ(parent, calls[0].parent);
    EXPECT_EQ(42, calls[0].initParam);
    EXPECT_EQ(999, calls[1].templateId);
    ::DestroyWindow(parent);
}

TEST(SimDebugOutput, EveryLineIsCapturedExactlyWithItsThread) {
    const OsApi& os = Os();
    ::SetLastError(kMarker);
    os.OutputDebugStringW(L"FindMatchDFUDevice ++\r\n");
    EXPECT_EQ(kMarker, ::GetLastError()) << "writing a line keeps the last error";
    DWORD worker = 0;
    std::thread t([&] {
        worker = ::GetCurrentThreadId();
        Os().OutputDebugStringW(L"KivoFwSw: Device Found \r\n");
    });
    t.join();
    Os().OutputDebugStringW(L"no line end");
    Os().OutputDebugStringW(nullptr);
    std::vector<sim::DebugLine> lines = sim::DebugLines();
    ASSERT_EQ(3u, lines.size());
    EXPECT_EQ(L"FindMatchDFUDevice ++\r\n", lines[0].text);
    EXPECT_EQ(::GetCurrentThreadId(), lines[0].threadId);
    EXPECT_EQ(L"KivoFwSw: Device Found \r\n", lines[1].text);
    EXPECT_EQ(worker, lines[1].threadId);
    EXPECT_EQ(L"FindMatchDFUDevice ++\r\nKivoFwSw: Device Found \r\nno line end", sim::DebugText());
    sim::ClearDebugLines();
    EXPECT_TRUE(sim::DebugLines().empty());
}

TEST(SimDebugOutput, LinesAreEchoedToTheFileNamedByTheEnvironment) {
    wchar_t dir[MAX_PATH], path[MAX_PATH];
    ASSERT_NE(0u, ::GetTempPathW(MAX_PATH, dir));
    ASSERT_NE(0u, ::GetTempFileNameW(dir, L"dbg", 0, path));
    // Read when the world is made: first use of the simulator in this process.
    ASSERT_TRUE(::SetEnvironmentVariableW(L"CORVANE_SIM_DEBUGLOG", path));
    Os().OutputDebugStringW(L"UpdateFirmware ++\r\n");
    Os().MessageBoxW(nullptr, L"Firmware updated", L"Success", MB_OK);
    HANDLE f = ::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, f);
    char text[512] = {};
    DWORD n = 0;
    ::ReadFile(f, text, sizeof(text) - 1, &n, nullptr);
    ::CloseHandle(f);
    std::string s(text, n);
    EXPECT_NE(std::string::npos, s.find("] UpdateFirmware ++\r\n")) << s;
    EXPECT_NE(std::string::npos, s.find("MessageBox \"Success\": Firmware updated")) << s;
    EXPECT_EQ(1u, sim::DebugLines().size()) << "a message box is no debug line";
    ::DeleteFileW(path);
}

}  // namespace
