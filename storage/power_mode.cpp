// Asks a drive whether its platters have stopped: ATA CHECK POWER MODE, whose answer comes
// back in the Count register. Through SAT the registers return as sense data, which CK_COND
// asks for; through ATA pass-through, in the record itself.
#include "storage/storage.h"
#include "platform/system_calls.h"
#include "storage/passthrough/requests.h"

// Count carries 5Ah, which is no power mode: a bridge or driver that gives the registers back
// as they were sent brings no answer, whatever the status beside it. The drive overwrites it.
static const UCHAR CountSentinel = 0x5A;
static const UCHAR CheckPowerTaskFile[TaskFileCarried] = {0, CountSentinel, 0, 0, 0, ATA_DEVICE_HEAD,
                                                          ATA_CMD_CHECK_POWER_MODE};

static PowerMode PowerModeOf(UCHAR count)
{
    if (count == ATA_POWER_STANDBY_Z || count == ATA_POWER_STANDBY_Y)
        return PowerStandby;
    if ((count >= ATA_POWER_IDLE && count <= ATA_POWER_IDLE_C) || count == ATA_POWER_ACTIVE_OR_IDLE)
        return PowerSpinning;
    return PowerUnknown;
}

static PowerMode AskOverSat(HANDLE disk, UCHAR operation)
{
    ScsiRequest request;
    BuildSatNonDataRequest(&request, operation, CheckPowerTaskFile, true);
    DWORD returned = 0;
    BOOL ok = systemCalls.DeviceIoControl(disk, IOCTL_SCSI_PASS_THROUGH, &request, sizeof request.header,
                                          &request, sizeof request, &returned, nullptr);
    // The sense area as the driver filled it: no more than it says, nor than it has.
    size_t sensed = request.header.SenseInfoLength < size_t(SenseSize) ? request.header.SenseInfoLength : size_t(SenseSize);
    AtaRegisters registers;
    if (!ok || returned < sizeof request.header || !ReadSenseRegisters(request.sense, sensed, &registers) ||
        !IsDriveAnswer(registers.status))
        return PowerUnknown;
    return PowerModeOf(registers.count);
}

static PowerMode AskOverAta(HANDLE disk)
{
    ATA_PASS_THROUGH_EX request;
    BuildAtaNonDataRequest(&request, CheckPowerTaskFile);
    DWORD returned = 0;
    BOOL ok = systemCalls.DeviceIoControl(disk, IOCTL_ATA_PASS_THROUGH, &request, sizeof request, &request,
                                          sizeof request, &returned, nullptr);
    // The status comes back where the command stood: still E5h (BSY and ERR set), the registers
    // were not read.
    if (!ok || returned < sizeof request || !IsDriveAnswer(request.CurrentTaskFile[TaskFileCommand]))
        return PowerUnknown;
    return PowerModeOf(request.CurrentTaskFile[TaskFileSectorCount]);
}

PowerMode AskPowerMode(HANDLE disk)
{
    PowerMode mode = AskOverSat(disk, SAT_ATA_PASS_THROUGH_16);
    if (mode == PowerUnknown)
        mode = AskOverSat(disk, SAT_ATA_PASS_THROUGH_12);
    return mode == PowerUnknown ? AskOverAta(disk) : mode;
}
