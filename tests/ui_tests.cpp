// The user interface inside one process on the simulated machine: the texts, the mode
// choice, drive labels, the drive menu answered with keys, the removal window's steps as the
// window shows them, and the tray window.
#include "sim_fixture.h"
#include "app/process.h"
#include "run_watch.h"
#include "ui/drive_menu.h"
#include "ui/removal_window.h"
#include "ui/texts.h"
#include "ui/tray_window.h"
#include <shellapi.h>

using namespace std::string_literals;

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
        std::vector<WCHAR*> argv;
        for (const wchar_t* a : c.args)
            argv.push_back(const_cast<WCHAR*>(a));
        ModeChoice choice = ChooseMode(int(argv.size()), argv.data());
        EXPECT_EQ(choice.mode, c.mode) << c.args.back();
        if (c.path)
            EXPECT_STREQ(choice.path, c.path) << c.args.back();
        else
            EXPECT_EQ(choice.path, nullptr) << c.args.back();
    }
}

// The program's own path is kept only when it fits with room to spare: a path that fills the
// buffer may have been cut, and might name another file.
static DWORD moduleLength;
static DWORD WINAPI ModuleFileName(HMODULE, LPWSTR buffer, DWORD capacity)
{
    for (DWORD i = 0; i < moduleLength && i < capacity; ++i)
        buffer[i] = L'a';
    buffer[moduleLength < capacity ? moduleLength : capacity - 1] = 0;
    return moduleLength < capacity ? moduleLength : capacity;
}

TEST(ModulePath, IsEmptyWhenThePathMayHaveBeenCut)
{
    for (DWORD length : {DWORD(0), DWORD(12), DWORD(MAX_PATH - 2), DWORD(MAX_PATH - 1), DWORD(MAX_PATH + 40)}) {
        moduleLength = length;
        systemCalls.GetModuleFileNameW = ModuleFileName;
        FillModulePath();
        systemCalls = defaultSystemCalls;
        EXPECT_EQ(lstrlenW(ModulePath), int(length <= MAX_PATH - 2 ? length : 0)) << length;
    }
}

TEST(Start, LocksTheWholeImageInMemory)
{
    HMODULE image = GetModuleHandleW(nullptr);
    const IMAGE_DOS_HEADER* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image);
    const IMAGE_NT_HEADERS* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(reinterpret_cast<BYTE*>(image) + dos->e_lfanew);
    EXPECT_EQ(MakeImageResident(image), SIZE_T(nt->OptionalHeader.SizeOfImage));
}

class DriveMenu : public OnSimulatedMachine {
protected:
    // A USB disk described as "Disk 1.0" (no trailing space), with its volumes' mount points.
    static void AddDisk10(DWORD number, std::vector<std::vector<std::wstring>> volumes)
    {
        AddDisk(number).descriptor = Descriptor("Disk\0" "1.0"s, 0, 5, -1, -1);
        for (auto& mounts : volumes)
            AddVolume(int(sim.volumes.size() + 1), number, mounts);
    }
};

TEST_F(DriveMenu, LabelsADiskWithItsMountPointsAndDescription)
{
    AddDisk10(0, {{L"E:\\"}, {L"F:\\"}});
    AddDisk10(1, {{L"C:\\Mount\\Usb\\"}});
    AddDisk10(2, {});
    AddDisk(3);  // described "ACME Portable HDD 0102 NX01 "
    AddVolume(9, 3, {L"H:\\"});
    AddDisk(4).descriptor = Descriptor("\0"s, -1, -1, -1, -1);  // no description
    AddVolume(10, 4, {L"K:\\"});
    AddVolume(11, 0, {L"D:\\"}).cdrom = true;  // a DVD drive numbered like disk 0
    const struct { DiskNumber disk; const wchar_t* volume; const wchar_t* label; bool matches; } cases[] = {
        {0, nullptr, L"E:\\/F:\\/<Disk 1.0>", false},
        {0, L"f:\\", L"E:\\/F:\\/<Disk 1.0>", true},
        {0, L"D:\\", L"E:\\/F:\\/<Disk 1.0>", false},
        {1, L"C:\\Mount\\", L"C:\\Mount\\Usb\\/<Disk 1.0>", false},
        {2, L"", L"<Disk 1.0>", false},
        {3, nullptr, L"H:\\/<ACME Portable HDD 0102 NX01 >", false},
        {4, L"K:\\", L"K:\\/<>", true},
        {7, nullptr, L"<>", false},  // nothing answers at all
    };
    for (const auto& c : cases) {
        DriveLabel label = BuildDriveLabel(c.disk, c.volume);
        EXPECT_STREQ(label.text, c.label);
        EXPECT_EQ(label.matches, c.matches) << c.label;
        delete[] label.text;
    }
    // No mount-point list at all (the volume walk fails for the fill): the description alone.
    FailCall(CallFindFirstVolume, L"", 2);
    DriveLabel label = BuildDriveLabel(0, nullptr);
    EXPECT_STREQ(label.text, L"<Disk 1.0>");
    delete[] label.text;
}

TEST_F(DriveMenu, PathModeTakesTheUsbDiskThatHoldsThePath)
{
    AddDisk(0, BusTypeSata);
    AddVolume(1, 0, {L"C:\\"});
    AddDisk10(1, {{L"E:\\"}});
    AddDisk10(2, {{L"C:\\Mount\\Usb\\"}});
    AddVolume(4, 1, {L"D:\\"}).cdrom = true;
    const struct { const wchar_t* path; DriveChoiceKind kind; DiskNumber disk; } cases[] = {
        {L"e:\\data\\x.txt", ChoiceDisk, 1},
        {L"C:\\mount\\usb\\deep\\file", ChoiceDisk, 2},
        {L"C:\\Windows", ChoiceNone, 0},
        {L"D:\\setup.exe", ChoiceNone, 0},  // on a DVD numbered like disk 1
        {L"\\\\server\\share\\x", ChoiceNone, 0},
        {L"", ChoiceNone, 0},
    };
    for (const auto& c : cases) {
        DriveChoice choice = ChooseDrive(nullptr, c.path);
        EXPECT_EQ(choice.kind, c.kind) << c.path;
        EXPECT_EQ(choice.disk, c.disk) << c.path;
    }
}

// "/self" names the disk of the program's image, not of the directory the run stands in.
TEST_F(DriveMenu, SelfTakesTheDiskOfTheProgramNotOfTheCurrentDirectory)
{
    WCHAR current[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, current);
    AddDisk10(1, {{std::wstring(current, 3)}});  // the current directory's drive
    AddDisk10(2, {{L"Q:\\"}});
    lstrcpyW(ModulePath, L"Q:\\tools\\Vantrel.exe");
    WCHAR* argv[] = {const_cast<WCHAR*>(L"Vantrel"), const_cast<WCHAR*>(L"/self")};
    DriveChoice choice = ChooseDrive(nullptr, ChooseMode(2, argv).path);
    EXPECT_EQ(choice.kind, ChoiceDisk);
    EXPECT_EQ(choice.disk, 2u);
    ModulePath[0] = 0;
    EXPECT_EQ(ChooseDrive(nullptr, ChooseMode(2, argv).path).kind, ChoiceNone);
}

TEST_F(DriveMenu, ListsUsbDisksAtTheCentreAndTakesTheUsersChoice)
{
    AddDisk10(0, {{L"E:\\"}, {L"F:\\"}});
    AddDisk(1, BusTypeSata);
    AddVolume(3, 1, {L"C:\\"});
    AddDisk10(2, {});
    AddVolume(4, 2);
    AddDisk10(5, {});  // above every volume's disk number: never examined
    HWND owner = CreateWindowW(L"STATIC", L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
    const struct { std::vector<WORD> keys; DriveChoiceKind kind; DiskNumber disk; } cases[] = {
        {{VK_DOWN, VK_DOWN, VK_DOWN, VK_RETURN}, ChoiceDisk, 0},
        {{VK_UP, VK_RETURN}, ChoiceDisk, 2},
        {{VK_DOWN, VK_RETURN, VK_ESCAPE}, ChoiceCancelled, 0},  // Return on a header line does nothing
    };
    const std::vector<std::wstring> texts = {L"---------------- Vantrel ----------------",
                                             L"Please choose a drive to remove more safely.",
                                             L"", L"E:\\/F:\\/<Disk 1.0>", L"<Disk 1.0>"};
    for (const auto& c : cases) {
        StartWatching(c.keys);
        DriveChoice choice = ChooseDrive(owner, nullptr);
        StopWatching();
        EXPECT_EQ(choice.kind, c.kind);
        EXPECT_EQ(choice.disk, c.disk);
        EXPECT_EQ(seenMenu.texts, texts);
        EXPECT_EQ(seenMenu.states, (std::vector<UINT>{MF_DISABLED, MF_DISABLED, MF_SEPARATOR, 0, 0}));
        EXPECT_EQ(seenMenu.ids, (std::vector<UINT>{0, 0, 0, 1, 3}));
        RECT r = seenMenu.rect;
        EXPECT_LE(abs((r.left + r.right) / 2 - GetSystemMetrics(SM_CXSCREEN) / 2), 1);
        EXPECT_LE(abs((r.top + r.bottom) / 2 - GetSystemMetrics(SM_CYSCREEN) / 2), 1);
    }
    StartWatching();
    AddDisk(1, BusTypeSata);
    sim.disks.erase(sim.disks.begin(), sim.disks.end() - 1);  // no USB disk at all
    EXPECT_EQ(ChooseDrive(owner, nullptr).kind, ChoiceNone);
    StopWatching();
    EXPECT_FALSE(seenMenu.shown);
    DestroyWindow(owner);
}

class RemovalRun : public OnSimulatedMachine {
protected:
    static std::vector<std::wstring> Texts()
    {
        std::vector<std::wstring> texts;
        for (const Status& s : statuses) {
            texts.push_back(s.text);
            EXPECT_TRUE(s.visible) << "a status set on a hidden window";
        }
        return texts;
    }
};

TEST_F(RemovalRun, StaysHiddenUntilTheOutcomeAndClosesThreeSecondsAfterTheLastText)
{
    AddDisk(2).unplugDelay = 1000;
    AddVolume(1, 2, {L"E:\\"});
    RunRemovalWatched(L"E:\\x");
    EXPECT_EQ(Texts(), (std::vector<std::wstring>{L"It is ready to remove.\nPlease remove the drive.",
                                                  L"The drive has been removed."}));
    // Everything up to the spin-down ran hidden; only the removal polls after it ran shown.
    ASSERT_EQ(SimPassThroughsSent(), 1u);
    ASSERT_EQ(visibleAtControl.size(), sim.controls.size());
    bool spunDown = false;
    for (size_t i = 0; i < sim.controls.size(); ++i) {
        EXPECT_EQ(visibleAtControl[i], spunDown) << "control " << i;
        spunDown = spunDown || sim.controls[i].code == 0x4D02C;  // IOCTL_ATA_PASS_THROUGH
    }
    EXPECT_EQ(sim.clock, 1000u + 3000u);  // ten 100 ms polls, then the 3 s close
    EXPECT_FALSE(IsWindow(runWindow));
    expectedOpen = {VolumeDevice(1)};
}

// A typo of a switch names no disk: the run says so without asking any volume anything.
TEST_F(RemovalRun, AnEmptyPathTouchesNothing)
{
    AddDisk(2);
    AddVolume(1, 2, {L"E:\\"});
    RunRemovalWatched(L"");
    EXPECT_EQ(Texts(), std::vector<std::wstring>{L"No removable drive exists."});
    EXPECT_TRUE(sim.calls.empty());
    EXPECT_EQ(sim.clock, 3000u);
}

TEST_F(RemovalRun, IgnoresAnUnknownStep)
{
    HWND window = CreateWindowW(L"STATIC", L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(RemovalWindow(window, WM_USER, 3, 0), 0);
    EXPECT_TRUE(sim.calls.empty());
    EXPECT_FALSE(IsWindowVisible(window));
    DestroyWindow(window);
}

// Handles this thread's messages for a while; true when the quit message arrived.
static bool PumpFor(DWORD milliseconds)
{
    ULONGLONG end = GetTickCount64() + milliseconds;
    MSG message;
    while (GetTickCount64() < end) {
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT)
                return true;
            DispatchMessageW(&message);
        }
        Sleep(5);
    }
    return false;
}

static HWND CreateTray(HINSTANCE instance)
{
    Instance = instance;
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = TrayWindow;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"TrayUnderTest";
    RegisterClassW(&windowClass);
    return CreateWindowW(L"TrayUnderTest", L"", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
}

// Whether the notification area still knows the window's icon.
static bool IconPresent(HWND window)
{
    NOTIFYICONDATAW record = {};
    record.cbSize = sizeof record;
    record.hWnd = window;
    record.uFlags = NIF_TIP;
    lstrcpyW(record.szTip, L"Vantrel");
    return Shell_NotifyIconW(NIM_MODIFY, &record);
}

TEST(Tray, RightButtonOpensTheMenuAndExitRemovesTheIcon)
{
    ModulePath[0] = 0;
    HWND tray = CreateTray(GetModuleHandleW(nullptr));
    ASSERT_TRUE(tray);
    EXPECT_FALSE(IsWindowVisible(tray));
    EXPECT_TRUE(IconPresent(tray));

    // Explorer restarted: every icon is gone, and the shell says so to every window.
    NOTIFYICONDATAW gone = {};
    gone.cbSize = sizeof gone;
    gone.hWnd = tray;
    ASSERT_TRUE(Shell_NotifyIconW(NIM_DELETE, &gone));
    for (int broadcast = 0; broadcast < 2; ++broadcast) {  // the second add finds the icon there
        PostMessageW(tray, RegisterWindowMessageW(L"TaskbarCreated"), 0, 0);
        EXPECT_FALSE(PumpFor(300));
        EXPECT_TRUE(IconPresent(tray));
        EXPECT_TRUE(IsWindow(tray));
    }

    StartWatching();
    PostMessageW(tray, WM_USER, 0, WM_LBUTTONDOWN);
    PostMessageW(tray, WM_USER, 0, WM_LBUTTONDBLCLK);
    PumpFor(300);
    StopWatching();
    EXPECT_FALSE(seenMenu.shown) << "a left click opened the menu";

    const std::vector<std::wstring> texts = {L"Vantrel", L"", L"Remove more safely...", L"Exit"};
    StartWatching({VK_ESCAPE});
    PostMessageW(tray, WM_USER, 0, WM_RBUTTONDOWN);
    PumpFor(300);
    StopWatching();
    EXPECT_EQ(seenMenu.texts, texts);
    EXPECT_EQ(seenMenu.states, (std::vector<UINT>{MF_DISABLED, MF_SEPARATOR, 0, 0}));
    EXPECT_EQ(seenMenu.ids, (std::vector<UINT>{0, 0, TrayCommandRemove, TrayCommandExit}));
    EXPECT_TRUE(IsWindow(tray)) << "dismissing the menu ends nothing";

    StartWatching({VK_UP, VK_RETURN});  // Up: the last item, Exit
    PostMessageW(tray, WM_USER, 0, WM_RBUTTONDOWN);
    EXPECT_TRUE(PumpFor(3000));
    StopWatching();
    EXPECT_TRUE(seenMenu.shown);
    EXPECT_FALSE(IsWindow(tray));
    EXPECT_FALSE(IconPresent(tray));
}

TEST(Tray, ClosesItselfWithoutItsIcon)
{
    HWND tray = CreateTray(GetModuleHandleW(L"kernel32.dll"));  // no icon 101 there
    EXPECT_TRUE(PumpFor(3000));
    EXPECT_FALSE(IsWindow(tray));
}
