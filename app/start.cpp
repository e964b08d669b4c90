// The start of every process: hardening, the mode from the command line, the program's own
// path and image, and the one window with its message loop.
#include "app/process.h"
#include "ui/removal_window.h"
#include "ui/text_compare.h"
#include "ui/texts.h"
#include "ui/tray_window.h"
#include <shellapi.h>

static const WCHAR NoPath[] = L"";

ModeChoice ChooseMode(int argc, WCHAR** argv)
{
    if (argc < 2)
        return {TrayMode, nullptr};
    if (EqualFoldingAtoZ(argv[1], L"/menu"))
        return {MenuMode, nullptr};
    // The program's own disk is where its image lies, not wherever argument 0 resolves.
    if (EqualFoldingAtoZ(argv[1], L"/self"))
        return {PathMode, ModulePath};
    // A mistyped switch would resolve to the root of the current drive: it names no disk.
    if (argv[1][0] == L'/' || argv[1][0] == L'-')
        return {PathMode, NoPath};
    return {PathMode, argv[1]};
}

static int PumpMessages()
{
    MSG message;
    for (;;) {
        if (!PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE)) {
            WaitMessage();
            continue;
        }
        if (GetMessageW(&message, nullptr, 0, 0) <= 0)
            return int(message.wParam);  // the quit message's code
        DispatchMessageW(&message);  // not translated: no character messages are wanted
    }
}

int RunWindowHost(WNDPROC procedure, void* parameter)
{
    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = CS_CLASSDC;
    windowClass.lpfnWndProc = procedure;
    windowClass.hInstance = Instance;
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    windowClass.lpszClassName = GetText(TextTitle);
    RegisterClassExW(&windowClass);
    HWND window = CreateWindowExW(0, GetText(TextTitle), nullptr, 0, CW_USEDEFAULT, CW_USEDEFAULT,
                                  CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, nullptr, parameter);
    return window ? PumpMessages() : -1;
}

// An elevated program must not load a DLL planted in its own folder: from here on, DLLs
// are looked for in System32 only. Looked up by name, as Windows 7 without KB2533623
// lacks it. Before this runs, the load configuration's DependentLoadFlags protect only
// from Windows 10 1607 on; what makes start-up safe on Windows 7 too is that every DLL the
// image imports is a KnownDLL, which the loader takes from System32 whatever the folder.
static void RestrictDllSearch()
{
    FARPROC procedure = GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories");
    if (procedure)
        reinterpret_cast<decltype(&::SetDefaultDllDirectories)>(reinterpret_cast<void*>(procedure))(
            LOAD_LIBRARY_SEARCH_SYSTEM32);
}

SIZE_T MakeImageResident(HMODULE image)
{
    const BYTE* start = reinterpret_cast<const BYTE*>(image);
    const IMAGE_NT_HEADERS* headers =
        reinterpret_cast<const IMAGE_NT_HEADERS*>(start + reinterpret_cast<const IMAGE_DOS_HEADER*>(image)->e_lfanew);
    const SIZE_T size = headers->OptionalHeader.SizeOfImage;
    // Locked pages count against the minimum working set: make room for the whole image.
    SIZE_T minimum = 0, maximum = 0;
    if (GetProcessWorkingSetSize(GetCurrentProcess(), &minimum, &maximum))
        SetProcessWorkingSetSize(GetCurrentProcess(), minimum + size, maximum + size);
    SIZE_T locked = 0;
    MEMORY_BASIC_INFORMATION region;
    for (const BYTE* at = start; at < start + size && VirtualQuery(at, &region, sizeof region);) {
        const BYTE* end = static_cast<const BYTE*>(region.BaseAddress) + region.RegionSize;
        if (end > start + size)
            end = start + size;
        bool readable = region.State == MEM_COMMIT && !(region.Protect & (PAGE_NOACCESS | PAGE_GUARD));
        if (readable && VirtualLock(const_cast<BYTE*>(at), end - at))
            locked += end - at;
        at = end;
    }
    return locked;
}

WCHAR* FullPath(const WCHAR* path)
{
    if (!path)
        return nullptr;
    DWORD units = GetFullPathNameW(path, 0, nullptr, nullptr), given = lstrlenW(path) + 1;
    WCHAR* full = new WCHAR[units > given ? units : given];
    DWORD written = units ? GetFullPathNameW(path, units, full, nullptr) : 0;
    if (written == 0 || written >= units)
        lstrcpyW(full, path);
    return full;
}

// Holds nothing open on the volume the program was started from: that may be the one removed.
static void LeaveCurrentDirectory()
{
    WCHAR system[MAX_PATH];
    UINT length = GetSystemDirectoryW(system, MAX_PATH);
    if (length > 0 && length < MAX_PATH)
        SetCurrentDirectoryW(system);
}

int RunProgram(HINSTANCE instance)
{
    HeapSetInformation(nullptr, HeapEnableTerminationOnCorruption, nullptr, 0);
    RestrictDllSearch();
    Instance = instance;
    FillModulePath();
    // Before anything can be dismounted: a page that is not in memory then can never be read.
    MakeImageResident(instance);
    int argc = 0;
    WCHAR** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv)
        return ExitNoDrive;  // a command line that cannot be split names nothing
    ModeChoice choice = ChooseMode(argc, argv);
    WCHAR* path = FullPath(choice.path);
    LeaveCurrentDirectory();
    int exitCode = choice.mode == TrayMode ? RunWindowHost(TrayWindow, nullptr) : RunWindowHost(RemovalWindow, path);
    delete[] path;
    LocalFree(argv);
    return exitCode;
}
