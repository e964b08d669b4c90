// The entry procedure of Vantrel.exe; a removal run exits with the code of its outcome.
#include "app/process.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int)
{
    return RunProgram(instance);
}
