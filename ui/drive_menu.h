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

// "E:\/F:\/<description>": every mount point followed by "/", then the description in
// angle brackets. From new[]; the caller deletes it.
WCHAR* BuildDriveLabel(DiskNumber disk);

// With a null path the menu is shown at the centre of the screen for the user to choose;
// with a path the disk that holds it is taken without asking.
DriveChoice ChooseDrive(HWND owner, const WCHAR* path);
