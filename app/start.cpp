// The start of every process: mode from the command line, the program's own path, and the
// one window with its message loop.
#include "app/process.h"
#include "ui/drive_menu.h"
#include "ui/removal_window.h"
#include "ui/tray_window.h"
#include "ui/texts.h"
#include <shellapi.h>

HINSTANCE Instance;
WCHAR ModulePath[ModulePathCapacity];

ModeChoice ChooseMode(int argc, WCHAR** argv)
{
    if (argc < 2)
        return {TrayMode, nullptr};
    if (EqualFoldingAtoZ(argv[1], L"/menu"))
        return {MenuMode, nullptr};
    if (EqualFoldingAtoZ(argv[1], L"/self"))
        return {PathMode, argv[0]};
    return {PathMode, argv[1]};
}

static void FillModulePath()
{
    // One unit short of the buffer: a full result means the path may have been cut.
    DWORD length = GetModuleFileNameW(nullptr, ModulePath, ModulePathCapacity - 1);
    if (length == 0 || length >= ModulePathCapacity - 1)
        ModulePath[0] = 0;
}

static void PumpMessages()
{
    MSG message;
    for (;;) {
        if (!PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE)) {
            WaitMessage();
            continue;
        }
        if (GetMessageW(&message, nullptr, 0, 0) <= 0)
            return;
        DispatchMessageW(&message);  // not translated: no character messages are wanted
    }
}

void RunWindowHost(WNDPROC procedure, void* parameter)
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
    if (window)
        PumpMessages();
}

// An elevated program must not load a DLL planted in its own folder: from here on, DLLs
// are looked for in System32 only. Looked up by name, as Windows 7 without KB2533623
// lacks it; there the load configuration's flags are all the protection there is.
static void RestrictDllSearch()
{
    FARPROC procedure = GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories");
    if (procedure)
        reinterpret_cast<decltype(&::SetDefaultDllDirectories)>(reinterpret_cast<void*>(procedure))(
            LOAD_LIBRARY_SEARCH_SYSTEM32);
}

int RunProgram(HINSTANCE instance)
{
    RestrictDllSearch();
    int argc = 0;
    WCHAR** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv)
        return 0;
    ModeChoice choice = ChooseMode(argc, argv);
    Instance = instance;
    FillModulePath();
    if (choice.mode == TrayMode)
        RunWindowHost(TrayWindow, nullptr);
    else
        RunWindowHost(RemovalWindow, const_cast<WCHAR*>(choice.path));
    LocalFree(argv);
    return 0;
}
