// Runs one removal run inside the test process, on the simulated machine, recording each
// status text as the window receives it and whether the window was visible at each device
// control.
#pragma once
#include <windows.h>
#include <string>
#include <vector>

struct Status {
    std::wstring text;
    bool visible;  // when the text was set
};

extern std::vector<Status> statuses;
extern std::vector<bool> visibleAtControl;
extern HWND runWindow;  // the run's window, once it has shown a status

// Runs the removal of the path (null: the menu) to its end, as the process would.
void RunRemovalWatched(const WCHAR* path);
