// Every system call of a removal run fails in turn, once or from then on, with the error it
// would really give. Whatever fails, the run must end, say the right thing, send no
// spin-down after a failed dismount, and keep no handle but the dismounted volumes'.
#include "sim/sim.h"
#include "storage/system_calls.h"
#include "ui/texts.h"
#include "menu_driver.h"
#include "removal_watch.h"
#include <gtest/gtest.h>
#include <algorithm>
#include <thread>

struct RunKind {
    bool menu;
    int volumes;            // of the USB disk, 1 to 3
    SimFormIndex accepted;  // the first spin-down form the disk takes
};

enum Outcome { Removed, NoDrive, DismountFailed, SpinDownFailed, Unexpected, OutcomeCount };
static const char* const outcomeNames[OutcomeCount] = {"removed", "no drive", "dismount failed",
                                                        "spin-down failed", "UNEXPECTED"};

static const DWORD UsbDisk = 2;

static void BuildMachine(const RunKind& kind)
{
    SimInstall();
    sim.disks.push_back(SimMakeDisk(0, BusTypeSata, "ATA", "Internal SSD", "1.0", "S1"));
    sim.volumes.push_back({L"\\\\?\\Volume{00000000-0000-0000-0000-000000000000}\\", 0, {L"C:\\"}, FaultNone, false});
    SimDisk usb = SimMakeDisk(UsbDisk, BusTypeUsb, "ACME", "Portable HDD", "0102", "NX01");
    for (int form = 0; form < kind.accepted; ++form)
        usb.forms[form] = {AnswerRefuse, 0};
    usb.unplugDelay = 300;
    sim.disks.push_back(usb);
    const wchar_t* mounts[] = {L"E:\\", L"F:\\", L"G:\\"};
    for (int i = 0; i < kind.volumes; ++i) {
        std::wstring name = L"\\\\?\\Volume{00000000-0000-0000-0000-00000000000" + std::to_wstring(i + 1) + L"}\\";
        sim.volumes.push_back({name, UsbDisk, {mounts[i]}, FaultNone, false});
    }
}

static Outcome Classify(const std::vector<Status>& shown)
{
    std::vector<std::wstring> texts;
    for (const Status& s : shown)
        texts.push_back(s.text);
    const std::vector<std::wstring> removed = {GetText(TextReadyToRemove), GetText(TextDriveRemoved)};
    if (texts == removed)
        return Removed;
    const struct { TextId text; Outcome outcome; } single[] = {
        {TextNoRemovableDrive, NoDrive}, {TextDismountFailed, DismountFailed}, {TextSpinDownFailed, SpinDownFailed}};
    for (auto s : single)
        if (texts == std::vector<std::wstring>{GetText(s.text)})
            return s.outcome;
    return Unexpected;
}

// Runs one removal of the kind with the given call failing; returns the number of calls made.
static unsigned RunWithFault(const RunKind& kind, unsigned failCall, bool fromThen, Outcome* outcome,
                             int retries = 2)
{
    BuildMachine(kind);
    sim.failCall = failCall;
    sim.failFromThen = fromThen;
    SeenMenu seen;
    std::atomic<bool> ended(false);
    std::thread user;
    if (kind.menu)  // the first disk is three Downs away: two header lines, then the disk
        user = std::thread(AnswerMenu, &seen, std::vector<WORD>{VK_DOWN, VK_DOWN, VK_DOWN, VK_RETURN}, 2000, &ended);
    RunRemovalWatched(kind.menu ? nullptr : L"E:\\data\\file.txt");
    ended = true;
    if (user.joinable())
        user.join();
    // Under Wine a posted key now and then goes astray and the menu ends dismissed: that run
    // is played again.
    if (kind.menu && seen.shown && statuses.empty() && retries > 0)
        return RunWithFault(kind, failCall, fromThen, outcome, retries - 1);
    *outcome = Classify(statuses);

    std::string where = "fault at call " + std::to_string(failCall) + (fromThen ? " and after" : "");
    EXPECT_NE(*outcome, Unexpected) << where << (seen.shown ? ", menu shown" : ", no menu") << ", "
                                    << statuses.size() << " statuses"
                                    << (seen.texts.empty() ? "" : ", last item " + testing::PrintToString(seen.texts.back()));
    EXPECT_FALSE(runWindow && IsWindow(runWindow)) << where;
    const SimDisk& usb = sim.disks[1];
    std::vector<std::wstring> dismounted;
    bool allDismounted = true;
    for (const SimVolume& volume : sim.volumes) {
        if (volume.ejected)
            dismounted.push_back(L"\\\\.\\" + volume.name.substr(4, volume.name.size() - 5));
        allDismounted = allDismounted && (volume.disk != UsbDisk || volume.ejected);
    }
    // No spin-down after a failed dismount; "ready" only when the disk took a form and every
    // volume of it was dismounted; "failed to spin down" only when it took none.
    EXPECT_TRUE(*outcome != DismountFailed || SimPassThroughsSent() == 0) << where;
    EXPECT_TRUE(*outcome != Removed || (usb.spunDown && allDismounted)) << where;
    EXPECT_TRUE(*outcome != SpinDownFailed || !usb.spunDown) << where;
    std::vector<std::wstring> open = SimOpenHandles();
    std::sort(open.begin(), open.end());
    std::sort(dismounted.begin(), dismounted.end());
    EXPECT_EQ(open, dismounted) << where;
    return sim.calls;
}

TEST(FaultSweep, EveryCallOfEveryKindOfRun)
{
    std::vector<RunKind> kinds;
    for (bool menu : {true, false})  // menus first: see the note where this test is registered
        for (int volumes = 1; volumes <= 3; ++volumes)
            for (SimFormIndex form : {FormAta, FormVendor, FormSat})
                kinds.push_back({menu, volumes, form});
    unsigned faults = 0;
    printf("%-28s %6s", "run (faults once / from then on)", "calls");
    for (const char* name : outcomeNames)
        printf(" %9.9s", name);
    printf("\n");
    for (const RunKind& kind : kinds) {
        Outcome outcome;
        unsigned total = RunWithFault(kind, 0, false, &outcome);
        ASSERT_EQ(outcome, Removed) << "the run without faults";
        for (bool fromThen : {false, true}) {
            int counts[OutcomeCount] = {};
            for (unsigned call = 1; call <= total; ++call, ++faults) {
                RunWithFault(kind, call, fromThen, &outcome);
                ++counts[outcome];
            }
            char name[64];
            snprintf(name, sizeof name, "%s, %d volume%s, %s, %s", kind.menu ? "menu" : "path", kind.volumes,
                     kind.volumes > 1 ? "s" : "", kind.accepted == FormAta ? "ATA" : kind.accepted == FormVendor ? "vendor" : "SAT",
                     fromThen ? "on" : "once");
            printf("%-28s %6u", name, total);
            for (int count : counts)
                printf(" %9d", count);
            printf("\n");
        }
    }
    printf("%u faults injected\n", faults);
    SimUninstall();
}
