// The real system calls, and the table that starts out pointing at them.
#include "platform/system_calls.h"
#include "platform/system_libraries.h"

const SystemCalls defaultSystemCalls = {
    ::CreateFileW,
    ::DeviceIoControl,
    ::CloseHandle,
    ::FlushFileBuffers,
    ::FindFirstVolumeW,
    ::FindNextVolumeW,
    ::FindVolumeClose,
    ::GetVolumePathNamesForVolumeNameW,
    ::GetVolumePathNameW,
    ::GetVolumeNameForVolumeMountPointW,
    ::QueryDosDeviceW,
    LateGetStorageDependencyInformation,
    ::GetWindowsDirectoryW,
    ::GetModuleFileNameW,
    ::GetFinalPathNameByHandleW,
    ::Sleep,
    ::SetTimer,
    ::Shell_NotifyIconW,
    LateSetupDiGetClassDevsW,
    LateSetupDiEnumDeviceInterfaces,
    LateSetupDiGetDeviceInterfaceDetailW,
    LateSetupDiDestroyDeviceInfoList,
    LateCM_Get_Parent,
    LateCM_Get_Device_IDW,
    LateCM_Get_DevNode_Registry_PropertyW,
    LateCM_Get_DevNode_Status,
    LateCM_Locate_DevNodeW,
    LateCM_Request_Device_EjectW,
    LateCM_Register_Notification,
    LateCM_Unregister_Notification,
};

SystemCalls systemCalls = defaultSystemCalls;
