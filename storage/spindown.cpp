// Spins a disk down with ATA STANDBY: through ATA pass-through first, then wrapped in the
// vendor-specific SCSI command, then in SAT ATA PASS-THROUGH(12); each form only when the
// one before it was refused.
#include "storage/storage.h"
#include "storage/system_calls.h"
#include "storage/passthrough/requests.h"

static int SendAta(AtaRequest& request, HANDLE disk)
{
    DWORD returned = 0;
    BOOL ok = systemCalls.DeviceIoControl(disk, IOCTL_ATA_PASS_THROUGH, &request,
                                          sizeof request.header, &request, sizeof request,
                                          &returned, nullptr);
    // Judged by the record as the call left it.
    return ok && returned == request.header.DataBufferOffset + request.header.DataTransferLength;
}

int SpinDownDisk(DiskNumber disk)
{
    HANDLE handle = OpenDisk(disk);
    if (handle == INVALID_HANDLE_VALUE)
        return 0;
    // Not rebuilt between attempts: the fallbacks wrap the record as the ATA attempt left it.
    AtaRequest request;
    BuildStandbyRequest(&request);
    int done = SendAta(request, handle) || SendAtaOverScsi(request, handle, WrapFormVendor) ||
               SendAtaOverScsi(request, handle, WrapFormSat);
    systemCalls.CloseHandle(handle);
    return done;
}
