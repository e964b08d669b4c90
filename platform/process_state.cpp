// The instance handle and the program's own path, recorded at start-up.
#include "platform/process_state.h"
#include "platform/system_calls.h"

HINSTANCE Instance;
WCHAR ModulePath[MAX_PATH];

void FillModulePath()
{
    // One unit short of the buffer: a full result means the path may have been cut.
    DWORD length = systemCalls.GetModuleFileNameW(nullptr, ModulePath, MAX_PATH - 1);
    if (length == 0 || length >= MAX_PATH - 1)
        ModulePath[0] = 0;
}
