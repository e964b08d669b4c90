// Builds the drive menu from the storage layer's answers and shows it, or picks the disk that
// holds a given path without showing it.
#include "ui/drive_menu.h"
#include "ui/texts.h"
#include "ui/text_compare.h"
#include "platform/system_calls.h"

static const UINT DriveMenuFlags = TPM_RETURNCMD | TPM_VCENTERALIGN | TPM_CENTERALIGN | TPM_RIGHTBUTTON;

// Turns the list's NULs into "/" up to its closing NUL, which becomes "<"; then the
// description's NUL becomes ">" and the label ends behind it.
static void JoinLabel(WCHAR* text)
{
    WCHAR* c = text;
    while (*c) {
        c += lstrlenW(c);
        *c++ = L'/';
    }
    *c++ = L'<';
    c += lstrlenW(c);
    *c++ = L'>';
    *c = 0;
}

WCHAR* BuildDriveLabel(DiskNumber disk)
{
    DWORD described = DWORD(GetDiskDescription(disk, nullptr, 0));
    DWORD listed = DWORD(GetDiskVolumePaths(nullptr, disk, 0));
    // The list with its closing NUL, the description with its NUL, and ">" and the label's
    // NUL: two units beyond that keep "<>" in bounds when either answer is missing or has
    // grown since it was measured.
    DWORD units = described + listed + 3;
    if (units < described || units > 0x7FFFFFFF / sizeof(WCHAR))
        units = 0x7FFFFFFF;  // fails the allocation rather than giving a short buffer
    WCHAR* text = new WCHAR[units]();
    int written = GetDiskVolumePaths(text, disk, int(units - 3));
    if (written == 0) {
        text[0] = 0;  // no list: no mount points
        written = 1;
    }
    if (GetDiskDescription(disk, text + written, int(units - 2 - written)) == 0)
        text[written] = 0;  // no description: "<>"
    JoinLabel(text);
    return text;
}

// A menu shows "&" as the underline of the next letter: doubled, it shows as itself, so that
// a device's strings are shown as they are.
static WCHAR* MenuItemText(const WCHAR* label)
{
    int length = 0;
    for (const WCHAR* c = label; *c; ++c)
        length += *c == L'&' ? 2 : 1;
    WCHAR* text = new WCHAR[length + 1];
    WCHAR* end = text;
    for (const WCHAR* c = label; *c; ++c)
        if ((*end++ = *c) == L'&')
            *end++ = L'&';
    *end = 0;
    return text;
}

static void AppendHeader(HMENU menu)
{
    AppendMenuW(menu, MF_DISABLED, 0, GetText(TextMenuHeader));
    AppendMenuW(menu, MF_DISABLED, 0, GetText(TextChooseDrive));
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
}

// Whether a disk may be taken: on USB, and not one Windows may run from (booted from USB).
static bool MayBeTaken(DiskNumber disk)
{
    return IsUsbDisk(disk) && !MayHoldWindows(disk);
}

// Appends one item per USB disk below the limit that may be taken; returns the identifier of
// the last one, 0 when there is none.
static UINT AppendDisks(HMENU menu)
{
    UINT last = 0;
    DiskNumber limit = GetDiskNumberLimit();
    for (DiskNumber disk = 0; disk < limit; ++disk) {
        if (!MayBeTaken(disk))
            continue;
        WCHAR* label = BuildDriveLabel(disk);
        WCHAR* item = MenuItemText(label);
        AppendMenuW(menu, MF_STRING, disk + 1, item);
        delete[] item;
        delete[] label;
        last = disk + 1;
    }
    return last;
}

// The menu may stay up for minutes, and the disk behind the number chosen be unplugged and
// another plugged in meanwhile: it is taken only when it may still be taken and describes
// itself as its item does (the description is the label from its "<" on: no path holds one).
static bool IsStillAsShown(HMENU menu, DiskNumber disk)
{
    if (!MayBeTaken(disk))
        return false;
    int length = GetMenuStringW(menu, disk + 1, nullptr, 0, MF_BYCOMMAND);
    WCHAR* shown = new WCHAR[length + 1]();
    GetMenuStringW(menu, disk + 1, shown, length + 1, MF_BYCOMMAND);
    WCHAR* label = BuildDriveLabel(disk);
    WCHAR* now = MenuItemText(label);
    const WCHAR* shownDescription = wcschr(shown, L'<');
    const WCHAR* description = wcschr(now, L'<');
    bool same = shownDescription && description && wcscmp(shownDescription, description) == 0;
    delete[] now;
    delete[] label;
    delete[] shown;
    return same;
}

// Whether the mount point begins the path. Its closing backslash also stands for the path's
// end: "C:\Mount\Usb" lies on the mount point "C:\Mount\Usb\".
static bool IsMountPointOf(const WCHAR* mountPoint, const WCHAR* path)
{
    int length = lstrlenW(mountPoint);
    if (length > 0 && mountPoint[length - 1] == L'\\' && lstrlenW(path) == length - 1)
        --length;
    return length > 0 && BeginsFoldingAtoZ(path, mountPoint, length);
}

// The disk of the volume whose mount point begins the path, found by that volume's own name,
// so that every spelling of the mount point (an 8.3 short name, "\\?\E:\", a folder's name in
// another case) leads to it. A path on no volume that can be found (an empty one included)
// lies on no disk, and so does one whose mount point does not begin it: for device paths and
// names such as CON, Windows answers with the boot volume. No volume is opened for them.
static DriveChoice ChooseDiskOfPath(const WCHAR* path)
{
    WCHAR mountPoint[MAX_PATH] = L"", volumeName[MAX_PATH] = L"";
    if (!path[0] || !systemCalls.GetVolumePathNameW(path, mountPoint, MAX_PATH) || !IsMountPointOf(mountPoint, path) ||
        !systemCalls.GetVolumeNameForVolumeMountPointW(mountPoint, volumeName, MAX_PATH))
        return {ChoiceNone, 0};
    DWORD disk = GetVolumeNameDiskNumber(volumeName);
    if (disk == NoDiskNumber || !MayBeTaken(disk))
        return {ChoiceNone, 0};
    return {ChoiceDisk, disk};
}

DriveChoice ChooseDrive(HWND owner, const WCHAR* path)
{
    if (path)
        return ChooseDiskOfPath(path);
    HMENU menu = CreatePopupMenu();
    if (!menu)
        return {ChoiceCancelled, 0};
    AppendHeader(menu);
    if (AppendDisks(menu) == 0) {
        DestroyMenu(menu);
        return {ChoiceNone, 0};
    }
    SetForegroundWindow(owner);
    UINT chosen = TrackPopupMenu(menu, DriveMenuFlags, GetSystemMetrics(SM_CXSCREEN) / 2,
                                 GetSystemMetrics(SM_CYSCREEN) / 2, 0, owner, nullptr);
    PostMessageW(owner, WM_NULL, 0, 0);
    DriveChoice choice = {ChoiceCancelled, 0};
    if (chosen)
        choice = IsStillAsShown(menu, chosen - 1) ? DriveChoice{ChoiceDisk, chosen - 1} : DriveChoice{ChoiceNone, 0};
    DestroyMenu(menu);
    return choice;
}
