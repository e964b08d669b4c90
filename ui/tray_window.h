// The resident window: an icon in the notification area with a right-button menu, and the
// Win+Esc hot key. Either starts a removal run, a second process of this program with
// "/menu", and waits until that process has ended.
#pragma once
#include <windows.h>

enum {
    TrayHotKeyId = 0,
    TrayCommandRemove = 1,
    TrayCommandExit = 2,
};

LRESULT CALLBACK TrayWindow(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
