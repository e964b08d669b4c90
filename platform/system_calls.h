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
};

extern SystemCalls systemCalls;
extern const SystemCalls defaultSystemCalls;
