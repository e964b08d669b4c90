// Start-up: the choice of mode from the command line, and the host that runs the process's
// one window. The process-wide values that start-up writes lie on the floor below.
#pragma once
#include "platform/process_state.h"

enum Mode { TrayMode, MenuMode, PathMode };

struct ModeChoice {
    Mode mode;
    const WCHAR* path;  // PathMode only: points into the argument vector
};

// No argument: TrayMode; "/menu": MenuMode; "/self": PathMode with the program's own path;
// any other switch ("/" or "-"): PathMode with an empty path, which names no disk; anything
// else: PathMode with that argument. Switches compare folding only A-Z; later arguments are
// ignored.
ModeChoice ChooseMode(int argc, WCHAR** argv);

// Registers the "Vantrel" class, creates the hidden window with the given creation
// parameter, and pumps messages until the window quits; returns the quit message's code, the
// process's exit code (-1 when the window could not be created).
int RunWindowHost(WNDPROC procedure, void* parameter);

// The path made full against the current directory, in a buffer of its own (delete[] it);
// null when there is no path. A path that cannot be made full (an empty one) stays as it was.
WCHAR* FullPath(const WCHAR* path);

// Locks every readable page of the image in memory; returns the bytes locked.
SIZE_T MakeImageResident(HMODULE image);

// Everything the entry procedure does; the simulated build calls it after loading its machine.
int RunProgram(HINSTANCE instance);
