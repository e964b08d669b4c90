// The drive menu: lists every USB disk with its mount points and description, and turns the
// user's pick (or, given a path, the disk that holds it) into a DriveChoice.
#pragma once
#include <windows.h>
#include "storage/storage.h"

enum DriveChoiceKind { ChoiceDisk, ChoiceNone, ChoiceCancelled };

struct DriveChoice {
    DriveChoiceKind kind;
    DiskNumber disk;  // for ChoiceDisk
};

struct DriveLabel {
    WCHAR* text;   // from new[]; the caller deletes it
    bool matches;  // one of the disk's mount points equals the volume path
};

// "E:\/F:\/<description>": every mount point followed by "/", then the description in
// angle brackets. volumePath may be null.
DriveLabel BuildDriveLabel(DiskNumber disk, const WCHAR* volumePath);

// With a null path the menu is shown at the centre of the screen for the user to choose;
// with a path the disk that holds it is taken without asking.
DriveChoice ChooseDrive(HWND owner, const WCHAR* path);
