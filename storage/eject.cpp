// Takes a spun-down disk out of Windows as Safely Remove Hardware does: its USB device is
// ejected through the Plug and Play manager, so that the disk and its volumes leave the device
// tree and nothing can send the drive a command any more; then the wait watches that device.
#include "storage/storage.h"
#include "storage/held_volumes.h"
#include "storage/volume_walk.h"
#include "platform/system_calls.h"
#include <winioctl.h>
#include <stdarg.h>
#include <stdio.h>

enum { MaxDiskNodes = 128, MaxTreeDepth = 32, InterfacePathCapacity = 1024 };

// The device node of the disk, and those of every other present disk.
struct DiskNodes {
    DEVINST disk;
    bool found;
    DEVINST others[MaxDiskNodes];
    int otherCount;
};

// Whether the interface's device is that disk: its device number, asked of a handle without
// read or write access.
static bool IsDiskNumbered(const WCHAR* path, DiskNumber disk)
{
    HANDLE device = systemCalls.CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                            FILE_ATTRIBUTE_NORMAL, nullptr);
    if (device == INVALID_HANDLE_VALUE)
        return false;
    STORAGE_DEVICE_NUMBER number = {};
    DWORD returned = 0;
    BOOL ok = systemCalls.DeviceIoControl(device, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &number, sizeof number,
                                          &returned, nullptr);
    systemCalls.CloseHandle(device);
    return ok && returned >= sizeof number && number.DeviceType == FILE_DEVICE_DISK && number.DeviceNumber == disk;
}

// One disk interface: its device node, and whether it is the disk's. False when it cannot be read.
static bool ReadInterface(HDEVINFO list, SP_DEVICE_INTERFACE_DATA* data, DiskNumber disk, DEVINST* node, bool* ours)
{
    union {
        SP_DEVICE_INTERFACE_DETAIL_DATA_W detail;
        BYTE room[offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) + InterfacePathCapacity * sizeof(WCHAR)];
    } buffer;
    buffer.detail.cbSize = sizeof buffer.detail;  // the fixed part alone: 6 bytes on x86, 8 on x64
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof device;
    if (!systemCalls.SetupDiGetDeviceInterfaceDetailW(list, data, &buffer.detail, sizeof buffer, nullptr, &device))
        return false;
    buffer.room[sizeof buffer - 1] = buffer.room[sizeof buffer - 2] = 0;  // a path ends inside the buffer
    *node = device.DevInst;
    *ours = IsDiskNumbered(buffer.detail.DevicePath, disk);
    return true;
}

// Every present disk interface; false when the disk's is not among them or one cannot be read
// (it might be a disk that shares the disk's USB device).
static bool FindDiskNodes(DiskNumber disk, DiskNodes* nodes)
{
    HDEVINFO list = systemCalls.SetupDiGetClassDevsW(&GUID_DEVINTERFACE_DISK, nullptr, nullptr,
                                                     DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (list == INVALID_HANDLE_VALUE)
        return false;
    nodes->disk = 0, nodes->found = false, nodes->otherCount = 0;
    bool whole = true;
    SP_DEVICE_INTERFACE_DATA data = {};
    data.cbSize = sizeof data;
    for (DWORD i = 0; whole; ++i) {
        if (!systemCalls.SetupDiEnumDeviceInterfaces(list, nullptr, &GUID_DEVINTERFACE_DISK, i, &data)) {
            whole = GetLastError() == ERROR_NO_MORE_ITEMS;
            break;
        }
        DEVINST node;
        bool ours;
        whole = ReadInterface(list, &data, disk, &node, &ours) && (ours || nodes->otherCount < MaxDiskNodes);
        if (whole && ours)
            nodes->disk = node, nodes->found = true;
        else if (whole)
            nodes->others[nodes->otherCount++] = node;
    }
    systemCalls.SetupDiDestroyDeviceInfoList(list);
    return whole && nodes->found;
}

static bool IsRemovable(DEVINST node)
{
    DWORD capabilities = 0;
    ULONG length = sizeof capabilities;
    return systemCalls.CM_Get_DevNode_Registry_PropertyW(node, CM_DRP_CAPABILITIES, nullptr, &capabilities, &length,
                                                         0) == CR_SUCCESS &&
           (capabilities & CM_DEVCAP_REMOVABLE);
}

// The first ancestor of the node that Windows may remove: for a USB disk, its USB device.
static bool FindRemovableAncestor(DEVINST node, DEVINST* ancestor)
{
    for (int depth = 0; depth < MaxTreeDepth && systemCalls.CM_Get_Parent(&node, node, 0) == CR_SUCCESS; ++depth)
        if (IsRemovable(node)) {
            *ancestor = node;
            return true;
        }
    return false;
}

static bool IsBelow(DEVINST node, DEVINST ancestor)
{
    for (int depth = 0; depth < MaxTreeDepth && systemCalls.CM_Get_Parent(&node, node, 0) == CR_SUCCESS; ++depth)
        if (node == ancestor)
            return true;
    return false;
}

// A USB device ("USB\VID_...") that works: no problem code. Its instance ID goes into id.
static bool IsWorkingUsbDevice(DEVINST node, WCHAR* id)
{
    if (systemCalls.CM_Get_Device_IDW(node, id, DeviceIdCapacity, 0) != CR_SUCCESS)
        return false;
    id[DeviceIdCapacity - 1] = 0;
    ULONG status = 0, problem = 0;
    return CompareStringOrdinal(id, 4, L"USB\\", 4, TRUE) == CSTR_EQUAL &&
           systemCalls.CM_Get_DevNode_Status(&status, &problem, node, 0) == CR_SUCCESS && !(status & DN_HAS_PROBLEM);
}

// The disk's USB device, or why it may not be ejected: an eject takes every disk below the
// device, and another one there was neither dismounted nor spun down (a multi-bay enclosure).
static const WCHAR* FindUsbDevice(DiskNumber disk, DEVINST* device, WCHAR* id)
{
    DiskNodes nodes;
    if (!FindDiskNodes(disk, &nodes) || !FindRemovableAncestor(nodes.disk, device) || !IsWorkingUsbDevice(*device, id))
        return L"no USB device found";
    for (int i = 0; i < nodes.otherCount; ++i)
        if (IsBelow(nodes.others[i], *device))
            return L"another disk shares its USB device";
    return nullptr;
}

// Windows asks to remove a held volume: its handle is closed there and then, on a thread of
// Windows' own, which touches nothing but that one handle.
static DWORD CALLBACK OnHeldVolumeEvent(HCMNOTIFICATION, void* slot, CM_NOTIFY_ACTION action, PCM_NOTIFY_EVENT_DATA, DWORD)
{
    if (action == CM_NOTIFY_ACTION_DEVICEQUERYREMOVE || action == CM_NOTIFY_ACTION_DEVICEREMOVEPENDING ||
        action == CM_NOTIFY_ACTION_DEVICEREMOVECOMPLETE) {
        HANDLE handle = InterlockedExchangePointer(static_cast<HANDLE*>(slot), INVALID_HANDLE_VALUE);
        if (handle != INVALID_HANDLE_VALUE)
            systemCalls.CloseHandle(handle);
    }
    return ERROR_SUCCESS;
}

// Each held volume keeps its handle until Windows asks for it, so that no program can mount it
// between its release and the removal; where Windows cannot say (Windows 7 has no
// CM_Register_Notification), it is let go now, just before the eject.
static void LetGoWhenAsked(HCMNOTIFICATION* registrations)
{
    for (int i = 0; i < HeldVolumeCount(); ++i) {
        HANDLE* slot = HeldVolumeHandle(i);
        CM_NOTIFY_FILTER filter = {};
        filter.cbSize = sizeof filter;
        filter.FilterType = CM_NOTIFY_FILTER_TYPE_DEVICEHANDLE;
        filter.u.DeviceHandle.hTarget = *slot;
        if (systemCalls.CM_Register_Notification(&filter, slot, OnHeldVolumeEvent, &registrations[i]) != CR_SUCCESS) {
            registrations[i] = nullptr;
            HANDLE handle = InterlockedExchangePointer(slot, INVALID_HANDLE_VALUE);
            if (handle != INVALID_HANDLE_VALUE)
                systemCalls.CloseHandle(handle);
        }
    }
}

struct EjectRequest {
    DEVINST device;
    PNP_VETO_TYPE vetoType;
    WCHAR vetoName[MAX_PATH];  // given, so that Windows shows no message box of its own
    CONFIGRET result;
};

// The eject's own thread: it does nothing else, so that the window's thread answers the
// device-change broadcasts that Windows sends it meanwhile.
static DWORD WINAPI AskEject(void* context)
{
    EjectRequest* request = static_cast<EjectRequest*>(context);
    request->result =
        systemCalls.CM_Request_Device_EjectW(request->device, &request->vetoType, request->vetoName, MAX_PATH, 0);
    request->vetoName[MAX_PATH - 1] = 0;
    return 0;
}

static void Say(const WCHAR* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    vwprintf(format, arguments);
    va_end(arguments);
    fflush(stdout);
}

static CONFIGRET Eject(DEVINST device, void (*waitFor)(HANDLE thread))
{
    HCMNOTIFICATION registrations[MaxDiskVolumes];
    LetGoWhenAsked(registrations);
    EjectRequest request = {device, PNP_VetoTypeUnknown, {}, CR_FAILURE};
    HANDLE thread = CreateThread(nullptr, 0, AskEject, &request, 0, nullptr);
    if (thread) {
        waitFor(thread);
        WaitForSingleObject(thread, INFINITE);  // the wait may have ended early, for a quit
        CloseHandle(thread);
    } else {
        AskEject(&request);  // no thread to be had: asked on this one, the window not answering
    }
    // Ended here, never inside a callback, which Windows would wait on.
    for (int i = 0; i < HeldVolumeCount(); ++i)
        if (registrations[i])
            systemCalls.CM_Unregister_Notification(registrations[i]);
    if (request.result == CR_REMOVE_VETOED)
        Say(L"Not ejected from Windows: vetoed by %u %ls.\n", unsigned(request.vetoType), request.vetoName);
    else if (request.result != CR_SUCCESS)
        Say(L"Not ejected from Windows: refused (CONFIGRET %u).\n", unsigned(request.result));
    return request.result;
}

EjectOutcome EjectDisk(DiskNumber disk, void (*waitFor)(HANDLE thread), WCHAR* usbDevice)
{
    DEVINST device;
    WCHAR id[DeviceIdCapacity];
    if (const WCHAR* reason = FindUsbDevice(disk, &device, id)) {
        Say(L"Not ejected from Windows: %ls.\n", reason);
        return NotEjected;
    }
    if (Eject(device, waitFor) == CR_SUCCESS) {
        lstrcpyW(usbDevice, id);
        Say(L"Ejected from Windows.\n");
        return Ejected;
    }
    // Still Windows' device: the volumes let go for the query are taken again, and a drive that
    // a moment's mount may have woken is stopped again.
    int takenBack = TakeBackLetGoVolumes();
    if (takenBack > 0)
        RestoreStandby(disk);
    return takenBack < 0 ? NotEjectedVolumeLost : NotEjected;
}

bool UsbDevicePresent(const WCHAR* usbDevice)
{
    WCHAR id[DeviceIdCapacity];
    lstrcpynW(id, usbDevice, DeviceIdCapacity);
    DEVINST node;
    ULONG status = 0, problem = 0;
    // A node that is no longer present is found too, and only its status then fails
    // (CR_NO_SUCH_DEVINST); CM_LOCATE_DEVNODE_CANCELREMOVE would cancel the removal. As with the
    // disk, a device that cannot be asked at all is no longer there to wait for.
    return systemCalls.CM_Locate_DevNodeW(&node, id, CM_LOCATE_DEVNODE_PHANTOM) == CR_SUCCESS &&
           systemCalls.CM_Get_DevNode_Status(&status, &problem, node, 0) == CR_SUCCESS;
}
