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

// Whether CTest runs these tests under Japan's locale (ui_Japanese): they then expect Japanese
// texts, which the program shows only when the locale was applied.
static bool JapaneseLocale() { return _wgetenv(L"VANTREL_JAPANESE") != nullptr; }

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
        EXPECT_STREQ(GetText(t.id), JapaneseLocale() ? t.japanese : t.english);
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
        {{L"Vantrel.exe", L"-menu"}, PathMode, L""},
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

// USB disks 1 to 4 (1 and 2 described "Disk 1.0 "), an internal disk, and USB disk 5,
// numbered at the limit that the volumes set: never examined. Windows runs from USB disk 4.
// Disk 1's first volume has a second name, under which the enumeration gives it again.
static const wchar_t DriveMachine[] = LR"(disk 0 bus=sata vendor=ATA product=SSD
    disk 1 vendor=Disk product=1.0
    disk 2 vendor=Disk product=1.0
    disk 3 vendor=AC&ME product="Portable HDD" revision=0102 serial=NX01
    disk 4
    disk 5 vendor=Never
    volume \\?\Volume{1}\ disk=0 mounts=C:\
    volume \\?\Volume{2}\ disk=1 mounts=E:\ names=\\?\Volume{12}\
    volume \\?\Volume{3}\ disk=1 mounts=F:\
    volume \\?\Volume{4}\ disk=2 mounts="C:\Mount\Über\;Z:\" aliases=C:\Mount\BER~1\
    volume \\?\Volume{5}\ disk=4 mounts=K:\ windows=yes)";

TEST_F(OnSimulatedMachine, LabelsADiskWithItsMountPointsAndDescription)
{
    Machine(DriveMachine);
    const struct { DiskNumber disk; const wchar_t* label; } cases[] = {
        {1, L"E:\\/F:\\/<Disk 1.0 >"}, {2, L"C:\\Mount\\Über\\/Z:\\/<Disk 1.0 >"},
        {3, L"<AC&ME Portable HDD 0102 NX01 >"}, {4, L"K:\\/<>"},
        {7, L"<>"},  // nothing answers at all
    };
    for (const auto& c : cases) {
        WCHAR* label = BuildDriveLabel(c.disk);
        EXPECT_STREQ(label, c.label);
        delete[] label;
    }
    FailCall(CallFindFirstVolume, L"", 2);  // no mount-point list at all: the description alone
    WCHAR* label = BuildDriveLabel(1);
    EXPECT_STREQ(label, L"<Disk 1.0 >");
    delete[] label;
}

// The disk of the volume whose mount point begins the path (made full, as start-up makes it)
// is taken without asking, found by that volume's own name whatever spelling of its mount
// point the path uses; "/self" names the disk of the program's image (E:), not of the
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
        {L"e:\\data\\x.txt", ChoiceDisk, 1}, {L"c:\\MOUNT\\über\\deep\\file", ChoiceDisk, 2},
        {L"C:\\Mount\\Über", ChoiceDisk, 2}, {L"C:\\Mount\\BER~1\\x", ChoiceDisk, 2},  // an 8.3 name
        {L"\\\\?\\F:\\x", ChoiceDisk, 1}, {L".", ChoiceDisk, 2}, {L"/self", ChoiceDisk, 1},
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
    // Windows on a volume of two disks: neither may be taken; where it cannot be told, none.
    for (const wchar_t* windows : {L"disk=none extents=1,3 mounts=C:\\ windows=yes", L"disk=none extents=1,3"}) {
        Machine(L"disk 1\ndisk 2\nvolume \\\\?\\Volume{1}\\ disk=1 mounts=E:\\\nvolume \\\\?\\Volume{2}\\ disk=2 "
                L"mounts=F:\\\nvolume \\\\?\\Volume{3}\\ " + std::wstring(windows));
        EXPECT_EQ(Choice(L"E:\\x").kind, ChoiceNone) << windows;
        EXPECT_EQ(Choice(L"F:\\x").kind, wcsstr(windows, L"windows") ? ChoiceDisk : ChoiceNone) << windows;
    }
}

TEST_F(OnSimulatedMachine, TheDriveMenuListsUsbDisksAtTheCentreAndTakesTheUsersChoice)
{
    Machine(DriveMachine);
    HWND owner = CreateWindowW(L"STATIC", L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
    // Also run under a Japanese user's locale, where the second header line is Japanese.
    const std::string chooseDrive = JapaneseLocale() ? u8"[より安全に取り外すドライブを選択してください。]"
                                                     : "[Please choose a drive to remove more safely.]";
    // Disk 1 asked again once chosen: another disk plugged in behind its number, the same disk
    // no longer on USB, or become the one Windows runs from, is not taken.
    auto replaceDisk1 = [] { SimAddScenario(L"disk 1 vendor=Disk product=1.1"); };
    auto disk1NotUsb = [] { SimAddScenario(L"disk 1 bus=sata vendor=Disk product=1.0"); };
    auto windowsOnDisk1 = [] { sim.volumes[4].windows = false, sim.volumes[1].windows = true; };
    const struct { std::vector<WORD> keys; DriveChoiceKind kind; DiskNumber disk; void (*menuUp)(); } cases[] = {
        {{VK_DOWN, VK_DOWN, VK_DOWN, VK_RETURN}, ChoiceDisk, 1},
        {{VK_UP, VK_RETURN}, ChoiceDisk, 3},
        {{VK_DOWN, VK_RETURN, VK_ESCAPE}, ChoiceCancelled, 0},  // Return on a header line does nothing
        {{VK_DOWN, VK_DOWN, VK_DOWN, VK_RETURN}, ChoiceNone, 0, replaceDisk1},
        {{VK_DOWN, VK_DOWN, VK_DOWN, VK_RETURN}, ChoiceNone, 0, disk1NotUsb},
        {{VK_DOWN, VK_DOWN, VK_DOWN, VK_RETURN}, ChoiceNone, 0, windowsOnDisk1},
    };
    for (const auto& c : cases) {
        Machine(DriveMachine);
        StartWatching(c.keys, c.menuUp);
        DriveChoice choice = ChooseDrive(owner, nullptr);
        StopWatching();
        EXPECT_EQ(choice.kind, c.kind);
        EXPECT_EQ(choice.disk, c.disk);
        EXPECT_EQ(DescribeRun(), "menu centred: [---------------- Vantrel ----------------] " + chooseDrive +
                                 u8" [] [E:\\/F:\\/<Disk 1.0 >] [C:\\Mount\\Über\\/Z:\\/<Disk 1.0 >] "
                                 "[<AC&&ME Portable HDD 0102 NX01 >]\n");  // "&" shown as itself
        EXPECT_EQ(seenMenu.states, (std::vector<UINT>{MF_DISABLED, MF_DISABLED, MF_SEPARATOR, 0, 0, 0}));
    }
    Machine(L"disk 0 bus=sata\nvolume \\\\?\\Volume{1}\\ disk=0 mounts=C:\\");
    StartWatching();
    EXPECT_EQ(ChooseDrive(owner, nullptr).kind, ChoiceNone);
    StopWatching();
    EXPECT_FALSE(seenMenu.shown);
    DestroyWindow(owner);
}

// The eject asked of Windows, and the closes of the volumes' handles from the walk of the device
// tree on, in their order.
static std::string EjectAndCloses(const SimCallRecord** eject)
{
    std::string order;
    bool walked = false;
    for (const SimCallRecord& c : sim.calls) {
        walked = walked || c.call == CallPlugAndPlay;
        if (!walked)
            continue;
        bool ejecting = c.call == CallPlugAndPlay && c.device == L"CM_Request_Device_EjectW";
        if (ejecting)
            *eject = &c;
        if (ejecting || (c.call == CallCloseHandle && c.device.find(L"Volume{") != std::wstring::npos))
            order += (order.empty() ? "" : ", ") + (ejecting ? std::string("eject") : "close " + std::string(c.device.begin() + 4, c.device.end()));
    }
    return order;
}

// After the spin-down the disk leaves Windows: its USB device is found up the device tree and
// ejected with a veto buffer, the held volumes closed when Windows asks for them (in their
// callbacks while the eject runs, or just before it where Windows has none), and the wait ends
// only when the USB device goes, not the disk at once. Not ejected (bays of one enclosure, a
// veto, a refusal), the volumes let go are taken again and held, a drive woken stopped again,
// and the wait watches the disk. Either way the disk is unplugged 0.5 s after its spin-down.
TEST_F(OnSimulatedMachine, TheDiskLeavesWindowsOrTheRunGoesOnAsBefore)
{
    const std::wstring bays = L" usb-device=USB\\VID_1234&PID_5678\\BAYS";
    const struct { std::wstring disk, more; std::string said, order; int standbys; } cases[] = {
        {L"", L"", "Ejected from Windows.\n", "eject, close Volume{1}, close Volume{2}", 1},
        {L"", L"windows7", "Ejected from Windows.\n", "close Volume{1}, close Volume{2}, eject", 1},
        {bays, L"disk 3" + bays, "Not ejected from Windows: another disk shares its USB device.\n", "", 1},
        {L" eject=veto:6", L"", "Not ejected from Windows: vetoed by 6 USBSTOR\\DISK&VEN_ACME&PROD_HDD&REV_\\NX01&0.\n",
         "eject, close Volume{1}, close Volume{2}", 2},
        {L" eject=fail:19", L"", "Not ejected from Windows: refused (CONFIGRET 19).\n", "eject", 1},
    };
    for (const auto& c : cases) {
        Machine(L"disk 0 bus=sata\ndisk 1 vendor=ACME product=HDD serial=NX01 unplug=0.5" + c.disk + L"\n" + c.more + LR"(
                  volume \\?\Volume{1}\ disk=1 mounts=E:\
                  volume \\?\Volume{2}\ disk=1 mounts=F:\
                  volume \\?\Volume{9}\ disk=0 mounts=C:\)");
        testing::internal::CaptureStdout();
        int exitCode = RunRemovalWatched(L"E:\\");
        std::string written = testing::internal::GetCapturedStdout();
        EXPECT_EQ(exitCode, ExitRemoved);
        EXPECT_EQ(written, "Succeeded.\nStandby confirmed by the drive.\n" + c.said);
        const SimCallRecord* eject = nullptr;
        EXPECT_EQ(EjectAndCloses(&eject), c.order) << c.said;
        EXPECT_TRUE(!eject || eject->outLength == MAX_PATH) << "no veto buffer: Windows shows a message box";
        const SimDisk& disk = sim.disks[1];
        EXPECT_EQ(sim.clock, 500u + CloseDelayMilliseconds) << "the wait did not end when the disk was unplugged";
        EXPECT_EQ(std::count(disk.commands.begin(), disk.commands.end(), ATA_CMD_STANDBY), c.standbys) << c.said;
        EXPECT_TRUE(disk.spunDown && !disk.sentAfterEject) << c.said;
        std::vector<std::wstring> held;
        if (!disk.ejected)
            held = {L"\\\\.\\Volume{1}", L"\\\\.\\Volume{2}"};
        EXPECT_EQ(SimOpenHandles(), held) << c.said;
        expectedOpen = held;
    }
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

// Handles the messages this thread has now, and those they lead to; true when the quit
// message arrived.
static bool PumpPending()
{
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT)
            return true;
        DispatchMessageW(&message);
    }
    return false;
}

// Handles this thread's messages until the condition holds, for 10 s at most.
template <typename Condition> static bool PumpUntil(Condition condition)
{
    for (ULONGLONG end = GetTickCount64() + 10000; !condition(); Sleep(5))
        if (PumpPending() || GetTickCount64() > end)
            return false;
    return true;
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

// Whether some window holds Win+Esc: registering it here fails then.
static bool WinEscHeld()
{
    if (!RegisterHotKey(nullptr, 7, MOD_WIN, VK_ESCAPE))
        return true;
    UnregisterHotKey(nullptr, 7);
    return false;
}

// A logon before the taskbar exists: the shell refuses the first icon. The width of each icon
// added is noted.
static LONG addedIconWidth;
static BOOL WINAPI RefuseFirstAdd(DWORD message, PNOTIFYICONDATAW record)
{
    static bool refused;
    ICONINFO icon = {};
    BITMAP bitmap = {};
    if (message == NIM_ADD && GetIconInfo(record->hIcon, &icon) && GetObjectW(icon.hbmColor, sizeof bitmap, &bitmap))
        addedIconWidth = bitmap.bmWidth;
    DeleteObject(icon.hbmColor), DeleteObject(icon.hbmMask);
    if (message == NIM_ADD && !refused)
        return !(refused = true);
    return Shell_NotifyIconW(message, record);
}

// Whether the tray's icon was still there once the tray had handled WM_DESTROY. Wine takes a
// destroyed window's icons away by itself; Windows leaves them in the notification area until
// the pointer passes over them, so the tray must take its own away.
static HWND watchedTray;
static bool iconAfterDestroy = true;
static LRESULT CALLBACK NoteIconAfterDestroy(int code, WPARAM wParam, LPARAM lParam)
{
    const CWPRETSTRUCT* call = reinterpret_cast<const CWPRETSTRUCT*>(lParam);
    if (call->hwnd == watchedTray && call->message == WM_DESTROY)
        iconAfterDestroy = Icon(call->hwnd);
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

// Makes the probe built beside this test the program that the tray's runs start, copied to a
// folder of this process's own whose name has a space; returns the file in which the runs report.
static std::wstring ProbeAsTheProgram()
{
    WCHAR built[MAX_PATH], folder[MAX_PATH];
    GetModuleFileNameW(nullptr, built, MAX_PATH);
    lstrcpyW(wcsrchr(built, L'\\') + 1, L"startup_probe.exe");
    GetTempPathW(MAX_PATH, folder);
    std::wstring probe = folder + (L"Vantrel probe " + std::to_wstring(GetCurrentProcessId()) + L"\\");
    CreateDirectoryW(probe.c_str(), nullptr);
    lstrcpyW(ModulePath, (probe + L"startup_probe.exe").c_str());
    CopyFileW(built, ModulePath, FALSE);
    std::wstring report = probe + L"started.txt";
    SetEnvironmentVariableW(L"VANTREL_PROBE", report.c_str());
    DeleteFileW(report.c_str());
    return report;
}

// What the runs reported: a line each, their first argument and the show command given.
static std::string ProbeReport(const std::wstring& report)
{
    std::string lines;
    char line[32];
    if (FILE* file = _wfopen(report.c_str(), L"r")) {
        while (fgets(line, sizeof line, file))
            lines += line;
        fclose(file);
    }
    return lines;
}

// Handed to the tray's own loop while its run is open: whether Win+Esc was free and the
// icon there then; then it lets the run end.
static HANDLE runMayEnd;
static bool freeDuringRun, iconDuringRun;
static LRESULT CALLBACK DuringRun(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message != WM_APP)
        return DefWindowProcW(window, message, wParam, lParam);
    freeDuringRun = !WinEscHeld(), iconDuringRun = Icon(watchedTray);
    for (SimDisk& disk : sim.disks)  // on a simulated machine: the tray's own disk is removed
        disk.goneAt = 0;
    SetEvent(runMayEnd);
    return 0;
}

// At logon the shell may refuse the icon: the tray stays, with its hot key, and adds the icon,
// at the small-icon size, when the taskbar starts. A tray that holds no file of its own starts
// no run. A run is the held file (whatever its path now names) with "/menu", told to show its
// window (SW_SHOW: a run's first ShowWindow is held to the starter's command), from a folder
// with a space; while it is open the tray answers, Win+Esc is free and starts nothing, and the
// icon comes back when the taskbar starts again. Runs leave no handle open. A tray whose file
// lay on the disk its run removed goes with it.
TEST(Tray, StaysWithoutTaskbarAndStartsOneRunOfItsHeldFileAtATime)
{
    ModulePath[0] = 0;
    systemCalls.Shell_NotifyIconW = RefuseFirstAdd;
    HWND tray = CreateTray(GetModuleHandleW(nullptr));
    const UINT taskbarCreated = RegisterWindowMessageW(L"TaskbarCreated");
    EXPECT_FALSE(PumpPending());
    EXPECT_TRUE(IsWindow(tray) && !IsWindowVisible(tray) && !Icon(tray) && WinEscHeld());
    EXPECT_EQ(addedIconWidth, GetSystemMetrics(SM_CXSMICON));
    addedIconWidth = 0;
    PostMessageW(tray, WM_HOTKEY, 0, 0);
    PostMessageW(tray, taskbarCreated, 0, 0);
    EXPECT_FALSE(PumpPending());
    EXPECT_TRUE(Icon(tray) && WinEscHeld()) << "no icon after TaskbarCreated, or Win+Esc not taken back";
    EXPECT_EQ(addedIconWidth, GetSystemMetrics(SM_CXSMICON)) << "the icon added at TaskbarCreated";
    DestroyWindow(tray);
    EXPECT_TRUE(PumpPending());
    systemCalls = defaultSystemCalls;

    std::wstring report = ProbeAsTheProgram(), held = ModulePath;
    tray = CreateTray(GetModuleHandleW(nullptr));
    EXPECT_FALSE(MoveFileW(held.c_str(), (held + L".old").c_str())) << "the resident tray's file was renamed";
    lstrcpyW(ModulePath, L"C:\\windows\\system32\\hostname.exe");  // what the path names now
    std::wstring event = L"VantrelRunMayEnd" + std::to_wstring(GetCurrentProcessId());
    runMayEnd = CreateEventW(nullptr, TRUE, FALSE, event.c_str());
    SetEnvironmentVariableW(L"VANTREL_PROBE_WAIT", event.c_str());
    WNDCLASSW helperClass = {0, DuringRun, 0, 0, GetModuleHandleW(nullptr), nullptr, nullptr, nullptr, nullptr, L"DuringRun"};
    RegisterClassW(&helperClass);
    HWND helper = CreateWindowW(L"DuringRun", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    watchedTray = tray;
    ASSERT_TRUE(Icon(tray, NIM_DELETE));  // the shell restarts during the run
    for (UINT message : {UINT(WM_HOTKEY), UINT(WM_HOTKEY), taskbarCreated})
        PostMessageW(tray, message, 0, 0);
    PostMessageW(helper, WM_APP, 0, 0);
    uintptr_t before = HandleHighWater();
    EXPECT_TRUE(PumpUntil([&] { return WinEscHeld() && !ProbeReport(report).empty(); })) << "Win+Esc not taken back";
    EXPECT_EQ(ProbeReport(report), "/menu 5\n");
    EXPECT_TRUE(freeDuringRun && iconDuringRun) << freeDuringRun << iconDuringRun;
    PostMessageW(tray, WM_HOTKEY, 0, 0);  // the run may end at once now
    EXPECT_TRUE(PumpUntil([&] { return WinEscHeld() && ProbeReport(report) == "/menu 5\n/menu 5\n"; }));
    PostMessageW(tray, WM_HOTKEY, 1, 0);  // not its hot key: a run would have ended within the pump
    PumpPending();
    EXPECT_EQ(ProbeReport(report), "/menu 5\n/menu 5\n");
    EXPECT_LE(HandleHighWater(), before) << "a run left handles open";

    // Also run under a Japanese user's locale, where both commands are Japanese.
    const char* menu = JapaneseLocale() ? u8"menu off centre: [Vantrel] [] [より安全な取り外し...] [終了]\n"
                                        : "menu off centre: [Vantrel] [] [Remove more safely...] [Exit]\n";
    const struct { UINT button; std::vector<WORD> keys; const char* menu; } clicks[] = {
        {WM_LBUTTONDOWN, {}, ""}, {WM_LBUTTONDBLCLK, {}, ""}, {WM_RBUTTONDOWN, {VK_ESCAPE}, menu},
        {WM_RBUTTONDOWN, {VK_UP, VK_RETURN}, menu},  // Exit
    };
    HHOOK hook = SetWindowsHookExW(WH_CALLWNDPROCRET, NoteIconAfterDestroy, nullptr, GetCurrentThreadId());
    for (const auto& click : clicks) {
        StartWatching(click.keys);
        PostMessageW(tray, WM_USER, 0, click.button);
        bool quit = PumpPending();
        StopWatching();
        EXPECT_EQ(DescribeRun(), click.menu);
        EXPECT_EQ(quit, click.keys.size() == 2);
    }
    EXPECT_EQ(seenMenu.states, (std::vector<UINT>{MF_DISABLED, MF_SEPARATOR, 0, 0}));
    UnhookWindowsHookEx(hook);
    EXPECT_FALSE(IsWindow(tray) || iconAfterDestroy);

    Machine(L"disk 1\nvolume \\\\?\\Volume{1}\\ disk=1 mounts=" + held.substr(0, 3));  // the probe's drive
    tray = watchedTray = CreateTray(GetModuleHandleW(nullptr));
    ResetEvent(runMayEnd);
    PostMessageW(tray, WM_HOTKEY, 0, 0);
    PostMessageW(helper, WM_APP, 0, 0);
    PumpUntil([&] { return !IsWindow(tray); });  // ends with the quit message the tray posts
    EXPECT_FALSE(IsWindow(tray) || WinEscHeld() || Icon(tray)) << "the tray stayed after its own disk was removed";
    systemCalls = defaultSystemCalls;
    DestroyWindow(helper);
    SetEnvironmentVariableW(L"VANTREL_PROBE_WAIT", nullptr);
    CloseHandle(runMayEnd);
    EXPECT_TRUE(MoveFileW(held.c_str(), (held + L".old").c_str())) << "the file stays held after the tray ended";
    DeleteFileW((held + L".old").c_str());
    DeleteFileW(report.c_str());
    RemoveDirectoryW(report.substr(0, report.rfind(L'\\')).c_str());
    tray = CreateTray(GetModuleHandleW(L"kernel32.dll"));  // no icon 101 there: closes itself
    EXPECT_TRUE(PumpPending());
    EXPECT_FALSE(IsWindow(tray));
}
