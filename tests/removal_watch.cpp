// A thread hook sees every WM_SETTEXT of the run's window; a stand-in in front of the
// simulated DeviceIoControl notes the window's visibility at each control.
#include "removal_watch.h"
#include "app/process.h"
#include "storage/system_calls.h"
#include "ui/removal_window.h"

std::vector<Status> statuses;
std::vector<bool> visibleAtControl;
HWND runWindow;
static decltype(systemCalls.DeviceIoControl) nextDeviceIoControl;

static LRESULT CALLBACK WatchText(int code, WPARAM wParam, LPARAM lParam)
{
    const CWPSTRUCT* call = reinterpret_cast<const CWPSTRUCT*>(lParam);
    WCHAR className[16] = L"";
    GetClassNameW(call->hwnd, className, 16);
    if (call->message == WM_SETTEXT && lstrcmpW(className, L"Vantrel") == 0) {
        runWindow = call->hwnd;
        statuses.push_back({reinterpret_cast<const WCHAR*>(call->lParam), IsWindowVisible(call->hwnd) != 0});
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

static BOOL WINAPI WatchControl(HANDLE device, DWORD code, LPVOID in, DWORD inLength, LPVOID out,
                                DWORD outLength, LPDWORD returned, LPOVERLAPPED overlapped)
{
    HWND window = FindWindowW(L"Vantrel", nullptr);
    visibleAtControl.push_back(window && IsWindowVisible(window));
    return nextDeviceIoControl(device, code, in, inLength, out, outLength, returned, overlapped);
}

void RunRemovalWatched(const WCHAR* path)
{
    statuses.clear();
    visibleAtControl.clear();
    runWindow = nullptr;
    nextDeviceIoControl = systemCalls.DeviceIoControl;
    systemCalls.DeviceIoControl = WatchControl;
    HHOOK hook = SetWindowsHookExW(WH_CALLWNDPROC, WatchText, nullptr, GetCurrentThreadId());
    RunWindowHost(RemovalWindow, const_cast<WCHAR*>(path));
    UnhookWindowsHookEx(hook);
    systemCalls.DeviceIoControl = nextDeviceIoControl;
}
