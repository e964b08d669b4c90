// The storage layer on the simulated machine: the spin-down requests as the device receives
// them and how each answer is judged; volumes, mount points, descriptions, the wait for
// removal and the dismount, as a device and a caller see them.
#include "sim_fixture.h"
#include <string.h>
#include <tuple>

using Bytes = std::vector<BYTE>;
static const SimForm Accept = {AnswerAccept}, Refuse = {AnswerRefuse}, Short = {AnswerShort};
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

// What a device answers beyond the simulated disk's scenario keys: the ATA status and count
// registers over a reply of any length, the length its driver says the data-in form moved (an
// underrun), and sense data with CHECK CONDITION for every SCSI form.
static decltype(systemCalls.DeviceIoControl) simControl;
static int ataStatus, ataCount, ataLength, senseLength;
static Bytes scsiSense;
static BOOL WINAPI ControlThenAnswer(HANDLE handle, DWORD code, LPVOID in, DWORD inLength, LPVOID out,
                                     DWORD outLength, LPDWORD returned, LPOVERLAPPED overlapped)
{
    BOOL ok = simControl(handle, code, in, inLength, out, outLength, returned, overlapped);
    ATA_PASS_THROUGH_EX* ata = static_cast<ATA_PASS_THROUGH_EX*>(out);
    if (ok && code == IOCTL_ATA_PASS_THROUGH) {
        if (ataStatus >= 0)
            ata->CurrentTaskFile[TaskFileCommand] = BYTE(ataStatus);
        if (ataCount >= 0)
            ata->CurrentTaskFile[TaskFileSectorCount] = BYTE(ataCount);
        if (ataLength >= 0 && ata->DataTransferLength)
            ata->DataTransferLength = ataLength;
    }
    if (ok && code == IOCTL_SCSI_PASS_THROUGH && !scsiSense.empty()) {
        static_cast<SCSI_PASS_THROUGH*>(out)->ScsiStatus = SCSISTAT_CHECK_CONDITION;
        std::copy(scsiSense.begin(), scsiSense.end(), static_cast<BYTE*>(out) + offsetof(ScsiRequest, sense));
        if (senseLength >= 0)
            static_cast<SCSI_PASS_THROUGH*>(out)->SenseInfoLength = UCHAR(senseLength);
    }
    return ok;
}

static void AnswerBeyondScenario(int status, const Bytes& sense = {}, int length = -1, int count = -1, int sensed = -1)
{
    ataStatus = status, scsiSense = sense, ataLength = length, ataCount = count, senseLength = sensed;
    simControl = systemCalls.DeviceIoControl;
    systemCalls.DeviceIoControl = ControlThenAnswer;
}

// Descriptor sense of key NO SENSE carrying an ATA Status Return descriptor (code 09h, its
// count register in its byte 5, its status register in its byte 13).
static Bytes AtaStatusReturn(BYTE status, BYTE count = 0)
{
    Bytes sense(22);
    sense[0] = SCSI_SENSE_ERRORCODE_DESCRIPTOR_CURRENT, sense[7] = 14, sense[8] = 0x09, sense[9] = 12;
    sense[13] = count, sense[21] = status;
    return sense;
}

// The five forms in the order they are tried, byte for byte, on the platform's own layout,
// each followed by the three forms of the question whether the drive has stopped (never
// answered here), after an ATA attempt that wrote an aborted status (51h) back where the
// command stood and reported that it moved no data. A refusal with error sense that brings
// data back must leave the request as it was: the SAT form then wraps the vendor form's bytes.
TEST_F(OnSimulatedMachine, SpinDownSendsFiveFormsByteForByteInOrder)
{
    Machine(L"disk 2 ata=status:51 vendor-form=sense:70 sat=refuse check-power=none");
    AnswerBeyondScenario(-1, {}, 0);
#ifndef _WIN64
    const Patch scsi = {0, {0x2C, 0, 0, 0, 0, 0}}, sense = {7, {0x20}}, offsets = {20, {0x4C, 0, 0, 0, 0x2C}};
    const struct { DWORD code, inLength, outLength; Bytes bytes; } expected[] = {
        {IOCTL_ATA_PASS_THROUGH, 40, 552, Record(552, {{0, {0x28, 0, 0x02}}, {8, {0, 0x02, 0, 0, 5}}, {20, {0x28}}, {37, {0xA0, 0xE2}}})},
        {IOCTL_SCSI_PASS_THROUGH, 44, 588, Record(588, {scsi, {6, {12, 0x20, 1, 0, 0, 0, 0, 2, 0, 0, 5}}, offsets,
                                        {28, {0xDF, 0x10, 0, 0x02, 0, 0, 0, 0, 0, 0, 0xA0, 0xE2}}})},
        {IOCTL_SCSI_PASS_THROUGH, 44, 588, Record(588, {scsi, {6, {10, 0x20, 1, 0, 0, 0, 0, 2, 0, 0, 5}}, offsets,
                                        {28, {0xA1, 0x08, 0x0E, 0, 0, 0, 0, 0, 0xA0, 0xE2}}})},
        {IOCTL_ATA_PASS_THROUGH, 40, 40, Record(40, {{0, {0x28, 0, 0x01}}, {12, {5}}, {37, {0xA0, 0xE2}}})},
        {IOCTL_SCSI_PASS_THROUGH, 44, 76, Record(76, {scsi, {6, {16}}, sense, {8, {2}}, {16, {5}}, {24, {0x2C}},
                                      {28, {0x85, 0x06, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xA0, 0xE2}}})},
        // CHECK POWER MODE, a count of 5Ah in each: SAT(16) and SAT(12) non-data with CK_COND, and ATA.
        {IOCTL_SCSI_PASS_THROUGH, 44, 76, Record(76, {scsi, {6, {16}}, sense, {8, {2}}, {16, {5}}, {24, {0x2C}},
                                      {28, {0x85, 0x06, 0x20, 0, 0, 0, 0x5A, 0, 0, 0, 0, 0, 0, 0xA0, 0xE5}}})},
        {IOCTL_SCSI_PASS_THROUGH, 44, 76, Record(76, {scsi, {6, {12}}, sense, {8, {2}}, {16, {5}}, {24, {0x2C}},
                                      {28, {0xA1, 0x06, 0x20, 0, 0x5A, 0, 0, 0, 0xA0, 0xE5}}})},
        {IOCTL_ATA_PASS_THROUGH, 40, 40, Record(40, {{0, {0x28, 0, 0x01}}, {12, {5}}, {33, {0x5A}}, {37, {0xA0, 0xE5}}})},
    };
#else
    const Patch offsets = {24, {0x58, 0, 0, 0, 0, 0, 0, 0, 0x38}};
    const struct { DWORD code, inLength, outLength; Bytes bytes; } expected[] = {
        {IOCTL_ATA_PASS_THROUGH, 48, 560, Record(560, {{0, {0x30, 0, 0x02}}, {8, {0, 0x02, 0, 0, 5}}, {24, {0x30}}, {45, {0xA0, 0xE2}}})},
        {IOCTL_SCSI_PASS_THROUGH, 56, 600, Record(600, {{0, {0x38}}, {6, {12, 0x20, 1, 0, 0, 0, 0, 2, 0, 0, 5}}, offsets,
                                        {36, {0xDF, 0x10, 0, 0x02, 0, 0, 0, 0, 0, 0, 0xA0, 0xE2}}})},
        {IOCTL_SCSI_PASS_THROUGH, 56, 600, Record(600, {{0, {0x38}}, {6, {10, 0x20, 1, 0, 0, 0, 0, 2, 0, 0, 5}}, offsets,
                                        {36, {0xA1, 0x08, 0x0E, 0, 0, 0, 0, 0, 0xA0, 0xE2}}})},
        {IOCTL_ATA_PASS_THROUGH, 48, 48, Record(48, {{0, {0x30, 0, 0x01}}, {12, {5}}, {45, {0xA0, 0xE2}}})},
        {IOCTL_SCSI_PASS_THROUGH, 56, 88, Record(88, {{0, {0x38}}, {6, {16, 0x20, 2}}, {16, {5}}, {32, {0x38}},
                                      {36, {0x85, 0x06, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xA0, 0xE2}}})},
        // CHECK POWER MODE, a count of 5Ah in each: SAT(16) and SAT(12) non-data with CK_COND, and ATA.
        {IOCTL_SCSI_PASS_THROUGH, 56, 88, Record(88, {{0, {0x38}}, {6, {16, 0x20, 2}}, {16, {5}}, {32, {0x38}},
                                      {36, {0x85, 0x06, 0x20, 0, 0, 0, 0x5A, 0, 0, 0, 0, 0, 0, 0xA0, 0xE5}}})},
        {IOCTL_SCSI_PASS_THROUGH, 56, 88, Record(88, {{0, {0x38}}, {6, {12, 0x20, 2}}, {16, {5}}, {32, {0x38}},
                                      {36, {0xA1, 0x06, 0x20, 0, 0x5A, 0, 0, 0, 0xA0, 0xE5}}})},
        {IOCTL_ATA_PASS_THROUGH, 48, 48, Record(48, {{0, {0x30, 0, 0x01}}, {12, {5}}, {41, {0x5A}}, {45, {0xA0, 0xE5}}})},
    };
#endif
    EXPECT_EQ(SpinDownDisk(2), SpinDownFailed);
    const std::vector<SimCallRecord> controls = Controls();
    ASSERT_EQ(controls.size(), 20u) << Trace();
    for (size_t i = 0; i < controls.size(); ++i) {  // form n at 4n, the question's three after it
        const auto& want = expected[i % 4 == 0 ? i / 4 : 4 + i % 4];
        const SimCallRecord& sent = controls[i];
        EXPECT_EQ(std::make_tuple(sent.code, sent.inLength, sent.outLength), std::make_tuple(want.code, want.inLength, want.outLength)) << i;
        EXPECT_EQ(sent.sent, want.bytes) << "control " << i;
    }
}

// How each answer is judged, and when the next form is tried: with a drive that does not
// answer the question, only when every form before was refused; with one that does, until
// it says it is in standby. Every form carries STANDBY, whatever the ATA attempt's reply left
// in the record; nothing else is sent but the question, and the drive's last command is
// STANDBY unless it last said that it was in standby.
TEST_F(OnSimulatedMachine, SpinDownJudgesEachAnswerAndGoesOnUntilTheDriveStops)
{
    const SimForm CheckNone = {AnswerCheckNoSense}, Ignore = {AnswerIgnore};
    auto Check = [](BYTE key) { return SimForm{AnswerCheck, key}; };
    enum Drive { Silent, Answers, Wakes, AlreadyStopped };  // how the question is answered
    const struct { const char* what; SimForm forms[FormCount]; int ataStatus; Bytes sense; int result; size_t sent; Drive drive; } cases[] = {
        {"ATA taken", {Accept, Accept, Accept, Accept, Accept}, -1, {}, 1, 1},
        {"ATA whole but ERR: aborted", {Accept, Accept, Refuse, Refuse, Refuse}, 0x51, {}, 1, 2},
        {"ATA header only, 40h back", {Short, Refuse, Refuse, Refuse, Accept}, 0x40, {}, 1, 5},
        {"ATA ERR and no data", {Status(0x51), Refuse, Accept, Refuse, Refuse}, -1, {}, 1, 3},
        {"vendor 43 bytes", {Refuse, Short, Accept, Refuse, Refuse}, -1, {}, 1, 3},
        {"vendor BUSY", {Refuse, Status(0x08), Accept, Refuse, Refuse}, -1, {}, 1, 3},
        {"CHECK CONDITION without sense", {Refuse, CheckNone, Accept, Refuse, Refuse}, -1, {}, 1, 3},
        {"CHECK CONDITION, NO SENSE", {Refuse, Check(0), Refuse, Refuse, Refuse}, -1, {}, 1, 2},
        {"CHECK CONDITION, RECOVERED ERROR", {Refuse, Refuse, Check(1), Refuse, Refuse}, -1, {}, 1, 3},
        {"CHECK CONDITION, ABORTED COMMAND", {Refuse, Check(0x0B), Check(0x05), Accept, Refuse}, -1, {}, 1, 4},
        {"GOOD, no sense data", {Refuse, Sense(0x00), Refuse, Refuse, Refuse}, -1, {}, 1, 2},
        {"GOOD, descriptor sense of NO SENSE", {Refuse, Refuse, Sense(0x73), Refuse, Refuse}, -1, {}, 1, 3},
        {"fixed-format error sense, VALID or not", {Refuse, Sense(0xF1), Sense(0x71), Accept, Refuse}, -1, {}, 1, 4},
        {"ATA Status Return with ERR", {Refuse, Accept, Accept, Refuse, Accept}, -1, AtaStatusReturn(0x51), 0, 5},
        {"ATA Status Return without ERR", {Refuse, Accept, Refuse, Refuse, Refuse}, -1, AtaStatusReturn(0x50), 1, 2},
        {"registers as sent: E2h has no ERR", {Refuse, Refuse, Refuse, Status(0xE2), Refuse}, -1, {}, 1, 4},
        {"non-data ATA with ERR", {Refuse, Refuse, Refuse, Status(0x51), Accept}, -1, {}, 1, 5},
        {"non-data ATA short", {Refuse, Refuse, Refuse, Short, Sense(0x72)}, -1, {}, 1, 5},
        {"SAT16 CHECK CONDITION, ABORTED COMMAND", {Refuse, Refuse, Refuse, Refuse, Check(0x0B)}, -1, {}, 0, 5},
        {"SAT16 short", {Refuse, Refuse, Refuse, Refuse, Short}, -1, {}, 0, 5},
        {"SAT16 CHECK CONDITION without sense", {Refuse, Refuse, Refuse, Refuse, CheckNone}, -1, {}, 0, 5},
        {"SAT16 BUSY", {Refuse, Refuse, Refuse, Refuse, Status(0x08)}, -1, {}, 0, 5},
        {"vendor taken, nothing done; spinning until SAT16", {Refuse, Ignore, Refuse, Refuse, Accept}, -1, {}, 2, 5, Answers},
        {"ATA taken and confirmed", {Accept, Accept, Accept, Accept, Accept}, -1, {}, 2, 1, Answers},
        {"a bridge that wakes the drive to answer", {Accept, Accept, Accept, Accept, Accept}, -1, {}, 1, 6, Wakes},
        {"stopped already, ATA refused", {Refuse, Refuse, Refuse, Refuse, Accept}, -1, {}, 2, 1, AlreadyStopped},
        {"no form taken, spinning", {Refuse, Refuse, Refuse, Refuse, Refuse}, -1, {}, 0, 5, Answers},
    };
    const SimCheckPower answers[] = {CheckPowerSilent, CheckPowerTruthful, CheckPowerWaking, CheckPowerTruthful};
    for (const auto& c : cases) {
        Machine(L"disk 2");
        SimDisk& disk = sim.disks[0];
        std::copy(c.forms, c.forms + FormCount, disk.forms);
        disk.checkPower = answers[c.drive], disk.spunDown = c.drive == AlreadyStopped;
        AnswerBeyondScenario(c.ataStatus, c.sense);
        testing::internal::CaptureStdout();
        EXPECT_EQ(SpinDownDisk(2), c.result) << c.what;
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.result == 0 ? "" : c.result == 1 ? "Standby not confirmed by the drive.\n"
                                                                                          : "Standby confirmed by the drive.\n");
        EXPECT_EQ(std::count(disk.commands.begin(), disk.commands.end(), ATA_CMD_STANDBY), long(c.sent)) << c.what;
        EXPECT_EQ(disk.strays, Bytes()) << c.what;
        if (c.result) {
            EXPECT_TRUE(disk.spunDown && disk.lastCommand == (c.result == 2 ? ATA_CMD_CHECK_POWER_MODE : ATA_CMD_STANDBY))
                << c.what << ": the drive's last command " << int(disk.lastCommand);
        }
        EXPECT_TRUE(SimOpenHandles().empty()) << c.what;
    }
    Machine(L"disk 1 open=fail");
    EXPECT_EQ(SpinDownDisk(0) + SpinDownDisk(1) + SpinDownDisk(4294967295u), 0);
    EXPECT_EQ(Trace(), "open PHYSICALDRIVE0, open PHYSICALDRIVE1, open PHYSICALDRIVE4294967295");
}

// The drive's answer to CHECK POWER MODE: from SAT's current sense data in either format (its
// ATA Status Return descriptor wherever it stands among others, within the sense the driver
// says it returned), else from the ATA record. An answer with ERR or BSY, without DRDY, or
// with the status or the count as they were sent (the registers were not read back) is none.
TEST_F(OnSimulatedMachine, ReadsTheDrivesAnswerFromEveryKindOfReply)
{
    const Bytes secondDescriptor = {0x72, 1, 0, 0x1D, 0, 0, 0, 22, 0x02, 6, 0, 0, 0, 0, 0, 0,
                                    0x09, 12, 0, 0, 0, 0xFF, 0, 0, 0, 0, 0, 0, 0xA0, 0x50};
    const Bytes fixed = {0x70, 0, 0x01, 0x00, 0x50, 0xA0, 0x01, 10, 0, 0, 0, 0, 0x00, 0x1D, 0, 0, 0, 0};
    Bytes otherFixed = fixed;
    otherFixed[13] = 0;  // not ATA PASS-THROUGH INFORMATION AVAILABLE
    const struct { const char* what; Bytes sense; int count, status; PowerMode mode; int sensed; } cases[] = {
        {"descriptor sense", AtaStatusReturn(0x50, 0x00), -1, -1, PowerStandby},
        {"descriptor sense longer than the driver returned", AtaStatusReturn(0x50, 0x00), -1, -1, PowerUnknown, 21},
        {"descriptor sense, second descriptor", secondDescriptor, -1, -1, PowerSpinning},
        {"fixed sense", fixed, -1, -1, PowerStandby},
        {"fixed sense of something else", otherFixed, -1, -1, PowerUnknown},
        {"descriptor sense with ERR", AtaStatusReturn(0x51, 0x00), -1, -1, PowerUnknown},
        {"GOOD without sense, registers as sent", {}, -1, -1, PowerUnknown},
        {"ATA, Idle", {}, 0x80, 0x50, PowerSpinning},
        {"ATA, standby", {}, 0x00, 0x50, PowerStandby},
        {"ATA, the count as sent", {}, 0x5A, 0x50, PowerUnknown},
        {"ATA, the status as sent", {}, 0x00, 0xE5, PowerUnknown},
        {"ATA, busy", {}, 0x00, 0xD0, PowerUnknown},
    };
    for (const auto& c : cases) {
        Machine(L"disk 2 sat16=accept sat=refuse ata-nodata=accept check-power=none");
        AnswerBeyondScenario(c.status, c.sense, -1, c.count, c.sensed ? c.sensed : -1);
        HANDLE disk = OpenDisk(2);
        EXPECT_EQ(AskPowerMode(disk), c.mode) << c.what;
        systemCalls.CloseHandle(disk);
    }
}

// A bridge that brings the question no answer back (zeroed fixed sense, a status of 00h, with
// BSY or without DRDY, the registers as sent, deferred sense) never stands for the drive: with
// every form refused, the spin-down fails. DRDY alone is an answer.
TEST_F(OnSimulatedMachine, OnlyTheDrivesOwnAnswerCounts)
{
    const struct { const wchar_t* answers; SpinDown result; } cases[] = {
        {L"zero-fixed", SpinDownFailed}, {L"status:00", SpinDownFailed}, {L"status:D0", SpinDownFailed},
        {L"status:10", SpinDownFailed}, {L"echo", SpinDownFailed}, {L"deferred", SpinDownFailed},
        {L"status:40", SpinDownConfirmed}};
    for (const auto& c : cases) {
        Machine(L"disk 1 ata=status:51 vendor-form=refuse sat=check:0b ata-nodata=status:51 sat16=check:0b answers=" +
                std::wstring(c.answers));
        testing::internal::CaptureStdout();
        SpinDown result = SpinDownDisk(1);
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(result, c.result) << c.answers;
    }
}

// A wrapped form carries the request's addresses, time-out, length and data, DataIn only for a
// data-in flag standing alone, and STANDBY whatever the request's registers hold. A reply that
// rewrites the header's offsets and counts the header alone: sense and data are still read
// where the request put them, never where the reply points, and a reply that holds the whole
// header is taken. A request whose data area lies outside it is not wrapped at all.
static BOOL WINAPI ControlThenRewrite(HANDLE handle, DWORD code, LPVOID in, DWORD inLength, LPVOID out,
                                      DWORD outLength, LPDWORD returned, LPOVERLAPPED overlapped)
{
    BOOL ok = simControl(handle, code, in, inLength, out, outLength, returned, overlapped);
    static_cast<SCSI_PASS_THROUGH*>(out)->DataBufferOffset = 0x7FFFFFF0;
    static_cast<SCSI_PASS_THROUGH*>(out)->SenseInfoOffset = 0x7FFFFFF0;
    *returned = sizeof(SCSI_PASS_THROUGH);
    return ok;
}

TEST_F(OnSimulatedMachine, AWrappedFormCarriesTheRequestAndReadsItsReplyWhereItPutIt)
{
    Machine(L"disk 2 sat=sense:70 vendor-form=sense:72");
    simControl = systemCalls.DeviceIoControl;
    systemCalls.DeviceIoControl = ControlThenRewrite;
    HANDLE disk = OpenDisk(2);
    AtaRequest request;
    BuildStandbyRequest(&request);
    ATA_PASS_THROUGH_EX& ata = request.header;
    ata.AtaFlags |= ATA_FLAGS_DRDY_REQUIRED, ata.PathId = 1, ata.TargetId = 2, ata.Lun = 3, ata.TimeOutValue = 9;
    ata.DataTransferLength = 3;
    memcpy(ata.CurrentTaskFile, "\x11\x22\x33\x44\x55\x66\x51\x88", 8);
    memcpy(request.data, "\xD1\xD2\xD3\xD4", 4);
    EXPECT_EQ(SendAtaOverScsi(request, disk, WrapFormSat), 0);
    const Bytes sent = Controls()[0].sent;
    ASSERT_EQ(sent.size(), sizeof(ScsiRequest) + 3);
    const SCSI_PASS_THROUGH* h = reinterpret_cast<const SCSI_PASS_THROUGH*>(sent.data());
    EXPECT_EQ(Bytes({h->PathId, h->TargetId, h->Lun, h->DataIn, BYTE(h->TimeOutValue), BYTE(h->DataTransferLength)}),
              Bytes({1, 2, 3, 0, 9, 3}));
    EXPECT_EQ(Bytes(h->Cdb + 3, h->Cdb + 12), Bytes({0, 0, 0, 0, 0, 0xA0, 0xE2, 0, 0}));
    EXPECT_EQ(Bytes(sent.end() - 3, sent.end()), Bytes({0xD1, 0xD2, 0xD3}));
    EXPECT_EQ(request.data[0], 0xD1) << "a refused form changed the request";
    EXPECT_EQ(SendAtaOverScsi(request, disk, WrapFormVendor), 1);
    EXPECT_EQ(request.data[0] + request.data[2], 2 * 0xEE);
    const struct { ULONG offset, length; } outside[] = {
        {0xFFFFFFF0, AtaDataSize}, {sizeof(AtaRequest) + 1, AtaDataSize}, {sizeof(ATA_PASS_THROUGH_EX), 0xFFFFFFF0}};
    for (auto o : outside) {
        BuildStandbyRequest(&request);
        ata.DataBufferOffset = o.offset, ata.DataTransferLength = o.length;
        EXPECT_EQ(SendAtaOverScsi(request, disk, WrapFormVendor), 0) << o.offset;
    }
    systemCalls.CloseHandle(disk);
    EXPECT_EQ(Controls().size(), 2u);
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
    int result = 0;
    EXPECT_EQ(GetDiskNumberLimit(), 0u);
    EXPECT_EQ(Fill(0, 4, &result).substr(0, 2), std::wstring(L"\0#", 2));
    EXPECT_EQ(result, 1);
    Machine(LR"(volume \\?\Volume{1}\ disk=0 mounts=C:\
                volume \\?\Volume{2}\ disk=2 mounts="E:\;C:\Mount\Usb\"
                volume \\?\Volume{3}\ disk=none mounts=G:\
                volume \\?\NotAVolume\ disk=2 mounts=H:\
                volume \\?\Volume{4}\ disk=2
                volume \\?\Volume{5}\ disk=2 mounts=F:\
                volume \\?\Volume{6}\ disk=2 mounts=K:\ type=cdrom
                volume \\?\Volume{7}\ disk=9 mounts=L:\ type=cdrom)");
    EXPECT_EQ(GetDiskNumberLimit(), 3u);
    EXPECT_EQ(GetDiskVolumePaths(nullptr, 2, 0), 23);
    EXPECT_EQ(Fill(2, 23, &result), std::wstring(L"E:\\\0C:\\Mount\\Usb\\\0F:\\\0\0#", 24));
    EXPECT_EQ(result, 23);
    // A list that has grown since it was measured loses a volume's paths, never overruns.
    EXPECT_EQ(Fill(2, 19, &result), std::wstring(L"E:\\\0C:\\Mount\\Usb\\\0\0#", 20));
    EXPECT_EQ(result, 19);
    EXPECT_EQ(Fill(2, 0, &result), L"#") << "a buffer of no units is left alone";
    EXPECT_EQ(result, 0);
    EXPECT_EQ(Trace().find("NotAVolume"), std::string::npos);
    FailCall(CallFindFirstVolume, L"", 1, SimForever);  // a walk that cannot start lists nothing
    EXPECT_EQ(GetDiskNumberLimit() + GetDiskVolumePaths(nullptr, 2, 0), 0u);
    EXPECT_EQ(Fill(2, 4, &result), L"#####");
    EXPECT_EQ(result, 0);
}

// A descriptor whose string area is `tail`; offsets count from the end of the fixed part,
// -1 for an absent string.
static Bytes Descriptor(const std::string& tail, int vendor, int product, int revision, int serial)
{
    Bytes bytes(sizeof(STORAGE_DEVICE_DESCRIPTOR));
    bytes.insert(bytes.end(), tail.begin(), tail.end());
    STORAGE_DEVICE_DESCRIPTOR* d = reinterpret_cast<STORAGE_DEVICE_DESCRIPTOR*>(bytes.data());
    auto at = [&](int offset) { return offset < 0 ? 0 : DWORD(sizeof *d + offset); };
    *d = {sizeof *d, DWORD(bytes.size()), 0, 0, 0, FALSE, at(vendor), at(product), at(revision), at(serial), BusTypeUsb};
    return bytes;
}

// The description runs from the first string in memory to the end of the descriptor.
TEST_F(OnSimulatedMachine, DescribesADiskFromItsFirstStringToTheEndOfItsDescriptor)
{
    using namespace std::string_literals;
    const struct { Bytes descriptor; const wchar_t* text; } cases[] = {  // text null: no description
        {Descriptor("ACME\0Portable HDD\0" "0102\0NX01\0"s, 0, 5, 18, 23), L"ACME Portable HDD 0102 NX01 "},
        {Descriptor("NX01\0ACME\0HDD\0"s, 5, 10, -1, 0), L"NX01 ACME HDD "},
        {Descriptor("ACME\0HDD\0"s, -1, 5, -1, -1), L"HDD "},
        // Trailing bytes too; control characters (a tab) become spaces.
        {Descriptor("ACME \t\0HDD\0\0\x01z"s, 0, 7, -1, -1), L"ACME   HDD   z"},
        {Descriptor("ACME\0"s, 900, 0, -1, -1), L"ACME "},  // an offset past the end is ignored
        {Descriptor("ACME\0"s, -1, -1, -1, -1), nullptr},
        {Descriptor("ACME\0"s, 5, 40, -1, -1), nullptr},
    };
    for (const auto& c : cases) {
        Machine(L"disk 3");
        sim.disks[0].descriptor = c.descriptor;
        std::wstring text = c.text ? c.text : L"", buffer(64, L'#');
        int length = int(text.size()), needed = c.text ? length + 1 : 0;
        EXPECT_EQ(GetDiskDescription(3, nullptr, 0), needed) << length;
        EXPECT_EQ(GetDiskDescription(3, &buffer[0], c.text ? needed : 64), needed);
        EXPECT_EQ(buffer.substr(0, needed + 1), text + (c.text ? L"\0#"s : L"#"s));
        // One unit short: no room for the terminator, so an empty text, and nothing past it.
        buffer.assign(64, L'#');
        EXPECT_EQ(GetDiskDescription(3, &buffer[0], length), c.text ? 1 : 0);
        EXPECT_EQ(std::wstring() + buffer[0] + buffer[length], c.text ? L"\0#"s : L"##"s);
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

TEST_F(OnSimulatedMachine, TellsUsbDisksAndNeverReadsPastADescriptor)
{
    Machine(L"disk 0 bus=sata\ndisk 1 vendor=ACME product=HDD\ndisk 2 open=fail\ndisk 3 vendor=ACME\ndisk 4 bus=nvme");
    const int usb[] = {0, 1, 0, 1, 0};
    for (DiskNumber disk = 0; disk < 5; ++disk)
        EXPECT_EQ(IsUsbDisk(disk), usb[disk]) << disk;
    EXPECT_EQ(GetDiskDescription(2, nullptr, 0), 0);
    reinterpret_cast<STORAGE_DEVICE_DESCRIPTOR*>(sim.disks[3].descriptor.data())->Size = 20;  // not even its fixed part
    EXPECT_EQ(GetDiskDescription(3, nullptr, 0), 0);
    simControl = systemCalls.DeviceIoControl;
    systemCalls.DeviceIoControl = ControlThenGrow;
    WCHAR buffer[16] = L"#";
    EXPECT_EQ(GetDiskDescription(1, buffer, 0), 0);
    EXPECT_EQ(buffer[0], L'#') << "a buffer of no units is left alone";
    EXPECT_EQ(GetDiskDescription(1, buffer, 16), 10);
    EXPECT_STREQ(buffer, L"ACME HDD ");
}

// One volume of a disk, on one handle from its read and write open on: flushed while its file
// system is there, locked (tried again for a second while something holds it), dismounted once
// the walk has made every volume ready (by force without the lock), locked again after a
// forced dismount, ejected only on removable media. From the dismount on its handle stays
// open, and a read or write open then neither succeeds nor mounts the volume again. A volume
// mounted RAW has nothing to flush and must lock. A refusal lets go of the lock and the handle.
TEST_F(OnSimulatedMachine, DismountsAVolumeStepByStep)
{
    const std::string retried = "lock, lock, lock, lock, lock";
    const struct { const wchar_t* disk; const wchar_t* volume; int result; std::string trace; ULONGLONG clock; } cases[] = {
        {L"", L"", 1, "query, flush, lock, next, end, dismount Volume{1}", 0},
        {L"", L"open-files=yes", 1, "query, flush, " + retried + ", next, end, dismount Volume{1}, lock", 1000},
        {L"", L"fail=lock", 1, "query, flush, " + retried + ", next, end, dismount Volume{1}, lock", 1000},
        {L"removable=yes", L"", 1, "query, flush, lock, next, end, dismount Volume{1}, eject", 0},
        {L"removable=yes", L"fail=eject", 1, "query, flush, lock, next, end, dismount Volume{1}, eject", 0},
        {L"", L"fs=raw", 1, "query, flush, lock, next, end, dismount Volume{1}", 0},
        {L"", L"fs=raw open-files=yes", 0, "query, flush, " + retried + ", close, end", 1000},
        {L"", L"fail=flush", 0, "query, flush, close, end", 0},
        {L"", L"fail=dismount", 0, "query, flush, lock, next, end, dismount Volume{1}, unlock, close", 0},
        {L"", L"fail=open", 0, "", 0},
    };
    const wchar_t* path = L"\\\\.\\Volume{1}";
    for (const auto& c : cases) {
        Machine(L"disk 0 " + std::wstring(c.disk) + L"\nvolume \\\\?\\Volume{1}\\ disk=0 " + c.volume);
        testing::internal::CaptureStdout();
        EXPECT_EQ(DismountDiskVolumes(0), c.result) << c.trace;
        testing::internal::GetCapturedStdout();
        size_t open = 0;  // the read and write open
        while (open < sim.calls.size() && (sim.calls[open].call != CallCreateFile || sim.calls[open].access == FILE_READ_ATTRIBUTES))
            ++open;
        EXPECT_EQ(Trace(open), open == sim.calls.size() ? "" : "open Volume{1}, hosted, " + c.trace);
        EXPECT_EQ(sim.clock, c.clock) << c.trace;
        EXPECT_EQ(SimOpenHandles().size(), size_t(c.result)) << c.trace;
        EXPECT_EQ(sim.volumes[0].dismounted, c.result == 1) << c.trace;
        if (c.result) {  // an indexer, say, opens the volume while the run waits
            EXPECT_EQ(systemCalls.CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                              nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
            EXPECT_TRUE(sim.volumes[0].dismounted) << "mounted again: " << c.trace;
        }
    }
}

// Every volume is placed before any is touched, on handles without read or write access; then
// every volume of the disk is made ready in the walk's order (once, whatever names it has), and
// only when all of them are, the locked ones are dismounted and after them those forced, each
// group in the walk's order; removable media are then ejected once. A refusal before lets go of
// every volume: nothing dismounted, no lock or handle left; a dismount refused (a paging file)
// gives back the volumes dismounted while locked and holds only those forced before it.
// Volumes of other disks, of none, and CD drives are left alone; a volume on several disks
// goes with the disk when all its extents lie on it, and stops the removal when only some do.
// A volume whose disk cannot be told is asked again; one that still cannot be asked, one that
// holds an attached virtual disk, or a walk that did not see every volume fails the dismount.
TEST_F(OnSimulatedMachine, DismountsEveryVolumeOfTheDiskOrNone)
{
    const std::wstring v1 = L"\\\\.\\Volume{1}", v4 = L"\\\\.\\Volume{4}", v5 = L"\\\\.\\Volume{5}";
    const std::wstring spanning = L"\nvolume \\\\?\\Volume{5}\\ disk=none extents=";
    // first, last: added to the lines of volumes 1 and 4; dismounts: the volumes sent one, in
    // order; opened: the volumes opened for read and write, when not those; held: the volumes
    // whose handles stay open after a failure.
    const struct { std::wstring first, last; SimInjection fault; int result; std::vector<std::wstring> dismounts, opened, held; } cases[] = {
        {L"", L"", {}, 1, {v1, v4}},
        {L" open-files=yes", L"", {}, 1, {v4, v1}, {v1, v4}},  // the forced one last
        {L"", L" names=\\\\?\\Volume{9}\\", {}, 1, {v1, v4}},    // one volume under two names
        {L"", L" fail=flush", {}, 0, {}, {v1, v4}},
        {L"", L" fs=raw open-files=yes", {}, 0, {}, {v1, v4}},
        {L"", L" hosts-vhd=yes", {}, 0, {}, {v1, v4}},
        {L" open-files=yes", L" paging=yes" + spanning + L"2,2", {}, 0, {v5, v1, v4}, {v1, v4, v5}, {v1}},
        {L"", spanning + L"2,2", {}, 1, {v1, v4, v5}},
        {L"", spanning + L"3,1", {}, 1, {v1, v4}},
        {L"", spanning + L"3,2", {}, 0, {}},
        {L"", L"", {CallCreateFile, v4, 1, 1}, 1, {v1, v4}},
        {L"", L"", {CallCreateFile, v4, 1, 2}, 0, {}},
        {L"", L"", {CallCreateFile, v4, 3, 1}, 0, {}, {v1, v4}},  // its read and write open
        {L"", L"", {CallFindFirstVolume, L"", 1, 1}, 0, {}},
        {L"", L"", {CallFindNextVolume, L"", 2, 1}, 0, {}},
        {L"", L"", {CallFindNextVolume, L"", 6, 1}, 0, {}, {v1}},
        {L"", L"", {CallDeviceIoControl, v4, 5, 1}, 0, {v1, v4}},  // its dismount: volume 1 given back
    };
    for (const auto& c : cases) {
        Machine(L"disk 2 removable=yes\nvolume \\\\?\\Volume{1}\\ disk=2" + c.first + LR"(
                  volume \\?\Volume{2}\ disk=none
                  volume \\?\Volume{3}\ disk=2 type=cdrom
                  volume \\?\Volume{4}\ disk=2)" + c.last);
        sim.injection = c.fault;
        testing::internal::CaptureStdout();
        int result = DismountDiskVolumes(2);
        std::string written = testing::internal::GetCapturedStdout();
        EXPECT_EQ(result, c.result) << testing::PrintToString(c.first + c.last);
        EXPECT_EQ(written, c.result ? "Succeeded.\n" : "");
        EXPECT_EQ(Dismounts(), c.dismounts) << Trace();
        EXPECT_EQ(DataOpens(), c.opened.empty() ? c.dismounts : c.opened) << "opened for read and write: " << Trace();
        std::vector<std::wstring> held = SimOpenHandles(), expected = c.result ? c.dismounts : c.held;
        std::sort(held.begin(), held.end()), std::sort(expected.begin(), expected.end());
        EXPECT_EQ(held, expected) << "held, or left open: " << Trace();
        std::string trace = Trace();  // the medium ejected once, after the last dismount
        EXPECT_EQ(trace.find("eject") == std::string::npos, c.result == 0) << trace;
        EXPECT_EQ(trace.rfind("eject"), trace.find("eject"));
        EXPECT_TRUE(!c.result || trace.rfind("dismount") < trace.rfind("eject")) << trace;
    }
    Machine(L"volume \\\\?\\Volume{1}\\ disk=0");
    testing::internal::CaptureStdout();
    EXPECT_EQ(DismountDiskVolumes(2), 1) << "a disk without volumes";
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Succeeded.\n");
}
