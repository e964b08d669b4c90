// Whole runs of VantrelSim.exe as their own processes on the simulated machine: what each
// wrote and showed (the program reports its own window, read through Win32, at its end), and
// the resident tray starting runs of itself, watched from outside.
#include <windows.h>
#include <gtest/gtest.h>
#include <string>
#include <string.h>

static std::wstring simProgram;  // VantrelSim.exe
static std::wstring sourceDir;   // the project's folder, with a trailing backslash

// What to start: the command line after the program's name, the scenario (relative to the
// project's folder), the menu keys (null: not watched), the program (VantrelSim.exe when
// empty), argument 0 (the quoted full path when empty) and the current directory.
struct Launch {
    std::wstring arguments, scenario;
    const wchar_t* keys;
    std::wstring program, argument0, directory;
};

static PROCESS_INFORMATION Start(const Launch& launch, HANDLE output)
{
    SetEnvironmentVariableW(L"VANTREL_SCENARIO", (sourceDir + launch.scenario).c_str());
    SetEnvironmentVariableW(L"VANTREL_WATCH", launch.keys);
    std::wstring program = launch.program.empty() ? simProgram : launch.program;
    std::wstring commandLine = (launch.argument0.empty() ? L"\"" + program + L"\"" : launch.argument0) + L" " + launch.arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = startup.hStdError = output;
    PROCESS_INFORMATION process = {};
    CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr,
                   launch.directory.empty() ? nullptr : launch.directory.c_str(), &startup, &process);
    return process;
}

// Reads what the pipe holds now. Not to its end: a process that the run starts (Wine's
// desktop, say) may inherit the pipe and keep it open long after the run.
static void Drain(HANDLE pipe, std::string* output)
{
    char chunk[256];
    DWORD available = 0, read = 0;
    while (PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) && available > 0 &&
           ReadFile(pipe, chunk, sizeof chunk, &read, nullptr))
        output->append(chunk, read);
}

// The run report gives the close in milliseconds: a close 3 to 6 s after the last status
// reads "closed 3 s after"; any other keeps its figure, so that a mismatch shows it.
static std::string CloseInSeconds(std::string output)
{
    size_t at = output.find("closed "), end = output.find(" ms after", at);
    if (at == std::string::npos || end == std::string::npos)
        return output;
    unsigned long milliseconds = strtoul(output.c_str() + at + 7, nullptr, 10);
    if (milliseconds >= 3000 && milliseconds <= 6000)
        output.replace(at, end + 9 - at, "closed 3 s after");
    return output;
}

// Runs the program to its end: its exit code, then all it wrote, as one text.
static std::string RunSim(const Launch& launch)
{
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE readEnd, writeEnd;
    CreatePipe(&readEnd, &writeEnd, &inherit, 0);
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    PROCESS_INFORMATION process = Start(launch, writeEnd);
    CloseHandle(writeEnd);
    std::string output;
    do
        Drain(readEnd, &output);
    while (WaitForSingleObject(process.hProcess, 10) == WAIT_TIMEOUT);
    Drain(readEnd, &output);
    DWORD exitCode = 1;
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(readEnd);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return std::to_string(exitCode) + ": " + CloseInSeconds(output);
}

// Standard output is in text mode, as on Windows: the line feed arrives as CR LF. The rest is
// the run's report of what it showed (sim/watch.h), one line per menu and status, and how each
// disk it sent commands to ended.
#define SEEN_SUCCEEDED "Succeeded.\r\n"
#define SEEN_CONFIRMED SEEN_SUCCEEDED "Standby confirmed by the drive.\r\nEjected from Windows.\r\n"
#define SEEN_SHOWN "shown 400x50 centred, top-most, tool window, pop-up, thick frame, text inside: "
#define SEEN_READY "It is ready to remove.\nPlease remove the drive.\n"
#define SEEN_REMOVED "The drive has been removed.\n"
#define SEEN_CLOSED "closed 3 s after\n"
#define SEEN_REMOVAL SEEN_SHOWN SEEN_READY SEEN_SHOWN SEEN_REMOVED SEEN_CLOSED
#define SEEN_NO_DRIVE SEEN_SHOWN "No removable drive exists.\n" SEEN_CLOSED
#define SEEN_STANDARD_REMOVAL "\nPlease use the standard removal feature of Windows.\n" SEEN_CLOSED
#define SEEN_MENU "menu centred: [---------------- Vantrel ----------------] [Please choose a drive to remove more " \
    "safely.] [] [E:\\/F:\\Backup\\/<ACME Portable HDD 0102 NX01 >] [G:\\/<Kestrel KX-2000 Travel 0001 K33 >]\n"

TEST(Removal, EveryOutcomeAsTheUserSeesIt)
{
    const wchar_t* machine = L"sim\\scenarios\\machine.txt", *whereRun = L"tests\\where-run.txt";
    const std::string project(sourceDir.begin(), sourceDir.end());  // ASCII, as CTest gives it
    const struct { Launch launch; std::string seen; } runs[] = {
        {{L"\"F:\\Backup\\My Files\\a.txt\"", machine, L"-"}, "0: " SEEN_CONFIRMED SEEN_REMOVAL "disk 2 ended in standby, ejected\n"},
        {{L"D:\\setup.exe", machine, L"-"}, "1: " SEEN_NO_DRIVE},  // a DVD numbered like disk 2
        {{L"/mneu", whereRun, L"-"}, "1: " SEEN_NO_DRIVE},           // a typo, not the current drive's root
        {{L"E:\\", L"sim\\scenarios\\dismount-refused.txt", L"-"},
         "2: " SEEN_SHOWN "Failed to dismount volumes." SEEN_STANDARD_REMOVAL},
        // An aborted ATA command, then a refusal, then ABORTED COMMAND: never taken for STANDBY.
        {{L"e:\\x", L"sim\\scenarios\\spindown-refused.txt", L"-"},
         "3: " SEEN_SUCCEEDED SEEN_SHOWN "Failed to spin down the drive." SEEN_STANDARD_REMOVAL "disk 1 ended spinning, not ejected\n"},
        // Disks that take only one of the two non-data forms.
        {{L"E:\\", L"sim\\scenarios\\nodata-only.txt", L"-"}, "0: " SEEN_CONFIRMED SEEN_REMOVAL "disk 1 ended in standby, ejected\n"},
        {{L"F:\\", L"sim\\scenarios\\nodata-only.txt", L"-"}, "0: " SEEN_CONFIRMED SEEN_REMOVAL "disk 2 ended in standby, ejected\n"},
        // A bridge that takes the vendor form and does nothing: the drive says so, form 5 stops it.
        {{L"E:\\", L"sim\\scenarios\\ignoring-bridge.txt", L"-"}, "0: " SEEN_CONFIRMED SEEN_REMOVAL "disk 1 ended in standby, ejected\n"},
        // "." is the directory the run started in (Z:), made full before the run leaves it;
        // "/self" is the program's own disk (Z:), not the current directory's (C:, which
        // refuses to spin down), whatever argument 0 says.
        {{L".", whereRun, L"-"}, "0: " SEEN_CONFIRMED SEEN_REMOVAL "disk 1 ended in standby, ejected\n"},
        {{L"/self", whereRun, L"-", L"", L"VantrelSim", L"C:\\"}, "0: " SEEN_CONFIRMED SEEN_REMOVAL "disk 1 ended in standby, ejected\n"},
        // Down stops on both disabled header lines: disk 2 is three away, disk 3 four.
        {{L"/MENU extra", machine, L"DDDDR"}, "0: " SEEN_CONFIRMED SEEN_MENU SEEN_REMOVAL "disk 3 ended in standby, ejected\n"},
        {{L"/menu", machine, L"E"}, "4: " SEEN_MENU},
        // A FAT volume and one mounted RAW, which has nothing to flush and must lock.
        {{L"/menu", L"sim\\scenarios\\mac-disk.txt", L"DDDR"}, "0: " SEEN_CONFIRMED "menu centred: [---------------- "
         "Vantrel ----------------] [Please choose a drive to remove more safely.] [] [<WD My Passport 1.0 M1 >]\n"
         SEEN_REMOVAL "disk 1 ended in standby, ejected\n"},
        {{L"/menu", L"tests\\bad-scenario.txt", L"-"},
         "2: VantrelSim: " + project + "tests\\bad-scenario.txt, line 2: bus must be usb, sata, scsi, nvme or a number\r\n"},
    };
    for (const auto& run : runs)
        EXPECT_EQ(RunSim(run.launch), run.seen) << testing::PrintToString(run.launch.arguments);
}

TEST(Japanese, StatusesReadInJapanese)
{
    EXPECT_EQ(RunSim({L"E:\\", L"sim\\scenarios\\dismount-refused.txt", L"-"}),
              u8"2: " SEEN_SHOWN u8"ボリュームのマウント解除に失敗しました。\n"
                               u8"Windows標準の取り外し機能を使用してください。\n" SEEN_CLOSED);
}

static void SetLogPixels(DWORD dpi)
{
    RegSetKeyValueW(HKEY_CURRENT_USER, L"Control Panel\\Desktop", L"LogPixels", REG_DWORD, &dpi, sizeof dpi);
}

// At 144 DPI the window is half as big again, and its text grows with it and still fits:
// the longest English status stands on two lines inside the window, cut off nowhere.
TEST(Dpi, TheWindowAndItsTextScaleWithTheScreen)
{
    SetLogPixels(144);
    std::string seen = RunSim({L"e:\\x", L"sim\\scenarios\\spindown-refused.txt", L"-"});
    SetLogPixels(96);
    EXPECT_EQ(seen, "3: " SEEN_SUCCEEDED "shown 600x75 centred, top-most, tool window, pop-up, thick frame, text inside: "
                    "Failed to spin down the drive." SEEN_STANDARD_REMOVAL "disk 1 ended spinning, not ejected\n");
}

struct Finder {
    DWORD process;
    bool sameImage;  // any other process of the image of `process`, rather than that one
    const WCHAR* className;
    HWND found;
};

static std::wstring ImageOf(DWORD processId)
{
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    WCHAR path[MAX_PATH] = L"";
    DWORD length = MAX_PATH;
    QueryFullProcessImageNameW(process, 0, path, &length);
    CloseHandle(process);
    return path;
}

static BOOL CALLBACK MatchWindow(HWND window, LPARAM context)
{
    Finder* finder = reinterpret_cast<Finder*>(context);
    WCHAR name[64];
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    GetClassNameW(window, name, 64);
    bool ours = !finder->sameImage ? process == finder->process
                                   : process != finder->process && ImageOf(process) == ImageOf(finder->process);
    if (!ours || lstrcmpW(name, finder->className) != 0)
        return TRUE;
    finder->found = window;
    return FALSE;
}

// Waits up to 10 s for the condition; whether it came to hold.
template <typename Condition> static bool WaitFor(Condition condition)
{
    for (ULONGLONG end = GetTickCount64() + 10000; !condition(); Sleep(10))
        if (GetTickCount64() > end)
            return false;
    return true;
}

// A window of the class, of the process or of another process of its image, waiting up to
// 10 s for it; null when none appeared.
static HWND WaitForWindow(DWORD process, bool sameImage, const WCHAR* className)
{
    Finder finder = {process, sameImage, className, nullptr};
    WaitFor([&] { return EnumWindows(MatchWindow, reinterpret_cast<LPARAM>(&finder)), finder.found != nullptr; });
    return finder.found;
}

static bool Answers(HWND window, UINT message = WM_NULL, WPARAM wParam = 0, DWORD_PTR* answer = nullptr)
{
    DWORD_PTR ignored;
    return SendMessageTimeoutW(window, message, wParam, 0, SMTO_ABORTIFHUNG, 1000, answer ? answer : &ignored) != 0;
}

static DWORD ExitCodeOf(HANDLE process)
{
    DWORD exitCode = STILL_ACTIVE;
    if (WaitForSingleObject(process, 10000) != WAIT_OBJECT_0)
        TerminateProcess(process, STILL_ACTIVE);
    GetExitCodeProcess(process, &exitCode);
    return exitCode;
}

// Through a wait of more than 6 s for the unplug (Windows ghosts a window that reads no
// message for 5 s, and offers to end its program), the removal window answers; it lets the
// session end, which its exit code tells from an unplug, and nobody but itself closes it.
TEST(Wait, TheRemovalWindowAnswersWhileItWaits)
{
    PROCESS_INFORMATION run = Start({L"E:\\", L"tests\\long-wait.txt", nullptr}, GetStdHandle(STD_OUTPUT_HANDLE));
    HWND window = WaitForWindow(run.dwProcessId, false, L"Vantrel");
    EXPECT_TRUE(window && WaitFor([&] { return IsWindowVisible(window) != 0; })) << "no ready window";
    bool answered = window != nullptr;
    for (ULONGLONG end = GetTickCount64() + 6500; answered && GetTickCount64() < end; Sleep(250))
        answered = Answers(window);
    EXPECT_TRUE(answered) << "not answering while the disk is still plugged in";
    DWORD_PTR mayEnd = FALSE;
    EXPECT_TRUE(Answers(window, WM_QUERYENDSESSION, 0, &mayEnd) && mayEnd);
    EXPECT_TRUE(Answers(window, WM_CLOSE) && IsWindow(window)) << "closed by another than itself";
    Answers(window, WM_ENDSESSION, TRUE);  // the disk never goes: only this ends the run
    EXPECT_EQ(ExitCodeOf(run.hProcess), 5u) << "the session's end: spun down, not seen unplugged";
    CloseHandle(run.hThread);
    CloseHandle(run.hProcess);
}

// Whether some program holds Win+Esc: registering it here fails then.
static bool WinEscHeld()
{
    if (!RegisterHotKey(nullptr, 7, MOD_WIN, VK_ESCAPE))
        return true;
    UnregisterHotKey(nullptr, 7);
    return false;
}

// The resident tray as its own process (a copy of the program of this test's own): Win+Esc
// starts a run of itself with the drive menu, during which the tray answers and Win+Esc is
// free. The session's end ends the tray (exit code 0); the run goes on, and cancelled exits with 4.
TEST(Tray, AnswersWhileItsRunIsOpen)
{
    WCHAR folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    std::wstring copy = folder + (L"VantrelTray" + std::to_wstring(GetCurrentProcessId()) + L".exe");
    ASSERT_TRUE(CopyFileW(simProgram.c_str(), copy.c_str(), FALSE));
    PROCESS_INFORMATION tray = Start({L"", L"sim\\scenarios\\machine.txt", nullptr, copy}, GetStdHandle(STD_OUTPUT_HANDLE));
    HWND window = WaitForWindow(tray.dwProcessId, false, L"Vantrel"), menu = nullptr;
    // A probe that took Win+Esc as the tray asked for it would leave the tray without it: say so.
    EXPECT_TRUE(window && WaitFor(WinEscHeld)) << "the tray holds no Win+Esc (or lost it to this probe)";
    if (window && PostMessageW(window, WM_HOTKEY, 0, 0))
        menu = WaitForWindow(tray.dwProcessId, true, L"#32768");
    ASSERT_TRUE(menu) << "no removal run with the drive menu started";
    EXPECT_TRUE(Answers(window)) << "the tray does not answer while its run is open";
    EXPECT_FALSE(WinEscHeld()) << "Win+Esc must be free while the run is open";
    DWORD runId = 0;
    GetWindowThreadProcessId(menu, &runId);
    HANDLE run = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, runId);
    Answers(window, WM_ENDSESSION, TRUE);
    EXPECT_EQ(ExitCodeOf(tray.hProcess), 0u) << "the session's end does not end the tray";
    EXPECT_TRUE(IsWindow(menu)) << "the run ended with the tray";
    PostMessageW(menu, WM_KEYDOWN, VK_ESCAPE, 0);
    EXPECT_EQ(ExitCodeOf(run), 4u);
    CloseHandle(run);
    CloseHandle(tray.hThread);
    CloseHandle(tray.hProcess);
    DeleteFileW(copy.c_str());
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
    if (argc == 2 && strcmp(argv[1], "--restore-dpi") == 0) {
        SetLogPixels(96);  // whatever became of the run that set it
        return 0;
    }
    if (argc < 3) {
        fprintf(stderr, "usage: run_tests VantrelSim.exe project-folder\n");
        return 2;
    }
    simProgram = WindowsPath(argv[1]);
    sourceDir = WindowsPath(argv[2]) + L"\\";
    return RUN_ALL_TESTS();
}
