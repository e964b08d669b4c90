// A WH_CALLWNDPROC hook sees every WM_SETTEXT of the run's window and the WM_ENTERIDLE that
// a menu loop sends its owner once the menu is up and waiting; a stand-in in front of the
// DeviceIoControl of the table notes the window's visibility at each control.
#include "run_watch.h"
#include "app/process.h"
#include "storage/system_calls.h"
#include "ui/removal_window.h"

std::vector<Status> statuses;
std::vector<bool> visibleAtControl;
HWND runWindow;
SeenMenu seenMenu;
static std::vector<WORD> keys;
static HHOOK hook;
static decltype(systemCalls.DeviceIoControl) nextDeviceIoControl;

static void ReadMenu(HWND menuWindow)
{
    seenMenu.shown = true;
    GetWindowRect(menuWindow, &seenMenu.rect);
    HMENU menu = reinterpret_cast<HMENU>(SendMessageW(menuWindow, MN_GETHMENU, 0, 0));
    for (int i = 0; i < GetMenuItemCount(menu); ++i) {
        WCHAR text[128] = L"";
        GetMenuStringW(menu, i, text, 128, MF_BYPOSITION);
        UINT state = GetMenuState(menu, i, MF_BYPOSITION);
        // Wine reports a separator as disabled and grayed as well.
        seenMenu.states.push_back(state & MF_SEPARATOR ? MF_SEPARATOR : state & (MF_DISABLED | MF_GRAYED));
        seenMenu.texts.push_back(text);
        seenMenu.ids.push_back(GetMenuItemID(menu, i));
    }
}

static BOOL CALLBACK FindMenuWindow(HWND window, LPARAM found)
{
    WCHAR className[16] = L"";
    GetClassNameW(window, className, 16);
    if (lstrcmpW(className, L"#32768") != 0)
        return TRUE;
    *reinterpret_cast<HWND*>(found) = window;
    return FALSE;
}

static void AnswerMenu(HWND menuWindow)
{
    if (!menuWindow)  // this thread's menu, not another program's
        EnumThreadWindows(GetCurrentThreadId(), FindMenuWindow, reinterpret_cast<LPARAM>(&menuWindow));
    if (!seenMenu.shown)
        ReadMenu(menuWindow);
    std::vector<WORD> answer = keys.empty() ? std::vector<WORD>{VK_ESCAPE} : keys;
    keys.clear();
    for (WORD key : answer) {
        PostMessageW(menuWindow, WM_KEYDOWN, key, 0);
        PostMessageW(menuWindow, WM_KEYUP, key, 0);
    }
}

static LRESULT CALLBACK Watch(int code, WPARAM wParam, LPARAM lParam)
{
    const CWPSTRUCT* call = reinterpret_cast<const CWPSTRUCT*>(lParam);
    WCHAR className[16] = L"";
    GetClassNameW(call->hwnd, className, 16);
    if (lstrcmpW(className, L"Vantrel") == 0 && call->message == WM_CREATE)
        runWindow = call->hwnd;
    if (call->message == WM_SETTEXT && lstrcmpW(className, L"Vantrel") == 0) {
        runWindow = call->hwnd;
        statuses.push_back({reinterpret_cast<const WCHAR*>(call->lParam), IsWindowVisible(call->hwnd) != 0});
    }
    if (call->message == WM_ENTERIDLE && call->wParam == MSGF_MENU)
        AnswerMenu(reinterpret_cast<HWND>(call->lParam));
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

static BOOL WINAPI WatchControl(HANDLE device, DWORD code, LPVOID in, DWORD inLength, LPVOID out, DWORD outLength,
                                LPDWORD returned, LPOVERLAPPED overlapped)
{
    visibleAtControl.push_back(runWindow && IsWindowVisible(runWindow));  // this thread's window, not another's
    return nextDeviceIoControl(device, code, in, inLength, out, outLength, returned, overlapped);
}

void StartWatching(std::vector<WORD> menuKeys)
{
    statuses.clear();
    visibleAtControl.clear();
    runWindow = nullptr;
    seenMenu = SeenMenu();
    keys = menuKeys;
    hook = SetWindowsHookExW(WH_CALLWNDPROC, Watch, nullptr, GetCurrentThreadId());
}

void StopWatching()
{
    UnhookWindowsHookEx(hook);
}

void RunRemovalWatched(const WCHAR* path, std::vector<WORD> menuKeys)
{
    StartWatching(menuKeys);
    nextDeviceIoControl = systemCalls.DeviceIoControl;
    systemCalls.DeviceIoControl = WatchControl;
    RunWindowHost(RemovalWindow, const_cast<WCHAR*>(path));
    systemCalls.DeviceIoControl = nextDeviceIoControl;
    StopWatching();
}
