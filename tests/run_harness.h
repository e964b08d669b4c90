// Runs VantrelSim.exe as its own process on a scenario and watches its one window through
// Win32, the way a user would see it: visibility, place, styles and text over time.
#pragma once
#include <windows.h>
#include <string>
#include <vector>

struct Sighting {
    std::wstring text;  // the window's text while it was visible
    RECT rect;
    LONG style, exStyle;
};

struct RunResult {
    DWORD exitCode;
    std::string output;               // standard output
    std::vector<Sighting> sightings;  // one per distinct visible text, in order
    bool everVisible;
    bool menuShown;
    RECT menuRect;
    double secondsAfterLastText;      // from the last new text to the end of the process
};

// What to do when the process shows its drive menu: keys posted to the menu, in order.
struct RunOptions {
    std::vector<WORD> menuKeys;
};

extern std::wstring simProgram;  // VantrelSim.exe
extern std::wstring sourceDir;   // the project's folder, with a trailing backslash

// What to start: the program (VantrelSim.exe when empty), the command line after the
// program's name (the quoted full path, when argument0 is empty) and the current directory.
struct Launch {
    std::wstring arguments;
    std::wstring scenario;  // relative to the project's folder
    std::wstring program;
    std::wstring argument0;
    std::wstring directory;
};

RunResult RunSim(const Launch& launch, const RunOptions& options = {});

// Starts the simulated program without waiting for it; output goes to the test's own.
PROCESS_INFORMATION StartSim(const Launch& launch);

// A window of the class that belongs to the process (or, given an image, to another process
// of that image), waiting for it up to the time given; null when none appeared.
HWND WaitForWindow(DWORD process, const std::wstring* image, const WCHAR* className, DWORD milliseconds);
std::wstring ImageOf(DWORD processId);
