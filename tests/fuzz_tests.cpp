// Random descriptors and mount points against a plain reading of the rules, every judged
// pass-through reply, hostile command lines, and a soak of removal runs with random faults.
// Every buffer ends against an inaccessible page while the program works on it.
#include "sim_fixture.h"
#include "app/process.h"
#include "guarded_heap.h"
#include "removal_watch.h"
#include "storage/passthrough/requests.h"
#include "ui/drive_menu.h"
#include <malloc.h>
#include <shellapi.h>
#include <random>
#include <string.h>

static std::mt19937 random(20261206);
static unsigned Below(unsigned n) { return n ? random() % n : 0; }

// A descriptor of random length and bytes, whose Size and offsets point anywhere.
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

static DWORD Field(const std::vector<BYTE>& bytes, size_t offset)
{
    DWORD value = 0;
    memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
}

// The description as the rules read it: the reply to each query is the descriptor cut to
// the buffer; the text runs from the first string below Size to Size, NULs as spaces.
static bool ReferenceDescription(const std::vector<BYTE>& descriptor, std::wstring* text)
{
    std::vector<BYTE> reply(sizeof(STORAGE_DEVICE_DESCRIPTOR));
    memcpy(reply.data(), descriptor.data(), std::min(reply.size(), descriptor.size()));
    DWORD allocated = Field(reply, offsetof(STORAGE_DEVICE_DESCRIPTOR, Size));
    if (allocated < reply.size())
        return false;
    reply.assign(allocated, 0);
    memcpy(reply.data(), descriptor.data(), std::min<size_t>(allocated, descriptor.size()));
    DWORD size = std::min(Field(reply, offsetof(STORAGE_DEVICE_DESCRIPTOR, Size)), allocated);
    if (size < sizeof(STORAGE_DEVICE_DESCRIPTOR))
        return false;
    DWORD start = size;
    for (size_t at = offsetof(STORAGE_DEVICE_DESCRIPTOR, VendorIdOffset); at <= offsetof(STORAGE_DEVICE_DESCRIPTOR, SerialNumberOffset); at += 4)
        if (Field(reply, at) != 0 && Field(reply, at) < start)
            start = Field(reply, at);
    if (start >= size)
        return false;
    for (DWORD i = start; i < size; ++i) {
        WCHAR c = 0;
        MultiByteToWideChar(CP_ACP, 0, reinterpret_cast<const char*>(&reply[i]), 1, &c, 1);
        text->push_back(c ? c : L' ');
    }
    return true;
}

class Fuzz : public OnSimulatedMachine {};

TEST_F(Fuzz, DescriptionsAndLabelsFollowTheRulesWithinTheirBuffers)
{
    const int Cases = 3000;
    int described = 0;
    for (int n = 0; n < Cases; ++n) {
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
        std::wstring text;
        bool hasText = ReferenceDescription(descriptor, &text);
        described += hasText;

        guardedHeap = true;
        int needed = GetDiskDescription(1, nullptr, 0);
        ASSERT_EQ(needed, hasText ? int(text.size() + 1) : 0) << "case " << n;
        if (hasText) {
            WCHAR* buffer = static_cast<WCHAR*>(AllocateGuarded(needed * sizeof(WCHAR)));
            EXPECT_EQ(GetDiskDescription(1, buffer, needed), needed) << "case " << n;
            EXPECT_EQ(std::wstring(buffer), text) << "case " << n;
            FreeGuarded(buffer);
        }
        std::wstring volumePath = mounts.empty() || Below(2) ? L"Q:\\" : mounts[Below(unsigned(mounts.size()))];
        DriveLabel label = BuildDriveLabel(1, volumePath.c_str());
        std::wstring expected;
        bool matches = false;
        for (const std::wstring& mount : mounts) {
            expected += mount + L"/";
            matches = matches || EqualFoldingAtoZ(mount.c_str(), volumePath.c_str());
        }
        expected += L"<" + (hasText ? text : L"") + L">";
        EXPECT_EQ(std::wstring(label.text), expected) << "case " << n;
        EXPECT_EQ(label.matches, matches) << "case " << n;
        delete[] label.text;
        guardedHeap = false;
    }
    printf("%d random descriptors, %d of them with a description\n", Cases, described);
}

// Every call result, byte count and first sense byte, for both wrappings.
static DWORD replyCount;
static BOOL replyResult;
static BYTE replySense;
static BOOL WINAPI Reply(HANDLE, DWORD, LPVOID, DWORD, LPVOID out, DWORD outLength, LPDWORD returned, LPOVERLAPPED)
{
    BYTE* record = static_cast<BYTE*>(out);
    memset(record + sizeof(ScsiRequest), 0xEE, outLength - sizeof(ScsiRequest));
    record[offsetof(ScsiRequest, sense)] = replySense;
    *returned = replyCount;
    return replyResult;
}

TEST(PassThroughReplies, AreJudgedExactlyByTheRules)
{
    const DWORD header = sizeof(SCSI_PASS_THROUGH), full = sizeof(ScsiRequest) + AtaDataSize;
    int accepted = 0, judged = 0;
    systemCalls.DeviceIoControl = Reply;
    for (WrapForm form : {WrapFormVendor, WrapFormSat})
        for (BOOL result : {FALSE, TRUE})
            for (DWORD count : {DWORD(0), header - 1, header, full})
                for (int sense = 0; sense < 256; ++sense, ++judged) {
                    replyResult = result, replyCount = count, replySense = BYTE(sense);
                    AtaRequest request, before;
                    BuildStandbyRequest(&request);
                    before = request;
                    bool errorSense = (sense & 0x7F) == 0x70 || (sense & 0x7F) == 0x71;
                    int expected = result && count >= header && !errorSense;
                    ASSERT_EQ(SendAtaOverScsi(request, nullptr, form), expected)
                        << form << " " << result << " " << count << " " << sense;
                    if (expected)
                        memset(before.data, 0xEE, sizeof before.data);
                    ASSERT_EQ(memcmp(&request, &before, sizeof request), 0) << "request changed";
                    accepted += expected;
                }
    systemCalls = defaultSystemCalls;
    printf("%d replies judged, %d accepted\n", judged, accepted);
}

class CommandLines : public OnSimulatedMachine {};

// Whatever the command line, the run picks the disk that holds the path or none.
TEST_F(CommandLines, PickTheRightDiskOrNone)
{
    AddDisk(0, BusTypeSata);
    AddVolume(1, 0, {L"C:\\"});
    AddDisk(2);
    AddVolume(2, 2, {L"E:\\"});
    const std::wstring longName(32000, L'a');
    const struct { std::wstring commandLine; Mode mode; DriveChoiceKind kind; } cases[] = {
        {L"Vantrel.exe \"E:\\" + longName + L"\"", PathMode, ChoiceDisk},
        {L"Vantrel.exe C:\\" + longName, PathMode, ChoiceNone},
        {L"Vantrel.exe \"\"", PathMode, ChoiceNone},
        {L"Vantrel.exe \"\" /menu", PathMode, ChoiceNone},
        {L"Vantrel.exe \\\\server\\share\\file", PathMode, ChoiceNone},
        {L"Vantrel.exe \\\\.\\PHYSICALDRIVE2", PathMode, ChoiceNone},
        {L"Vantrel.exe \\\\?\\Volume{1a2b3c4d-0000-0000-0000-000000000002}\\", PathMode, ChoiceNone},
        {L"Vantrel.exe ..\\relative\\file", PathMode, ChoiceNone},
        {L"Vantrel.exe e:", PathMode, ChoiceNone},
        {L"Vantrel.exe \"e:\\with spaces\\x\" trailing", PathMode, ChoiceDisk},
        {L"\"C:\\Program Files\\Vantrel.exe\" /SELF", PathMode, ChoiceNone},
        {L"Vantrel.exe /Menu " + longName, MenuMode, ChoiceNone},
        {L"Vantrel.exe", TrayMode, ChoiceNone},
    };
    for (const auto& c : cases) {
        int argc = 0;
        WCHAR** argv = CommandLineToArgvW(c.commandLine.c_str(), &argc);
        ModeChoice choice = ChooseMode(argc, argv);
        EXPECT_EQ(choice.mode, c.mode) << c.commandLine.substr(0, 60);
        if (choice.mode == PathMode) {
            DriveChoice drive = ChooseDrive(nullptr, choice.path);
            EXPECT_EQ(drive.kind, c.kind) << c.commandLine.substr(0, 60);
            EXPECT_EQ(drive.disk, c.kind == ChoiceDisk ? 2u : 0u);
        }
        LocalFree(argv);
    }
}

// Bytes in use on the C runtime's heap, where new and the C library allocate.
static size_t HeapBytesInUse()
{
    _HEAPINFO entry = {};
    size_t used = 0;
    while (_heapwalk(&entry) == _HEAPOK)
        if (entry._useflag == _USEDENTRY)
            used += entry._size;
    return used;
}

// The value the next handle gets: it climbs while handles are left open. (Wine does not
// count a process's handles.)
static uintptr_t NextHandleValue()
{
    HANDLE probe = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    CloseHandle(probe);
    return reinterpret_cast<uintptr_t>(probe);
}

static BOOL CALLBACK CountWindow(HWND, LPARAM count)
{
    ++*reinterpret_cast<int*>(count);
    return TRUE;
}

static int ThreadWindows()
{
    int count = 0;
    EnumThreadWindows(GetCurrentThreadId(), CountWindow, reinterpret_cast<LPARAM>(&count));
    return count;
}

// A thousand removal runs in one process, each with a random call failing: the process
// keeps no handle, window or memory from one run to the next.
TEST(Soak, AThousandRunsWithRandomFaults)
{
    const int Runs = 1000, Warmup = 50;
    uintptr_t handle = 0;
    int windows = 0;
    size_t memory = 0;
    for (int run = 0; run < Runs; ++run) {
        if (run == Warmup) {
            handle = NextHandleValue();
            windows = ThreadWindows();
            memory = HeapBytesInUse();
        }
        SimInstall();
        sim.disks.push_back(SimMakeDisk(2, BusTypeUsb, "ACME", "HDD", "1", "S"));
        sim.disks[0].unplugDelay = 200;
        sim.volumes.push_back({L"\\\\?\\Volume{00000000-0000-0000-0000-000000000001}\\", 2, {L"E:\\"}, FaultNone, false});
        sim.failCall = 1 + Below(60);
        sim.failFromThen = Below(2) == 0;
        RunRemovalWatched(L"E:\\x");
    }
    SimInstall();  // lets go of the last run's simulated handles and records
    uintptr_t handleAfter = NextHandleValue();
    int windowsAfter = ThreadWindows();
    size_t memoryAfter = HeapBytesInUse();
    printf("runs %d to %d: next handle value 0x%lx -> 0x%lx, windows %d -> %d, heap bytes in use %lu -> %lu\n",
           Warmup, Runs, (unsigned long)handle, (unsigned long)handleAfter, windows, windowsAfter,
           (unsigned long)memory, (unsigned long)memoryAfter);
    EXPECT_LE(handleAfter, handle);
    EXPECT_LE(windowsAfter, windows);
    EXPECT_LT(memoryAfter, memory + 64 * 1024) << "memory grows with each run";
    SimUninstall();
}
