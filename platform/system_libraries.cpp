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
