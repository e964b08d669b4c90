// Takes volumes out of use before their disk is spun down: dismount, flush, eject.
#include "storage/storage.h"
#include "storage/system_calls.h"
#include "storage/volume_walk.h"
#include <winioctl.h>
#include <stdio.h>

static BOOL ControlWithoutBuffers(HANDLE device, DWORD code)
{
    DWORD returned = 0;
    return systemCalls.DeviceIoControl(device, code, nullptr, 0, nullptr, 0, &returned, nullptr);
}

int DismountVolume(const WCHAR* volumeDevicePath)
{
    HANDLE volume = OpenVolume(volumeDevicePath);
    if (volume == INVALID_HANDLE_VALUE)
        return 0;
    // The order matters: each step on the one handle, each only after the one before succeeded.
    if (!ControlWithoutBuffers(volume, FSCTL_DISMOUNT_VOLUME) ||
        !systemCalls.FlushFileBuffers(volume) ||
        !ControlWithoutBuffers(volume, IOCTL_STORAGE_EJECT_MEDIA)) {
        systemCalls.CloseHandle(volume);
        return 0;
    }
    // Deliberately left open: holding the handle keeps the volume from being mounted again
    // until the process ends, after the disk has gone.
    return 1;
}

struct DiskDismount {
    DiskNumber disk;
    int result;
};

static bool DismountIfOnDisk(const WCHAR*, const WCHAR* volumeDevicePath, DWORD diskNumber, void* context)
{
    DiskDismount* dismount = static_cast<DiskDismount*>(context);
    // A volume whose disk could not be told is asked once more: left alone after a passing
    // error, a volume of this disk would stay mounted under a disk that is spun down. One
    // that answers that it lies on no single disk (spanning several, say) is not this
    // disk's alone; one that still cannot be asked stops the dismount.
    if (diskNumber == NoDiskNumber && !AskVolumeDiskNumber(volumeDevicePath, &diskNumber)) {
        dismount->result = 0;
        return false;
    }
    if (diskNumber != dismount->disk)
        return true;
    dismount->result = DismountVolume(volumeDevicePath);
    return dismount->result != 0;
}

int DismountDiskVolumes(DiskNumber disk)
{
    DiskDismount dismount = {disk, 1};
    // A walk that did not see every volume may have missed one of this disk's: spinning the
    // disk down under a mounted volume is what this program exists to prevent.
    if (ForEachVolume(DismountIfOnDisk, &dismount) != WalkEnded)
        return 0;
    if (dismount.result) {
        wprintf(L"Succeeded.\n");
        fflush(stdout);
    }
    return dismount.result;
}
