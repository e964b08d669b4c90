// The entry procedure of VantrelSim.exe: the program on the simulated machine that the file
// named by VANTREL_SCENARIO describes, with Sleep waiting for real. For tests and the demo.
#include "app/process.h"
#include "sim/sim.h"
#include <stdio.h>
#include <stdlib.h>

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int)
{
    SimInstall();
    sim.realSleep = true;
    const wchar_t* file = _wgetenv(L"VANTREL_SCENARIO");
    std::wstring error;
    if (file && !SimLoadScenario(file, &error)) {
        fwprintf(stderr, L"VantrelSim: %ls\n", error.c_str());
        return 2;
    }
    return RunProgram(instance);
}
