// Started by the tray test in place of the program: appends a line with its first argument and
// the show command its first ShowWindow would be held to (SW_SHOWDEFAULT when the starter named
// none) to the file named by VANTREL_PROBE, then stays until the event named by
// VANTREL_PROBE_WAIT is set (10 s at most), so that the test can act while the run is open.
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>

int wmain(int argc, wchar_t** argv)
{
    STARTUPINFOW startup;
    GetStartupInfoW(&startup);
    FILE* file = _wfopen(_wgetenv(L"VANTREL_PROBE"), L"a");
    if (!file)
        return 1;
    UINT show = startup.dwFlags & STARTF_USESHOWWINDOW ? startup.wShowWindow : SW_SHOWDEFAULT;
    fprintf(file, "%ls %u\n", argc > 1 ? argv[1] : L"", show);
    fclose(file);
    const wchar_t* wait = _wgetenv(L"VANTREL_PROBE_WAIT");
    HANDLE go = wait ? OpenEventW(SYNCHRONIZE, FALSE, wait) : nullptr;
    if (go)
        WaitForSingleObject(go, 10000);
    return 0;
}
