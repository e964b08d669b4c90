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
};

SystemCalls systemCalls = defaultSystemCalls;
