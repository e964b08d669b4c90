// The storage layer: disks and volumes reached through device I/O control.
// Operations return 1 for success and 0 for failure, or a count of UTF-16 units in which
// 0 means nothing. Text operations given a null buffer return the capacity they need.
#pragma once
#include <windows.h>
#include <stdint.h>

typedef uint32_t DiskNumber;

// The disk number of a volume that lies on no single disk, or whose disk cannot be told.
const DWORD NoDiskNumber = 0xFFFFFFFF;

// Device paths: "\\.\PHYSICALDRIVE%u" for a disk, "\\.\Volume{GUID}" for a volume.
// Both open for read and write, shared for read and write; the caller closes the handle.
// Only the dismount opens a volume so: such an open of a dismounted volume mounts it again.
HANDLE OpenDisk(DiskNumber disk);
HANDLE OpenVolume(const WCHAR* volumeDevicePath);

// Where a volume lies, asked on a handle without read or write access, which mounts nothing
// and is let through by a locked volume. Only disk volumes lie on a disk: CD and DVD drives
// (and mounted images) count in a series of numbers of their own.
enum VolumePlace {
    OnOneDisk,       // *diskNumber is the disk
    OnNoDisk,        // a CD or DVD drive, an image
    OnSeveralDisks,  // the volume does not know the question: a spanned or dynamic volume
    NotAnswered,     // it could not be opened, or the question failed otherwise
};
VolumePlace AskVolumeDisk(const WCHAR* volumeDevicePath, DWORD* diskNumber);
// The disk of a volume that lies on one, else NoDiskNumber.
DWORD VolumeDiskNumber(const WCHAR* volumeDevicePath);

// How a volume that does not lie on one disk lies on a given disk, by its disk extents.
enum DiskShare { ShareNone, ShareWhole, SharePart, ShareUnknown };
DiskShare AskVolumeShareOfDisk(const WCHAR* volumeDevicePath, DiskNumber disk);

// Whether Windows may run from the disk: the volume of its directory lies on it (or lies on
// several disks, this one among them), or cannot be placed at all, and then any disk may hold it.
bool MayHoldWindows(DiskNumber disk);
// The disk of the volume of that volume GUID name ("\\?\Volume{...}\"); NoDiskNumber when
// no volume of that name lies on one disk.
DWORD GetVolumeNameDiskNumber(const WCHAR* volumeName);

// One more than the highest disk number that any volume reports; 0 when none does.
DiskNumber GetDiskNumberLimit();

// Every mount point of every volume of the disk as one multi-string (each path NUL-terminated,
// one more NUL at the end). Returns the units written (or needed), closing NUL included;
// 0 when the volume enumeration cannot start.
int GetDiskVolumePaths(WCHAR* buffer, DiskNumber disk, int capacity);

int IsUsbDisk(DiskNumber disk);
// Whether the device descriptor of an open disk or volume says RemovableMedia.
int HasRemovableMedia(HANDLE device);

// The disk's vendor, product, revision and serial strings as one line, in the order in which
// they lie in its descriptor, NULs and every other control character turned into spaces.
// Returns units written (or needed) with the terminating NUL; 0 when there is no
// description, and the buffer is then untouched.
int GetDiskDescription(DiskNumber disk, WCHAR* buffer, int capacity);

// One descriptor query on an open disk: 1 while the disk answers. The wait for the unplug
// asks once per tick on the handle it holds.
int DiskAnswers(HANDLE disk);

// Takes every volume of the disk out of use, or none: first each is written out and locked
// (a volume of a file system Windows does not know, mounted RAW, has nothing to write but
// must lock), then the locked ones are dismounted, and after them, by force, those that could
// not be locked; then removable media are ejected. From its dismount on, a volume's handle
// stays open until the process ends (or Windows asks for it as the disk's eject takes the disk
// out), so that nothing mounts it again before the disk is unplugged. A volume that cannot be made ready, lies on the disk only in part (spanned,
// mirrored) or holds an attached virtual disk's file fails it before anything is dismounted,
// and every lock taken is let go; a dismount that Windows refuses gives back every volume but
// those already dismounted by force. Writes "Succeeded.\n" to standard output when every
// volume (or none at all) was dismounted.
int DismountDiskVolumes(DiskNumber disk);

// Sends ATA STANDBY in up to five forms, ATA and SCSI pass-through, each followed by the
// question whether the drive has stopped, until the drive says so (confirmed) or, when it
// never answers, until a form is taken. Writes "Standby confirmed by the drive.\n" or
// "Standby not confirmed by the drive.\n" to standard output when it did not fail.
enum SpinDown { SpinDownFailed, SpinDownUnconfirmed, SpinDownConfirmed };
SpinDown SpinDownDisk(DiskNumber disk);
// After the drive may have been woken (its volumes mounted again for a moment): asked again,
// and, unless it says that it is in standby, sent once more the form that stopped it.
void RestoreStandby(DiskNumber disk);

// A device instance ID's room, its NUL included (MAX_DEVICE_ID_LEN).
enum { DeviceIdCapacity = 200 };

// Takes the spun-down disk out of Windows as Safely Remove Hardware does: ejects its USB device,
// so that the disk and its volumes leave the device tree (the device itself stays, held for
// eject, until it is unplugged). The held volumes are let go when Windows asks for them. waitFor
// handles the caller's messages until the thread that asks Windows ends. Writes "Ejected from
// Windows.\n", or "Not ejected from Windows: " and why, to standard output. Not ejected, every
// volume let go is taken again and the drive stopped again if that woke it; a volume that
// cannot be taken again makes NotEjectedVolumeLost. Ejected, usbDevice (DeviceIdCapacity
// units) gets the device's instance ID; else it is left as it was.
enum EjectOutcome { Ejected, NotEjected, NotEjectedVolumeLost };
EjectOutcome EjectDisk(DiskNumber disk, void (*waitFor)(HANDLE thread), WCHAR* usbDevice);
// Whether the USB device of that instance ID is still plugged in, held for eject or not.
bool UsbDevicePresent(const WCHAR* usbDevice);

// What a drive says of its platters when asked with ATA CHECK POWER MODE, which leaves its
// power mode as it is: through SAT ATA PASS-THROUGH(16), then (12), then ATA pass-through,
// the first that brings an answer back whole.
enum PowerMode { PowerUnknown, PowerStandby, PowerSpinning };
PowerMode AskPowerMode(HANDLE disk);
