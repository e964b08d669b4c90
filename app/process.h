// Start-up: the process-wide values written once before the window exists, the choice of
// mode from the command line, and the host that runs the process's one window.
#pragma once
#include <windows.h>

enum { ModulePathCapacity = 260 };

extern HINSTANCE Instance;
// The running program's full path, or empty when it did not fit: a truncated path might
// name another file, and the tray starts removal runs from it.
extern WCHAR ModulePath[ModulePathCapacity];

enum Mode { TrayMode, MenuMode, PathMode };

struct ModeChoice {
    Mode mode;
    const WCHAR* path;  // PathMode only: points into the argument vector
};

// No argument: TrayMode; "/menu": MenuMode; "/self": PathMode with argument 0; anything
// else: PathMode with that argument. Switches compare folding only A-Z; later arguments
// are ignored.
ModeChoice ChooseMode(int argc, WCHAR** argv);

// Registers the "Vantrel" class, creates the hidden window with the given creation
// parameter, and pumps messages until the window quits.
void RunWindowHost(WNDPROC procedure, void* parameter);

// Everything the entry procedure does; the simulated build calls it after loading its machine.
int RunProgram(HINSTANCE instance);
