// Functions of Windows' own libraries that the image does not import, found by name when a
// run first needs them: Windows 7 lacks some of them, and the image imports only the DLLs
// that Windows loads from System32 whatever the folder (its KnownDLLs).
#pragma once
#include <windows.h>

// The function of that name in the library of System32 (loaded by its full path, never
// searched for, and kept for the process), or null when either cannot be had.
FARPROC FindSystemFunction(const WCHAR* library, const char* name);

// Stand-ins for the table of system calls: each calls the function of its name, found on its
// first call, or fails as the function itself would if it cannot be found.
DWORD WINAPI LateGetStorageDependencyInformation(HANDLE object, GET_STORAGE_DEPENDENCY_FLAG flags, ULONG size,
                                                 PSTORAGE_DEPENDENCY_INFO information, PULONG used);
