// Plays the user of this thread's windows: records each status text of the removal window,
// whether it was visible then and how it stood on the screen once painted, and whether the
// window was visible at each device control; reads the first pop-up menu that waits for
// input and answers it with keys. For tests, and for VantrelSim runs that report what they showed.
#pragma once
#include <windows.h>
#include <string>
#include <vector>

struct Status {
    std::wstring text;
    bool visible;        // when the text was set
    bool painted;        // the rest is read once the text has been painted
    RECT rect, client, ink;  // ink: the box of the dark pixels within the client area
    bool white;              // the client area's corner: the background
    LONG style, exStyle;
    ULONGLONG shownAt;
};

struct SeenMenu {
    std::vector<std::wstring> texts;
    std::vector<UINT> states;  // MF_SEPARATOR, or MF_DISABLED / MF_GRAYED
    std::vector<UINT> ids;
    RECT rect;
    bool shown;
};

extern std::vector<Status> statuses;
extern std::vector<bool> visibleAtControl;
extern HWND runWindow;  // the run's window, from its creation on
extern SeenMenu seenMenu;

// Watches this thread until StopWatching; a menu is answered with the keys given, or with
// Esc when there are none, so that a menu nobody expected ends instead of waiting for ever.
// menuUp, when given, is called once the menu is up, before it is answered.
void StartWatching(std::vector<WORD> menuKeys = {}, void (*menuUp)() = nullptr);
void StopWatching();

// Runs the removal of the path (null: the menu) to its end, as the process would, watched;
// returns the run's exit code.
int RunRemovalWatched(const WCHAR* path, std::vector<WORD> menuKeys = {});

// What the run showed, a line each, in UTF-8: the menu's place and items, then each status
// with its size, place, styles and whether its text fits, then how long the window stayed
// after its last status, in milliseconds.
std::string DescribeRun();
