// Builds the drive menu from the storage layer's answers and shows it, or picks the disk that
// holds a given path without showing it.
#include "ui/drive_menu.h"
#include "ui/texts.h"
#include "ui/text_compare.h"
#include "platform/system_calls.h"

static const UINT DriveMenuFlags = TPM_RETURNCMD | TPM_VCENTERALIGN | TPM_CENTERALIGN | TPM_RIGHTBUTTON;

// Turns the list's NULs into "/" up to its closing NUL, which becomes "<"; then the
// description's NUL becomes ">" and the label ends behind it.
static bool JoinLabel(WCHAR* text, const WCHAR* volumePath)
{
    bool matches = false;
    WCHAR* c = text;
    while (*c) {
        if (volumePath && EqualFoldingAtoZ(c, volumePath))
            matches = true;
        c += lstrlenW(c);
        *c++ = L'/';
    }
    *c++ = L'<';
    c += lstrlenW(c);
    *c++ = L'>';
    *c = 0;
    return matches;
}

DriveLabel BuildDriveLabel(DiskNumber disk, const WCHAR* volumePath)
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
    DriveLabel label = {text, JoinLabel(text, volumePath)};
    return label;
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

// Appends one item per USB disk below the limit; returns the identifier selected without
// asking: the last disk listed (menu), or the disk that holds the volume path. The disk that
// Windows runs from (booted from USB) is never offered.
static UINT AppendDisks(HMENU menu, const WCHAR* volumePath)
{
    UINT selected = 0;
    DiskNumber limit = GetDiskNumberLimit();
    DWORD windowsDisk = GetWindowsDiskNumber();
    for (DiskNumber disk = 0; disk < limit; ++disk) {
        if (disk == windowsDisk || !IsUsbDisk(disk))
            continue;
        DriveLabel label = BuildDriveLabel(disk, volumePath);
        if (!volumePath || label.matches)
            selected = disk + 1;
        WCHAR* item = MenuItemText(label.text);
        AppendMenuW(menu, MF_STRING, disk + 1, item);
        delete[] item;
        delete[] label.text;
    }
    return selected;
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

DriveChoice ChooseDrive(HWND owner, const WCHAR* path)
{
    WCHAR volumePath[MAX_PATH] = L"";
    // A path on no volume that can be found (an empty one included) lies on no disk, and so
    // does one whose volume path does not begin it: for device paths and names such as CON,
    // Windows answers with the boot volume. No disk or volume is asked anything for them.
    if (path && (!path[0] || !systemCalls.GetVolumePathNameW(path, volumePath, MAX_PATH) ||
                 !IsMountPointOf(volumePath, path)))
        return {ChoiceNone, 0};
    HMENU menu = CreatePopupMenu();
    if (!menu)
        return {ChoiceCancelled, 0};
    AppendHeader(menu);
    UINT selected = AppendDisks(menu, path ? volumePath : nullptr);
    if (selected == 0) {
        DestroyMenu(menu);
        return {ChoiceNone, 0};
    }
    SetForegroundWindow(owner);
    if (!path)
        selected = TrackPopupMenu(menu, DriveMenuFlags, GetSystemMetrics(SM_CXSCREEN) / 2,
                                  GetSystemMetrics(SM_CYSCREEN) / 2, 0, owner, nullptr);
    PostMessageW(owner, WM_NULL, 0, 0);
    DestroyMenu(menu);
    if (selected == 0)
        return {ChoiceCancelled, 0};
    return {ChoiceDisk, DiskNumber(selected - 1)};
}
