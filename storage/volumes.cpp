// Device paths, the walk over every volume with the disk each one lies on, and the two
// questions built on that walk: how many disk numbers to examine, and one disk's mount points.
#include "storage/storage.h"
#include "platform/system_calls.h"
#include "storage/volume_walk.h"
#include <winioctl.h>
#include <stddef.h>

static const WCHAR DevicePrefix[] = L"\\\\.\\";
static const WCHAR VolumeMarker[] = L"Volume{";

static HANDLE OpenDevice(const WCHAR* path, DWORD access)
{
    return systemCalls.CreateFileW(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
}

HANDLE OpenDisk(DiskNumber disk)
{
    // "\\.\PHYSICALDRIVE" and at most ten digits: 27 units before the terminator.
    WCHAR path[32] = L"\\\\.\\PHYSICALDRIVE";
    WCHAR digits[10];
    int count = 0;
    do {
        digits[count++] = WCHAR(L'0' + disk % 10);
        disk /= 10;
    } while (disk != 0);
    WCHAR* end = path + lstrlenW(path);
    while (count > 0)
        *end++ = digits[--count];
    *end = 0;
    return OpenDevice(path, GENERIC_READ | GENERIC_WRITE);
}

HANDLE OpenVolume(const WCHAR* volumeDevicePath)
{
    return OpenDevice(volumeDevicePath, GENERIC_READ | GENERIC_WRITE);
}

// An open without read or write access reaches the volume device itself, not its file
// system: it mounts nothing, and a locked volume lets it through.
static HANDLE OpenVolumeToAsk(const WCHAR* volumeDevicePath)
{
    return OpenDevice(volumeDevicePath, FILE_READ_ATTRIBUTES);
}

static bool DoesNotKnowTheQuestion(DWORD error)
{
    return error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED;
}

VolumePlace AskVolumeDisk(const WCHAR* volumeDevicePath, DWORD* diskNumber)
{
    *diskNumber = NoDiskNumber;
    HANDLE volume = OpenVolumeToAsk(volumeDevicePath);
    if (volume == INVALID_HANDLE_VALUE)
        return NotAnswered;
    STORAGE_DEVICE_NUMBER number = {};
    DWORD returned = 0;
    BOOL ok = systemCalls.DeviceIoControl(volume, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &number,
                                          sizeof number, &returned, nullptr);
    DWORD error = GetLastError();  // before the close, which may set an error of its own
    systemCalls.CloseHandle(volume);
    if (!ok)
        return DoesNotKnowTheQuestion(error) ? OnSeveralDisks : NotAnswered;
    if (number.DeviceType != FILE_DEVICE_DISK)
        return OnNoDisk;
    *diskNumber = number.DeviceNumber;
    return OnOneDisk;
}

DWORD VolumeDiskNumber(const WCHAR* volumeDevicePath)
{
    DWORD diskNumber;
    AskVolumeDisk(volumeDevicePath, &diskNumber);
    return diskNumber;
}

enum { MaxVolumeExtents = 32 };

DiskShare AskVolumeShareOfDisk(const WCHAR* volumeDevicePath, DiskNumber disk)
{
    HANDLE volume = OpenVolumeToAsk(volumeDevicePath);
    if (volume == INVALID_HANDLE_VALUE)
        return ShareUnknown;
    union {
        VOLUME_DISK_EXTENTS list;
        BYTE room[offsetof(VOLUME_DISK_EXTENTS, Extents) + MaxVolumeExtents * sizeof(DISK_EXTENT)];
    } extents = {};
    DWORD returned = 0;
    BOOL ok = systemCalls.DeviceIoControl(volume, IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, nullptr, 0, &extents,
                                          sizeof extents, &returned, nullptr);
    DWORD error = GetLastError();
    systemCalls.CloseHandle(volume);
    if (!ok)  // a volume of no disk at all (a RAM disk, say) does not know the question either
        return DoesNotKnowTheQuestion(error) ? ShareNone : ShareUnknown;
    DWORD count = extents.list.NumberOfDiskExtents, onDisk = 0;
    if (count > MaxVolumeExtents || returned < offsetof(VOLUME_DISK_EXTENTS, Extents) + count * sizeof(DISK_EXTENT))
        return ShareUnknown;  // more extents than the reply holds
    for (DWORD i = 0; i < count; ++i)
        onDisk += extents.list.Extents[i].DiskNumber == disk;
    return onDisk == 0 ? ShareNone : onDisk == count ? ShareWhole : SharePart;
}

// "\\.\" and the name from its "Volume{" up to the next backslash; false when the name has
// no "Volume{" at all. The name itself is left whole.
static bool BuildVolumeDevicePath(const WCHAR* volumeName, WCHAR* path, int capacity)
{
    const WCHAR* start = wcsstr(volumeName, VolumeMarker);
    if (!start)
        return false;
    int length = lstrlenW(DevicePrefix);
    lstrcpyW(path, DevicePrefix);
    for (const WCHAR* c = start; *c && *c != L'\\' && length < capacity - 1; ++c)
        path[length++] = *c;
    path[length] = 0;
    return true;
}

VolumeWalk ForEachVolume(VolumeVisitor visit, void* context)
{
    WCHAR name[MAX_PATH];
    HANDLE find = systemCalls.FindFirstVolumeW(name, MAX_PATH);
    if (find == INVALID_HANDLE_VALUE)  // a machine without any volume is a walk over none
        return GetLastError() == ERROR_NO_MORE_FILES ? WalkEnded : WalkCannotStart;
    VolumeWalk result = WalkEnded;
    for (;;) {
        WCHAR path[MAX_PATH];
        if (BuildVolumeDevicePath(name, path, MAX_PATH) &&
            !visit(name, path, VolumeDiskNumber(path), context))
            break;
        if (!systemCalls.FindNextVolumeW(find, name, MAX_PATH)) {
            if (GetLastError() != ERROR_NO_MORE_FILES)
                result = WalkBroken;
            break;
        }
    }
    systemCalls.FindVolumeClose(find);
    return result;
}

static bool RaiseLimit(const WCHAR*, const WCHAR*, DWORD diskNumber, void* context)
{
    DiskNumber* limit = static_cast<DiskNumber*>(context);
    DiskNumber next = diskNumber + 1;  // a volume without a disk wraps round to 0
    if (next > *limit)
        *limit = next;
    return true;
}

DiskNumber GetDiskNumberLimit()
{
    DiskNumber limit = 0;
    ForEachVolume(RaiseLimit, &limit);
    return limit;
}

struct PathListing {
    DiskNumber disk;
    WCHAR* position;  // null for a size query
    DWORD remaining;
    DWORD total;
    SeenVolumes seen;  // each volume listed once, under whichever name comes first
};

bool SeenBefore(SeenVolumes* seen, const WCHAR* volumeDevicePath)
{
    WCHAR device[VolumeDeviceCapacity];
    const WCHAR* dosName = volumeDevicePath + lstrlenW(DevicePrefix);  // "Volume{...}"
    if (seen->count == MaxDiskVolumes || !systemCalls.QueryDosDeviceW(dosName, device, VolumeDeviceCapacity))
        return false;
    for (int i = 0; i < seen->count; ++i)
        if (lstrcmpW(seen->devices[i], device) == 0)
            return true;
    lstrcpyW(seen->devices[seen->count++], device);
    return false;
}

static bool ListVolumePaths(const WCHAR* volumeName, const WCHAR* volumeDevicePath, DWORD diskNumber, void* context)
{
    PathListing* listing = static_cast<PathListing*>(context);
    if (diskNumber != listing->disk || SeenBefore(&listing->seen, volumeDevicePath))
        return true;
    DWORD length = 0;
    if (!listing->position) {
        // Without a buffer the call fails, but reports the length the volume's list needs.
        systemCalls.GetVolumePathNamesForVolumeNameW(volumeName, nullptr, 0, &length);
        if (length > 0)
            listing->total += length - 1;
        return true;
    }
    if (systemCalls.GetVolumePathNamesForVolumeNameW(volumeName, listing->position,
                                                     listing->remaining, &length) &&
        length > 0 && length <= listing->remaining) {
        // The next volume's list begins on this one's closing NUL, joining them into one.
        listing->total += length - 1;
        listing->position += length - 1;
        listing->remaining -= length - 1;
    }
    return true;
}

int GetDiskVolumePaths(WCHAR* buffer, DiskNumber disk, int capacity)
{
    PathListing listing = {disk, buffer, buffer ? DWORD(capacity) : 0, 0, {}};
    if (buffer && capacity <= 0)
        return 0;
    if (ForEachVolume(ListVolumePaths, &listing) == WalkCannotStart)
        return 0;
    if (buffer)
        *listing.position = 0;
    return int(listing.total + 1);
}

bool MayHoldWindows(DiskNumber disk)
{
    WCHAR windows[MAX_PATH], mountPoint[MAX_PATH], name[MAX_PATH], path[MAX_PATH];
    UINT length = systemCalls.GetWindowsDirectoryW(windows, MAX_PATH);
    if (length == 0 || length >= MAX_PATH || !systemCalls.GetVolumePathNameW(windows, mountPoint, MAX_PATH) ||
        !systemCalls.GetVolumeNameForVolumeMountPointW(mountPoint, name, MAX_PATH) ||
        !BuildVolumeDevicePath(name, path, MAX_PATH))
        return true;
    DWORD diskNumber;
    switch (AskVolumeDisk(path, &diskNumber)) {
    case OnOneDisk: return diskNumber == disk;
    case OnNoDisk: return false;  // started from a CD or an image
    case OnSeveralDisks: return AskVolumeShareOfDisk(path, disk) != ShareNone;
    case NotAnswered: break;
    }
    return true;
}

struct VolumeSearch {
    const WCHAR* name;
    DWORD diskNumber;
};

static bool FindVolumeNamed(const WCHAR* volumeName, const WCHAR*, DWORD diskNumber, void* context)
{
    VolumeSearch* search = static_cast<VolumeSearch*>(context);
    if (CompareStringOrdinal(volumeName, -1, search->name, -1, TRUE) != CSTR_EQUAL)
        return true;
    search->diskNumber = diskNumber;
    return false;
}

DWORD GetVolumeNameDiskNumber(const WCHAR* volumeName)
{
    VolumeSearch search = {volumeName, NoDiskNumber};
    ForEachVolume(FindVolumeNamed, &search);
    return search.diskNumber;
}
