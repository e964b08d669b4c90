// Questions put to a disk (or a volume, which passes them on) through the storage property
// query: is it on USB, are its media removable, what does it call itself, is it still there.
#include "storage/storage.h"
#include "platform/system_calls.h"
#include <winioctl.h>
#include <stddef.h>

// The descriptor query: a zeroed STORAGE_PROPERTY_QUERY asks for the standard device property.
static BOOL QueryDescriptor(HANDLE disk, void* reply, DWORD length)
{
    STORAGE_PROPERTY_QUERY query = {};
    DWORD returned = 0;
    return systemCalls.DeviceIoControl(disk, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query,
                                       reply, length, &returned, nullptr);
}

int IsUsbDisk(DiskNumber disk)
{
    HANDLE handle = OpenDisk(disk);
    if (handle == INVALID_HANDLE_VALUE)
        return 0;
    STORAGE_DEVICE_DESCRIPTOR descriptor = {};
    BOOL ok = QueryDescriptor(handle, &descriptor, sizeof descriptor);
    systemCalls.CloseHandle(handle);
    return ok && descriptor.BusType == BusTypeUsb;
}

int HasRemovableMedia(HANDLE device)
{
    STORAGE_DEVICE_DESCRIPTOR descriptor = {};
    return QueryDescriptor(device, &descriptor, sizeof descriptor) && descriptor.RemovableMedia;
}

// The offset of the first identification string in memory, or size when there is none.
// Offsets at or past the end of the descriptor are ignored.
static DWORD FirstStringOffset(const STORAGE_DEVICE_DESCRIPTOR* descriptor, DWORD size)
{
    const DWORD offsets[] = {descriptor->VendorIdOffset, descriptor->ProductIdOffset,
                             descriptor->ProductRevisionOffset, descriptor->SerialNumberOffset};
    DWORD start = size;
    for (DWORD offset : offsets)
        if (offset != 0 && offset < start)
            start = offset;
    return start;
}

// Converts the bytes from the first string to the end of the descriptor. A buffer too small
// for the text and its NUL gets an empty text.
static int ConvertDescription(const BYTE* bytes, int length, WCHAR* buffer, int capacity)
{
    const char* text = reinterpret_cast<const char*>(bytes);
    if (!buffer)
        return MultiByteToWideChar(CP_ACP, 0, text, length, nullptr, 0) + 1;
    if (capacity <= 0)
        return 0;
    int count = MultiByteToWideChar(CP_ACP, 0, text, length, buffer, capacity);
    if (count >= capacity)
        count = 0;  // the text fitted but its terminator would not
    // A device's strings are shown as they are: a tab or line break of its own must not make
    // its label look like another disk's.
    for (int i = 0; i < count; ++i)
        if (buffer[i] < L' ')
            buffer[i] = L' ';
    buffer[count] = 0;
    return count + 1;
}

int GetDiskDescription(DiskNumber disk, WCHAR* buffer, int capacity)
{
    HANDLE handle = OpenDisk(disk);
    if (handle == INVALID_HANDLE_VALUE)
        return 0;
    STORAGE_DEVICE_DESCRIPTOR header = {};
    if (!QueryDescriptor(handle, &header, sizeof header) || header.Size < sizeof header) {
        systemCalls.CloseHandle(handle);
        return 0;
    }
    DWORD allocated = header.Size;
    BYTE* reply = new BYTE[allocated]();
    BOOL ok = QueryDescriptor(handle, reply, allocated);
    systemCalls.CloseHandle(handle);
    int result = 0;
    const STORAGE_DEVICE_DESCRIPTOR* descriptor =
        reinterpret_cast<const STORAGE_DEVICE_DESCRIPTOR*>(reply);
    if (ok && descriptor->Size >= sizeof header) {
        // Never read past what was allocated, whatever the second reply claims.
        DWORD size = descriptor->Size < allocated ? descriptor->Size : allocated;
        DWORD start = FirstStringOffset(descriptor, size);
        if (start < size)
            result = ConvertDescription(reply + start, int(size - start), buffer, capacity);
    }
    delete[] reply;
    return result;
}

int DiskAnswers(HANDLE disk)
{
    STORAGE_DEVICE_DESCRIPTOR descriptor;
    return QueryDescriptor(disk, &descriptor, sizeof descriptor);
}
