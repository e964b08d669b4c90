// Faults at every system call of whole removal runs, once, twice in a row and from then on;
// random descriptors and mount points on the guarded heap; and a soak of faulty runs that
// counts what each run leaves behind. Whatever fails, a run must end, say the right thing,
// send no spin-down after a failed dismount, and keep no handle but the dismounted volumes'.
#include "sim_fixture.h"
#include "guarded_heap.h"
#include "run_watch.h"
#include "storage/storage.h"
#include "ui/drive_menu.h"
#include "ui/text_compare.h"
#include <algorithm>
#include <random>

struct RunKind {
    const char* name;
    int volumes;            // of the USB disk, 1 to 3
    SimFormIndex accepted;  // the first spin-down form the disk takes
};

enum Outcome { Removed, NoDrive, DismountFailed, SpinDownFailed, Unexpected, OutcomeCount };
static const DWORD UsbDisk = 2;

static void BuildMachine(const RunKind& kind)
{
    SimInstall();
    sim.disks.push_back(SimMakeDisk(0, BusTypeSata, "ATA", "Internal SSD", "1.0", "S1"));
    AddVolume(10, 0, {L"C:\\"});
    SimDisk& usb = AddDisk(UsbDisk);
    for (int form = 0; form < FormCount; ++form)
        usb.forms[form] = {form == kind.accepted ? AnswerAccept : AnswerRefuse, 0};
    usb.unplugDelay = 300;
    const wchar_t* mounts[] = {L"E:\\", L"F:\\", L"G:\\"};
    for (int i = 0; i < kind.volumes; ++i)
        AddVolume(i + 1, UsbDisk, {mounts[i]});
}

static Outcome Classify()
{
    std::vector<std::wstring> texts;
    for (const Status& s : statuses)
        texts.push_back(s.text);
    if (texts == std::vector<std::wstring>{L"It is ready to remove.\nPlease remove the drive.", L"The drive has been removed."})
        return Removed;
    const struct { const wchar_t* text; Outcome outcome; } single[] = {
        {L"No removable drive exists.", NoDrive},
        {L"Failed to dismount volumes.\nPlease use the standard removal feature of Windows.", DismountFailed},
        {L"Failed to spin down the drive.\nPlease use the standard removal feature of Windows.", SpinDownFailed}};
    for (auto s : single)
        if (texts == std::vector<std::wstring>{s.text})
            return s.outcome;
    return Unexpected;
}

// Runs one removal of the kind on a fresh machine with the injection given, and checks
// what must hold whatever failed.
static Outcome RunWithFault(const RunKind& kind, const SimInjection& injection)
{
    BuildMachine(kind);
    sim.injection = injection;
    RunRemovalWatched(L"E:\\data\\file.txt");
    Outcome outcome = Classify();
    std::string where = std::string(kind.name) + ", failing call " + std::to_string(injection.call) + " on " +
                        testing::PrintToString(injection.device) + " #" + std::to_string(injection.occurrence) +
                        " x" + std::to_string(injection.count);
    EXPECT_NE(outcome, Unexpected) << where << ", " << statuses.size() << " statuses";
    EXPECT_FALSE(runWindow && IsWindow(runWindow)) << where;
    std::vector<std::wstring> dismounted;
    bool allDismounted = true;
    for (size_t i = 0; i < sim.volumes.size(); ++i) {
        if (sim.volumes[i].ejected)
            dismounted.push_back(VolumeDevice(i == 0 ? 10 : int(i)));
        allDismounted = allDismounted && (sim.volumes[i].disk != UsbDisk || sim.volumes[i].ejected);
    }
    const SimDisk& usb = sim.disks[1];
    EXPECT_TRUE(outcome != DismountFailed || SimPassThroughsSent() == 0) << where;
    EXPECT_TRUE(outcome != Removed || (usb.spunDown && allDismounted)) << where;
    EXPECT_TRUE(outcome != SpinDownFailed || !usb.spunDown) << where;
    std::vector<std::wstring> open = SimOpenHandles();
    std::sort(open.begin(), open.end());
    std::sort(dismounted.begin(), dismounted.end());
    EXPECT_EQ(open, dismounted) << where;
    EXPECT_EQ(liveArrays, 0) << where;
    return outcome;
}

// The calls of a run without faults, each named by its function, its device and the how
// many-th such call it is.
static std::vector<SimInjection> CallsOf(const RunKind& kind, unsigned count)
{
    EXPECT_EQ(RunWithFault(kind, {}), Removed) << kind.name << " without faults";
    std::vector<SimInjection> calls;
    for (size_t i = 0; i < sim.calls.size(); ++i) {
        unsigned occurrence = 0;
        for (size_t j = 0; j <= i; ++j)
            occurrence += sim.calls[j].call == sim.calls[i].call && sim.calls[j].device == sim.calls[i].device;
        calls.push_back({sim.calls[i].call, sim.calls[i].device, occurrence, count});
    }
    return calls;
}

// Outcome counts (removed, no drive, dismount failed, spin-down failed) when each call of
// the run fails once, twice in a row, and from then on.
struct SweepRow {
    RunKind kind;
    int counts[3][4];
};

TEST(FaultSweep, EveryCallOfEveryKindOfRun)
{
    const SweepRow rows[] = {
        {{"path, 1 volume, ATA", 1, FormAta}, {{50, 12, 7, 2}, {34, 21, 13, 3}, {7, 42, 19, 3}}},
        {{"path, 2 volumes, SAT", 2, FormSat}, {{71, 10, 12, 2}, {51, 20, 20, 4}, {7, 51, 32, 5}}},
        {{"path, 3 volumes, SAT16", 3, FormSat16}, {{90, 10, 17, 2}, {68, 20, 27, 4}, {7, 60, 45, 7}}},
    };
    const unsigned counts[3] = {1, 2, SimForever};
    int faults = 0;
    std::string table;  // the rows as seen, in the form above
    for (const SweepRow& row : rows) {
        table += "{{\"" + std::string(row.kind.name) + "\", " + std::to_string(row.kind.volumes) + ", " +
                 std::to_string(row.kind.accepted) + "}, {";
        for (int mode = 0; mode < 3; ++mode) {
            int seen[OutcomeCount] = {};
            for (const SimInjection& call : CallsOf(row.kind, counts[mode])) {
                ++seen[RunWithFault(row.kind, call)];
                ++faults;
            }
            table += (mode ? ", {" : "{") + std::to_string(seen[0]) + ", " + std::to_string(seen[1]) + ", " +
                     std::to_string(seen[2]) + ", " + std::to_string(seen[3]) + "}";
            EXPECT_EQ(std::vector<int>(seen, seen + 4), std::vector<int>(row.counts[mode], row.counts[mode] + 4))
                << row.kind.name << ", each call failing " << counts[mode] << " time(s)";
        }
        table += "}},\n";
    }
    fprintf(stderr, "%s%d faults injected\n", table.c_str(), faults);
    systemCalls = defaultSystemCalls;
}

static std::mt19937 random(20261207);
static unsigned Below(unsigned n) { return n ? random() % n : 0; }

// A descriptor of random length and bytes (printable or NUL), whose Size and offsets point anywhere.
static std::vector<BYTE> RandomDescriptor()
{
    std::vector<BYTE> bytes(sizeof(STORAGE_DEVICE_DESCRIPTOR) + Below(120));
    for (size_t i = sizeof(STORAGE_DEVICE_DESCRIPTOR); i < bytes.size(); ++i)
        bytes[i] = Below(4) == 0 ? 0 : BYTE(0x20 + Below(0x5F));
    STORAGE_DEVICE_DESCRIPTOR* d = reinterpret_cast<STORAGE_DEVICE_DESCRIPTOR*>(bytes.data());
    DWORD length = DWORD(bytes.size());
    const DWORD sizes[] = {length, length, Below(length + 40), 0, 39, 40, 0x7FFF};
    d->Size = sizes[Below(7)];
    DWORD* offsets[] = {&d->VendorIdOffset, &d->ProductIdOffset, &d->ProductRevisionOffset, &d->SerialNumberOffset};
    for (DWORD* offset : offsets)
        *offset = Below(3) == 0 ? 0 : Below(3) == 0 ? Below(0x10000) : Below(length + 4);
    d->BusType = BusTypeUsb;
    return bytes;
}

// Whatever the descriptor says, the description and the label stay inside their buffers
// (each of which ends against an inaccessible page) and keep their shape: the description
// is the descriptor's own bytes from one of its string offsets on, with NULs as spaces,
// and no other offset starts earlier; the label is the mount points, each followed by "/",
// then the description in angle brackets.
TEST_F(OnSimulatedMachine, DescriptionsAndLabelsStayInsideTheirBuffers)
{
    int described = 0;
    for (int n = 0; n < 2000; ++n) {
        SimInstall();
        std::vector<BYTE> descriptor = RandomDescriptor();
        AddDisk(1).descriptor = descriptor;
        std::vector<std::wstring> mounts;
        for (unsigned v = Below(3); v > 0; --v) {
            std::vector<std::wstring> volumeMounts;
            for (unsigned m = Below(3); m > 0; --m)
                volumeMounts.push_back(std::wstring(1, WCHAR(L'D' + Below(20))) + L":\\" + std::wstring(Below(12), L'x') + L"\\");
            mounts.insert(mounts.end(), volumeMounts.begin(), volumeMounts.end());
            AddVolume(int(sim.volumes.size() + 1), 1, volumeMounts);
        }
        int needed = GetDiskDescription(1, nullptr, 0);
        std::wstring text;
        if (needed > 0) {
            ++described;
            WCHAR* buffer = static_cast<WCHAR*>(AllocateGuarded(needed * sizeof(WCHAR)));
            ASSERT_EQ(GetDiskDescription(1, buffer, needed), needed) << "case " << n;
            text = buffer;
            ASSERT_EQ(text.size(), size_t(needed - 1)) << "case " << n;
            EXPECT_EQ(GetDiskDescription(1, buffer, needed - 1), 1) << "case " << n;  // no room for the NUL
            EXPECT_EQ(buffer[0], 0) << "case " << n;
            FreeGuarded(buffer);
            const STORAGE_DEVICE_DESCRIPTOR* d = reinterpret_cast<const STORAGE_DEVICE_DESCRIPTOR*>(descriptor.data());
            const DWORD offsets[] = {d->VendorIdOffset, d->ProductIdOffset, d->ProductRevisionOffset, d->SerialNumberOffset};
            DWORD start = DWORD(d->Size - text.size());
            EXPECT_NE(std::find(offsets, offsets + 4, start), offsets + 4) << "case " << n;
            for (DWORD offset : offsets)
                EXPECT_FALSE(offset != 0 && offset < start) << "case " << n;
            for (size_t i = 0; i < text.size(); ++i) {
                char byte = start + i < descriptor.size() ? char(descriptor[start + i]) : 0;  // a reply is zero-padded
                WCHAR converted = L' ';
                if (byte)
                    MultiByteToWideChar(CP_ACP, 0, &byte, 1, &converted, 1);
                ASSERT_EQ(text[i], converted) << "case " << n;
            }
        }
        std::wstring volumePath = mounts.empty() || Below(2) ? L"Q:\\" : mounts[Below(unsigned(mounts.size()))];
        DriveLabel label = BuildDriveLabel(1, volumePath.c_str());
        std::wstring expected;
        bool matches = false;
        for (const std::wstring& mount : mounts) {
            expected += mount + L"/";
            matches = matches || EqualFoldingAtoZ(mount.c_str(), volumePath.c_str());
        }
        EXPECT_EQ(std::wstring(label.text), expected + L"<" + text + L">") << "case " << n;
        EXPECT_EQ(label.matches, matches) << "case " << n;
        delete[] label.text;
        EXPECT_EQ(liveArrays, 0);
    }
    printf("2000 random descriptors, %d of them with a description\n", described);
}

// The value the next handle gets: it climbs while handles are left open.
static uintptr_t NextHandleValue()
{
    HANDLE probe = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    CloseHandle(probe);
    return reinterpret_cast<uintptr_t>(probe);
}

// Hundreds of runs in one process, each with a random call failing once, twice or for good:
// after each, exactly the dismounted volumes are held and no array is left allocated.
TEST(Soak, RunsWithRandomFaultsLeaveNothingBehind)
{
    const RunKind kind = {"soak", 2, FormVendor};
    std::vector<SimInjection> calls = CallsOf(kind, 1);
    uintptr_t handle = NextHandleValue();
    const unsigned counts[] = {1, 2, SimForever};
    for (int run = 0; run < 300; ++run) {
        SimInjection injection = calls[Below(unsigned(calls.size()))];
        injection.count = counts[Below(3)];
        RunWithFault(kind, injection);
    }
    EXPECT_LE(NextHandleValue(), handle) << "real handles left open";
    systemCalls = defaultSystemCalls;
}
