// Request records for sending ATA STANDBY to a disk: the platform's ATA pass-through record,
// and the SCSI pass-through record that carries the same task file when a USB bridge refuses
// ATA pass-through; each as a PIO data-in command, and as the non-data command that STANDBY
// really is. Header sizes are the platform's own (40/44 bytes on x86, 48/56 on x64); every
// length and offset below derives from them.
#pragma once
#include <windows.h>
#include <winioctl.h>  // before ntddscsi.h, which uses its CTL_CODE
#include <ntddscsi.h>

enum {
    AtaDataSize = 512,   // the data-in transfer the request declares
    SenseSize = 32,
    AtaTimeOutSeconds = 5,
};

// ATA command set: STANDBY (not STANDBY IMMEDIATE), to device 0 with the obsolete bits 7 and 5 set.
enum {
    ATA_CMD_STANDBY = 0xE2,
    ATA_DEVICE_HEAD = 0xA0,
    ATA_STATUS_ERR = 0x01,  // the status register's error bit
};

// SCSI status GOOD, as the driver kit's scsi.h names it (not in the user-mode headers).
enum { SCSISTAT_GOOD = 0x00 };

// Task-file register positions in CurrentTaskFile (the command register comes back as the
// status register); the reserved byte 7 is carried by no wrapping.
enum { TaskFileFeatures, TaskFileSectorCount, TaskFileLbaLow, TaskFileLbaMid, TaskFileLbaHigh,
       TaskFileDevice, TaskFileCommand, TaskFileCarried };

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
// The STANDBY request as a non-data command: the header alone, no data direction.
void BuildStandbyNoDataRequest(ATA_PASS_THROUGH_EX* request);
// SAT ATA PASS-THROUGH(16) carrying the non-data STANDBY, with its sense area and no data.
void BuildSat16StandbyRequest(ScsiRequest* request);

// Sends the request's task file wrapped in a SCSI command on an open disk handle.
// 1 when the device took it (and the request's data area then holds the reply's);
// 0 otherwise, with the request untouched.
int SendAtaOverScsi(AtaRequest& request, HANDLE disk, WrapForm form);
// Sends the non-data STANDBY in SAT ATA PASS-THROUGH(16); 1 when the device took it.
int SendSat16Standby(HANDLE disk);
