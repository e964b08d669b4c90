// The storage layer on the simulated machine: the spin-down requests as the device receives
// them and how each answer is judged; volumes, mount points, descriptions, the wait for
// removal and the dismount, as a device and a caller see them.
#include "sim_fixture.h"
#include "storage/passthrough/requests.h"
#include "storage/storage.h"
#include <string.h>

using Bytes = std::vector<BYTE>;
static const SimForm Accept = {AnswerAccept, 0}, Refuse = {AnswerRefuse, 0}, Short = {AnswerShort, 0};
static SimForm Sense(BYTE b) { return {AnswerSense, b}; }
static SimForm Status(BYTE b) { return {AnswerStatus, b}; }

struct Patch {
    size_t offset;
    Bytes bytes;
};
static Bytes Record(size_t size, std::initializer_list<Patch> patches)
{
    Bytes record(size, 0);
    for (const Patch& p : patches)
        std::copy(p.bytes.begin(), p.bytes.end(), record.begin() + p.offset);
    return record;
}

struct SentRecord {
    DWORD code, inLength, outLength;
    Bytes bytes;
};

// The five forms in the order they are tried, byte for byte, on the platform's own layout.
TEST_F(OnSimulatedMachine, SpinDownSendsFiveFormsByteForByteInOrder)
{
    // A refusal with error sense that brings data back must leave the request as it was: the
    // SAT form then wraps the vendor form's bytes.
    const SimForm forms[FormCount] = {Refuse, Sense(0x70), Refuse, Refuse, Refuse};
    std::copy(forms, forms + FormCount, AddDisk(2).forms);
#ifndef _WIN64
    const Patch scsi = {0, {0x2C, 0, 0, 0, 0, 0}}, sense = {7, {0x20}}, offsets = {20, {0x4C, 0, 0, 0, 0x2C}};
    const SentRecord expected[] = {
        {0x4D02C, 40, 552, Record(552, {{0, {0x28, 0, 0x02}}, {8, {0, 0x02, 0, 0, 5}}, {20, {0x28}}, {37, {0xA0, 0xE2}}})},
        {0x4D004, 44, 588, Record(588, {scsi, {6, {12, 0x20, 1, 0, 0, 0, 0, 2, 0, 0, 5}}, offsets,
                                        {28, {0xDF, 0x10, 0, 0x02, 0, 0, 0, 0, 0, 0, 0xA0, 0xE2}}})},
        {0x4D004, 44, 588, Record(588, {scsi, {6, {10, 0x20, 1, 0, 0, 0, 0, 2, 0, 0, 5}}, offsets,
                                        {28, {0xA1, 0x08, 0x0E, 0, 0, 0, 0, 0, 0xA0, 0xE2}}})},
        {0x4D02C, 40, 40, Record(40, {{0, {0x28, 0, 0x01}}, {12, {5}}, {37, {0xA0, 0xE2}}})},
        {0x4D004, 44, 76, Record(76, {scsi, {6, {16}}, sense, {8, {2}}, {16, {5}}, offsets,
                                      {28, {0x85, 0x06, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xA0, 0xE2}}})},
    };
#else
    const Patch offsets = {24, {0x58, 0, 0, 0, 0, 0, 0, 0, 0x38}};
    const SentRecord expected[] = {
        {0x4D02C, 48, 560, Record(560, {{0, {0x30, 0, 0x02}}, {8, {0, 0x02, 0, 0, 5}}, {24, {0x30}}, {45, {0xA0, 0xE2}}})},
        {0x4D004, 56, 600, Record(600, {{0, {0x38}}, {6, {12, 0x20, 1, 0, 0, 0, 0, 2, 0, 0, 5}}, offsets,
                                        {36, {0xDF, 0x10, 0, 0x02, 0, 0, 0, 0, 0, 0, 0xA0, 0xE2}}})},
        {0x4D004, 56, 600, Record(600, {{0, {0x38}}, {6, {10, 0x20, 1, 0, 0, 0, 0, 2, 0, 0, 5}}, offsets,
                                        {36, {0xA1, 0x08, 0x0E, 0, 0, 0, 0, 0, 0xA0, 0xE2}}})},
        {0x4D02C, 48, 48, Record(48, {{0, {0x30, 0, 0x01}}, {12, {5}}, {45, {0xA0, 0xE2}}})},
        {0x4D004, 56, 88, Record(88, {{0, {0x38}}, {6, {16, 0x20, 2}}, {16, {5}}, offsets,
                                      {36, {0x85, 0x06, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xA0, 0xE2}}})},
    };
#endif
    EXPECT_EQ(SpinDownDisk(2), 0);
    ASSERT_EQ(sim.controls.size(), 5u);
    for (size_t i = 0; i < 5; ++i) {
        const SimControl& sent = sim.controls[i];
        EXPECT_EQ(sent.device, L"\\\\.\\PHYSICALDRIVE2");
        EXPECT_EQ(sent.code, expected[i].code) << "form " << i + 1;
        EXPECT_EQ(sent.inLength, expected[i].inLength) << "form " << i + 1;
        EXPECT_EQ(sent.outLength, expected[i].outLength) << "form " << i + 1;
        EXPECT_EQ(sent.sent, expected[i].bytes) << "form " << i + 1;
    }
}

// Each form is tried only when every form before it was refused; how each answer is judged.
TEST_F(OnSimulatedMachine, SpinDownJudgesEachAnswerAndGoesOnOnlyAfterARefusal)
{
    const struct {
        const char* what;
        SimForm ata, vendor, sat, ataNoData, sat16;
        int result;
        size_t sent;
    } cases[] = {
        {"ATA taken", Accept, Accept, Accept, Accept, Accept, 1, 1},
        {"ATA header only", Short, Accept, Refuse, Refuse, Refuse, 1, 2},
        {"ATA with ERR and no data", Status(0x51), Accept, Refuse, Refuse, Refuse, 1, 2},
        {"vendor 43 bytes", Refuse, Short, Accept, Refuse, Refuse, 1, 3},
        {"vendor CHECK CONDITION still taken", Refuse, Status(0x02), Refuse, Refuse, Refuse, 1, 2},
        {"vendor error sense, SAT taken", Refuse, Sense(0x70), Accept, Refuse, Refuse, 1, 3},
        {"deferred error with VALID", Refuse, Sense(0xF1), Sense(0x71), Accept, Refuse, 1, 4},
        {"no sense data", Refuse, Sense(0x00), Refuse, Refuse, Refuse, 1, 2},
        {"descriptor-format sense", Refuse, Refuse, Sense(0x73), Refuse, Refuse, 1, 3},
        {"non-data ATA taken", Refuse, Refuse, Sense(0xF1), Accept, Refuse, 1, 4},
        {"registers as sent: E2h has no ERR", Refuse, Refuse, Refuse, Status(0xE2), Refuse, 1, 4},
        {"non-data ATA with ERR", Refuse, Refuse, Refuse, Status(0x51), Accept, 1, 5},
        {"non-data ATA short", Refuse, Refuse, Refuse, Short, Sense(0x72), 1, 5},
        {"SAT16 CHECK CONDITION", Refuse, Refuse, Refuse, Refuse, Status(0x02), 0, 5},
        {"SAT16 error sense", Refuse, Refuse, Refuse, Refuse, Sense(0xF0), 0, 5},
        {"SAT16 short", Refuse, Refuse, Refuse, Refuse, Short, 0, 5},
        {"all refused", Refuse, Refuse, Refuse, Refuse, Refuse, 0, 5},
    };
    for (const auto& c : cases) {
        SimInstall();
        SimDisk& disk = AddDisk(2);
        const SimForm forms[FormCount] = {c.ata, c.vendor, c.sat, c.ataNoData, c.sat16};
        std::copy(forms, forms + FormCount, disk.forms);
        EXPECT_EQ(SpinDownDisk(2), c.result) << c.what;
        EXPECT_EQ(sim.controls.size(), c.sent) << c.what;
        EXPECT_TRUE(SimOpenHandles().empty()) << c.what;
    }
    SimInstall();
    AddDisk(1).opens = false;
    EXPECT_EQ(SpinDownDisk(1), 0);
    EXPECT_EQ(SpinDownDisk(7), 0);
    EXPECT_TRUE(sim.controls.empty()) << "sent to a disk that could not be opened";
}

// A disk counts down to being pulled out from whichever form it took, with sense data or not,
// as its scenario's unplug= promises.
TEST_F(OnSimulatedMachine, ADiskIsUnpluggedAfterAnyFormItTook)
{
    for (SimForm taken : {Sense(0x00), Sense(0x72), Accept}) {
        SimInstall();
        SimDisk& disk = AddDisk(2);
        disk.forms[FormAta] = Refuse;
        disk.forms[FormVendor] = taken;
        disk.unplugDelay = 500;
        EXPECT_EQ(SpinDownDisk(2), 1);
        EXPECT_EQ(disk.goneAt, 500u) << int(taken.value);
    }
}

// A reply that rewrites the header's offsets: sense and data are still read where the
// request put them, never where the reply points.
static decltype(systemCalls.DeviceIoControl) simControl;
static BOOL WINAPI ControlThenRewrite(HANDLE handle, DWORD code, LPVOID in, DWORD inLength, LPVOID out,
                                      DWORD outLength, LPDWORD returned, LPOVERLAPPED overlapped)
{
    BOOL ok = simControl(handle, code, in, inLength, out, outLength, returned, overlapped);
    SCSI_PASS_THROUGH* header = static_cast<SCSI_PASS_THROUGH*>(out);
    header->DataBufferOffset = 0x7FFFFFF0;
    header->SenseInfoOffset = 0x7FFFFFF0;
    return ok;
}

TEST_F(OnSimulatedMachine, AWrappedFormReadsItsReplyWhereItPutItsBuffers)
{
    AddDisk(2).forms[FormVendor] = Sense(0x70);
    simControl = systemCalls.DeviceIoControl;
    systemCalls.DeviceIoControl = ControlThenRewrite;
    HANDLE disk = OpenDisk(2);
    AtaRequest request;
    BuildStandbyRequest(&request);
    EXPECT_EQ(SendAtaOverScsi(request, disk, WrapFormVendor), 0);
    sim.disks[0].forms[FormVendor] = Sense(0x72);
    EXPECT_EQ(SendAtaOverScsi(request, disk, WrapFormVendor), 1);
    EXPECT_EQ(request.data[0], 0xEE);
    EXPECT_EQ(request.data[AtaDataSize - 1], 0xEE);
    systemCalls.CloseHandle(disk);
}

// A record whose data area the ATA attempt moved outside it is not wrapped at all.
TEST_F(OnSimulatedMachine, AWrappedFormRefusesARecordWhoseDataAreaLiesOutsideIt)
{
    AddDisk(2);
    HANDLE disk = OpenDisk(2);
    for (ULONG offset : {ULONG(0xFFFFFFF0), ULONG(sizeof(AtaRequest) + 1)}) {
        AtaRequest request;
        BuildStandbyRequest(&request);
        request.header.DataBufferOffset = offset;
        EXPECT_EQ(SendAtaOverScsi(request, disk, WrapFormVendor), 0);
        request.header.DataBufferOffset = sizeof(ATA_PASS_THROUGH_EX);
        request.header.DataTransferLength = 0xFFFFFFF0;
        EXPECT_EQ(SendAtaOverScsi(request, disk, WrapFormVendor), 0);
    }
    systemCalls.CloseHandle(disk);
    EXPECT_TRUE(sim.controls.empty());
}

static std::wstring Fill(DiskNumber disk, int capacity, int* result)
{
    std::wstring buffer(capacity + 1, L'#');  // one unit past the capacity shows an overrun
    *result = GetDiskVolumePaths(&buffer[0], disk, capacity);
    return buffer;
}

// Only disk volumes with that disk's number count: not volumes of other disks, of no disk,
// of a CD drive with the same number, nor names without "Volume{".
TEST_F(OnSimulatedMachine, ListsEveryMountPointOfOneDiskAsOneMultiString)
{
    AddVolume(1, 0, {L"C:\\"});
    AddVolume(2, 2, {L"E:\\", L"C:\\Mount\\Usb\\"});
    AddVolume(3, NoDiskNumber, {L"G:\\"});
    sim.volumes.push_back({L"\\\\?\\NotAVolume\\", 2, {L"H:\\"}, FaultNone, false, false});
    AddVolume(4, 2);
    AddVolume(5, 2, {L"F:\\"});
    AddVolume(6, 2, {L"K:\\"}).cdrom = true;
    AddVolume(7, 9, {L"L:\\"}).cdrom = true;
    EXPECT_EQ(GetDiskNumberLimit(), 3u);
    EXPECT_EQ(GetDiskVolumePaths(nullptr, 2, 0), 23);
    int result = 0;
    EXPECT_EQ(Fill(2, 23, &result), std::wstring(L"E:\\\0C:\\Mount\\Usb\\\0F:\\\0\0#", 24));
    EXPECT_EQ(result, 23);
    // A list that has grown since it was measured loses a volume's paths, never overruns.
    EXPECT_EQ(Fill(2, 19, &result), std::wstring(L"E:\\\0C:\\Mount\\Usb\\\0\0#", 20));
    EXPECT_EQ(result, 19);
    for (const SimCallRecord& call : sim.calls)
        EXPECT_NE(call.device, L"\\\\.\\NotAVolume");
}

TEST_F(OnSimulatedMachine, AnEmptyMachineAndAWalkThatCannotStart)
{
    int result = 0;
    EXPECT_EQ(GetDiskNumberLimit(), 0u);
    EXPECT_EQ(Fill(0, 4, &result).substr(0, 2), std::wstring(L"\0#", 2));
    EXPECT_EQ(result, 1);
    SimInstall();
    AddVolume(1, 0, {L"C:\\"});
    FailCall(CallFindFirstVolume, L"", 1, SimForever);
    EXPECT_EQ(GetDiskNumberLimit(), 0u);
    EXPECT_EQ(GetDiskVolumePaths(nullptr, 0, 0), 0);
    EXPECT_EQ(Fill(0, 4, &result), L"#####");
    EXPECT_EQ(result, 0);
}

TEST_F(OnSimulatedMachine, OpensDisksAndVolumesForReadAndWriteSharedForBoth)
{
    AddDisk(12);
    AddVolume(1, 12);
    HANDLE disk = OpenDisk(12);
    EXPECT_NE(disk, INVALID_HANDLE_VALUE);
    systemCalls.CloseHandle(disk);
    EXPECT_EQ(OpenDisk(4294967295u), INVALID_HANDLE_VALUE);
    EXPECT_EQ(VolumeDiskNumber(VolumeDevice(1).c_str()), 12u);
    EXPECT_EQ(VolumeDiskNumber(L"\\\\.\\Volume{nothing}"), NoDiskNumber);
    const std::wstring opened[] = {L"\\\\.\\PHYSICALDRIVE12", L"\\\\.\\PHYSICALDRIVE4294967295", VolumeDevice(1),
                                   L"\\\\.\\Volume{nothing}"};
    std::vector<SimCallRecord> opens;
    for (const SimCallRecord& call : sim.calls)
        if (call.call == CallCreateFile)
            opens.push_back(call);
    ASSERT_EQ(opens.size(), 4u);
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(opens[i].device, opened[i]);
        EXPECT_EQ(opens[i].access, DWORD(GENERIC_READ | GENERIC_WRITE));
        EXPECT_EQ(opens[i].share, DWORD(FILE_SHARE_READ | FILE_SHARE_WRITE));
    }
}

// The description runs from the first string in memory to the end of the descriptor.
TEST_F(OnSimulatedMachine, DescribesADiskFromItsFirstStringToTheEndOfItsDescriptor)
{
    using namespace std::string_literals;
    const struct {
        const char* what;
        std::vector<BYTE> descriptor;
        const wchar_t* text;  // null: no description
    } cases[] = {
        {"in order", Descriptor("ACME\0Portable HDD\0" "0102\0NX01\0"s, 0, 5, 18, 23), L"ACME Portable HDD 0102 NX01 "},
        {"serial first", Descriptor("NX01\0ACME\0HDD\0"s, 5, 10, -1, 0), L"NX01 ACME HDD "},
        {"some absent", Descriptor("ACME\0HDD\0"s, -1, 5, -1, -1), L"HDD "},
        {"trailing bytes", Descriptor("ACME  \0HDD\0\0\x01z"s, 0, 7, -1, -1), L"ACME   HDD  \x01z"},
        {"offsets past the end ignored", Descriptor("ACME\0"s, 900, 0, -1, -1), L"ACME "},
        {"none present", Descriptor("ACME\0"s, -1, -1, -1, -1), nullptr},
        {"only offsets past the end", Descriptor("ACME\0"s, 5, 40, -1, -1), nullptr},
    };
    for (const auto& c : cases) {
        SimInstall();
        AddDisk(3).descriptor = c.descriptor;
        WCHAR buffer[64];
        wmemset(buffer, L'#', 64);
        int needed = GetDiskDescription(3, nullptr, 0);
        if (!c.text) {
            EXPECT_EQ(needed, 0) << c.what;
            EXPECT_EQ(GetDiskDescription(3, buffer, 64), 0) << c.what;
            EXPECT_EQ(buffer[0], L'#') << c.what;
            continue;
        }
        int length = int(wcslen(c.text));
        EXPECT_EQ(needed, length + 1) << c.what;
        EXPECT_EQ(GetDiskDescription(3, buffer, needed), needed) << c.what;
        EXPECT_EQ(std::wstring(buffer, needed + 1), std::wstring(c.text) + L'\0' + L'#') << c.what;
        // One unit short: no room for the terminator, so an empty text, and nothing past it.
        wmemset(buffer, L'#', 64);
        EXPECT_EQ(GetDiskDescription(3, buffer, length), 1) << c.what;
        EXPECT_EQ(buffer[0], 0) << c.what;
        EXPECT_EQ(buffer[length], L'#') << c.what;
        EXPECT_TRUE(SimOpenHandles().empty());
    }
}

// A second reply claiming more than the first: the text ends where the allocation does.
static BOOL WINAPI ControlThenGrow(HANDLE handle, DWORD code, LPVOID in, DWORD inLength, LPVOID out,
                                   DWORD outLength, LPDWORD returned, LPOVERLAPPED overlapped)
{
    BOOL ok = simControl(handle, code, in, inLength, out, outLength, returned, overlapped);
    if (outLength > sizeof(STORAGE_DEVICE_DESCRIPTOR))
        static_cast<STORAGE_DEVICE_DESCRIPTOR*>(out)->Size += 4096;
    return ok;
}

TEST_F(OnSimulatedMachine, DescriptionNeverReadsPastItsReply)
{
    std::vector<BYTE> tooShort = Descriptor("ACME\0", 0, -1, -1, -1);
    reinterpret_cast<STORAGE_DEVICE_DESCRIPTOR*>(tooShort.data())->Size = 20;
    AddDisk(3).descriptor = tooShort;
    EXPECT_EQ(GetDiskDescription(3, nullptr, 0), 0);
    AddDisk(4).descriptor = Descriptor(std::string("ACME\0HDD\0", 9), 0, 5, -1, -1);
    simControl = systemCalls.DeviceIoControl;
    systemCalls.DeviceIoControl = ControlThenGrow;
    WCHAR buffer[16];
    EXPECT_EQ(GetDiskDescription(4, buffer, 16), 10);
    EXPECT_STREQ(buffer, L"ACME HDD ");
}

TEST_F(OnSimulatedMachine, TellsUsbDisksFromOthers)
{
    AddDisk(0, BusTypeSata);
    AddDisk(1, BusTypeUsb);
    AddDisk(2, BusTypeUsb).opens = false;
    const int usb[] = {0, 1, 0, 0};
    for (DiskNumber disk = 0; disk < 4; ++disk)
        EXPECT_EQ(IsUsbDisk(disk), usb[disk]) << disk;
    EXPECT_EQ(GetDiskDescription(2, nullptr, 0), 0);
}

// The wait polls every 100 ms and ends at the first failed query; gone means
// ERROR_DEV_NOT_EXIST, read before the close that may leave an error of its own.
TEST_F(OnSimulatedMachine, WaitsUntilTheDiskStopsAnswering)
{
    const struct { DWORD error; bool closeFails; int result; } cases[] = {
        {ERROR_DEV_NOT_EXIST, false, 1}, {ERROR_DEV_NOT_EXIST, true, 1}, {ERROR_GEN_FAILURE, false, 0}};
    for (auto c : cases) {
        SimInstall();
        SimDisk& disk = AddDisk(2);
        disk.goneAt = 300;  // answers the queries at 0, 100 and 200 ms
        disk.goneError = c.error;
        if (c.closeFails)
            FailCall(CallCloseHandle, L"\\\\.\\PHYSICALDRIVE2");
        EXPECT_EQ(WaitUntilDiskGone(2), c.result);
        EXPECT_EQ(sim.clock, 300u);
        EXPECT_EQ(sim.controls.size(), 4u);
        EXPECT_TRUE(SimOpenHandles().empty());
    }
    EXPECT_EQ(WaitUntilDiskGone(2), 0) << "gone before the wait began";
    EXPECT_EQ(sim.clock, 300u);
}

class Dismount : public OnSimulatedMachine {
protected:
    int Run(DiskNumber disk, std::string* output)
    {
        testing::internal::CaptureStdout();
        int result = DismountDiskVolumes(disk);
        *output = testing::internal::GetCapturedStdout();
        return result;
    }
    static std::vector<DWORD> ControlsOn(const std::wstring& device)
    {
        std::vector<DWORD> codes;
        for (const SimControl& c : sim.controls)
            if (c.device == device)
                codes.push_back(c.code);
        return codes;
    }
};

TEST_F(Dismount, StopsAtTheFirstVolumeThatFailsAndKeepsTheEarlierOneHeld)
{
    AddVolume(1, 2, {L"E:\\"});
    AddVolume(2, 2, {L"F:\\"}).fault = FaultEject;
    AddVolume(3, 2, {L"G:\\"});
    std::string output;
    EXPECT_EQ(Run(2, &output), 0);
    EXPECT_EQ(output, "");
    const std::vector<DWORD> dismounted = {IOCTL_STORAGE_GET_DEVICE_NUMBER, FSCTL_DISMOUNT_VOLUME,
                                           IOCTL_STORAGE_EJECT_MEDIA};
    EXPECT_EQ(ControlsOn(VolumeDevice(1)), dismounted);
    EXPECT_EQ(ControlsOn(VolumeDevice(2)), dismounted);
    EXPECT_TRUE(ControlsOn(VolumeDevice(3)).empty());
    expectedOpen = {VolumeDevice(1)};
}

TEST_F(Dismount, EachStepMustSucceedBeforeTheNext)
{
    const struct { SimVolumeFault fault; size_t controls; bool flushed; } cases[] = {
        {FaultOpen, 0, false}, {FaultDismount, 1, false}, {FaultFlush, 1, true}, {FaultNone, 2, true}};
    for (auto c : cases) {
        SimInstall();
        AddVolume(1, 0).fault = c.fault;
        EXPECT_EQ(DismountVolume(VolumeDevice(1).c_str()), c.fault == FaultNone);
        EXPECT_EQ(sim.controls.size(), c.controls);
        bool flushed = false;
        for (const SimCallRecord& call : sim.calls)
            flushed = flushed || call.call == CallFlushFileBuffers;
        EXPECT_EQ(flushed, c.flushed);
    }
    expectedOpen = {VolumeDevice(1)};
}

TEST_F(Dismount, ADiskWithoutVolumesSucceedsAndLeavesOtherDisksAndCdDrivesAlone)
{
    AddVolume(1, 0, {L"C:\\"});
    AddVolume(2, 2, {L"D:\\"}).cdrom = true;
    std::string output;
    EXPECT_EQ(Run(2, &output), 1);
    EXPECT_EQ(output, "Succeeded.\n");
    for (DWORD code : ControlsOn(VolumeDevice(2)))
        EXPECT_EQ(code, DWORD(IOCTL_STORAGE_GET_DEVICE_NUMBER)) << "the DVD was dismounted or ejected";
}

// A volume whose disk cannot be told is asked again; one that answers that it lies on no
// single disk is left alone, one that still cannot be asked stops the dismount.
TEST_F(Dismount, AsksAgainForAVolumeWhoseDiskCouldNotBeTold)
{
    const struct { unsigned failures; int result; bool ejected; } cases[] = {{1, 1, true}, {2, 0, false}};
    for (auto c : cases) {
        SimInstall();
        AddVolume(1, 2, {L"E:\\"});
        AddVolume(2, NoDiskNumber, {L"F:\\"});
        FailCall(CallCreateFile, VolumeDevice(1), 1, c.failures);
        std::string output;
        EXPECT_EQ(Run(2, &output), c.result) << c.failures;
        EXPECT_EQ(sim.volumes[0].ejected, c.ejected) << c.failures;
        EXPECT_EQ(SimOpenHandles().size(), c.ejected ? 1u : 0u);
    }
    expectedOpen = {};
    SimInstall();
}

// A walk that cannot start, or breaks off, may have missed a volume of the disk.
TEST_F(Dismount, FailsWhenTheWalkDidNotSeeEveryVolume)
{
    for (SimCall call : {CallFindFirstVolume, CallFindNextVolume}) {
        SimInstall();
        AddVolume(1, 2, {L"E:\\"});
        AddVolume(2, 2, {L"F:\\"});
        FailCall(call, L"");
        std::string output;
        EXPECT_EQ(Run(2, &output), 0);
        EXPECT_EQ(output, "");
        EXPECT_EQ(sim.volumes[1].ejected, false);
    }
    expectedOpen = {VolumeDevice(1)};
}
