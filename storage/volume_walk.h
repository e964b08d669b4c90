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
