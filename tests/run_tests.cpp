// Whole removal runs of VantrelSim.exe as their own processes on the simulated machine,
// watched through Win32 as a user would see them, and the resident tray starting them.
#include "run_harness.h"
#include <gtest/gtest.h>

// Standard output is in text mode, as on Windows: the line feed arrives as CR LF.
static const char Succeeded[] = "Succeeded.\r\n";
static const wchar_t Ready[] = L"It is ready to remove.\nPlease remove the drive.";
static const wchar_t Removed[] = L"The drive has been removed.";
static const wchar_t NoDrive[] = L"No removable drive exists.";
static const wchar_t DismountFailed[] = L"Failed to dismount volumes.\nPlease use the standard removal feature of Windows.";
static const wchar_t SpinDownFailed[] = L"Failed to spin down the drive.\nPlease use the standard removal feature of Windows.";
static const std::wstring Machine = L"sim\\scenarios\\machine.txt";

static void ExpectCentredTopMost(const Sighting& seen)
{
    int width = GetSystemMetrics(SM_CXSCREEN), height = GetSystemMetrics(SM_CYSCREEN);
    EXPECT_EQ(seen.rect.right - seen.rect.left, 400);
    EXPECT_EQ(seen.rect.bottom - seen.rect.top, 50);
    EXPECT_EQ(seen.rect.left, (width - 400) / 2);
    EXPECT_EQ(seen.rect.top, (height - 50) / 2);
    EXPECT_TRUE(seen.exStyle & WS_EX_TOPMOST);
    EXPECT_TRUE(seen.exStyle & WS_EX_TOOLWINDOW);
    EXPECT_EQ(seen.style & (WS_POPUP | WS_THICKFRAME | WS_CAPTION), LONG(WS_POPUP | WS_THICKFRAME));
}

static std::vector<std::wstring> Texts(const RunResult& run)
{
    std::vector<std::wstring> texts;
    for (const Sighting& seen : run.sightings)
        texts.push_back(seen.text);
    return texts;
}

TEST(Removal, APathOnAUsbDiskIsRemovedWithoutAsking)
{
    RunResult run = RunSim({L"\"F:\\Backup\\My Files\\a.txt\"", Machine});
    EXPECT_EQ(Texts(run), (std::vector<std::wstring>{Ready, Removed}));
    ASSERT_FALSE(run.sightings.empty());
    ExpectCentredTopMost(run.sightings[0]);
    EXPECT_FALSE(run.menuShown);
    EXPECT_EQ(run.output, Succeeded);
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_GE(run.secondsAfterLastText, 2.9);
    printf("closed %.2f s after the last text\n", run.secondsAfterLastText);
}

TEST(Removal, FailuresShowTheirTextAndCloseByThemselves)
{
    const struct { const wchar_t* arguments; const wchar_t* scenario; const wchar_t* text; const char* output; } cases[] = {
        {L"D:\\setup.exe", L"sim\\scenarios\\machine.txt", NoDrive, ""},  // a DVD numbered like disk 2
        {L"/mneu", L"tests\\where-run.txt", NoDrive, ""},  // a typo, not the current drive's root
        {L"E:\\", L"sim\\scenarios\\dismount-refused.txt", DismountFailed, ""},
        {L"e:\\x", L"sim\\scenarios\\spindown-refused.txt", SpinDownFailed, Succeeded},
    };
    for (const auto& c : cases) {
        RunResult run = RunSim({c.arguments, c.scenario});
        EXPECT_EQ(Texts(run), std::vector<std::wstring>{c.text}) << c.arguments;
        EXPECT_EQ(run.output, c.output) << c.arguments;
        EXPECT_EQ(run.exitCode, 0u);
        if (!run.sightings.empty())
            ExpectCentredTopMost(run.sightings[0]);
    }
}

// The two non-data forms, each taken by a disk that refuses every form before it.
TEST(Removal, DisksThatTakeOnlyANonDataFormAreSpunDown)
{
    for (const wchar_t* path : {L"E:\\", L"F:\\"}) {
        RunResult run = RunSim({path, L"sim\\scenarios\\nodata-only.txt"});
        EXPECT_EQ(Texts(run), (std::vector<std::wstring>{Ready, Removed})) << path;
    }
}

// "." is the directory the run was started in, made full before the run leaves it; "/self"
// is the program's own disk, not the disk of the current directory, whatever argument 0 says.
TEST(Removal, DotAndSelfNameTheRightDisk)
{
    WCHAR here[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, here);
    ASSERT_EQ(here[0], L'Z');
    RunResult dot = RunSim({L".", L"tests\\where-run.txt"});
    EXPECT_EQ(Texts(dot), (std::vector<std::wstring>{Ready, Removed}));
    RunResult self = RunSim({L"/self", L"tests\\where-run.txt", L"", L"VantrelSim", L"C:\\"});
    EXPECT_EQ(Texts(self), (std::vector<std::wstring>{Ready, Removed}));
}

TEST(Menu, AKeyChoiceAtTheCentreRemovesTheDisk)
{
    // Down stops on both disabled header lines: the first disk (2) is three away, disk 3 four.
    RunResult run = RunSim({L"/MENU extra", Machine}, {{VK_DOWN, VK_DOWN, VK_DOWN, VK_DOWN, VK_RETURN}});
    ASSERT_TRUE(run.menuShown);
    int width = GetSystemMetrics(SM_CXSCREEN), height = GetSystemMetrics(SM_CYSCREEN);
    EXPECT_LE(abs((run.menuRect.left + run.menuRect.right) / 2 - width / 2), 1);
    EXPECT_LE(abs((run.menuRect.top + run.menuRect.bottom) / 2 - height / 2), 1);
    EXPECT_EQ(Texts(run), (std::vector<std::wstring>{Ready, Removed}));
    EXPECT_EQ(run.output, Succeeded);
}

TEST(Menu, EscapeEndsTheRunWithNothingShown)
{
    RunResult run = RunSim({L"/menu", Machine}, {{VK_ESCAPE}});
    EXPECT_TRUE(run.menuShown);
    EXPECT_FALSE(run.everVisible);
    EXPECT_EQ(run.output, "");
    EXPECT_EQ(run.exitCode, 0u);
    RunResult bad = RunSim({L"/menu", L"tests\\bad-scenario.txt"});
    EXPECT_EQ(bad.exitCode, 2u) << "a malformed scenario must stop the simulated program";
    EXPECT_FALSE(bad.everVisible);
}

TEST(Japanese, StatusesReadInJapanese)
{
    RunResult run = RunSim({L"E:\\", L"sim\\scenarios\\dismount-refused.txt"});
    EXPECT_EQ(Texts(run), std::vector<std::wstring>{
                              L"ボリュームのマウント解除に失敗しました。\nWindows標準の取り外し機能を使用してください。"});
}

// Whether Win+Esc is held by some program: registering it here fails then.
static bool WinEscHeld()
{
    if (!RegisterHotKey(nullptr, 7, MOD_WIN, VK_ESCAPE))
        return true;
    UnregisterHotKey(nullptr, 7);
    return false;
}

// Asks once the tray has had time to register: the probe itself holds the key for a moment,
// and a registration that collides with it fails for good.
static bool HeldAfterAWhile()
{
    Sleep(1000);
    return WinEscHeld();
}

// Ends a tray that a failed check left running, and lets go of its handles.
static void EndTray(const PROCESS_INFORMATION& tray)
{
    if (WaitForSingleObject(tray.hProcess, 0) == WAIT_TIMEOUT)
        TerminateProcess(tray.hProcess, 1);
    CloseHandle(tray.hThread);
    CloseHandle(tray.hProcess);
}

TEST(Tray, HoldsItsFileAndStartsOneRunOfItselfAtATime)
{
    // A copy of the program of its own, which the test may try to rename and overwrite.
    WCHAR folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    std::wstring copy = std::wstring(folder) + L"VantrelTray.exe", moved = copy + L".old";
    DeleteFileW(moved.c_str());
    ASSERT_TRUE(CopyFileW(simProgram.c_str(), copy.c_str(), FALSE));
    PROCESS_INFORMATION tray = StartSim({L"", Machine, copy});
    HWND window = WaitForWindow(tray.dwProcessId, nullptr, L"Vantrel", 10000);
    if (!window)
        return EndTray(tray), void(ADD_FAILURE() << "the tray did not start");
    EXPECT_FALSE(IsWindowVisible(window));
    EXPECT_TRUE(HeldAfterAWhile());
    EXPECT_FALSE(MoveFileW(copy.c_str(), moved.c_str())) << "the running tray's file was renamed";
    HANDLE writer = CreateFileW(copy.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(writer, INVALID_HANDLE_VALUE) << "the running tray's file was opened for writing";
    CloseHandle(writer);

    PostMessageW(window, WM_HOTKEY, 1, 0);  // not its hot key
    EXPECT_FALSE(WaitForWindow(tray.dwProcessId, &copy, L"Vantrel", 1500));
    PostMessageW(window, WM_HOTKEY, 0, 0);
    HWND menu = WaitForWindow(tray.dwProcessId, &copy, L"#32768", 10000);
    if (!menu)
        return EndTray(tray), void(ADD_FAILURE() << "no removal run with the drive menu started");
    DWORD run = 0;  // a process of this very file, showing the drive menu: "/menu"
    GetWindowThreadProcessId(menu, &run);
    EXPECT_FALSE(WinEscHeld()) << "Win+Esc must be free while the run is open";
    PostMessageW(menu, WM_KEYDOWN, VK_ESCAPE, 0);
    HANDLE runProcess = OpenProcess(SYNCHRONIZE, FALSE, run);
    EXPECT_EQ(WaitForSingleObject(runProcess, 10000), WAIT_OBJECT_0);
    CloseHandle(runProcess);
    EXPECT_TRUE(HeldAfterAWhile());

    PostMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_EQ(WaitForSingleObject(tray.hProcess, 10000), WAIT_OBJECT_0);
    DWORD exitCode = 1;
    GetExitCodeProcess(tray.hProcess, &exitCode);
    EXPECT_EQ(exitCode, 0u);
    EXPECT_FALSE(WinEscHeld());
    EndTray(tray);
    EXPECT_TRUE(MoveFileW(copy.c_str(), moved.c_str())) << "the file stays held after the tray ended";
    DeleteFileW(moved.c_str());
}

// Paths arrive as Unix paths from CTest; Wine sees the Unix root as drive Z:.
static std::wstring WindowsPath(const char* path)
{
    std::wstring result = L"Z:";
    for (const char* c = path; *c; ++c)
        result += *c == '/' ? L'\\' : WCHAR(*c);
    return result;
}

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    if (argc < 3) {
        fprintf(stderr, "usage: run_tests VantrelSim.exe project-folder\n");
        return 2;
    }
    simProgram = WindowsPath(argv[1]);
    sourceDir = WindowsPath(argv[2]) + L"\\";
    return RUN_ALL_TESTS();
}
