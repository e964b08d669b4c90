// The one window of a removal run: hidden while the disk is chosen, dismounted and spun
// down, then shown top-most with the outcome; it closes itself three seconds after its last
// message. The run is a chain of WM_USER messages, wParam being the step; its waits are
// timers, so that the window answers all along.
#pragma once
#include <windows.h>
#include "ui/texts.h"

enum RunStep {
    StepChooseDrive = 0,  // lParam: the run's path, or null to ask with the menu
    StepWaitRemoval = 1,  // lParam: the disk number
    StepCloseLater = 2,
};

enum {
    RemovalWindowWidth = 400,
    RemovalWindowHeight = 50,
    PollMilliseconds = 100,
    CloseDelayMilliseconds = 3000,
};

// The exit code of a removal run's process.
enum RunExitCode {
    ExitRemoved = 0,  // spun down, and gone
    ExitNoDrive = 1,  // no USB disk, or none that the path, switch or choice named
    ExitDismountFailed = 2,
    ExitSpinDownFailed = 3,
    ExitCancelled = 4,  // at the menu
    ExitNotSeenUnplugged = 5,  // spun down, but the session ended before the disk was unplugged
};

// The creation parameter is the run's path, or null in menu mode.
LRESULT CALLBACK RemovalWindow(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Shows a status text, forces it onto the screen, then posts the next step.
void ShowStatus(HWND window, TextId text, RunStep next, LPARAM lParam);
