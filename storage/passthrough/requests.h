// Request records for sending one ATA command to a disk: the platform's ATA pass-through
// record, and the SCSI pass-through record that carries the same task file when a USB bridge
// refuses ATA pass-through. Header sizes are the platform's own (40/44 bytes on x86,
// 48/56 on x64); every length and offset below derives from them.
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
};

// Task-file register positions in CurrentTaskFile; the reserved byte 7 is carried by no wrapping.
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

// Sends the request's task file wrapped in a SCSI command on an open disk handle.
// 1 when the device took it (and the request's data area then holds the reply's);
// 0 otherwise, with the request untouched.
int SendAtaOverScsi(AtaRequest& request, HANDLE disk, WrapForm form);
