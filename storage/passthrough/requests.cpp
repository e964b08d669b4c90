// Builds the requests, ATA and SCSI, judges what the device answers to the SCSI ones, and
// reads the registers that a SAT layer returns in sense data.
#include "storage/passthrough/requests.h"
#include "platform/system_calls.h"
#include <stddef.h>
#include <string.h>

static_assert(offsetof(AtaRequest, data) == sizeof(ATA_PASS_THROUGH_EX), "data follows the header");
static_assert(offsetof(ScsiRequest, sense) == sizeof(SCSI_PASS_THROUGH), "sense follows the header");
static_assert(sizeof(ScsiRequest) == sizeof(SCSI_PASS_THROUGH) + SenseSize, "data follows sense");

#ifndef _WIN64
// The 32-bit layout, byte for byte.
static_assert(sizeof(ATA_PASS_THROUGH_EX) == 40 && sizeof(AtaRequest) == 552, "x86 ATA record");
static_assert(offsetof(ATA_PASS_THROUGH_EX, AtaFlags) == 2 && offsetof(ATA_PASS_THROUGH_EX, PathId) == 4 &&
              offsetof(ATA_PASS_THROUGH_EX, TargetId) == 5 && offsetof(ATA_PASS_THROUGH_EX, Lun) == 6 &&
              offsetof(ATA_PASS_THROUGH_EX, DataTransferLength) == 8 &&
              offsetof(ATA_PASS_THROUGH_EX, TimeOutValue) == 12 &&
              offsetof(ATA_PASS_THROUGH_EX, DataBufferOffset) == 20 &&
              offsetof(ATA_PASS_THROUGH_EX, PreviousTaskFile) == 24 &&
              offsetof(ATA_PASS_THROUGH_EX, CurrentTaskFile) == 32, "x86 ATA header");
static_assert(sizeof(SCSI_PASS_THROUGH) == 44 && sizeof(ScsiRequest) == 76, "x86 SCSI record");
static_assert(offsetof(SCSI_PASS_THROUGH, ScsiStatus) == 2 && offsetof(SCSI_PASS_THROUGH, PathId) == 3 &&
              offsetof(SCSI_PASS_THROUGH, TargetId) == 4 && offsetof(SCSI_PASS_THROUGH, Lun) == 5 &&
              offsetof(SCSI_PASS_THROUGH, CdbLength) == 6 &&
              offsetof(SCSI_PASS_THROUGH, SenseInfoLength) == 7 && offsetof(SCSI_PASS_THROUGH, DataIn) == 8 &&
              offsetof(SCSI_PASS_THROUGH, DataTransferLength) == 12 &&
              offsetof(SCSI_PASS_THROUGH, TimeOutValue) == 16 &&
              offsetof(SCSI_PASS_THROUGH, DataBufferOffset) == 20 &&
              offsetof(SCSI_PASS_THROUGH, SenseInfoOffset) == 24 && offsetof(SCSI_PASS_THROUGH, Cdb) == 28,
              "x86 SCSI header");
#else
// The 64-bit layout: pointer-sized DataBufferOffset fields widen and align both headers.
static_assert(sizeof(ATA_PASS_THROUGH_EX) == 48 && sizeof(AtaRequest) == 560, "x64 ATA record");
static_assert(offsetof(ATA_PASS_THROUGH_EX, DataTransferLength) == 8 &&
              offsetof(ATA_PASS_THROUGH_EX, TimeOutValue) == 12 &&
              offsetof(ATA_PASS_THROUGH_EX, DataBufferOffset) == 24 &&
              offsetof(ATA_PASS_THROUGH_EX, PreviousTaskFile) == 32 &&
              offsetof(ATA_PASS_THROUGH_EX, CurrentTaskFile) == 40, "x64 ATA header");
static_assert(sizeof(SCSI_PASS_THROUGH) == 56 && sizeof(ScsiRequest) == 88, "x64 SCSI record");
static_assert(offsetof(SCSI_PASS_THROUGH, DataTransferLength) == 12 &&
              offsetof(SCSI_PASS_THROUGH, TimeOutValue) == 16 &&
              offsetof(SCSI_PASS_THROUGH, DataBufferOffset) == 24 &&
              offsetof(SCSI_PASS_THROUGH, SenseInfoOffset) == 32 && offsetof(SCSI_PASS_THROUGH, Cdb) == 36,
              "x64 SCSI header");
#endif

// Vendor-specific form: DFh, four fixed bytes, then task-file registers 0-6 in bytes 5-11.
static const UCHAR VendorCdbPrefix[] = {0xDF, 0x10, 0x00, 0x02, 0x00};
static const UCHAR VendorCdbLength = 12;

// SAT ATA PASS-THROUGH(12) as PIO data-in: byte 1 PROTOCOL 4; byte 2 T_DIR from the device,
// BYT_BLOK, T_LENGTH in SECTOR_COUNT; task-file registers 0-6 in bytes 3-9. The command is
// declared 10 bytes long: bytes 10 and 11 stay zero and are not sent as part of it.
enum { SatProtocolPioDataIn = 4, SatTDirIn = 1 << 3, SatBytBlok = 1 << 2, SatTLengthSectorCount = 2 };
static const UCHAR SatCdb[] = {SAT_ATA_PASS_THROUGH_12, SatProtocolPioDataIn << 1,
                               SatTDirIn | SatBytBlok | SatTLengthSectorCount};
static const UCHAR SatCdbLength = 10;

// Non-data SAT ATA PASS-THROUGH: nothing transferred (T_LENGTH 0), the 28-bit task file in
// bytes 3-9 of the 12-byte layout, in the low bytes of the 16-byte one.
static const UCHAR Sat12TaskFileBytes[TaskFileCarried] = {3, 4, 5, 6, 7, 8, 9};
static const UCHAR Sat16TaskFileBytes[TaskFileCarried] = {4, 6, 8, 10, 12, 13, 14};

const UCHAR StandbyTaskFile[TaskFileCarried] = {0, 0, 0, 0, 0, ATA_DEVICE_HEAD, ATA_CMD_STANDBY};

void BuildStandbyRequest(AtaRequest* request)
{
    memset(request, 0, sizeof *request);
    ATA_PASS_THROUGH_EX& ata = request->header;
    ata.Length = sizeof ata;
    ata.AtaFlags = ATA_FLAGS_DATA_IN;
    ata.DataTransferLength = AtaDataSize;
    ata.TimeOutValue = AtaTimeOutSeconds;
    ata.DataBufferOffset = offsetof(AtaRequest, data);
    memcpy(ata.CurrentTaskFile, StandbyTaskFile, TaskFileCarried);
}

void BuildAtaNonDataRequest(ATA_PASS_THROUGH_EX* request, const UCHAR* taskFile)
{
    memset(request, 0, sizeof *request);
    request->Length = sizeof *request;
    request->AtaFlags = ATA_FLAGS_DRDY_REQUIRED;
    request->TimeOutValue = AtaTimeOutSeconds;
    memcpy(request->CurrentTaskFile, taskFile, TaskFileCarried);
}

// The header of a zeroed SCSI request: the sense area follows the header, the data area
// follows the sense area.
static void FillScsiHeader(SCSI_PASS_THROUGH& header, UCHAR dataIn, ULONG length, ULONG timeOut)
{
    header.Length = sizeof header;
    header.DataIn = dataIn;
    header.SenseInfoLength = SenseSize;
    header.DataTransferLength = length;
    header.TimeOutValue = timeOut;
    header.DataBufferOffset = sizeof(ScsiRequest);
    header.SenseInfoOffset = offsetof(ScsiRequest, sense);
}

void BuildSatNonDataRequest(ScsiRequest* request, UCHAR operation, const UCHAR* taskFile, bool checkCondition)
{
    memset(request, 0, sizeof *request);
    FillScsiHeader(request->header, SCSI_IOCTL_DATA_UNSPECIFIED, 0, AtaTimeOutSeconds);
    // No data area at all: one that lay past the buffers passed would be refused by some
    // validators, even at length 0.
    request->header.DataBufferOffset = 0;
    bool sixteen = operation == SAT_ATA_PASS_THROUGH_16;
    request->header.CdbLength = sixteen ? 16 : 12;
    UCHAR* cdb = request->header.Cdb;
    cdb[0] = operation;
    cdb[1] = SatProtocolNonData << 1;
    cdb[2] = checkCondition ? SatCkCond : 0;
    for (int i = 0; i < TaskFileCarried; ++i)
        cdb[(sixteen ? Sat16TaskFileBytes : Sat12TaskFileBytes)[i]] = taskFile[i];
}

static void SetCdb(SCSI_PASS_THROUGH& scsi, WrapForm form)
{
    const UCHAR* prefix = form == WrapFormVendor ? VendorCdbPrefix : SatCdb;
    size_t prefixLength = form == WrapFormVendor ? sizeof VendorCdbPrefix : sizeof SatCdb;
    scsi.CdbLength = form == WrapFormVendor ? VendorCdbLength : SatCdbLength;
    memcpy(scsi.Cdb, prefix, prefixLength);
    memcpy(scsi.Cdb + prefixLength, StandbyTaskFile, TaskFileCarried);
}

// The ATA Status Return descriptor (its 14 bytes whole) among those that descriptor-format
// sense carries from byte 8 on, as many bytes as byte 7 counts, inside `length`; else null.
// In it: error at byte 3, count at byte 5, device at byte 12, status at byte 13.
enum { AtaReturnLength = 14, AtaReturnError = 3, AtaReturnCount = 5, AtaReturnDevice = 12, AtaReturnStatus = 13 };
static const UCHAR* FindAtaStatusReturn(const UCHAR* sense, size_t length)
{
    enum { AdditionalLengthByte = 7, FirstDescriptor = 8 };
    size_t end = length < FirstDescriptor ? 0 : FirstDescriptor + sense[AdditionalLengthByte];
    if (end > length)
        end = length;
    for (size_t at = FirstDescriptor; at + 1 < end; at += 2 + sense[at + 1])
        if (sense[at] == SCSI_SENSE_DESCRIPTOR_TYPE_ATA_STATUS_RETURN && at + AtaReturnLength <= end)
            return sense + at;
    return nullptr;
}

static bool IsDescriptorSense(const UCHAR* sense)
{
    UCHAR code = sense[0] & 0x7F;  // with or without the VALID bit
    return code == SCSI_SENSE_ERRORCODE_DESCRIPTOR_CURRENT || code == SCSI_SENSE_ERRORCODE_DESCRIPTOR_DEFERRED;
}

static bool IsFixedSense(const UCHAR* sense)
{
    UCHAR code = sense[0] & 0x7F;
    return code == SCSI_SENSE_ERRORCODE_FIXED_CURRENT || code == SCSI_SENSE_ERRORCODE_FIXED_DEFERRED;
}

// Descriptor-format sense that reports no error: the key (byte 1) is NO SENSE or RECOVERED
// ERROR, and its ATA Status Return descriptor, if any, has no ERR in its status register.
static bool DescriptorSenseIsClean(const UCHAR* sense)
{
    UCHAR key = sense[1] & 0x0F;
    const UCHAR* ataReturn = FindAtaStatusReturn(sense, SenseSize);
    return (key == SCSI_SENSE_NO_SENSE || key == SCSI_SENSE_RECOVERED_ERROR) &&
           !(ataReturn && (ataReturn[AtaReturnStatus] & ATA_STATUS_ERR));
}

bool ReadSenseRegisters(const UCHAR* sense, size_t length, AtaRegisters* registers)
{
    // Only current sense answers this command: deferred sense (71h, 73h) reports an earlier one.
    UCHAR code = length > 0 ? sense[0] & 0x7F : 0;  // with or without the VALID bit
    // Fixed format: the key in byte 2, as many bytes after byte 7 as it counts, ASC and ASCQ
    // in bytes 12 and 13, the registers in the information bytes 3 to 6 (error, status,
    // device, count).
    enum { FixedKey = 2, AdditionalLength = 7, FixedAsc = 12, FixedAscq = 13, FixedLength = 14 };
    if (code == SCSI_SENSE_ERRORCODE_FIXED_CURRENT) {
        if (length < FixedLength || AdditionalLength + 1 + sense[AdditionalLength] < FixedLength ||
            (sense[FixedKey] & 0x0F) != SCSI_SENSE_RECOVERED_ERROR || sense[FixedAsc] != SCSI_ADSENSE_NO_SENSE ||
            sense[FixedAscq] != SCSI_SENSEQ_ATA_PASS_THROUGH_INFORMATION_AVAILABLE)
            return false;
        *registers = {sense[3], sense[6], sense[5], sense[4]};
        return true;
    }
    const UCHAR* ataReturn = code == SCSI_SENSE_ERRORCODE_DESCRIPTOR_CURRENT ? FindAtaStatusReturn(sense, length) : nullptr;
    if (!ataReturn || ataReturn[1] != AtaReturnLength - 2)
        return false;
    *registers = {ataReturn[AtaReturnError], ataReturn[AtaReturnCount], ataReturn[AtaReturnDevice],
                  ataReturn[AtaReturnStatus]};
    return true;
}

bool IsDriveAnswer(UCHAR status)
{
    return (status & (ATA_STATUS_BSY | ATA_STATUS_DRDY | ATA_STATUS_ERR)) == ATA_STATUS_DRDY;
}

// A SCSI reply that reports no error: GOOD, or CHECK CONDITION whose descriptor sense says
// nothing went wrong. Fixed-format sense, or descriptor sense of an error, refuses whatever
// the status; so does CHECK CONDITION without sense data, and every other status.
static bool ScsiReplyIsClean(UCHAR status, const UCHAR* sense)
{
    if (IsFixedSense(sense))
        return false;
    bool descriptor = IsDescriptorSense(sense);
    if (descriptor && !DescriptorSenseIsClean(sense))
        return false;
    return status == SCSISTAT_GOOD || (status == SCSISTAT_CHECK_CONDITION && descriptor);
}

int SendAtaOverScsi(AtaRequest& request, HANDLE disk, WrapForm form)
{
    const ATA_PASS_THROUGH_EX& ata = request.header;
    const ULONG length = ata.DataTransferLength;
    // The ATA attempt may have left other lengths in the record; its data area must still
    // lie inside the record before anything is copied out of it or back into it.
    if (ata.DataBufferOffset > sizeof request || length > sizeof request - ata.DataBufferOffset)
        return 0;
    BYTE* ataData = reinterpret_cast<BYTE*>(&request) + ata.DataBufferOffset;

    const DWORD size = sizeof(ScsiRequest) + length;
    BYTE* buffer = new BYTE[size];
    ScsiRequest* scsi = reinterpret_cast<ScsiRequest*>(buffer);
    memset(scsi, 0, sizeof *scsi);
    SCSI_PASS_THROUGH& header = scsi->header;
    // DataIn follows AtaFlags exactly, not as a bit: a combination of flags gives 0.
    FillScsiHeader(header, ata.AtaFlags == ATA_FLAGS_DATA_IN ? SCSI_IOCTL_DATA_IN : 0, length, ata.TimeOutValue);
    header.PathId = ata.PathId;
    header.TargetId = ata.TargetId;
    header.Lun = ata.Lun;
    memcpy(buffer + sizeof(ScsiRequest), ataData, length);
    SetCdb(header, form);

    DWORD returned = 0;
    BOOL ok = systemCalls.DeviceIoControl(disk, IOCTL_SCSI_PASS_THROUGH, buffer, sizeof header,
                                          buffer, size, &returned, nullptr);
    // Sense and data are read where this record put them, not where the reply says they are.
    int accepted = ok && returned >= sizeof header && ScsiReplyIsClean(header.ScsiStatus, scsi->sense);
    if (accepted)
        memcpy(ataData, buffer + sizeof(ScsiRequest), length);
    delete[] buffer;
    return accepted;
}

int SendSat16Standby(HANDLE disk)
{
    ScsiRequest request;
    BuildSatNonDataRequest(&request, SAT_ATA_PASS_THROUGH_16, StandbyTaskFile, false);
    DWORD returned = 0;
    BOOL ok = systemCalls.DeviceIoControl(disk, IOCTL_SCSI_PASS_THROUGH, &request, sizeof request.header,
                                          &request, sizeof request, &returned, nullptr);
    return ok && returned >= sizeof request.header && ScsiReplyIsClean(request.header.ScsiStatus, request.sense);
}
