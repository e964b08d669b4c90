// The scale of the primary screen, where the removal window stands and the notification area
// shows its icons.
#pragma once
#include <windows.h>

enum { StandardDpi = 96 };  // 100 %

// The system's DPI: the one a system-aware program draws at, and the stock fonts' scale.
UINT SystemDpi();
// The primary screen's DPI now: per monitor where Windows knows it (8.1 on), else the system's.
UINT PrimaryScreenDpi();
// The small-icon size (the notification area's) at the primary screen's scale now: 16 pixels at
// 100 %, 20 at 125 %, 24 at 150 %, 32 at 200 %.
int SmallIconSize();
