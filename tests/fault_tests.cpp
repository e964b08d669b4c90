// Faults at every system call of whole removal runs, once, twice in a row and from then on,
// and random descriptors, mount points and the run's full path on the guarded heap. Whatever
// fails, a run must end, say the right thing, exit with its code, send no spin-down after a
// failed dismount, and keep no handle but the dismounted volumes' and no array allocated.
#include "sim_fixture.h"
#include "app/process.h"
#include "guarded_heap.h"
#include "sim/watch.h"
#include "ui/drive_menu.h"
#include "ui/removal_window.h"
#include <algorithm>
#include <random>
#include <stdlib.h>

enum Outcome { Removed, NoDrive, DismountRefused, SpinDownRefused, Unexpected, OutcomeCount };

// An internal disk that Windows runs from, with a dynamic volume too, and USB disk 2 with 1 to
// 3 volumes that takes only the form given; its first volume has files open when it has
// others. (Its description's length leaves the label's buffer some slack: the counts below
// depend on it.)
static void BuildMachine(int volumes, SimFormIndex accepted)
{
    static const wchar_t* const forms[FormCount] = {L"ata", L"vendor-form", L"sat", L"ata-nodata", L"sat16"};
    std::wstring usb = L"disk 2 unplug=0.3 vendor=ACME product=\"Portable HDD\" revision=0102 serial=NX01";
    for (int form = 0; form < FormCount; ++form)
        usb += L" " + std::wstring(forms[form]) + (form == accepted ? L"=accept" : L"=refuse");
    Machine(L"disk 0 bus=sata vendor=ATA\n" + usb + L"\nvolume \\\\?\\Volume{10}\\ disk=0 mounts=C:\\ windows=yes"
            L"\nvolume \\\\?\\Volume{11}\\ disk=none extents=0");
    for (int i = 1; i <= volumes; ++i)
        SimAddScenario(L"volume \\\\?\\Volume{" + std::to_wstring(i) + L"}\\ disk=2 mounts=" + WCHAR(L'D' + i) + L":\\" +
                       (i == 1 && volumes > 1 ? L" open-files=yes" : L""));
}

static Outcome Classify()
{
    static const std::vector<std::wstring> outcomes[] = {
        {L"It is ready to remove.\nPlease remove the drive.", L"The drive has been removed."},
        {L"No removable drive exists."},
        {L"Failed to dismount volumes.\nPlease use the standard removal feature of Windows."},
        {L"Failed to spin down the drive.\nPlease use the standard removal feature of Windows."}};
    std::vector<std::wstring> texts;
    for (const Status& s : statuses)
        texts.push_back(s.visible ? s.text : L"hidden");
    return Outcome(std::find(outcomes, outcomes + 4, texts) - outcomes);
}

// Runs one removal on a fresh machine with the injection given, and checks what must hold
// whatever failed.
static Outcome RunWithFault(int volumes, SimFormIndex accepted, const SimInjection& injection)
{
    BuildMachine(volumes, accepted);
    sim.injection = injection;
    int exitCode = RunRemovalWatched(L"E:\\data\\file.txt");
    Outcome outcome = Classify();
    std::string where = std::to_string(volumes) + " volumes, failing call " + std::to_string(injection.call) + " on " +
                        testing::PrintToString(injection.device) + " #" + std::to_string(injection.occurrence) +
                        " x" + std::to_string(injection.count) + ": " + Trace();
    EXPECT_NE(outcome, Unexpected) << where << ", " << statuses.size() << " statuses";
    const int exitCodes[] = {ExitRemoved, ExitNoDrive, ExitDismountFailed, ExitSpinDownFailed, -1};
    EXPECT_EQ(exitCode, exitCodes[outcome]) << where;
    std::vector<std::wstring> dismounted, held = SimOpenHandles(), usbVolumes, forced;
    bool allDismounted = true, spinDownSent = false, neededStepRefused = false, dismountRefused = false;
    for (const SimVolume& volume : sim.volumes) {
        if (volume.dismounted)
            dismounted.push_back(SimVolumeDevicePath(volume.name));
        if (volume.disk == 2)
            usbVolumes.push_back(SimVolumeDevicePath(volume.name));
        if (volume.openFiles)
            forced.push_back(SimVolumeDevicePath(volume.name));
        allDismounted = allDismounted && (volume.disk != 2 || volume.dismounted);
    }
    // The steps that the removal cannot do without: each volume of the disk opened for read and
    // write, written out and dismounted. A refused one fails the dismount; one refused before
    // any dismount leaves every volume as it was, and a refused dismount holds no more than the
    // volumes forced before it.
    for (const SimCallRecord& c : sim.calls) {
        bool dismount = c.call == CallDeviceIoControl && c.code == FSCTL_DISMOUNT_VOLUME;
        bool needed = dismount || c.call == CallFlushFileBuffers || (c.call == CallCreateFile && (c.access & GENERIC_WRITE));
        bool usb = std::find(usbVolumes.begin(), usbVolumes.end(), c.device) != usbVolumes.end();
        neededStepRefused = neededStepRefused || (c.injected && needed && usb);
        dismountRefused = dismountRefused || (c.injected && dismount);
    }
    EXPECT_TRUE(!neededStepRefused || outcome == DismountRefused) << where;
    std::vector<SimCallRecord> controls = Controls();
    for (size_t i = 0; i < controls.size(); ++i) {
        spinDownSent = spinDownSent || controls[i].code == IOCTL_ATA_PASS_THROUGH || controls[i].code == IOCTL_SCSI_PASS_THROUGH;
        bool shown = i >= visibleAtControl.size() || visibleAtControl[i];
        EXPECT_TRUE(!shown || controls[i].code == IOCTL_STORAGE_QUERY_PROPERTY) << where << ", control " << i;
    }
    // A dismount refused after the spin-down: a volume let go for an eject that Windows
    // refused could not be taken again.
    const bool ejected = sim.disks[1].ejected;
    EXPECT_TRUE(outcome != DismountRefused || !spinDownSent || !ejected) << where;
    for (const std::wstring& volume : held) {
        EXPECT_NE(std::find(dismounted.begin(), dismounted.end(), volume), dismounted.end()) << "left open: " << where;
        bool mayStay = outcome != DismountRefused || spinDownSent ||
                       (dismountRefused && std::find(forced.begin(), forced.end(), volume) != forced.end());
        EXPECT_TRUE(mayStay) << "half done: " << where;
    }
    // Held until the disk has gone, or let go for its eject.
    EXPECT_TRUE(outcome == DismountRefused || outcome == NoDrive || held.size() == (ejected ? 0 : usbVolumes.size()))
        << where;
    EXPECT_TRUE(outcome != Removed || (sim.disks[1].spunDown && allDismounted)) << where;
    EXPECT_TRUE(outcome != SpinDownRefused || !sim.disks[1].spunDown) << where;
    EXPECT_EQ(liveArrays, 0) << where;
    return outcome;
}

// The calls of a run without faults, each named by its function, its device and the how
// many-th such call it is.
static std::vector<SimInjection> CallsOf(int volumes, SimFormIndex accepted, unsigned count)
{
    EXPECT_EQ(RunWithFault(volumes, accepted, {}), Removed) << volumes << " volumes without faults";
    EXPECT_EQ(sim.clock, (volumes > 1 ? 1000u : 0u) + 300u + 3000u)
        << "a second's tries to lock a volume with open files, three polls until the disk went, three seconds";
    std::vector<SimInjection> calls;
    for (size_t i = 0; i < sim.calls.size(); ++i) {
        unsigned occurrence = 0;
        for (size_t j = 0; j <= i; ++j)
            occurrence += sim.calls[j].call == sim.calls[i].call && sim.calls[j].device == sim.calls[i].device;
        calls.push_back({sim.calls[i].call, sim.calls[i].device, occurrence, count});
    }
    return calls;
}

// Outcome counts (removed, no drive, dismount failed, spin-down failed) when each call of the
// run fails once, twice in a row, and from then on.
TEST(FaultSweep, EveryCallOfEveryKindOfRun)
{
    const struct { int volumes; SimFormIndex accepted; int counts[3][4]; } rows[] = {
        {1, FormAta, {{74, 14, 19, 2}, {48, 20, 39, 2}, {32, 23, 52, 2}}},
        {2, FormSat, {{97, 14, 24, 2}, {64, 20, 50, 3}, {33, 23, 72, 9}}},
        {3, FormSat16, {{111, 14, 29, 2}, {73, 20, 60, 3}, {34, 23, 88, 11}}},
    };
    const unsigned counts[3] = {1, 2, SimForever};
    int faults = 0;
    for (const auto& row : rows)
        for (int mode = 0; mode < 3; ++mode) {
            std::vector<int> seen(OutcomeCount);  // Unexpected fails the run itself
            for (const SimInjection& call : CallsOf(row.volumes, row.accepted, counts[mode]))
                ++seen[RunWithFault(row.volumes, row.accepted, call)], ++faults;
            EXPECT_EQ(std::vector<int>(seen.begin(), seen.begin() + 4), std::vector<int>(row.counts[mode], row.counts[mode] + 4))
                << row.volumes << " volumes, each call failing " << counts[mode] << " time(s)";
        }
    printf("%d faults injected\n", faults);
    systemCalls = defaultSystemCalls;
}

// Numbers below n, from the one generator of the test that draws them.
static unsigned Below(std::mt19937& random, unsigned n) { return n ? random() % n : 0; }

// A descriptor of random length and bytes (printable or NUL), whose Size and offsets point anywhere.
static std::vector<BYTE> RandomDescriptor(std::mt19937& random)
{
    auto below = [&](unsigned n) { return Below(random, n); };
    std::vector<BYTE> bytes(sizeof(STORAGE_DEVICE_DESCRIPTOR) + below(120));
    for (size_t i = sizeof(STORAGE_DEVICE_DESCRIPTOR); i < bytes.size(); ++i)
        bytes[i] = below(4) == 0 ? 0 : BYTE(0x20 + below(0x5F));
    STORAGE_DEVICE_DESCRIPTOR* d = reinterpret_cast<STORAGE_DEVICE_DESCRIPTOR*>(bytes.data());
    DWORD length = DWORD(bytes.size());
    const DWORD sizes[] = {length, length, below(length + 40), 0, 39, 40, 0x7FFF};
    d->Size = sizes[below(7)];
    for (DWORD* offset : {&d->VendorIdOffset, &d->ProductIdOffset, &d->ProductRevisionOffset, &d->SerialNumberOffset})
        *offset = below(3) == 0 ? 0 : below(3) == 0 ? below(0x10000) : below(length + 4);
    d->BusType = BusTypeUsb;
    return bytes;
}

// Whatever the descriptor says, the description and the label stay inside their buffers (each
// ends against an inaccessible page) and keep their shape: the label is the mount points, each
// followed by "/", then the description in angle brackets. VANTREL_SEED sets the seed printed.
TEST_F(OnSimulatedMachine, DescriptionsAndLabelsStayInsideTheirBuffers)
{
    const char* given = getenv("VANTREL_SEED");
    const unsigned seed = given ? unsigned(strtoul(given, nullptr, 10)) : 20261207u;
    std::mt19937 random(seed);
    auto below = [&](unsigned n) { return Below(random, n); };
    printf("seed %u\n", seed);
    int described = 0;
    for (int n = 0; n < 2000; ++n) {
        std::wstring scenario = L"disk 1", labelStart;
        for (unsigned v = below(3); v > 0; --v) {
            std::wstring mounts;
            for (unsigned m = below(3); m > 0; --m) {
                std::wstring mount = WCHAR(L'D' + below(20)) + (L":\\" + std::wstring(below(12), L'x') + L"\\");
                mounts += mount + L";", labelStart += mount + L"/";
            }
            scenario += L"\nvolume \\\\?\\Volume{" + std::to_wstring(v) + L"}\\ disk=1 mounts=" + mounts;
        }
        Machine(scenario);
        sim.disks[0].descriptor = RandomDescriptor(random);
        int needed = GetDiskDescription(1, nullptr, 0);
        std::wstring text;
        if (needed > 0) {
            ++described;
            WCHAR* buffer = static_cast<WCHAR*>(AllocateGuarded(needed * sizeof(WCHAR)));
            ASSERT_EQ(GetDiskDescription(1, buffer, needed), needed) << "seed " << seed << ", case " << n;
            text = buffer;
            ASSERT_EQ(text.size(), size_t(needed - 1)) << "seed " << seed << ", case " << n;
            EXPECT_EQ(GetDiskDescription(1, buffer, needed - 1), 1) << "no room for the NUL: empty";
            EXPECT_EQ(buffer[0], 0) << "seed " << seed << ", case " << n;
            FreeGuarded(buffer);
        }
        WCHAR* label = BuildDriveLabel(1);
        EXPECT_EQ(std::wstring(label), labelStart + L"<" + text + L">") << "seed " << seed << ", case " << n;
        delete[] label;
        EXPECT_EQ(liveArrays, 0);
    }
    printf("2000 random descriptors, %d of them with a description\n", described);
}

// A mount point added between the label's measuring and its filling: the label loses the
// volume's paths or the description, never its bounds (short descriptions leave no slack).
static decltype(systemCalls.GetVolumePathNamesForVolumeNameW) simPathNames;
static BOOL WINAPI PathNamesThenGrow(LPCWSTR name, LPWCH buffer, DWORD capacity, PDWORD length)
{
    BOOL ok = simPathNames(name, buffer, capacity, length);
    if (!buffer && sim.volumes[0].mounts.size() == 1)
        sim.volumes[0].mounts.push_back(L"F:\\");
    return ok;
}

TEST_F(OnSimulatedMachine, ALabelWhoseMountPointsGrewStaysInsideItsBuffer)
{
    const struct { const wchar_t* vendor; const wchar_t* label; } cases[] = {
        {L"", L"< >"}, {L"A", L"<A >"}, {L"AB", L"E:\\/F:\\/<>"}, {L"ABCDE", L"E:\\/F:\\/<>"}};
    for (auto c : cases) {
        Machine(L"disk 1 vendor=" + std::wstring(c.vendor) + L"\nvolume \\\\?\\Volume{1}\\ disk=1 mounts=E:\\");
        simPathNames = systemCalls.GetVolumePathNamesForVolumeNameW;
        systemCalls.GetVolumePathNamesForVolumeNameW = PathNamesThenGrow;
        WCHAR* label = BuildDriveLabel(1);
        EXPECT_STREQ(label, c.label) << c.vendor;
        delete[] label;
    }
}

// The run's path, made full before the run leaves its starting folder, fits its own buffer,
// and so does an empty one (a mistyped switch), which cannot be made full.
TEST(Start, APathIsMadeFullInsideABufferOfItsOwn)
{
    for (const wchar_t* path : {L"", L"E:\\a\\..\\b.txt"}) {
        WCHAR* full = FullPath(path);
        EXPECT_STREQ(full, *path ? L"E:\\b.txt" : L"");
        delete[] full;
    }
    EXPECT_EQ(FullPath(nullptr), nullptr);
    EXPECT_EQ(liveArrays, 0);
}
