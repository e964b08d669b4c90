// Windows' own libraries loaded when a run needs them, and the stand-ins in the table of
// system calls that find their functions by name.
#include "platform/system_calls.h"
#include "platform/system_libraries.h"

FARPROC FindSystemFunction(const WCHAR* library, const char* name)
{
    WCHAR path[MAX_PATH];
    UINT length = GetSystemDirectoryW(path, MAX_PATH);
    if (length == 0 || length + 1 + lstrlenW(library) >= MAX_PATH)
        return nullptr;
    lstrcatW(lstrcatW(path, L"\\"), library);
    // By its full path, and what it depends on from its own folder first: a planted copy
    // elsewhere is never loaded. (LOAD_LIBRARY_SEARCH_SYSTEM32 needs an update on Windows 7.)
    HMODULE module = LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    return module ? GetProcAddress(module, name) : nullptr;
}

template <typename Function> static Function Found(const WCHAR* library, const char* name)
{
    return reinterpret_cast<Function>(reinterpret_cast<void*>(FindSystemFunction(library, name)));
}

DWORD WINAPI LateGetStorageDependencyInformation(HANDLE object, GET_STORAGE_DEPENDENCY_FLAG flags, ULONG size,
                                                 PSTORAGE_DEPENDENCY_INFO information, PULONG used)
{
    static const auto found = Found<decltype(&::GetStorageDependencyInformation)>(L"virtdisk.dll",
                                                                                 "GetStorageDependencyInformation");
    return found ? found(object, flags, size, information, used) : ERROR_PROC_NOT_FOUND;
}

// Windows 7 has no CM_Register_Notification; cfgmgr32.dll has the rest, and Wine keeps
// CM_Request_Device_EjectW in setupapi.dll alone, which exports them all.
template <typename Function> static Function FoundInCfgMgr(const char* name)
{
    Function found = Found<Function>(L"cfgmgr32.dll", name);
    return found ? found : Found<Function>(L"setupapi.dll", name);
}

static BOOL FailNotFound()
{
    SetLastError(ERROR_PROC_NOT_FOUND);
    return FALSE;
}

HDEVINFO WINAPI LateSetupDiGetClassDevsW(const GUID* type, PCWSTR enumerator, HWND parent, DWORD flags)
{
    static const auto found = Found<decltype(&::SetupDiGetClassDevsW)>(L"setupapi.dll", "SetupDiGetClassDevsW");
    return found ? found(type, enumerator, parent, flags) : (FailNotFound(), INVALID_HANDLE_VALUE);
}

BOOL WINAPI LateSetupDiEnumDeviceInterfaces(HDEVINFO list, PSP_DEVINFO_DATA device, const GUID* type, DWORD index,
                                            PSP_DEVICE_INTERFACE_DATA data)
{
    static const auto found = Found<decltype(&::SetupDiEnumDeviceInterfaces)>(L"setupapi.dll", "SetupDiEnumDeviceInterfaces");
    return found ? found(list, device, type, index, data) : FailNotFound();
}

BOOL WINAPI LateSetupDiGetDeviceInterfaceDetailW(HDEVINFO list, PSP_DEVICE_INTERFACE_DATA data,
                                                 PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD size, PDWORD needed,
                                                 PSP_DEVINFO_DATA device)
{
    static const auto found =
        Found<decltype(&::SetupDiGetDeviceInterfaceDetailW)>(L"setupapi.dll", "SetupDiGetDeviceInterfaceDetailW");
    return found ? found(list, data, detail, size, needed, device) : FailNotFound();
}

BOOL WINAPI LateSetupDiDestroyDeviceInfoList(HDEVINFO list)
{
    static const auto found = Found<decltype(&::SetupDiDestroyDeviceInfoList)>(L"setupapi.dll", "SetupDiDestroyDeviceInfoList");
    return found ? found(list) : FailNotFound();
}

CONFIGRET WINAPI LateCM_Get_Parent(PDEVINST parent, DEVINST node, ULONG flags)
{
    static const auto found = FoundInCfgMgr<decltype(&::CM_Get_Parent)>("CM_Get_Parent");
    return found ? found(parent, node, flags) : CR_CALL_NOT_IMPLEMENTED;
}

CONFIGRET WINAPI LateCM_Get_Device_IDW(DEVINST node, PWCHAR buffer, ULONG length, ULONG flags)
{
    static const auto found = FoundInCfgMgr<decltype(&::CM_Get_Device_IDW)>("CM_Get_Device_IDW");
    return found ? found(node, buffer, length, flags) : CR_CALL_NOT_IMPLEMENTED;
}

CONFIGRET WINAPI LateCM_Get_DevNode_Registry_PropertyW(DEVINST node, ULONG property, PULONG type, PVOID buffer,
                                                       PULONG length, ULONG flags)
{
    static const auto found = FoundInCfgMgr<decltype(&::CM_Get_DevNode_Registry_PropertyW)>("CM_Get_DevNode_Registry_PropertyW");
    return found ? found(node, property, type, buffer, length, flags) : CR_CALL_NOT_IMPLEMENTED;
}

CONFIGRET WINAPI LateCM_Get_DevNode_Status(PULONG status, PULONG problem, DEVINST node, ULONG flags)
{
    static const auto found = FoundInCfgMgr<decltype(&::CM_Get_DevNode_Status)>("CM_Get_DevNode_Status");
    return found ? found(status, problem, node, flags) : CR_CALL_NOT_IMPLEMENTED;
}

CONFIGRET WINAPI LateCM_Locate_DevNodeW(PDEVINST node, DEVINSTID_W id, ULONG flags)
{
    static const auto found = FoundInCfgMgr<decltype(&::CM_Locate_DevNodeW)>("CM_Locate_DevNodeW");
    return found ? found(node, id, flags) : CR_CALL_NOT_IMPLEMENTED;
}

CONFIGRET WINAPI LateCM_Request_Device_EjectW(DEVINST node, PPNP_VETO_TYPE vetoType, LPWSTR vetoName, ULONG length,
                                              ULONG flags)
{
    static const auto found = FoundInCfgMgr<decltype(&::CM_Request_Device_EjectW)>("CM_Request_Device_EjectW");
    return found ? found(node, vetoType, vetoName, length, flags) : CR_CALL_NOT_IMPLEMENTED;
}

CONFIGRET WINAPI LateCM_Register_Notification(PCM_NOTIFY_FILTER filter, PVOID context, PCM_NOTIFY_CALLBACK callback,
                                              PHCMNOTIFICATION notification)
{
    static const auto found = FoundInCfgMgr<decltype(&::CM_Register_Notification)>("CM_Register_Notification");
    return found ? found(filter, context, callback, notification) : CR_CALL_NOT_IMPLEMENTED;
}

CONFIGRET WINAPI LateCM_Unregister_Notification(HCMNOTIFICATION notification)
{
    static const auto found = FoundInCfgMgr<decltype(&::CM_Unregister_Notification)>("CM_Unregister_Notification");
    return found ? found(notification) : CR_CALL_NOT_IMPLEMENTED;
}
