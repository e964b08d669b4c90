// Functions of Windows' own libraries that the image does not import, found by name when a
// run first needs them: Windows 7 lacks some of them, and the image imports only the DLLs
// that Windows loads from System32 whatever the folder (its KnownDLLs).
#pragma once
#include "platform/system_calls.h"

// The function of that name in the library of System32 (loaded by its full path, never
// searched for, and kept for the process), or null when either cannot be had.
FARPROC FindSystemFunction(const WCHAR* library, const char* name);

// Stand-ins for the table of system calls: each calls the function of its name, found on its
// first call, or fails as the function itself would if it cannot be found.
DWORD WINAPI LateGetStorageDependencyInformation(HANDLE object, GET_STORAGE_DEPENDENCY_FLAG flags, ULONG size,
                                                 PSTORAGE_DEPENDENCY_INFO information, PULONG used);
HDEVINFO WINAPI LateSetupDiGetClassDevsW(const GUID* type, PCWSTR enumerator, HWND parent, DWORD flags);
BOOL WINAPI LateSetupDiEnumDeviceInterfaces(HDEVINFO list, PSP_DEVINFO_DATA device, const GUID* type, DWORD index,
                                            PSP_DEVICE_INTERFACE_DATA data);
BOOL WINAPI LateSetupDiGetDeviceInterfaceDetailW(HDEVINFO list, PSP_DEVICE_INTERFACE_DATA data,
                                                 PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD size, PDWORD needed,
                                                 PSP_DEVINFO_DATA device);
BOOL WINAPI LateSetupDiDestroyDeviceInfoList(HDEVINFO list);
CONFIGRET WINAPI LateCM_Get_Parent(PDEVINST parent, DEVINST node, ULONG flags);
CONFIGRET WINAPI LateCM_Get_Device_IDW(DEVINST node, PWCHAR buffer, ULONG length, ULONG flags);
CONFIGRET WINAPI LateCM_Get_DevNode_Registry_PropertyW(DEVINST node, ULONG property, PULONG type, PVOID buffer,
                                                       PULONG length, ULONG flags);
CONFIGRET WINAPI LateCM_Get_DevNode_Status(PULONG status, PULONG problem, DEVINST node, ULONG flags);
CONFIGRET WINAPI LateCM_Locate_DevNodeW(PDEVINST node, DEVINSTID_W id, ULONG flags);
CONFIGRET WINAPI LateCM_Request_Device_EjectW(DEVINST node, PPNP_VETO_TYPE vetoType, LPWSTR vetoName, ULONG length,
                                              ULONG flags);
CONFIGRET WINAPI LateCM_Register_Notification(PCM_NOTIFY_FILTER filter, PVOID context, PCM_NOTIFY_CALLBACK callback,
                                              PHCMNOTIFICATION notification);
CONFIGRET WINAPI LateCM_Unregister_Notification(HCMNOTIFICATION notification);
