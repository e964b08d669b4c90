// The tray window's procedure: icon, hot key, menu, and the blocking wait for a removal run.
#include "ui/tray_window.h"
#include "ui/texts.h"
#include "app/process_state.h"
#include "res/resource.h"
#include "storage/system_calls.h"
#include <shellapi.h>

static const UINT TrayMenuFlags = TPM_RETURNCMD | TPM_RIGHTBUTTON;

#ifndef _WIN64
// The full record, up to hBalloonIcon, as the 32-bit shell expects it.
static_assert(sizeof(NOTIFYICONDATAW) == 956, "x86 notification record");
#endif

// Owned by TrayWindow; there is one such window per process.
static HANDLE image = INVALID_HANDLE_VALUE;  // the program's own file, held while resident
static UINT hotKeyModifiers;
static UINT hotKeyKey;
static HICON icon;
static NOTIFYICONDATAW notifyIcon;
static UINT taskbarCreated;  // broadcast by a shell that has started again, icons all gone

static void RegisterRemovalHotKey(HWND window)
{
    RegisterHotKey(window, TrayHotKeyId, hotKeyModifiers, hotKeyKey);
}

// Runs start elevated without a prompt, so they must start this very file: held open with
// sharing that forbids writing and deleting, it can be neither renamed, replaced nor changed.
static void HoldImage()
{
    if (ModulePath[0])
        image = systemCalls.CreateFileW(ModulePath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
}

static void OnCreate(HWND window)
{
    HoldImage();
    // The tray runs elevated, so UIPI would drop this one broadcast from the shell, which
    // does not; nothing else is let through.
    taskbarCreated = RegisterWindowMessageW(L"TaskbarCreated");
    if (taskbarCreated)
        ChangeWindowMessageFilterEx(window, taskbarCreated, MSGFLT_ALLOW, nullptr);
    hotKeyModifiers = MOD_WIN;
    hotKeyKey = VK_ESCAPE;
    icon = LoadIconW(Instance, MAKEINTRESOURCEW(IDI_VANTREL));
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
    if (image != INVALID_HANDLE_VALUE)
        systemCalls.CloseHandle(image);
    image = INVALID_HANDLE_VALUE;
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
// that Win+Esc cannot start a second run, and taken back whatever happened. The file is named
// exactly, as the application: no shell, no file association, no search.
static void RunRemoval(HWND window)
{
    UnregisterHotKey(window, TrayHotKeyId);
    WCHAR commandLine[MAX_PATH + 16] = L"\"";
    lstrcatW(lstrcatW(commandLine, ModulePath), L"\" /menu");
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOW;
    PROCESS_INFORMATION process;
    if (ModulePath[0] &&
        CreateProcessW(ModulePath, commandLine, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
        CloseHandle(process.hThread);
        WaitForSingleObject(process.hProcess, INFINITE);
        CloseHandle(process.hProcess);
    }
    RegisterRemovalHotKey(window);
}

// The shell restarted: the icon is added again with the same record. Refused, the tray stays
// resident all the same, with its hot key.
static void OnTaskbarCreated()
{
    if (icon)
        Shell_NotifyIconW(NIM_ADD, &notifyIcon);
}

LRESULT CALLBACK TrayWindow(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == taskbarCreated && taskbarCreated) {
        OnTaskbarCreated();
        return 0;
    }
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
