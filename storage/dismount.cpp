// Takes volumes out of use before their disk is spun down: write out what is cached, lock,
// dismount, and hold each volume so that nothing mounts it again before the disk is gone.
#include "storage/storage.h"
#include "platform/system_calls.h"
#include "storage/volume_walk.h"
#include <winioctl.h>
#include <stdio.h>

// A program that opens the volume for a moment (an indexer, a virus scanner) keeps it from
// being locked: the lock is tried again for about a second.
static const int LockAttempts = 5;
static const DWORD LockRetryMilliseconds = 250;

static BOOL ControlWithoutBuffers(HANDLE device, DWORD code)
{
    DWORD returned = 0;
    return systemCalls.DeviceIoControl(device, code, nullptr, 0, nullptr, 0, &returned, nullptr);
}

static bool LockVolume(HANDLE volume)
{
    for (int attempt = 1;; ++attempt) {
        if (ControlWithoutBuffers(volume, FSCTL_LOCK_VOLUME))
            return true;
        if (attempt == LockAttempts)
            return false;
        systemCalls.Sleep(LockRetryMilliseconds);
    }
}

int DismountVolume(const WCHAR* volumeDevicePath)
{
    HANDLE volume = OpenVolume(volumeDevicePath);
    if (volume == INVALID_HANDLE_VALUE)
        return 0;
    // Asked while the file system is still there to pass the question on to the disk.
    bool removableMedia = HasRemovableMedia(volume);
    // The flush comes first: the dismount invalidates the handle's file system, and a flush
    // after it fails (FAT marks the volume bad). A refused flush means data could not be written.
    if (!systemCalls.FlushFileBuffers(volume)) {
        systemCalls.CloseHandle(volume);
        return 0;
    }
    bool locked = LockVolume(volume);
    // Without the lock this dismount is forced: files still open on the volume are cut off.
    if (!ControlWithoutBuffers(volume, FSCTL_DISMOUNT_VOLUME)) {
        systemCalls.CloseHandle(volume);
        return 0;
    }
    // From here the handle is never closed: without a lock held, any process may mount a
    // dismounted volume again and spin its disk up. With its files cut off nothing holds it
    // now, so it normally locks; refused, the handle that dismounted it still keeps FAT from
    // mounting it again while it stays open.
    if (!locked)
        ControlWithoutBuffers(volume, FSCTL_LOCK_VOLUME);
    // The eject reaches the disk as START STOP UNIT with LoEj: a fixed disk refuses it, or
    // stops and is started again at the next request. It is for removable media only, and
    // its refusal fails nothing.
    if (removableMedia)
        ControlWithoutBuffers(volume, IOCTL_STORAGE_EJECT_MEDIA);
    return 1;
}

struct DiskDismount {
    DiskNumber disk;
    bool checking;  // the first walk only asks where every volume lies
    int result;
};

// How the volume lies on the disk. One whose disk could not be told is asked once more: left
// alone after a passing error, a volume of this disk would stay mounted under a disk that is
// spun down. One on several disks is placed by its extents.
static DiskShare ShareOfDisk(const WCHAR* volumeDevicePath, DWORD diskNumber, DiskNumber disk)
{
    if (diskNumber == NoDiskNumber) {
        switch (AskVolumeDisk(volumeDevicePath, &diskNumber)) {
        case OnOneDisk: break;
        case OnNoDisk: return ShareNone;
        case OnSeveralDisks: return AskVolumeShareOfDisk(volumeDevicePath, disk);
        case NotAnswered: return ShareUnknown;
        }
    }
    return diskNumber == disk ? ShareWhole : ShareNone;
}

static bool DismountIfOnDisk(const WCHAR*, const WCHAR* volumeDevicePath, DWORD diskNumber, void* context)
{
    DiskDismount* dismount = static_cast<DiskDismount*>(context);
    DiskShare share = ShareOfDisk(volumeDevicePath, diskNumber, dismount->disk);
    // A volume that lies on the disk only in part would be broken by the removal; one that
    // cannot be placed might be this disk's. Windows' own removal handles such a disk.
    if (share == SharePart || share == ShareUnknown)
        dismount->result = 0;
    else if (share == ShareWhole && !dismount->checking)
        dismount->result = DismountVolume(volumeDevicePath);
    return dismount->result != 0;
}

int DismountDiskVolumes(DiskNumber disk)
{
    // Every volume is placed before any is touched; then the disk's are dismounted in the
    // walk's order. A walk that did not see every volume may have missed one of this disk's:
    // spinning the disk down under a mounted volume is what this program exists to prevent.
    DiskDismount dismount = {disk, true, 1};
    if (ForEachVolume(DismountIfOnDisk, &dismount) != WalkEnded || !dismount.result)
        return 0;
    dismount.checking = false;
    if (ForEachVolume(DismountIfOnDisk, &dismount) != WalkEnded || !dismount.result)
        return 0;
    wprintf(L"Succeeded.\n");
    fflush(stdout);
    return 1;
}
