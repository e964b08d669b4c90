// The user interface inside one process on the simulated machine: the texts, the mode
// choice, drive labels, the drive menu answered with keys, the removal window moved to a
// screen of another scale, and the tray window.
#include "sim_fixture.h"
#include "app/process.h"
#include "sim/watch.h"
#include "ui/drive_menu.h"
#include "ui/removal_window.h"
#include "ui/texts.h"
#include "ui/tray_window.h"
#include <shellapi.h>

TEST(Texts, EveryTextInBothLanguages)
{
    const struct { TextId id; const wchar_t* japanese; const wchar_t* english; } texts[] = {
        {TextTitle, L"Vantrel", L"Vantrel"},
        {TextMenuHeader, L"---------------- Vantrel ----------------", L"---------------- Vantrel ----------------"},
        {TextRemoveMoreSafely, L"より安全な取り外し...", L"Remove more safely..."},
        {TextExit, L"終了", L"Exit"},
        {TextChooseDrive, L"より安全に取り外すドライブを選択してください。", L"Please choose a drive to remove more safely."},
        {TextReadyToRemove, L"取り外す準備が完了しました。\nドライブを取り外してください。",
         L"It is ready to remove.\nPlease remove the drive."},
        {TextSpinDownFailed, L"ドライブのスピンダウンに失敗しました。\nWindows標準の取り外し機能を使用してください。",
         L"Failed to spin down the drive.\nPlease use the standard removal feature of Windows."},
        {TextDismountFailed, L"ボリュームのマウント解除に失敗しました。\nWindows標準の取り外し機能を使用してください。",
         L"Failed to dismount volumes.\nPlease use the standard removal feature of Windows."},
        {TextNoRemovableDrive, L"取り外し可能なドライブがありません。", L"No removable drive exists."},
        {TextDriveRemoved, L"ドライブが取り外されました。", L"The drive has been removed."},
    };
    ASSERT_EQ(sizeof texts / sizeof texts[0], size_t(TextCount));
    for (const auto& t : texts) {
        EXPECT_STREQ(GetTextIn(t.id, true), t.japanese);
        EXPECT_STREQ(GetTextIn(t.id, false), t.english);
        EXPECT_STREQ(GetText(t.id), IsJapaneseUser() ? t.japanese : t.english);
    }
}

static ModeChoice Choose(std::vector<const wchar_t*> args)
{
    return ChooseMode(int(args.size()), const_cast<WCHAR**>(args.data()));
}

TEST(ModeChoice, FollowsTheFirstArgument)
{
    lstrcpyW(ModulePath, L"Q:\\tools\\Vantrel.exe");
    const struct { std::vector<const wchar_t*> args; Mode mode; const wchar_t* path; } cases[] = {
        {{L"Vantrel.exe"}, TrayMode, nullptr},
        {{L"Vantrel.exe", L"/menu"}, MenuMode, nullptr},
        {{L"Vantrel.exe", L"/MeNu", L"E:\\"}, MenuMode, nullptr},
        {{L"Vantrel", L"/SELF"}, PathMode, L"Q:\\tools\\Vantrel.exe"},  // never argument 0
        {{L"Vantrel.exe", L"menu"}, PathMode, L"menu"},
        {{L"Vantrel.exe", L"."}, PathMode, L"."},
        {{L"Vantrel.exe", L""}, PathMode, L""},
        {{L"Vantrel.exe", L"E:\\My Files\\a b.txt", L"/menu"}, PathMode, L"E:\\My Files\\a b.txt"},
        {{L"Vantrel.exe", L"/mneu"}, PathMode, L""},  // a mistyped switch names no disk
        {{L"Vantrel.exe", L"/?"}, PathMode, L""},
        {{L"Vantrel.exe", L"/menu:"}, PathMode, L""},
        {{L"Vantrel.exe", L"/men\u0130"}, PathMode, L""},  // only A-Z fold
    };
    for (const auto& c : cases) {
        ModeChoice choice = Choose(c.args);
        EXPECT_EQ(choice.mode, c.mode) << c.args.back();
        EXPECT_STREQ(choice.path ? choice.path : L"(null)", c.path ? c.path : L"(null)") << c.args.back();
    }
}

// The program's own path is kept only when it fits with room to spare: a path that fills the
// buffer may have been cut, and might name another file.
static DWORD moduleLength;
static DWORD WINAPI ModuleFileName(HMODULE, LPWSTR buffer, DWORD capacity)
{
    DWORD written = moduleLength < capacity ? moduleLength : capacity - 1;
    wmemset(buffer, L'a', written);
    buffer[written] = 0;
    return moduleLength < capacity ? moduleLength : capacity;
}

TEST(Start, KeepsOnlyAWholeModulePathAndLocksTheWholeImage)
{
    for (DWORD length : {0, 12, MAX_PATH - 2, MAX_PATH - 1, MAX_PATH + 40}) {
        moduleLength = length;
        systemCalls.GetModuleFileNameW = ModuleFileName;
        FillModulePath();
        systemCalls = defaultSystemCalls;
        EXPECT_EQ(lstrlenW(ModulePath), int(length <= MAX_PATH - 2 ? length : 0)) << length;
    }
    BYTE* image = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
    LONG headers = reinterpret_cast<IMAGE_DOS_HEADER*>(image)->e_lfanew;
    const IMAGE_NT_HEADERS* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(image + headers);
    EXPECT_EQ(MakeImageResident(HMODULE(image)), SIZE_T(nt->OptionalHeader.SizeOfImage));
}

// Whether the tests run under Japan's locale (CTest's ui_Japanese), told apart here rather than
// by the program, whose own test of the locale is under test.
static bool JapaneseLocale() { return GetUserDefaultLCID() == 0x0411; }

// USB disks 1 to 4 (1 and 2 described "Disk 1.0 "), an internal disk, and USB disk 5,
// numbered at the limit that the volumes set: never examined. Windows runs from USB disk 4.
static const wchar_t DriveMachine[] = LR"(disk 0 bus=sata vendor=ATA product=SSD
    disk 1 vendor=Disk product=1.0
    disk 2 vendor=Disk product=1.0
    disk 3 vendor=ACME product="Portable HDD" revision=0102 serial=NX01
    disk 4
    disk 5 vendor=Never
    volume \\?\Volume{1}\ disk=0 mounts=C:\
    volume \\?\Volume{2}\ disk=1 mounts=E:\
    volume \\?\Volume{3}\ disk=1 mounts=F:\
    volume \\?\Volume{4}\ disk=2 mounts="C:\Mount\Usb\;Z:\"
    volume \\?\Volume{5}\ disk=4 mounts=K:\ windows=yes)";

TEST_F(OnSimulatedMachine, LabelsADiskWithItsMountPointsAndDescription)
{
    Machine(DriveMachine);
    const struct { DiskNumber disk; const wchar_t* volume; const wchar_t* label; bool matches; } cases[] = {
        {1, nullptr, L"E:\\/F:\\/<Disk 1.0 >", false},
        {1, L"f:\\", L"E:\\/F:\\/<Disk 1.0 >", true},
        {2, L"C:\\Mount\\", L"C:\\Mount\\Usb\\/Z:\\/<Disk 1.0 >", false},
        {2, L"z:\\", L"C:\\Mount\\Usb\\/Z:\\/<Disk 1.0 >", true},
        {3, L"", L"<ACME Portable HDD 0102 NX01 >", false},
        {4, L"K:\\", L"K:\\/<>", true},
        {7, nullptr, L"<>", false},  // nothing answers at all
    };
    for (const auto& c : cases) {
        DriveLabel label = BuildDriveLabel(c.disk, c.volume);
        EXPECT_STREQ(label.text, c.label);
        EXPECT_EQ(label.matches, c.matches) << c.label;
        delete[] label.text;
    }
    FailCall(CallFindFirstVolume, L"", 2);  // no mount-point list at all: the description alone
    DriveLabel label = BuildDriveLabel(1, nullptr);
    EXPECT_STREQ(label.text, L"<Disk 1.0 >");
    delete[] label.text;
}

// The disk of the volume mount point that begins the path (made full, as start-up makes it) is
// taken without asking; "/self" names the disk of the program's image (E:), not of the
// directory the run stands in (Z:). Windows' own disk is never taken. A path that names no
// disk (a switch, a device path, a name for which Windows answers with the boot volume) asks
// no disk anything; no question opens a volume for reading or writing.
TEST_F(OnSimulatedMachine, PathModeTakesTheUsbDiskThatHoldsThePath)
{
    Machine(DriveMachine);
    lstrcpyW(ModulePath, L"E:\\tools\\Vantrel.exe");
    auto Choice = [](const wchar_t* argument) {
        WCHAR* path = FullPath(Choose({L"Vantrel", argument}).path);
        DriveChoice choice = ChooseDrive(nullptr, path);
        delete[] path;
        return choice;
    };
    const struct { const wchar_t* path; DriveChoiceKind kind; DiskNumber disk; } cases[] = {
        {L"e:\\data\\x.txt", ChoiceDisk, 1}, {L"C:\\mount\\usb\\deep\\file", ChoiceDisk, 2},
        {L"C:\\Mount\\Usb", ChoiceDisk, 2}, {L".", ChoiceDisk, 2}, {L"/self", ChoiceDisk, 1},
        {L"K:\\Users", ChoiceNone, 0}, {L"C:\\Windows", ChoiceNone, 0}, {L"\\\\server\\share\\x", ChoiceNone, 0},
    };
    for (const auto& c : cases) {
        DriveChoice choice = Choice(c.path);
        EXPECT_EQ(choice.kind, c.kind) << c.path;
        EXPECT_EQ(choice.disk, c.disk) << c.path;
    }
    EXPECT_EQ(DataOpens(), std::vector<std::wstring>());
    ModulePath[0] = 0;
    for (const wchar_t* path : {L"/self", L"-menu", L"\\\\.\\E:", L"CON", L"\\\\?\\GLOBALROOT\\Device\\HarddiskVolume2\\x"}) {
        sim.calls.clear();
        EXPECT_EQ(Choice(path).kind, ChoiceNone) << path;
        EXPECT_EQ(Trace().find("open"), std::string::npos) << Trace();
    }
}

TEST_F(OnSimulatedMachine, TheDriveMenuListsUsbDisksAtTheCentreAndTakesTheUsersChoice)
{
    Machine(DriveMachine);
    HWND owner = CreateWindowW(L"STATIC", L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
    // Also run under a Japanese user's locale, where the second header line is Japanese.
    const std::string chooseDrive = JapaneseLocale() ? u8"[より安全に取り外すドライブを選択してください。]"
                                                     : "[Please choose a drive to remove more safely.]";
    const struct { std::vector<WORD> keys; DriveChoiceKind kind; DiskNumber disk; } cases[] = {
        {{VK_DOWN, VK_DOWN, VK_DOWN, VK_RETURN}, ChoiceDisk, 1},
        {{VK_UP, VK_RETURN}, ChoiceDisk, 3},
        {{VK_DOWN, VK_RETURN, VK_ESCAPE}, ChoiceCancelled, 0},  // Return on a header line does nothing
    };
    for (const auto& c : cases) {
        StartWatching(c.keys);
        DriveChoice choice = ChooseDrive(owner, nullptr);
        StopWatching();
        EXPECT_EQ(choice.kind, c.kind);
        EXPECT_EQ(choice.disk, c.disk);
        EXPECT_EQ(DescribeRun(), "menu centred: [---------------- Vantrel ----------------] " + chooseDrive +
                                 " [] [E:\\/F:\\/<Disk 1.0 >] [C:\\Mount\\Usb\\/Z:\\/<Disk 1.0 >] "
                                 "[<ACME Portable HDD 0102 NX01 >]\n");
        EXPECT_EQ(seenMenu.states, (std::vector<UINT>{MF_DISABLED, MF_DISABLED, MF_SEPARATOR, 0, 0, 0}));
    }
    Machine(L"disk 0 bus=sata\nvolume \\\\?\\Volume{1}\\ disk=0 mounts=C:\\");
    StartWatching();
    EXPECT_EQ(ChooseDrive(owner, nullptr).kind, ChoiceNone);
    StopWatching();
    EXPECT_FALSE(seenMenu.shown);
    DestroyWindow(owner);
}

static std::vector<LONG> Corners(const RECT& r) { return {r.left, r.top, r.right, r.bottom}; }

// Moved to a screen of 144 DPI on a 96-DPI system, the window takes the place Windows
// suggests and its text grows with it, as the system's own font would not. A step message
// that names no step does nothing.
TEST(RemovalWindow, TakesTheScaleOfTheScreenItIsMovedTo)
{
    WNDCLASSW windowClass = {0, RemovalWindow, 0, 0, GetModuleHandleW(nullptr), nullptr, nullptr,
                             static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)), nullptr, L"Vantrel"};
    RegisterClassW(&windowClass);
    StartWatching();
    HWND window = CreateWindowW(L"Vantrel", L"", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    ShowWindow(window, SW_SHOWNA);
    RECT suggested = {100, 100, 700, 175};
    for (int dpi : {96, 144}) {
        if (dpi == 144)
            SendMessageW(window, WM_DPICHANGED, MAKEWPARAM(dpi, dpi), reinterpret_cast<LPARAM>(&suggested));
        SetWindowTextW(window, L"Failed to spin down the drive.\nPlease use the standard removal feature of Windows.");
        RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
    }
    // Its longest line alone is as wide: the status is painted whole, not cut at some length.
    SetWindowTextW(window, L"Please use the standard removal feature of Windows.");
    RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
    SendMessageW(window, WM_USER, StepCloseLater + 1, 0);  // no such step: nothing happens
    MSG message;
    EXPECT_FALSE(PeekMessageW(&message, window, WM_CLOSE, WM_CLOSE, PM_NOREMOVE));
    StopWatching();
    DestroyWindow(window);
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE))  // the first step, never run, and the quit
        ;
    ASSERT_EQ(statuses.size(), 3u);
    EXPECT_EQ(Corners(statuses[1].rect), Corners(suggested));
    EXPECT_EQ(statuses[1].ink.right - statuses[1].ink.left, statuses[2].ink.right - statuses[2].ink.left);
    LONG before = statuses[0].ink.bottom - statuses[0].ink.top, after = statuses[1].ink.bottom - statuses[1].ink.top;
    EXPECT_GT(after * 4, before * 5) << before << " pixels high at 96 DPI, " << after << " at 144";
}

// Handles this thread's messages for a while; true when the quit message arrived.
static bool PumpFor(DWORD milliseconds)
{
    MSG message;
    for (ULONGLONG end = GetTickCount64() + milliseconds; GetTickCount64() < end; Sleep(5))
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT)
                return true;
            DispatchMessageW(&message);
        }
    return false;
}

static HWND CreateTray(HINSTANCE instance)
{
    Instance = instance;
    WNDCLASSW windowClass = {0, TrayWindow, 0, 0, GetModuleHandleW(nullptr), nullptr, nullptr, nullptr, nullptr, L"Tray"};
    RegisterClassW(&windowClass);
    return CreateWindowW(L"Tray", L"", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
}

// Whether the notification area knows the window's icon; NIM_DELETE takes it away.
static bool Icon(HWND window, DWORD message = NIM_MODIFY)
{
    NOTIFYICONDATAW record = {};
    record.cbSize = sizeof record;
    record.hWnd = window;
    return Shell_NotifyIconW(message, &record);
}

// Whether the tray's icon was still there once the tray had handled WM_DESTROY. Wine takes a
// destroyed window's icons away by itself; Windows leaves them in the notification area until
// the pointer passes over them, so the tray must take its own away.
static HWND destroyedTray;
static bool iconAfterDestroy = true;
static LRESULT CALLBACK NoteIconAfterDestroy(int code, WPARAM wParam, LPARAM lParam)
{
    const CWPRETSTRUCT* call = reinterpret_cast<const CWPRETSTRUCT*>(lParam);
    if (call->hwnd == destroyedTray && call->message == WM_DESTROY)
        iconAfterDestroy = Icon(call->hwnd);
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

// Makes the probe built beside this test the program that the tray's runs start, copied to a
// folder whose name has a space; returns the file in which each run it starts reports.
static std::wstring ProbeAsTheProgram()
{
    WCHAR built[MAX_PATH], folder[MAX_PATH];
    GetModuleFileNameW(nullptr, built, MAX_PATH);
    lstrcpyW(wcsrchr(built, L'\\') + 1, L"startup_probe.exe");
    GetTempPathW(MAX_PATH, folder);
    lstrcatW(folder, L"Vantrel probe\\");
    CreateDirectoryW(folder, nullptr);
    lstrcatW(lstrcpyW(ModulePath, folder), L"startup_probe.exe");
    CopyFileW(built, ModulePath, FALSE);
    std::wstring report = folder + std::wstring(L"started.txt");
    SetEnvironmentVariableW(L"VANTREL_PROBE", report.c_str());
    DeleteFileW(report.c_str());
    return report;
}

// What the last run reported: its first argument and the show command it was given.
static std::string ProbeReport(const std::wstring& report)
{
    char started[32] = "";
    if (FILE* file = _wfopen(report.c_str(), L"r")) {
        fgets(started, sizeof started, file);
        fclose(file);
    }
    return started;
}

TEST(Tray, RightButtonOpensTheMenuAndExitRemovesTheIcon)
{
    ModulePath[0] = 0;
    HWND tray = CreateTray(GetModuleHandleW(nullptr));
    EXPECT_TRUE(tray && !IsWindowVisible(tray) && Icon(tray));
    // A run that cannot start (the program's path is unknown) still takes Win+Esc back.
    PostMessageW(tray, WM_HOTKEY, 0, 0);
    EXPECT_FALSE(PumpFor(300));
    EXPECT_FALSE(RegisterHotKey(nullptr, 7, MOD_WIN, VK_ESCAPE)) << "Win+Esc is not held after the run";
    UnregisterHotKey(nullptr, 7);
    // A run is this program with "/menu", asked to show its window as it is told (SW_SHOW):
    // Windows holds a run's first ShowWindow to the starter's command. Runs of a program that
    // ends at once leave no handle open in the resident tray.
    std::wstring report = ProbeAsTheProgram();
    uintptr_t highWater[2];
    for (uintptr_t& mark : highWater) {
        PostMessageW(tray, WM_HOTKEY, 0, 0);
        EXPECT_FALSE(PumpFor(300));
        mark = HandleHighWater();
    }
    EXPECT_LE(highWater[1], highWater[0]) << "a run left handles open";
    EXPECT_EQ(ProbeReport(report), "/menu 5");
    ModulePath[0] = 0;
    // Explorer restarted: every icon is gone, and the shell says so to every window. The second
    // time, the add finds the icon there.
    ASSERT_TRUE(Icon(tray, NIM_DELETE));
    for (int broadcast = 0; broadcast < 2; ++broadcast) {
        PostMessageW(tray, RegisterWindowMessageW(L"TaskbarCreated"), 0, 0);
        EXPECT_FALSE(PumpFor(300));
        EXPECT_TRUE(Icon(tray) && IsWindow(tray));
    }
    // Also run under a Japanese user's locale, where both commands are Japanese.
    const char* menu = JapaneseLocale() ? u8"menu off centre: [Vantrel] [] [より安全な取り外し...] [終了]\n"
                                        : "menu off centre: [Vantrel] [] [Remove more safely...] [Exit]\n";
    const struct { UINT button; std::vector<WORD> keys; const char* menu; } clicks[] = {
        {WM_LBUTTONDOWN, {}, ""}, {WM_LBUTTONDBLCLK, {}, ""}, {WM_RBUTTONDOWN, {VK_ESCAPE}, menu},
        {WM_RBUTTONDOWN, {VK_UP, VK_RETURN}, menu},  // Exit
    };
    destroyedTray = tray;
    HHOOK hook = SetWindowsHookExW(WH_CALLWNDPROCRET, NoteIconAfterDestroy, nullptr, GetCurrentThreadId());
    for (const auto& click : clicks) {
        StartWatching(click.keys);
        PostMessageW(tray, WM_USER, 0, click.button);
        bool quit = PumpFor(click.keys.size() == 2 ? 3000 : 300);
        StopWatching();
        EXPECT_EQ(DescribeRun(), click.menu);
        EXPECT_EQ(quit, click.keys.size() == 2);
    }
    EXPECT_EQ(seenMenu.states, (std::vector<UINT>{MF_DISABLED, MF_SEPARATOR, 0, 0}));
    EXPECT_EQ(seenMenu.ids, (std::vector<UINT>{0, 0, TrayCommandRemove, TrayCommandExit}));
    UnhookWindowsHookEx(hook);
    EXPECT_FALSE(IsWindow(tray) || iconAfterDestroy);
    tray = CreateTray(GetModuleHandleW(L"kernel32.dll"));  // no icon 101 there: closes itself
    EXPECT_TRUE(PumpFor(3000));
    EXPECT_FALSE(IsWindow(tray));
}
