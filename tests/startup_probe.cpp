// Started by the tray test in place of the program: writes its first argument and the show
// command its first ShowWindow would be held to (SW_SHOWDEFAULT when the starter named none)
// to the file named by VANTREL_PROBE. Windows applies that command to the run's window.
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>

int wmain(int argc, wchar_t** argv)
{
    STARTUPINFOW startup;
    GetStartupInfoW(&startup);
    FILE* file = _wfopen(_wgetenv(L"VANTREL_PROBE"), L"w");
    if (!file)
        return 1;
    UINT show = startup.dwFlags & STARTF_USESHOWWINDOW ? startup.wShowWindow : SW_SHOWDEFAULT;
    fprintf(file, "%ls %u", argc > 1 ? argv[1] : L"", show);
    return fclose(file);
}
