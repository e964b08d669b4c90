// The one walk over every volume of the system, shared by enumeration and dismount.
#pragma once
#include "storage/storage.h"

enum VolumeWalk {
    WalkCannotStart,  // the enumeration failed at once: no volume was seen
    WalkEnded,        // every volume was seen, or the visitor stopped the walk
    WalkBroken,       // the enumeration failed part-way: some volumes may not have been seen
};

// Answers whether the walk goes on. volumeName is whole (trailing backslash included);
// volumeDevicePath opens the volume; diskNumber is NoDiskNumber when the volume has none.
typedef bool (*VolumeVisitor)(const WCHAR* volumeName, const WCHAR* volumeDevicePath,
                              DWORD diskNumber, void* context);

VolumeWalk ForEachVolume(VolumeVisitor visit, void* context);

// More volumes than a GPT disk can hold partitions: such a disk is left to Windows.
enum { MaxDiskVolumes = 128 };

// The devices of the volumes seen so far in a walk: a volume may have several volume GUID
// names, and the enumeration gives it once under each. Told apart by the device that the
// name's "Volume{...}" stands for (QueryDosDeviceW: "\Device\HarddiskVolume3").
enum { VolumeDeviceCapacity = 64 };
struct SeenVolumes {
    WCHAR devices[MaxDiskVolumes][VolumeDeviceCapacity];
    int count;
};
// Whether the walk has seen that volume under another name already; else it notes it. A
// device that cannot be asked, or one past the last that the record holds, counts as new.
bool SeenBefore(SeenVolumes* seen, const WCHAR* volumeDevicePath);
