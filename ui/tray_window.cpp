// The tray window's procedure: icon, hot key, menu, and the blocking wait for a removal run.
#include "ui/tray_window.h"
#include "ui/texts.h"
#include "app/process.h"
#include "storage/system_calls.h"
#include <shellapi.h>

static const UINT TrayMenuFlags = TPM_RETURNCMD | TPM_RIGHTBUTTON;

#ifndef _WIN64
// The full records, up to hBalloonIcon, as the 32-bit shell expects them.
static_assert(sizeof(NOTIFYICONDATAW) == 956 && sizeof(SHELLEXECUTEINFOW) == 60, "x86 shell records");
#endif

// Owned by TrayWindow; there is one such window per process.
static UINT hotKeyModifiers;
static UINT hotKeyKey;
static HICON icon;
static NOTIFYICONDATAW notifyIcon;

static void RegisterRemovalHotKey(HWND window)
{
    RegisterHotKey(window, TrayHotKeyId, hotKeyModifiers, hotKeyKey);
}

static void OnCreate(HWND window)
{
    hotKeyModifiers = MOD_WIN;
    hotKeyKey = VK_ESCAPE;
    icon = LoadIconW(Instance, MAKEINTRESOURCEW(TrayIconResource));
    if (!icon) {
        PostMessageW(window, WM_CLOSE, 0, 0);
        return;
    }
    notifyIcon = {};
    notifyIcon.cbSize = sizeof notifyIcon;
    notifyIcon.hWnd = window;
    notifyIcon.uID = 0;
    notifyIcon.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    notifyIcon.uCallbackMessage = WM_USER;
    notifyIcon.hIcon = icon;
    lstrcpynW(notifyIcon.szTip, GetText(TextTitle), ARRAYSIZE(notifyIcon.szTip));
    if (!Shell_NotifyIconW(NIM_ADD, &notifyIcon)) {
        PostMessageW(window, WM_CLOSE, 0, 0);
        return;
    }
    RegisterRemovalHotKey(window);  // when another program holds Win+Esc, the menu still works
}

static void OnDestroy(HWND window)
{
    Shell_NotifyIconW(NIM_DELETE, &notifyIcon);
    if (icon)
        DestroyIcon(icon);
    icon = nullptr;
    UnregisterHotKey(window, TrayHotKeyId);
    PostQuitMessage(0);
}

static void ShowTrayMenu(HWND window)
{
    HMENU menu = CreatePopupMenu();
    if (!menu)
        return;
    bool japanese = IsJapaneseUser();  // both commands in one language
    AppendMenuW(menu, MF_DISABLED, 0, GetText(TextTitle));
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(menu, MF_STRING, TrayCommandRemove, GetTextIn(TextRemoveMoreSafely, japanese));
    AppendMenuW(menu, MF_STRING, TrayCommandExit, GetTextIn(TextExit, japanese));
    SetForegroundWindow(window);
    POINT cursor;
    GetCursorPos(&cursor);
    UINT command = TrackPopupMenu(menu, TrayMenuFlags, cursor.x, cursor.y, 0, window, nullptr);
    if (command == TrayCommandRemove)
        PostMessageW(window, WM_HOTKEY, TrayHotKeyId, 0);  // one path for the menu and the key
    else if (command == TrayCommandExit)
        PostMessageW(window, WM_CLOSE, 0, 0);
    PostMessageW(window, WM_NULL, 0, 0);
    DestroyMenu(menu);
}

// Starts this program with "/menu" and waits for it. The hot key is released meanwhile, so
// that Win+Esc cannot start a second run, and taken back whatever happened.
static void RunRemoval(HWND window)
{
    UnregisterHotKey(window, TrayHotKeyId);
    SHELLEXECUTEINFOW execute = {};
    execute.cbSize = sizeof execute;
    execute.fMask = SEE_MASK_NOCLOSEPROCESS;
    execute.lpFile = ModulePath;
    execute.lpParameters = L"/menu";
    execute.nShow = SW_SHOW;
    if (ModulePath[0] && ShellExecuteExW(&execute) && execute.hProcess) {
        WaitForSingleObject(execute.hProcess, INFINITE);
        systemCalls.CloseHandle(execute.hProcess);
    }
    RegisterRemovalHotKey(window);
}

LRESULT CALLBACK TrayWindow(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE: OnCreate(window); return 0;
    case WM_DESTROY: OnDestroy(window); return 0;
    case WM_USER:
        if (lParam == WM_RBUTTONDOWN)
            ShowTrayMenu(window);
        return 0;
    case WM_HOTKEY:
        if (wParam == TrayHotKeyId)
            RunRemoval(window);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}
