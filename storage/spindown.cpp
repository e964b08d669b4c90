// Spins a disk down with ATA STANDBY: through ATA pass-through first, then wrapped in the
// vendor-specific SCSI command, then in SAT ATA PASS-THROUGH(12), all three as a PIO data-in
// command; then as the non-data command that STANDBY is, through ATA pass-through and in SAT
// ATA PASS-THROUGH(16), for bridges that check the protocol against the command. Each form
// only when every one before it was refused, so a disk that takes an early form sees nothing new.
#include "storage/storage.h"
#include "platform/system_calls.h"
#include "storage/passthrough/requests.h"

static int SendAta(AtaRequest& request, HANDLE disk)
{
    DWORD returned = 0;
    BOOL ok = systemCalls.DeviceIoControl(disk, IOCTL_ATA_PASS_THROUGH, &request,
                                          sizeof request.header, &request, sizeof request,
                                          &returned, nullptr);
    // Judged by the record as the call left it; a drive that aborted the command sets ERR.
    return ok && returned == request.header.DataBufferOffset + request.header.DataTransferLength &&
           !(request.header.CurrentTaskFile[TaskFileCommand] & ATA_STATUS_ERR);
}

static int SendAtaNoData(HANDLE disk)
{
    ATA_PASS_THROUGH_EX request;
    BuildStandbyNoDataRequest(&request);
    DWORD returned = 0;
    BOOL ok = systemCalls.DeviceIoControl(disk, IOCTL_ATA_PASS_THROUGH, &request, sizeof request, &request,
                                          sizeof request, &returned, nullptr);
    // ERR alone: a driver that leaves the registers as they were sent returns E2h as the
    // status, whose bit 5 would read as a device fault.
    return ok && returned >= sizeof request && !(request.CurrentTaskFile[TaskFileCommand] & ATA_STATUS_ERR);
}

int SpinDownDisk(DiskNumber disk)
{
    HANDLE handle = OpenDisk(disk);
    if (handle == INVALID_HANDLE_VALUE)
        return 0;
    AtaRequest request;
    BuildStandbyRequest(&request);
    const ATA_PASS_THROUGH_EX standby = request.header;
    int done = SendAta(request, handle);
    // The header now holds what the device returned (its status where the command stood,
    // lengths the driver updated): nothing of it is sent on. Only the data area goes round.
    request.header = standby;
    done = done || SendAtaOverScsi(request, handle, WrapFormVendor) || SendAtaOverScsi(request, handle, WrapFormSat) ||
           SendAtaNoData(handle) || SendSat16Standby(handle);
    systemCalls.CloseHandle(handle);
    return done;
}
