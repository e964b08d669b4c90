// Spins a disk down with ATA STANDBY: through ATA pass-through first, then wrapped in the
// vendor-specific SCSI command, then in SAT ATA PASS-THROUGH(12), all three as a PIO data-in
// command; then as the non-data command that STANDBY is, through ATA pass-through and in SAT
// ATA PASS-THROUGH(16), for bridges that check the protocol against the command. After each
// form the drive is asked whether it has stopped: a bridge may take a form and not carry it
// out, or refuse one it did carry out.
#include "storage/storage.h"
#include "platform/system_calls.h"
#include "storage/passthrough/requests.h"
#include <stdio.h>

typedef int (*StandbyForm)(AtaRequest& request, HANDLE disk);

static int SendAtaDataIn(AtaRequest& request, HANDLE disk)
{
    const ATA_PASS_THROUGH_EX built = request.header;
    DWORD returned = 0;
    BOOL ok = systemCalls.DeviceIoControl(disk, IOCTL_ATA_PASS_THROUGH, &request, sizeof request.header, &request,
                                          sizeof request, &returned, nullptr);
    // Judged by the record as the call left it; a drive that aborted the command sets ERR.
    int taken = ok && returned == request.header.DataBufferOffset + request.header.DataTransferLength &&
                !(request.header.CurrentTaskFile[TaskFileCommand] & ATA_STATUS_ERR);
    // The header now holds what the device returned (its status where the command stood,
    // lengths the driver updated): nothing of it is sent on. Only the data area goes round.
    request.header = built;
    return taken;
}

static int SendVendor(AtaRequest& request, HANDLE disk) { return SendAtaOverScsi(request, disk, WrapFormVendor); }
static int SendSat12(AtaRequest& request, HANDLE disk) { return SendAtaOverScsi(request, disk, WrapFormSat); }
static int SendSat16(AtaRequest&, HANDLE disk) { return SendSat16Standby(disk); }

static int SendAtaNoData(AtaRequest&, HANDLE disk)
{
    ATA_PASS_THROUGH_EX request;
    BuildAtaNonDataRequest(&request, StandbyTaskFile);
    DWORD returned = 0;
    BOOL ok = systemCalls.DeviceIoControl(disk, IOCTL_ATA_PASS_THROUGH, &request, sizeof request, &request,
                                          sizeof request, &returned, nullptr);
    // ERR alone: a driver that leaves the registers as they were sent returns E2h as the
    // status, whose bit 5 would read as a device fault.
    return ok && returned >= sizeof request && !(request.CurrentTaskFile[TaskFileCommand] & ATA_STATUS_ERR);
}

static const StandbyForm StandbyForms[] = {SendAtaDataIn, SendVendor, SendSat12, SendAtaNoData, SendSat16};

// Owned by SendUntilStopped: the form after which the drive said it had stopped, else the first
// taken; null when none was.
static StandbyForm stoppingForm;

// Each form in turn, each followed by the question. The drive's word decides: in standby, it
// is done; spinning after a form that was taken, that form did nothing and the next is
// tried. A drive that never answers leaves it to the first form taken, as bridges report it.
static SpinDown SendUntilStopped(AtaRequest& request, HANDLE disk)
{
    StandbyForm firstTaken = nullptr;
    bool answered = false;
    for (StandbyForm form : StandbyForms) {
        bool taken = form(request, disk);
        if (taken && !firstTaken)
            firstTaken = form;
        PowerMode mode = AskPowerMode(disk);
        if (mode == PowerStandby) {
            stoppingForm = form;
            return SpinDownConfirmed;
        }
        answered = answered || mode == PowerSpinning;
        if (taken && !answered) {
            stoppingForm = form;
            return SpinDownUnconfirmed;
        }
    }
    stoppingForm = firstTaken;
    if (!firstTaken)
        return SpinDownFailed;
    // Forms were taken, yet every answer said spinning: some bridges wake the drive to answer.
    // The drive's last command is STANDBY again.
    firstTaken(request, disk);
    return SpinDownUnconfirmed;
}

SpinDown SpinDownDisk(DiskNumber disk)
{
    HANDLE handle = OpenDisk(disk);
    if (handle == INVALID_HANDLE_VALUE)
        return SpinDownFailed;
    AtaRequest request;
    BuildStandbyRequest(&request);
    SpinDown result = SendUntilStopped(request, handle);
    systemCalls.CloseHandle(handle);
    if (result != SpinDownFailed) {
        wprintf(result == SpinDownConfirmed ? L"Standby confirmed by the drive.\n" : L"Standby not confirmed by the drive.\n");
        fflush(stdout);
    }
    return result;
}

void RestoreStandby(DiskNumber disk)
{
    HANDLE handle = OpenDisk(disk);
    if (handle == INVALID_HANDLE_VALUE)
        return;
    AtaRequest request;
    BuildStandbyRequest(&request);
    if (stoppingForm && AskPowerMode(handle) != PowerStandby)
        stoppingForm(request, handle);
    systemCalls.CloseHandle(handle);
}
