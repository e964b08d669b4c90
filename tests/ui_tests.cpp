// The removal run inside one process on the simulated clock: mode choice, drive labels, the
// drive menu driven by keys, and the removal window's steps as the window shows them.
#include "sim_fixture.h"
#include "app/process.h"
#include "ui/drive_menu.h"
#include "ui/removal_window.h"
#include "menu_driver.h"
#include <thread>

using namespace std::string_literals;

TEST(ModeChoice, FollowsTheFirstArgument)
{
    const struct { std::vector<const wchar_t*> args; Mode mode; int path; } cases[] = {
        {{L"Vantrel.exe"}, TrayMode, -1},
        {{L"Vantrel.exe", L"/menu"}, MenuMode, -1},
        {{L"Vantrel.exe", L"/MeNu", L"E:\\"}, MenuMode, -1},
        {{L"Vantrel.exe", L"menu"}, PathMode, 1},
        {{L"..\\bin\\Vantrel", L"/SELF"}, PathMode, 0},
        {{L"Vantrel.exe", L""}, PathMode, 1},
        {{L"Vantrel.exe", L"E:\\My Files\\a b.txt", L"/menu"}, PathMode, 1},
        {{L"Vantrel.exe", L"/men\u0130"}, PathMode, 1},  // only A-Z fold
    };
    for (const auto& c : cases) {
        std::vector<WCHAR*> argv;
        for (const wchar_t* a : c.args)
            argv.push_back(const_cast<WCHAR*>(a));
        ModeChoice choice = ChooseMode(int(argv.size()), argv.data());
        EXPECT_EQ(choice.mode, c.mode) << c.args.back();
        EXPECT_EQ(choice.path, c.path < 0 ? nullptr : argv[c.path]) << c.args.back();
    }
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
    const struct { DiskNumber disk; const wchar_t* volume; const wchar_t* label; bool matches; } cases[] = {
        {0, nullptr, L"E:\\/F:\\/<Disk 1.0>", false},
        {0, L"f:\\", L"E:\\/F:\\/<Disk 1.0>", true},
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
}

TEST_F(DriveMenu, PathModeTakesTheUsbDiskThatHoldsThePath)
{
    AddDisk(0, BusTypeSata);
    AddVolume(1, 0, {L"C:\\"});
    AddDisk10(1, {{L"E:\\"}});
    AddDisk10(2, {{L"C:\\Mount\\Usb\\"}});
    const struct { const wchar_t* path; DriveChoiceKind kind; DiskNumber disk; } cases[] = {
        {L"e:\\data\\x.txt", ChoiceDisk, 1},
        {L"C:\\mount\\usb\\deep\\file", ChoiceDisk, 2},
        {L"C:\\Windows", ChoiceNone, 0},
        {L"\\\\server\\share\\x", ChoiceNone, 0},
        {L"", ChoiceNone, 0},
    };
    for (const auto& c : cases) {
        DriveChoice choice = ChooseDrive(nullptr, c.path);
        EXPECT_EQ(choice.kind, c.kind) << c.path;
        EXPECT_EQ(choice.disk, c.disk) << c.path;
    }
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
                                             GetText(TextChooseDrive), L"", L"E:\\/F:\\/<Disk 1.0>",
                                             L"<Disk 1.0>"};
    const std::vector<UINT> states = {MF_DISABLED, MF_DISABLED, MF_SEPARATOR, 0, 0};
    const std::vector<UINT> ids = {0, 0, 0, 1, 3};
    for (const auto& c : cases) {
        SeenMenu seen;
        std::thread user([&] { AnswerMenu(&seen, c.keys, 5000); });
        DriveChoice choice = ChooseDrive(owner, nullptr);
        user.join();
        EXPECT_EQ(choice.kind, c.kind);
        EXPECT_EQ(choice.disk, c.disk);
        EXPECT_EQ(seen.texts, texts);
        EXPECT_EQ(seen.states, states);
        EXPECT_EQ(seen.ids, ids);
        RECT rect = seen.rect;
        EXPECT_LE(abs((rect.left + rect.right) / 2 - GetSystemMetrics(SM_CXSCREEN) / 2), 1);
        EXPECT_LE(abs((rect.top + rect.bottom) / 2 - GetSystemMetrics(SM_CYSCREEN) / 2), 1);
    }
    DestroyWindow(owner);
}

TEST_F(DriveMenu, IsNotShownWithoutAUsbDisk)
{
    AddDisk(0, BusTypeSata);
    AddVolume(1, 0, {L"C:\\"});
    DriveChoice choice = ChooseDrive(nullptr, nullptr);
    EXPECT_EQ(choice.kind, ChoiceNone);
    EXPECT_FALSE(FindWindowW(L"#32768", nullptr));
}
