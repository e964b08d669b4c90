// The entry procedure of Vantrel.exe. The exit code is 0 in every mode.
#include "app/process.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int)
{
    return RunProgram(instance);
}
