// Whole removal runs as their own processes, on the simulated machine, watched through Win32.
// Runs once in English and once under the Japanese locale (--japanese).
#include "run_harness.h"
#include "ui/texts.h"
#include <gtest/gtest.h>

static bool japanese;
// Standard output is in text mode, as on Windows: the line feed arrives as CR LF.
static const char Succeeded[] = "Succeeded.\r\n";

static std::wstring Expected(TextId id)
{
    EXPECT_EQ(IsJapaneseUser(), japanese) << "the test runs under the wrong locale";
    return GetText(id);
}

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

TEST(RemovalRun, PathOnAUsbDiskIsRemovedWithoutAsking)
{
    RunResult run = RunSim(L"\"F:\\Backup\\My Files\\a.txt\"", L"machine.txt");
    std::vector<std::wstring> expected = {Expected(TextReadyToRemove), Expected(TextDriveRemoved)};
    EXPECT_EQ(Texts(run), expected);
    ASSERT_FALSE(run.sightings.empty());
    ExpectCentredTopMost(run.sightings[0]);
    EXPECT_FALSE(run.menuShown);
    EXPECT_EQ(run.output, Succeeded);
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_GE(run.secondsAfterLastText, 2.9);
    printf("closed %.2f s after the last text\n", run.secondsAfterLastText);
}

TEST(RemovalRun, FailuresShowTheirTextAndCloseByThemselves)
{
    const struct { const wchar_t* arguments; const wchar_t* scenario; TextId text; const char* output; } cases[] = {
        {L"C:\\Windows\\notepad.exe", L"machine.txt", TextNoRemovableDrive, ""},
        {L"Q:\\nowhere", L"machine.txt", TextNoRemovableDrive, ""},
        {L"\"\" /menu", L"machine.txt", TextNoRemovableDrive, ""},  // an empty path, not the menu
        {L"/menu", L"empty.txt", TextNoRemovableDrive, ""},
        {L"E:\\", L"dismount-refused.txt", TextDismountFailed, ""},
        {L"e:\\x", L"spindown-refused.txt", TextSpinDownFailed, Succeeded},
    };
    for (const auto& c : cases) {
        RunResult run = RunSim(c.arguments, c.scenario);
        std::vector<std::wstring> expected = {Expected(c.text)};
        EXPECT_EQ(Texts(run), expected) << c.arguments;
        EXPECT_EQ(run.output, c.output) << c.arguments;
        EXPECT_EQ(run.exitCode, 0u);
        EXPECT_FALSE(run.menuShown);
        if (!run.sightings.empty())
            ExpectCentredTopMost(run.sightings[0]);
    }
}

TEST(RemovalRun, MenuIsCentredAndAKeyChoiceRemovesTheDisk)
{
    // Down stops on both disabled header lines: the first disk (2) is three away, disk 3 four.
    RunResult run = RunSim(L"/MENU extra", L"machine.txt", {{VK_DOWN, VK_DOWN, VK_DOWN, VK_DOWN, VK_RETURN}});
    ASSERT_TRUE(run.menuShown);
    int width = GetSystemMetrics(SM_CXSCREEN), height = GetSystemMetrics(SM_CYSCREEN);
    EXPECT_LE(abs((run.menuRect.left + run.menuRect.right) / 2 - width / 2), 1);
    EXPECT_LE(abs((run.menuRect.top + run.menuRect.bottom) / 2 - height / 2), 1);
    std::vector<std::wstring> expected = {Expected(TextReadyToRemove), Expected(TextDriveRemoved)};
    EXPECT_EQ(Texts(run), expected);
    EXPECT_EQ(run.output, Succeeded);
}

TEST(RemovalRun, EscapeEndsTheRunWithNothingShown)
{
    RunResult run = RunSim(L"/menu", L"machine.txt", {{VK_ESCAPE}});
    EXPECT_TRUE(run.menuShown);
    EXPECT_FALSE(run.everVisible);
    EXPECT_EQ(run.output, "");
    EXPECT_EQ(run.exitCode, 0u);
}

TEST(RemovalRun, APathOfThirtyThousandCharactersIsTakenLikeAnyOther)
{
    RunResult run = RunSim(L"\"e:\\" + std::wstring(30000, L'a') + L"\"", L"machine.txt");
    std::vector<std::wstring> expected = {Expected(TextReadyToRemove), Expected(TextDriveRemoved)};
    EXPECT_EQ(Texts(run), expected);
    EXPECT_EQ(run.exitCode, 0u);
}

TEST(RemovalRun, SelfTakesTheProgramsOwnPath)
{
    // The program lies on no simulated volume, so its own disk is not a USB disk.
    RunResult run = RunSim(L"/Self", L"machine.txt");
    std::vector<std::wstring> expected = {Expected(TextNoRemovableDrive)};
    EXPECT_EQ(Texts(run), expected);
}

TEST(RemovalRun, AMalformedScenarioStopsTheSimulatedProgram)
{
    RunResult run = RunSim(L"/menu", L"..\\..\\tests\\bad-scenario.txt");
    EXPECT_EQ(run.exitCode, 2u);
    EXPECT_FALSE(run.everVisible);
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

TEST(TrayRun, HotKeyStartsOneRunAndHoldsTheKeyAgainAfterIt)
{
    PROCESS_INFORMATION tray = StartSim(L"", L"machine.txt");
    HWND window = WaitForWindow(tray.dwProcessId, false, L"Vantrel", 10000);
    ASSERT_TRUE(window);
    EXPECT_FALSE(IsWindowVisible(window));
    EXPECT_TRUE(HeldAfterAWhile());

    PostMessageW(window, WM_HOTKEY, 1, 0);  // not its hot key
    EXPECT_FALSE(WaitForWindow(tray.dwProcessId, true, L"Vantrel", 1500));

    PostMessageW(window, WM_HOTKEY, 0, 0);
    HWND menu = WaitForWindow(tray.dwProcessId, true, L"#32768", 10000);
    ASSERT_TRUE(menu) << "no removal run started";
    EXPECT_FALSE(WinEscHeld()) << "Win+Esc must be free while the run is open";
    DWORD run = 0;
    GetWindowThreadProcessId(menu, &run);
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
    CloseHandle(tray.hThread);
    CloseHandle(tray.hProcess);
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
        fprintf(stderr, "usage: run_tests VantrelSim.exe scenario-folder [--japanese]\n");
        return 2;
    }
    simProgram = WindowsPath(argv[1]);
    scenarioDir = WindowsPath(argv[2]) + L"\\";
    japanese = argc > 3 && strcmp(argv[3], "--japanese") == 0;
    return RUN_ALL_TESTS();
}
