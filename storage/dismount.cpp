// Takes volumes out of use before their disk is spun down, in two phases: every volume of the
// disk is first made ready (written out and locked), and only when all of them are is any
// dismounted; each stays held so that nothing mounts it again before the disk is gone.
#include "storage/storage.h"
#include "platform/system_calls.h"
#include "storage/volume_walk.h"
#include "storage/held_volumes.h"
#include <winioctl.h>
#include <stdio.h>

// A program that opens the volume for a moment (an indexer, a virus scanner) keeps it from
// being locked: the lock is tried again for about a second.
static const int LockAttempts = 5;
static const DWORD LockRetryMilliseconds = 250;

// A volume made ready: its path, its handle, open for read and write, and what its dismount
// needs.
struct ReadyVolume {
    WCHAR path[MAX_PATH];  // to take it again after it was let go
    HANDLE handle;
    bool locked;          // else it is dismounted by force, cutting its open files off
    bool removableMedia;  // asked while its file system could still pass the question on
    bool dismounted;      // from then on its handle is held until the process ends
};

struct DiskDismount {
    DiskNumber disk;
    bool placing;  // the first walk only asks where every volume lies
    bool failed;
    ReadyVolume volumes[MaxDiskVolumes];
    int count;
    SeenVolumes seen;  // each volume made ready once, however many names it has
};

// Owned by DismountDiskVolumes: the disk it took out of use, whose dismounted volumes it holds.
static DiskDismount taken;

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

// Whether the volume holds the file of a virtual disk that Windows has attached (a VHD or VHDX):
// its driver holds the file, so the volume would be dismounted by force under it, and the
// virtual disk's own volumes, on a disk of their own, would lose their backing file with
// their cache unwritten. Asked without GET_STORAGE_DEPENDENCY_FLAG_HOST_VOLUMES, the question
// names the virtual disks that the volume hosts; one that cannot be answered (no virtdisk.dll)
// names none.
static bool HostsVirtualDisk(HANDLE volume)
{
    STORAGE_DEPENDENCY_INFO hosted = {};
    hosted.Version = STORAGE_DEPENDENCY_INFO_VERSION_1;
    ULONG used = 0;
    DWORD error = systemCalls.GetStorageDependencyInformation(volume, GET_STORAGE_DEPENDENCY_FLAG_NONE, sizeof hosted,
                                                              &hosted, &used);
    return error == ERROR_INSUFFICIENT_BUFFER || (error == ERROR_SUCCESS && hosted.NumberEntries > 0);
}

// Opens, writes out and locks the volume of the path; false, with nothing of it kept, when it
// cannot go.
static bool MakeReady(ReadyVolume* volume)
{
    HANDLE handle = OpenVolume(volume->path);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    if (HostsVirtualDisk(handle)) {
        systemCalls.CloseHandle(handle);
        return false;
    }
    bool removableMedia = HasRemovableMedia(handle), locked = false;
    // The flush comes before any dismount: after it, FAT refuses the flush.
    if (systemCalls.FlushFileBuffers(handle)) {
        locked = LockVolume(handle);
    } else {
        // Refused for want of a file system (RAW, which mounts what Windows does not know),
        // there is nothing to write, but RAW dismounts a volume only while it is locked. Any
        // other refusal means that data could not be written.
        DWORD error = GetLastError();
        if ((error != ERROR_INVALID_FUNCTION && error != ERROR_NOT_SUPPORTED) || !LockVolume(handle)) {
            systemCalls.CloseHandle(handle);
            return false;
        }
        locked = true;
    }
    volume->handle = handle, volume->locked = locked, volume->removableMedia = removableMedia;
    volume->dismounted = false;
    return true;
}

// Lets a volume go that was made ready but not dismounted: as it was, mounted and unlocked.
static void LetGo(const ReadyVolume& volume)
{
    if (volume.locked)
        ControlWithoutBuffers(volume.handle, FSCTL_UNLOCK_VOLUME);
    systemCalls.CloseHandle(volume.handle);
}

static bool Dismount(ReadyVolume* volume)
{
    if (!ControlWithoutBuffers(volume->handle, FSCTL_DISMOUNT_VOLUME))
        return false;
    volume->dismounted = true;
    // Without a lock held, any process may mount a dismounted volume again and spin its disk
    // up. Its files cut off, a forced one may lock now; refused (FAT, while the programs hold
    // their cut-off files), the handle that dismounted it keeps it from being mounted again.
    if (!volume->locked)
        ControlWithoutBuffers(volume->handle, FSCTL_LOCK_VOLUME);
    return true;
}

// The eject reaches the disk as START STOP UNIT with LoEj: a fixed disk refuses it, or stops
// and is started again at the next request. It is for removable media only, sent once, when
// every volume is dismounted: a forced dismount first writes back what programs wrote since
// the flush, which the medium, once ejected, would not take. Its refusal fails nothing.
static void EjectMedia(const DiskDismount& dismount)
{
    for (int i = 0; i < dismount.count; ++i)
        if (dismount.volumes[i].removableMedia) {
            ControlWithoutBuffers(dismount.volumes[i].handle, IOCTL_STORAGE_EJECT_MEDIA);
            return;
        }
}

// The locked volumes first, and only then, by force, those that could not be locked: their
// open files are cut off only once everything else of the disk has gone. A refusal gives back
// every volume but those already dismounted by force: one dismounted while locked had nothing
// open on it, and unlocked and closed it is mounted again at its next use, nothing lost.
static bool DismountReady(DiskDismount* dismount)
{
    for (int pass = 0; pass < 2; ++pass)
        for (int i = 0; i < dismount->count; ++i) {
            ReadyVolume& volume = dismount->volumes[i];
            if (volume.locked == (pass == 0) && !Dismount(&volume)) {
                for (int j = 0; j < dismount->count; ++j)
                    if (dismount->volumes[j].locked || !dismount->volumes[j].dismounted)
                        LetGo(dismount->volumes[j]);
                return false;
            }
        }
    EjectMedia(*dismount);
    return true;
}

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

static bool MakeReadyIfOnDisk(const WCHAR*, const WCHAR* volumeDevicePath, DWORD diskNumber, void* context)
{
    DiskDismount* dismount = static_cast<DiskDismount*>(context);
    DiskShare share = ShareOfDisk(volumeDevicePath, diskNumber, dismount->disk);
    // A volume that lies on the disk only in part would be broken by the removal; one that
    // cannot be placed might be this disk's. Windows' own removal handles such a disk.
    if (share == SharePart || share == ShareUnknown)
        dismount->failed = true;
    else if (share == ShareWhole && !dismount->placing && !SeenBefore(&dismount->seen, volumeDevicePath)) {
        ReadyVolume* volume = &dismount->volumes[dismount->count];
        bool room = dismount->count < MaxDiskVolumes;
        if (room)
            lstrcpyW(volume->path, volumeDevicePath);  // from a buffer of MAX_PATH too
        if (room && MakeReady(volume))
            ++dismount->count;
        else
            dismount->failed = true;
    }
    return !dismount->failed;
}

int DismountDiskVolumes(DiskNumber disk)
{
    // Every volume is placed before any is touched, and every volume of the disk made ready
    // before any is dismounted. A walk that did not see every volume may have missed one of
    // this disk's: spinning the disk down under a mounted volume is what this program exists
    // to prevent.
    taken.disk = disk, taken.placing = true, taken.failed = false, taken.count = 0, taken.seen.count = 0;
    if (ForEachVolume(MakeReadyIfOnDisk, &taken) != WalkEnded || taken.failed)
        return 0;
    taken.placing = false;
    if (ForEachVolume(MakeReadyIfOnDisk, &taken) != WalkEnded || taken.failed) {
        for (int i = 0; i < taken.count; ++i)
            LetGo(taken.volumes[i]);
        taken.count = 0;
        return 0;
    }
    if (!DismountReady(&taken)) {
        taken.count = 0;  // those forced stay held, but are no longer the eject's to let go
        return 0;
    }
    wprintf(L"Succeeded.\n");
    fflush(stdout);
    return 1;
}

int HeldVolumeCount()
{
    return taken.count;
}

HANDLE* HeldVolumeHandle(int index)
{
    return &taken.volumes[index].handle;
}

int TakeBackLetGoVolumes()
{
    int takenBack = 0;
    for (int i = 0; i < taken.count; ++i) {
        ReadyVolume& volume = taken.volumes[i];
        if (volume.handle != INVALID_HANDLE_VALUE)
            continue;
        if (!MakeReady(&volume))
            return -1;
        if (!Dismount(&volume)) {
            LetGo(volume);
            volume.handle = INVALID_HANDLE_VALUE;
            return -1;
        }
        ++takenBack;
    }
    return takenBack;
}
