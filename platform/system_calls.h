// The one table through which every storage and file-system call of the program goes, with
// the clock (Sleep, and the timers of the removal window's waits), the notification icon, the
// program's own path (and the path of the file the tray holds) and the Windows directory. It
// lies below every other folder of the program, so that storage/, ui/ and app/ all reach it
// without reaching up. Functions of libraries the image does not import are found by name.
// It starts out pointing at the real Win32 functions; only tests and the simulated machine
// ever change it, to stand in for disks and volumes, time and the shell, or to inject faults.
// A stand-in reports its error with SetLastError; the program reads it with GetLastError.
#pragma once
#include <windows.h>
#include <shellapi.h>
#include <virtdisk.h>
// Windows 8's device notifications: the headers declare their records only for programs that
// need Windows 8, and not the functions; this one runs on Windows 7 too, finding them by name.
#pragma push_macro("WINVER")
#undef WINVER
#define WINVER _WIN32_WINNT_WIN8
#include <cfgmgr32.h>
#pragma pop_macro("WINVER")
#include <setupapi.h>

CMAPI CONFIGRET WINAPI CM_Register_Notification(PCM_NOTIFY_FILTER filter, PVOID context, PCM_NOTIFY_CALLBACK callback,
                                                PHCMNOTIFICATION notification);
CMAPI CONFIGRET WINAPI CM_Unregister_Notification(HCMNOTIFICATION notification);

struct SystemCalls {
    decltype(&::CreateFileW) CreateFileW;
    decltype(&::DeviceIoControl) DeviceIoControl;
    decltype(&::CloseHandle) CloseHandle;
    decltype(&::FlushFileBuffers) FlushFileBuffers;
    decltype(&::FindFirstVolumeW) FindFirstVolumeW;
    decltype(&::FindNextVolumeW) FindNextVolumeW;
    decltype(&::FindVolumeClose) FindVolumeClose;
    decltype(&::GetVolumePathNamesForVolumeNameW) GetVolumePathNamesForVolumeNameW;
    decltype(&::GetVolumePathNameW) GetVolumePathNameW;
    decltype(&::GetVolumeNameForVolumeMountPointW) GetVolumeNameForVolumeMountPointW;
    decltype(&::QueryDosDeviceW) QueryDosDeviceW;
    decltype(&::GetStorageDependencyInformation) GetStorageDependencyInformation;  // virtdisk.dll, by name
    decltype(&::GetWindowsDirectoryW) GetWindowsDirectoryW;
    decltype(&::GetModuleFileNameW) GetModuleFileNameW;
    decltype(&::GetFinalPathNameByHandleW) GetFinalPathNameByHandleW;
    decltype(&::Sleep) Sleep;
    decltype(&::SetTimer) SetTimer;
    decltype(&::Shell_NotifyIconW) Shell_NotifyIconW;
    // The device tree: setupapi.dll and cfgmgr32.dll, by name.
    decltype(&::SetupDiGetClassDevsW) SetupDiGetClassDevsW;
    decltype(&::SetupDiEnumDeviceInterfaces) SetupDiEnumDeviceInterfaces;
    decltype(&::SetupDiGetDeviceInterfaceDetailW) SetupDiGetDeviceInterfaceDetailW;
    decltype(&::SetupDiDestroyDeviceInfoList) SetupDiDestroyDeviceInfoList;
    decltype(&::CM_Get_Parent) CM_Get_Parent;
    decltype(&::CM_Get_Device_IDW) CM_Get_Device_IDW;
    decltype(&::CM_Get_DevNode_Registry_PropertyW) CM_Get_DevNode_Registry_PropertyW;
    decltype(&::CM_Get_DevNode_Status) CM_Get_DevNode_Status;
    decltype(&::CM_Locate_DevNodeW) CM_Locate_DevNodeW;
    decltype(&::CM_Request_Device_EjectW) CM_Request_Device_EjectW;
    decltype(&::CM_Register_Notification) CM_Register_Notification;
    decltype(&::CM_Unregister_Notification) CM_Unregister_Notification;
};

extern SystemCalls systemCalls;
extern const SystemCalls defaultSystemCalls;
