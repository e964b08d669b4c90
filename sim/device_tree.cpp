// The simulated machine's device tree, as SetupAPI and the configuration manager show it: a
// root, a USB hub with a USB device above each USB disk (shared by the bays of one enclosure),
// a controller above every other disk. An eject of a USB device asks the notifications
// registered on the run's handles first, and is vetoed while a handle to its disks or their
// volumes is still open; accepted, the disks leave Windows and the device stays, held for
// eject, until they are pulled out.
#include "sim/sim.h"
#include <string.h>
#include <algorithm>

enum : DEVINST { RootNode = 1, HubNode, ControllerNode, FirstDiskNode = 100, FirstUsbNode = 1000 };

struct SimNode {
    DEVINST parent;
    std::wstring id;
    bool removable;
    bool present;
    bool heldForEject;
};

static bool Present(const SimDisk& disk) { return SimNow() < disk.goneAt && !disk.ejected; }

// The USB device node of a disk: numbered by the first disk that names its instance ID.
static DEVINST UsbNodeOf(size_t disk)
{
    for (size_t i = 0; i < sim.disks.size(); ++i)
        if (sim.disks[i].usbDevice == sim.disks[disk].usbDevice)
            return DEVINST(FirstUsbNode + i);
    return 0;
}

static bool FindNode(DEVINST node, SimNode* found)
{
    static const SimNode fixed[] = {
        {0, L"HTREE\\ROOT\\0", false, true}, {RootNode, L"USB\\ROOT_HUB30\\4&2A5B1C3&0&0", false, true},
        {RootNode, L"PCI\\VEN_8086&DEV_2822&SUBSYS_00000000&REV_00\\3&11583659&0&FA", false, true}};
    if (node >= RootNode && node <= ControllerNode) {
        *found = fixed[node - RootNode];
        return true;
    }
    size_t index = node >= FirstUsbNode ? node - FirstUsbNode : node - FirstDiskNode;
    if (node < FirstDiskNode || index >= sim.disks.size())
        return false;
    const SimDisk& disk = sim.disks[index];
    if (node < FirstUsbNode) {
        *found = {disk.usbDevice.empty() ? DEVINST(ControllerNode) : UsbNodeOf(index), disk.deviceId, false, Present(disk)};
        return true;
    }
    if (disk.usbDevice.empty() || UsbNodeOf(index) != node)
        return false;
    *found = {HubNode, disk.usbDevice, true, false};
    for (const SimDisk& bay : sim.disks)  // present while a disk is plugged in below it
        if (bay.usbDevice == disk.usbDevice && SimNow() < bay.goneAt)
            found->present = true, found->heldForEject = found->heldForEject || bay.ejected;
    return true;
}

static bool Logged(const wchar_t* function) { return SimInjected({CallPlugAndPlay, function}, ERROR_GEN_FAILURE); }

static const uintptr_t DeviceList = 0x5E7D0000;  // the one device information list handed out

static HDEVINFO WINAPI SimSetupDiGetClassDevsW(const GUID* type, PCWSTR, HWND, DWORD flags)
{
    if (Logged(L"SetupDiGetClassDevsW"))
        return INVALID_HANDLE_VALUE;
    if (!type || *type != GUID_DEVINTERFACE_DISK || flags != (DIGCF_PRESENT | DIGCF_DEVICEINTERFACE)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    return reinterpret_cast<HDEVINFO>(DeviceList);
}

// The present disks, in the order of the machine's list.
static std::vector<size_t> PresentDisks()
{
    std::vector<size_t> present;
    for (size_t i = 0; i < sim.disks.size(); ++i)
        if (Present(sim.disks[i]))
            present.push_back(i);
    return present;
}

static BOOL FailWith(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

static BOOL WINAPI SimSetupDiEnumDeviceInterfaces(HDEVINFO list, PSP_DEVINFO_DATA, const GUID* type, DWORD index,
                                                  PSP_DEVICE_INTERFACE_DATA data)
{
    if (Logged(L"SetupDiEnumDeviceInterfaces"))
        return FALSE;
    if (reinterpret_cast<uintptr_t>(list) != DeviceList || !type || !data || data->cbSize != sizeof *data)
        return FailWith(ERROR_INVALID_PARAMETER);
    std::vector<size_t> present = PresentDisks();
    if (index >= present.size())
        return FailWith(ERROR_NO_MORE_ITEMS);
    data->InterfaceClassGuid = GUID_DEVINTERFACE_DISK;
    data->Flags = SPINT_ACTIVE;
    data->Reserved = present[index];
    return TRUE;
}

std::wstring SimDiskInterfacePath(DWORD number)
{
    return L"\\\\?\\simdisk#" + std::to_wstring(number) + L"#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
}

static BOOL WINAPI SimSetupDiGetDeviceInterfaceDetailW(HDEVINFO list, PSP_DEVICE_INTERFACE_DATA data,
                                                       PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD size,
                                                       PDWORD needed, PSP_DEVINFO_DATA device)
{
    if (Logged(L"SetupDiGetDeviceInterfaceDetailW"))
        return FALSE;
    if (reinterpret_cast<uintptr_t>(list) != DeviceList || !data || data->Reserved >= sim.disks.size())
        return FailWith(ERROR_INVALID_PARAMETER);
    std::wstring path = SimDiskInterfacePath(sim.disks[data->Reserved].number);
    DWORD required = DWORD(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) + (path.size() + 1) * sizeof(WCHAR));
    if (needed)
        *needed = required;
    if (detail && detail->cbSize != sizeof *detail)  // 6 bytes on x86, 8 on x64
        return FailWith(ERROR_INVALID_USER_BUFFER);
    if (!detail || size < required)
        return FailWith(ERROR_INSUFFICIENT_BUFFER);
    memcpy(detail->DevicePath, path.c_str(), (path.size() + 1) * sizeof(WCHAR));
    if (device) {
        if (device->cbSize != sizeof *device)
            return FailWith(ERROR_INVALID_USER_BUFFER);
        device->DevInst = DEVINST(FirstDiskNode + data->Reserved);
    }
    return TRUE;
}

static BOOL WINAPI SimSetupDiDestroyDeviceInfoList(HDEVINFO list)
{
    if (Logged(L"SetupDiDestroyDeviceInfoList"))
        return FALSE;
    return reinterpret_cast<uintptr_t>(list) == DeviceList ? TRUE : FailWith(ERROR_INVALID_HANDLE);
}

static CONFIGRET WINAPI SimCM_Get_Parent(PDEVINST parent, DEVINST node, ULONG)
{
    SimNode found;
    if (Logged(L"CM_Get_Parent"))
        return CR_FAILURE;
    if (!FindNode(node, &found) || !found.present)
        return CR_NO_SUCH_DEVINST;
    if (!found.parent)
        return CR_NO_SUCH_DEVNODE;
    *parent = found.parent;
    return CR_SUCCESS;
}

static CONFIGRET WINAPI SimCM_Get_Device_IDW(DEVINST node, PWCHAR buffer, ULONG length, ULONG)
{
    SimNode found;
    if (Logged(L"CM_Get_Device_IDW"))
        return CR_FAILURE;
    if (!FindNode(node, &found))
        return CR_NO_SUCH_DEVINST;
    if (found.id.size() + 1 > length)
        return CR_BUFFER_SMALL;
    memcpy(buffer, found.id.c_str(), (found.id.size() + 1) * sizeof(WCHAR));
    return CR_SUCCESS;
}

static CONFIGRET WINAPI SimCM_Get_DevNode_Registry_PropertyW(DEVINST node, ULONG property, PULONG type, PVOID buffer,
                                                             PULONG length, ULONG)
{
    SimNode found;
    if (Logged(L"CM_Get_DevNode_Registry_PropertyW"))
        return CR_FAILURE;
    if (!FindNode(node, &found) || !found.present)
        return CR_NO_SUCH_DEVINST;
    if (property != CM_DRP_CAPABILITIES)
        return CR_NO_SUCH_VALUE;
    ULONG size = *length;
    *length = sizeof(DWORD);
    if (!buffer || size < sizeof(DWORD))
        return CR_BUFFER_SMALL;
    if (type)
        *type = REG_DWORD;
    *static_cast<DWORD*>(buffer) = found.removable ? CM_DEVCAP_REMOVABLE | CM_DEVCAP_SURPRISEREMOVALOK : 0;
    return CR_SUCCESS;
}

static CONFIGRET WINAPI SimCM_Get_DevNode_Status(PULONG status, PULONG problem, DEVINST node, ULONG)
{
    SimNode found;
    if (Logged(L"CM_Get_DevNode_Status"))
        return CR_FAILURE;
    if (!FindNode(node, &found) || !found.present)
        return CR_NO_SUCH_DEVINST;
    *status = found.heldForEject ? DN_HAS_PROBLEM : DN_DRIVER_LOADED | DN_STARTED;
    *problem = found.heldForEject ? CM_PROB_HELD_FOR_EJECT : 0;
    return CR_SUCCESS;
}

static CONFIGRET WINAPI SimCM_Locate_DevNodeW(PDEVINST node, DEVINSTID_W id, ULONG flags)
{
    if (Logged(L"CM_Locate_DevNodeW"))
        return CR_FAILURE;
    std::vector<DEVINST> nodes = {RootNode, HubNode, ControllerNode};
    for (size_t i = 0; i < sim.disks.size(); ++i)
        nodes.insert(nodes.end(), {DEVINST(FirstDiskNode + i), DEVINST(FirstUsbNode + i)});
    for (DEVINST candidate : nodes) {
        SimNode found;
        if (id && FindNode(candidate, &found) && CompareStringOrdinal(found.id.c_str(), -1, id, -1, TRUE) == CSTR_EQUAL &&
            (found.present || (flags & CM_LOCATE_DEVNODE_PHANTOM))) {
            *node = candidate;
            return CR_SUCCESS;
        }
    }
    return CR_NO_SUCH_DEVNODE;
}

static CONFIGRET WINAPI SimCM_Register_Notification(PCM_NOTIFY_FILTER filter, PVOID context,
                                                    PCM_NOTIFY_CALLBACK callback, PHCMNOTIFICATION notification)
{
    if (Logged(L"CM_Register_Notification"))
        return CR_FAILURE;
    if (sim.windows7)
        return CR_CALL_NOT_IMPLEMENTED;  // as the program's own stand-in answers where it is missing
    if (!filter || filter->cbSize != sizeof *filter || filter->FilterType != CM_NOTIFY_FILTER_TYPE_DEVICEHANDLE ||
        SimDiskOfHandle(filter->u.DeviceHandle.hTarget) < 0 || !callback)
        return CR_INVALID_DATA;
    sim.notifications.push_back({filter->u.DeviceHandle.hTarget, context, callback, true});
    *notification = reinterpret_cast<HCMNOTIFICATION>(sim.notifications.size());
    return CR_SUCCESS;
}

static CONFIGRET WINAPI SimCM_Unregister_Notification(HCMNOTIFICATION notification)
{
    if (Logged(L"CM_Unregister_Notification"))
        return CR_FAILURE;
    size_t slot = reinterpret_cast<uintptr_t>(notification) - 1;
    if (slot >= sim.notifications.size() || !sim.notifications[slot].registered)
        return CR_INVALID_POINTER;
    sim.notifications[slot].registered = false;
    return CR_SUCCESS;
}

// Query-remove, on a thread of Windows' own, to each notification on a handle of those disks.
static DWORD WINAPI AskQueryRemove(void* disks)
{
    const std::vector<size_t>& leaving = *static_cast<const std::vector<size_t>*>(disks);
    for (size_t i = 0; i < sim.notifications.size(); ++i) {
        const SimNotification n = sim.notifications[i];
        int disk = SimDiskOfHandle(n.target);
        if (!n.registered || disk < 0 || std::find(leaving.begin(), leaving.end(), size_t(disk)) == leaving.end())
            continue;
        CM_NOTIFY_EVENT_DATA event = {};
        event.FilterType = CM_NOTIFY_FILTER_TYPE_DEVICEHANDLE;
        n.callback(reinterpret_cast<HCMNOTIFICATION>(i + 1), n.context, CM_NOTIFY_ACTION_DEVICEQUERYREMOVE, &event,
                   sizeof event);
    }
    return 0;
}

// The disks below a USB device node; none for any other node.
static std::vector<size_t> DisksBelow(DEVINST node)
{
    std::vector<size_t> disks;
    for (size_t i = 0; i < sim.disks.size(); ++i)
        if (!sim.disks[i].usbDevice.empty() && UsbNodeOf(i) == node && Present(sim.disks[i]))
            disks.push_back(i);
    return disks;
}

static CONFIGRET Veto(const SimDisk& disk, PNP_VETO_TYPE type, PPNP_VETO_TYPE vetoType, LPWSTR vetoName, ULONG length)
{
    if (vetoType)
        *vetoType = type;
    if (vetoName && length > 0)
        lstrcpynW(vetoName, disk.deviceId.c_str(), int(length));
    return CR_REMOVE_VETOED;
}

// The veto buffer's length is logged as the call's output length (0 when there is none).
static CONFIGRET WINAPI SimCM_Request_Device_EjectW(DEVINST node, PPNP_VETO_TYPE vetoType, LPWSTR vetoName,
                                                    ULONG length, ULONG)
{
    if (SimInjected({CallPlugAndPlay, L"CM_Request_Device_EjectW", 0, 0, 0, 0, vetoName ? length : 0}, ERROR_GEN_FAILURE))
        return CR_FAILURE;
    std::vector<size_t> disks = DisksBelow(node);
    if (disks.empty())
        return CR_INVALID_DEVNODE;
    SimDisk& first = sim.disks[disks[0]];
    if (first.ejectAnswer != CR_SUCCESS && first.ejectAnswer != CR_REMOVE_VETOED)
        return first.ejectAnswer;
    HANDLE thread = CreateThread(nullptr, 0, AskQueryRemove, &disks, 0, nullptr);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    if (first.ejectAnswer == CR_REMOVE_VETOED)
        return Veto(first, first.vetoType, vetoType, vetoName, length);
    for (size_t disk : disks)
        if (SimHandleOpenOnDisk(disk))
            return Veto(first, PNP_VetoOutstandingOpen, vetoType, vetoName, length);
    for (size_t disk : disks)
        sim.disks[disk].ejected = true;
    return CR_SUCCESS;
}

void SimInstallDeviceTree()
{
    systemCalls.SetupDiGetClassDevsW = SimSetupDiGetClassDevsW;
    systemCalls.SetupDiEnumDeviceInterfaces = SimSetupDiEnumDeviceInterfaces;
    systemCalls.SetupDiGetDeviceInterfaceDetailW = SimSetupDiGetDeviceInterfaceDetailW;
    systemCalls.SetupDiDestroyDeviceInfoList = SimSetupDiDestroyDeviceInfoList;
    systemCalls.CM_Get_Parent = SimCM_Get_Parent;
    systemCalls.CM_Get_Device_IDW = SimCM_Get_Device_IDW;
    systemCalls.CM_Get_DevNode_Registry_PropertyW = SimCM_Get_DevNode_Registry_PropertyW;
    systemCalls.CM_Get_DevNode_Status = SimCM_Get_DevNode_Status;
    systemCalls.CM_Locate_DevNodeW = SimCM_Locate_DevNodeW;
    systemCalls.CM_Request_Device_EjectW = SimCM_Request_Device_EjectW;
    systemCalls.CM_Register_Notification = SimCM_Register_Notification;
    systemCalls.CM_Unregister_Notification = SimCM_Unregister_Notification;
}
