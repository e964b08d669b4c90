// Whole removal runs of VantrelSim.exe as their own processes on the simulated machine,
// watched through Win32 as a user would see them (visibility, place, styles and text over
// time), and the resident tray starting them.
#include <windows.h>
#include <gtest/gtest.h>
#include <string>
#include <vector>
#include <algorithm>

struct Sighting {
    std::wstring text;  // the window's text while it was visible
    RECT rect;
    LONG style, exStyle;
    RECT client;  // the client area, and the box of its dark pixels within it
    RECT ink;
};

struct RunResult {
    DWORD exitCode;
    std::string output;               // standard output
    std::vector<Sighting> sightings;  // one per distinct visible text, in order
    bool everVisible;
    bool menuShown;
    RECT menuRect;
    double secondsAfterLastText;      // from the last new text to the end of the process
};



// What to start: the program (VantrelSim.exe when empty), the command line after the
// program's name (the quoted full path, when argument0 is empty) and the current directory.
struct Launch {
    std::wstring arguments;
    std::wstring scenario;  // relative to the project's folder
    std::wstring program;
    std::wstring argument0;
    std::wstring directory;
};


static std::wstring simProgram;  // VantrelSim.exe
static std::wstring sourceDir;   // the project's folder, with a trailing backslash

static std::wstring ImageOf(DWORD processId)
{
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    WCHAR path[MAX_PATH] = L"";
    DWORD length = MAX_PATH;
    QueryFullProcessImageNameW(process, 0, path, &length);
    CloseHandle(process);
    return path;
}

struct Finder {
    DWORD process;
    const std::wstring* image;
    const WCHAR* className;
    HWND found;
};

static BOOL CALLBACK MatchWindow(HWND window, LPARAM context)
{
    Finder* finder = reinterpret_cast<Finder*>(context);
    WCHAR name[64];
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    GetClassNameW(window, name, 64);
    bool ours = finder->image ? process != finder->process && lstrcmpiW(ImageOf(process).c_str(), finder->image->c_str()) == 0
                              : process == finder->process;
    if (ours && lstrcmpW(name, finder->className) == 0) {
        finder->found = window;
        return FALSE;
    }
    return TRUE;
}

static HWND FindProcessWindow(DWORD process, const WCHAR* className, const std::wstring* image = nullptr)
{
    Finder finder = {process, image, className, nullptr};
    EnumWindows(MatchWindow, reinterpret_cast<LPARAM>(&finder));
    return finder.found;
}

static PROCESS_INFORMATION Start(const Launch& launch, HANDLE output)
{
    SetEnvironmentVariableW(L"VANTREL_SCENARIO", (sourceDir + launch.scenario).c_str());
    std::wstring program = launch.program.empty() ? simProgram : launch.program;
    std::wstring commandLine = (launch.argument0.empty() ? L"\"" + program + L"\"" : launch.argument0) + L" " + launch.arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = output;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process = {};
    CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr,
                   launch.directory.empty() ? nullptr : launch.directory.c_str(), &startup, &process);
    return process;
}

// A window of the class that belongs to the process (or, given an image, to another process
// of that image), waiting for it up to the time given; null when none appeared.
static HWND WaitForWindow(DWORD process, const std::wstring* image, const WCHAR* className, DWORD milliseconds)
{
    ULONGLONG end = GetTickCount64() + milliseconds;
    HWND window;
    while (!(window = FindProcessWindow(process, className, image)) && GetTickCount64() < end)
        Sleep(10);
    return window;
}

// The box of the dark pixels of a window's client area, as the screen shows it.
static RECT InkOf(HWND window, RECT* client)
{
    GetClientRect(window, client);
    POINT origin = {0, 0};
    ClientToScreen(window, &origin);
    int width = client->right, height = client->bottom;
    HDC screen = GetDC(nullptr), memory = CreateCompatibleDC(screen);
    BITMAPINFO info = {{sizeof(BITMAPINFOHEADER), width, -height, 1, 32, BI_RGB, 0, 0, 0, 0, 0}, {}};
    DWORD* pixels = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, reinterpret_cast<void**>(&pixels), nullptr, 0);
    HGDIOBJ previous = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, origin.x, origin.y, SRCCOPY);
    RECT ink = {width, height, -1, -1};
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            if ((pixels[y * width + x] & 0xFF) < 0x80)  // blue below half: not the white background
                ink = {std::min<LONG>(ink.left, x), std::min<LONG>(ink.top, y), std::max<LONG>(ink.right, x),
                       std::max<LONG>(ink.bottom, y)};
    SelectObject(memory, previous);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return ink;
}

static void Observe(HWND window, RunResult* result, ULONGLONG* lastTextAt)
{
    if (!window || !IsWindowVisible(window))
        return;
    result->everVisible = true;
    WCHAR text[256] = L"";
    GetWindowTextW(window, text, 256);
    if (!text[0] || (!result->sightings.empty() && result->sightings.back().text == text))
        return;
    Sighting seen = {text, {}, GetWindowLongW(window, GWL_STYLE), GetWindowLongW(window, GWL_EXSTYLE), {}, {}};
    GetWindowRect(window, &seen.rect);
    Sleep(150);  // painted by now, and on the screen
    seen.ink = InkOf(window, &seen.client);
    result->sightings.push_back(seen);
    *lastTextAt = GetTickCount64();
}

static void DriveMenu(DWORD process, RunResult* result, const std::vector<WORD>& menuKeys)
{
    HWND menu = FindProcessWindow(process, L"#32768");
    if (result->menuShown || !menu || !IsWindowVisible(menu))
        return;
    result->menuShown = true;
    GetWindowRect(menu, &result->menuRect);
    for (WORD key : menuKeys) {
        PostMessageW(menu, WM_KEYDOWN, key, 0);
        PostMessageW(menu, WM_KEYUP, key, 0);
    }
}

static std::string ReadAll(HANDLE pipe)
{
    std::string text;
    char chunk[256];
    DWORD read = 0;
    while (ReadFile(pipe, chunk, sizeof chunk, &read, nullptr) && read > 0)
        text.append(chunk, read);
    return text;
}

// Runs the program to its end, watching its one window every 10 ms and answering its drive
// menu with the keys given.
static RunResult RunSim(const Launch& launch, const std::vector<WORD>& menuKeys = {})
{
    RunResult result = {};
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE readEnd, writeEnd;
    CreatePipe(&readEnd, &writeEnd, &inherit, 0);
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    PROCESS_INFORMATION process = Start(launch, writeEnd);
    CloseHandle(writeEnd);
    ULONGLONG lastTextAt = GetTickCount64();
    while (WaitForSingleObject(process.hProcess, 10) == WAIT_TIMEOUT) {
        Observe(FindProcessWindow(process.dwProcessId, L"Vantrel"), &result, &lastTextAt);
        DriveMenu(process.dwProcessId, &result, menuKeys);
    }
    result.secondsAfterLastText = (GetTickCount64() - lastTextAt) / 1000.0;
    GetExitCodeProcess(process.hProcess, &result.exitCode);
    result.output = ReadAll(readEnd);
    CloseHandle(readEnd);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return result;
}

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
    RunResult run = RunSim({L"/MENU extra", Machine}, {VK_DOWN, VK_DOWN, VK_DOWN, VK_DOWN, VK_RETURN});
    ASSERT_TRUE(run.menuShown);
    int width = GetSystemMetrics(SM_CXSCREEN), height = GetSystemMetrics(SM_CYSCREEN);
    EXPECT_LE(abs((run.menuRect.left + run.menuRect.right) / 2 - width / 2), 1);
    EXPECT_LE(abs((run.menuRect.top + run.menuRect.bottom) / 2 - height / 2), 1);
    EXPECT_EQ(Texts(run), (std::vector<std::wstring>{Ready, Removed}));
    EXPECT_EQ(run.output, Succeeded);
}

TEST(Menu, EscapeEndsTheRunWithNothingShown)
{
    RunResult run = RunSim({L"/menu", Machine}, {VK_ESCAPE});
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

static void SetLogPixels(DWORD dpi)
{
    RegSetKeyValueW(HKEY_CURRENT_USER, L"Control Panel\\Desktop", L"LogPixels", REG_DWORD, &dpi, sizeof dpi);
}

// The window and its font scale with the screen's DPI, seen by this DPI-aware observer: the
// longest English status stands on two lines inside the window, cut off nowhere.
TEST(Dpi, TheWindowAndItsTextScaleWithTheScreen)
{
    const struct { DWORD dpi; int width, height; } scales[] = {{144, 600, 75}, {96, 400, 50}};
    LONG inkHeight[2] = {};
    for (int i = 0; i < 2; ++i) {
        SetLogPixels(scales[i].dpi);
        RunResult run = RunSim({L"e:\\x", L"sim\\scenarios\\spindown-refused.txt"});
        SetLogPixels(96);
        ASSERT_EQ(Texts(run), std::vector<std::wstring>{SpinDownFailed}) << scales[i].dpi;
        const Sighting& seen = run.sightings[0];
        EXPECT_EQ(seen.rect.right - seen.rect.left, scales[i].width) << scales[i].dpi;
        EXPECT_EQ(seen.rect.bottom - seen.rect.top, scales[i].height) << scales[i].dpi;
        EXPECT_EQ(seen.rect.left, (GetSystemMetrics(SM_CXSCREEN) - scales[i].width) / 2) << scales[i].dpi;
        EXPECT_EQ(seen.rect.top, (GetSystemMetrics(SM_CYSCREEN) - scales[i].height) / 2) << scales[i].dpi;
        EXPECT_GT(seen.ink.left, 0) << scales[i].dpi;
        EXPECT_LT(seen.ink.right, seen.client.right - 1) << scales[i].dpi;
        EXPECT_LT(seen.ink.bottom, seen.client.bottom - 1) << scales[i].dpi;
        inkHeight[i] = seen.ink.bottom - seen.ink.top;
    }
    EXPECT_GE(inkHeight[0] * 10, inkHeight[1] * 13) << "the text did not grow with the window";
    printf("text %ld px high at 144 DPI, %ld px at 96\n", long(inkHeight[0]), long(inkHeight[1]));
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
    PROCESS_INFORMATION tray = Start({L"", Machine, copy}, GetStdHandle(STD_OUTPUT_HANDLE));
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
    SetProcessDPIAware();  // sees every window in the screen's own pixels
    testing::InitGoogleTest(&argc, argv);
    if (argc < 3) {
        fprintf(stderr, "usage: run_tests VantrelSim.exe project-folder\n");
        return 2;
    }
    simProgram = WindowsPath(argv[1]);
    sourceDir = WindowsPath(argv[2]) + L"\\";
    return RUN_ALL_TESTS();
}
