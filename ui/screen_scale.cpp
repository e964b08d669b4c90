// The primary screen's scale, asked anew each time: the user may change it while the program
// runs, and GetSystemMetrics in a per-monitor-aware process keeps answering for the scale in
// effect at sign-in.
#include "ui/screen_scale.h"
#include "platform/system_libraries.h"

UINT SystemDpi()
{
    HDC screen = GetDC(nullptr);
    UINT dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    return dpi;
}

UINT PrimaryScreenDpi()
{
    typedef HRESULT(WINAPI * GetDpiForMonitorProc)(HMONITOR, int, UINT*, UINT*);
    static const auto getDpiForMonitor = reinterpret_cast<GetDpiForMonitorProc>(
        reinterpret_cast<void*>(FindSystemFunction(L"shcore.dll", "GetDpiForMonitor")));
    UINT dpiX = 0, dpiY = 0;
    POINT origin = {0, 0};
    if (!getDpiForMonitor || getDpiForMonitor(MonitorFromPoint(origin, MONITOR_DEFAULTTOPRIMARY), 0, &dpiX, &dpiY) != S_OK)
        dpiY = SystemDpi();
    return dpiY ? dpiY : UINT(StandardDpi);
}

int SmallIconSize()
{
    typedef int(WINAPI * GetSystemMetricsForDpiProc)(int, UINT);
    static const auto getSystemMetricsForDpi = reinterpret_cast<GetSystemMetricsForDpiProc>(
        reinterpret_cast<void*>(FindSystemFunction(L"user32.dll", "GetSystemMetricsForDpi")));
    int size = getSystemMetricsForDpi ? getSystemMetricsForDpi(SM_CXSMICON, PrimaryScreenDpi()) : 0;
    return size > 0 ? size : GetSystemMetrics(SM_CXSMICON);  // Windows 10 1607 on; before, the sign-in scale
}
