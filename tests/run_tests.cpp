// Whole runs of VantrelSim.exe as their own processes on the simulated machine: what each
// wrote and showed (the program reports its own window, read through Win32, at its end), and
// the resident tray starting runs of itself, watched from outside.
#include <windows.h>
#include <gtest/gtest.h>
#include <string>

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
    return std::to_string(exitCode) + ": " + output;
}

// Standard output is in text mode, as on Windows: the line feed arrives as CR LF. The rest is
// the run's report of what it showed (sim/watch.h), one line per menu and status.
#define SEEN_SUCCEEDED "Succeeded.\r\n"
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
        {{L"\"F:\\Backup\\My Files\\a.txt\"", machine, L"-"}, "0: " SEEN_SUCCEEDED SEEN_REMOVAL},
        {{L"D:\\setup.exe", machine, L"-"}, "0: " SEEN_NO_DRIVE},  // a DVD numbered like disk 2
        {{L"/mneu", whereRun, L"-"}, "0: " SEEN_NO_DRIVE},           // a typo, not the current drive's root
        {{L"E:\\", L"sim\\scenarios\\dismount-refused.txt", L"-"},
         "0: " SEEN_SHOWN "Failed to dismount volumes." SEEN_STANDARD_REMOVAL},
        {{L"e:\\x", L"sim\\scenarios\\spindown-refused.txt", L"-"},
         "0: " SEEN_SUCCEEDED SEEN_SHOWN "Failed to spin down the drive." SEEN_STANDARD_REMOVAL},
        // Disks that take only one of the two non-data forms.
        {{L"E:\\", L"sim\\scenarios\\nodata-only.txt", L"-"}, "0: " SEEN_SUCCEEDED SEEN_REMOVAL},
        {{L"F:\\", L"sim\\scenarios\\nodata-only.txt", L"-"}, "0: " SEEN_SUCCEEDED SEEN_REMOVAL},
        // "." is the directory the run started in (Z:), made full before the run leaves it;
        // "/self" is the program's own disk (Z:), not the current directory's (C:, which
        // refuses to spin down), whatever argument 0 says.
        {{L".", whereRun, L"-"}, "0: " SEEN_SUCCEEDED SEEN_REMOVAL},
        {{L"/self", whereRun, L"-", L"", L"VantrelSim", L"C:\\"}, "0: " SEEN_SUCCEEDED SEEN_REMOVAL},
        // Down stops on both disabled header lines: disk 2 is three away, disk 3 four.
        {{L"/MENU extra", machine, L"DDDDR"}, "0: " SEEN_SUCCEEDED SEEN_MENU SEEN_REMOVAL},
        {{L"/menu", machine, L"E"}, "0: " SEEN_MENU},
        {{L"/menu", L"tests\\bad-scenario.txt", L"-"},
         "2: VantrelSim: " + project + "tests\\bad-scenario.txt, line 2: bus must be usb, sata, scsi, nvme or a number\r\n"},
    };
    for (const auto& run : runs)
        EXPECT_EQ(RunSim(run.launch), run.seen) << testing::PrintToString(run.launch.arguments);
}

TEST(Japanese, StatusesReadInJapanese)
{
    EXPECT_EQ(RunSim({L"E:\\", L"sim\\scenarios\\dismount-refused.txt", L"-"}),
              u8"0: " SEEN_SHOWN u8"ボリュームのマウント解除に失敗しました。\n"
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
    EXPECT_EQ(seen, "0: " SEEN_SUCCEEDED "shown 600x75 centred, top-most, tool window, pop-up, thick frame, text inside: "
                    "Failed to spin down the drive." SEEN_STANDARD_REMOVAL);
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

// A window of the class, of the process or of another process of its image, waiting for it
// up to the time given; null when none appeared.
static HWND WaitForWindow(DWORD process, bool sameImage, const WCHAR* className, DWORD milliseconds)
{
    Finder finder = {process, sameImage, className, nullptr};
    for (ULONGLONG end = GetTickCount64() + milliseconds; !finder.found && GetTickCount64() < end; Sleep(10))
        EnumWindows(MatchWindow, reinterpret_cast<LPARAM>(&finder));
    return finder.found;
}

// Whether Win+Esc is held by some program: registering it here fails then. Asked once the
// tray has had time to register: a registration that collides with this probe fails for good.
static bool WinEscHeld(DWORD settle = 1000)
{
    Sleep(settle);
    if (!RegisterHotKey(nullptr, 7, MOD_WIN, VK_ESCAPE))
        return true;
    UnregisterHotKey(nullptr, 7);
    return false;
}

TEST(Tray, HoldsItsFileAndStartsOneRunOfItselfAtATime)
{
    // A copy of the program of its own, which the test may try to rename and overwrite.
    WCHAR folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    std::wstring copy = std::wstring(folder) + L"VantrelTray.exe", moved = copy + L".old";
    DeleteFileW(moved.c_str());
    ASSERT_TRUE(CopyFileW(simProgram.c_str(), copy.c_str(), FALSE));
    PROCESS_INFORMATION tray = Start({L"", L"sim\\scenarios\\machine.txt", nullptr, copy}, GetStdHandle(STD_OUTPUT_HANDLE));
    HWND window = WaitForWindow(tray.dwProcessId, false, L"Vantrel", 10000), menu = nullptr;
    EXPECT_TRUE(window && !IsWindowVisible(window));
    EXPECT_TRUE(WinEscHeld());
    EXPECT_FALSE(MoveFileW(copy.c_str(), moved.c_str())) << "the running tray's file was renamed";
    HANDLE writer = CreateFileW(copy.c_str(), GENERIC_WRITE, 7, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(writer, INVALID_HANDLE_VALUE) << "the running tray's file was opened for writing";
    CloseHandle(writer);
    PostMessageW(window, WM_HOTKEY, 1, 0);  // not its hot key
    EXPECT_FALSE(WaitForWindow(tray.dwProcessId, true, L"Vantrel", 1500));
    // A run from the hot key, then one from "Remove more safely..." in the icon's menu.
    for (int way = 0; way < 2 && window; ++way) {
        if (way == 0)
            PostMessageW(window, WM_HOTKEY, 0, 0);
        else if (PostMessageW(window, WM_USER, 0, WM_RBUTTONDOWN))
            if (HWND trayMenu = WaitForWindow(tray.dwProcessId, false, L"#32768", 10000))
                for (WORD key : {VK_DOWN, VK_DOWN, VK_RETURN})  // past the title to the first command
                    PostMessageW(trayMenu, WM_KEYDOWN, key, 0);
        if (!(menu = WaitForWindow(tray.dwProcessId, true, L"#32768", 10000)))
            break;
        DWORD run = 0;  // a process of this very file, showing the drive menu: "/menu"
        GetWindowThreadProcessId(menu, &run);
        EXPECT_FALSE(WinEscHeld(0)) << "Win+Esc must be free while the run is open";
        PostMessageW(menu, WM_KEYDOWN, VK_ESCAPE, 0);
        HANDLE runProcess = OpenProcess(SYNCHRONIZE, FALSE, run);
        EXPECT_EQ(WaitForSingleObject(runProcess, 10000), WAIT_OBJECT_0);
        CloseHandle(runProcess);
        EXPECT_TRUE(WinEscHeld());
    }
    EXPECT_TRUE(menu) << "no removal run with the drive menu started, both ways";
    PostMessageW(window, WM_CLOSE, 0, 0);
    DWORD exitCode = 1;
    if (WaitForSingleObject(tray.hProcess, 10000) != WAIT_OBJECT_0)
        TerminateProcess(tray.hProcess, 1);
    GetExitCodeProcess(tray.hProcess, &exitCode);
    EXPECT_EQ(exitCode, 0u);
    EXPECT_FALSE(WinEscHeld(0));
    CloseHandle(tray.hThread);
    CloseHandle(tray.hProcess);
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
