// The volumes that the dismount holds, each by the handle that dismounted it, until the disk
// is gone: the eject of their disk lets them go when Windows asks (a held handle vetoes it),
// and takes them again when it is refused.
#pragma once
#include <windows.h>

int HeldVolumeCount();
// The handle of the index-th held volume; INVALID_HANDLE_VALUE once it was let go. Whoever
// exchanges a handle out of it closes it.
HANDLE* HeldVolumeHandle(int index);
// Takes every held volume that was let go again: opened, written out, locked (else forced),
// dismounted and held. Returns how many, or -1 when one could not be.
int TakeBackLetGoVolumes();
