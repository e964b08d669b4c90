// The process-wide values that start-up writes once, before the window exists, and that the
// windows read: the instance handle and the program's own full path.
#pragma once
#include <windows.h>

extern HINSTANCE Instance;
// The running program's full path, or empty when it did not fit: a truncated path might
// name another file, and the tray starts removal runs from it.
extern WCHAR ModulePath[MAX_PATH];

void FillModulePath();
