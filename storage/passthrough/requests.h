// Request records for sending ATA commands to a disk: the platform's ATA pass-through record,
// and the SCSI pass-through record that carries the same task file when a USB bridge refuses
// ATA pass-through. STANDBY goes as a PIO data-in command, and as the non-data command that it
// really is; CHECK POWER MODE, non-data, asks for the registers back. Header sizes are the
// platform's own (40/44 bytes on x86, 48/56 on x64); every length and offset below derives
// from them.
#pragma once
#include <windows.h>
#include <winioctl.h>  // before ntddscsi.h, which uses its CTL_CODE
#include <ntddscsi.h>

enum {
    AtaDataSize = 512,   // the data-in transfer the request declares
    SenseSize = 32,
    AtaTimeOutSeconds = 5,
};

// ATA command set: STANDBY (not STANDBY IMMEDIATE) and CHECK POWER MODE, to device 0 with the
// obsolete bits 7 and 5 set; the status register's bits; the power modes that CHECK POWER MODE
// returns in the Count register.
enum {
    ATA_CMD_STANDBY = 0xE2,
    ATA_CMD_CHECK_POWER_MODE = 0xE5,
    ATA_DEVICE_HEAD = 0xA0,
    ATA_STATUS_ERR = 0x01,
    ATA_STATUS_DRDY = 0x40,
    ATA_STATUS_BSY = 0x80,
    ATA_POWER_STANDBY_Z = 0x00,
    ATA_POWER_STANDBY_Y = 0x01,
    ATA_POWER_IDLE = 0x80,  // to 83h: Idle, Idle_a, Idle_b, Idle_c
    ATA_POWER_IDLE_C = 0x83,
    ATA_POWER_ACTIVE_OR_IDLE = 0xFF,
};

// SAT ATA PASS-THROUGH: the two operation codes, PROTOCOL 3 (non-data) in byte 1, and in
// byte 2 CK_COND, which asks for the registers back as sense data even without an error.
enum { SAT_ATA_PASS_THROUGH_12 = 0xA1, SAT_ATA_PASS_THROUGH_16 = 0x85, SatProtocolNonData = 3, SatCkCond = 1 << 5 };

// SCSI status and sense data, as the driver kit's scsi.h names them (not in the user-mode
// headers): fixed-format sense (70h/71h) reports an error by its format alone; descriptor
// format (72h/73h) by its sense key, and a SAT layer adds the ATA registers in an ATA Status
// Return descriptor.
enum {
    SCSISTAT_GOOD = 0x00,
    SCSISTAT_CHECK_CONDITION = 0x02,
    SCSI_SENSE_ERRORCODE_FIXED_CURRENT = 0x70,
    SCSI_SENSE_ERRORCODE_FIXED_DEFERRED = 0x71,
    SCSI_SENSE_ERRORCODE_DESCRIPTOR_CURRENT = 0x72,
    SCSI_SENSE_ERRORCODE_DESCRIPTOR_DEFERRED = 0x73,
    SCSI_SENSE_NO_SENSE = 0x00,
    SCSI_SENSE_RECOVERED_ERROR = 0x01,
    SCSI_ADSENSE_NO_SENSE = 0x00,
    SCSI_SENSEQ_ATA_PASS_THROUGH_INFORMATION_AVAILABLE = 0x1D,
    SCSI_SENSE_DESCRIPTOR_TYPE_ATA_STATUS_RETURN = 0x09,
};

// Task-file register positions in CurrentTaskFile (the command register comes back as the
// status register); the reserved byte 7 is carried by no wrapping.
enum { TaskFileFeatures, TaskFileSectorCount, TaskFileLbaLow, TaskFileLbaMid, TaskFileLbaHigh,
       TaskFileDevice, TaskFileCommand, TaskFileCarried };

// The STANDBY task file: what every form carries, whatever a device answered to an earlier one.
extern const UCHAR StandbyTaskFile[TaskFileCarried];

// The registers that a device gives back, as SAT returns them in sense data.
struct AtaRegisters {
    UCHAR error, count, device, status;
};

// The ATA pass-through header followed at once by its data area; both the input and the
// output buffer of IOCTL_ATA_PASS_THROUGH.
struct AtaRequest {
    ATA_PASS_THROUGH_EX header;
    UCHAR data[AtaDataSize];
};

// The SCSI pass-through header, its sense area, then (in the same allocation) the data area.
struct ScsiRequest {
    SCSI_PASS_THROUGH header;
    UCHAR sense[SenseSize];
};

enum WrapForm {
    WrapFormVendor = 1,  // a vendor-specific 12-byte command, operation code DFh
    WrapFormSat = 2,     // SAT ATA PASS-THROUGH(12), operation code A1h
};

// Fills the whole record with the STANDBY request, data-in of AtaDataSize bytes.
void BuildStandbyRequest(AtaRequest* request);
// A non-data command in the ATA pass-through header alone, no data direction.
void BuildAtaNonDataRequest(ATA_PASS_THROUGH_EX* request, const UCHAR* taskFile);
// A non-data command in SAT ATA PASS-THROUGH(16) or (12), by its operation code, with the sense
// area and no data area; checkCondition sets CK_COND.
void BuildSatNonDataRequest(ScsiRequest* request, UCHAR operation, const UCHAR* taskFile, bool checkCondition);

// The registers in current sense data of `length` bytes: descriptor format with an ATA Status
// Return descriptor, or fixed format (RECOVERED ERROR, ATA PASS-THROUGH INFORMATION AVAILABLE)
// whose information bytes carry them. False when the sense data holds no registers.
bool ReadSenseRegisters(const UCHAR* sense, size_t length, AtaRegisters* registers);
// Whether a status register is the drive's answer: DRDY set, BSY and ERR clear. Bridges that
// carry no answer give back zeros, the registers as sent (the command where the status stands)
// or a busy drive's; smartmontools trusts nothing else.
bool IsDriveAnswer(UCHAR status);

// Sends STANDBY wrapped in a SCSI command on an open disk handle, with the request's
// addresses, time-out, data direction, length and data. 1 when the device took it (and the
// request's data area then holds the reply's); 0 otherwise, with the request untouched.
int SendAtaOverScsi(AtaRequest& request, HANDLE disk, WrapForm form);
// Sends the non-data STANDBY in SAT ATA PASS-THROUGH(16); 1 when the device took it.
int SendSat16Standby(HANDLE disk);
