// The tray window's procedure: icon, hot key, menu, and the wait for a removal run, during
// which the tray goes on handling its messages.
#include "ui/tray_window.h"
#include "ui/texts.h"
#include "platform/process_state.h"
#include "res/resource.h"
#include "platform/system_calls.h"
#include "ui/screen_scale.h"
#include "ui/message_wait.h"
#include <shellapi.h>
#include <string.h>

static const UINT TrayMenuFlags = TPM_RETURNCMD | TPM_RIGHTBUTTON;

#ifndef _WIN64
// The full record, up to hBalloonIcon, as the 32-bit shell expects it.
static_assert(sizeof(NOTIFYICONDATAW) == 956, "x86 notification record");
#endif

// Owned by TrayWindow; there is one such window per process.
static HANDLE image = INVALID_HANDLE_VALUE;  // the program's own file, held while resident
static UINT hotKeyModifiers;
static UINT hotKeyKey;
static HICON icon;  // loaded as the program's own, so it destroys it
static int iconSize;  // the small-icon size it was loaded at
static NOTIFYICONDATAW notifyIcon;
static UINT taskbarCreated;  // broadcast by a shell that has started, icons all gone
static bool runOpen;         // a removal run started here has not ended yet

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

// The icon at the notification area's size, the small-icon size of the screen's scale now.
// LoadIconW would give the 32-pixel image (a shared one, never to be destroyed) for the area
// to shrink, blurred.
static HICON LoadTrayIcon(int size)
{
    return static_cast<HICON>(LoadImageW(Instance, MAKEINTRESOURCEW(IDI_VANTREL), IMAGE_ICON, size, size, 0));
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
    iconSize = SmallIconSize();
    icon = LoadTrayIcon(iconSize);
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
    // Refused at logon, before the taskbar exists: the icon is added when the shell says that
    // its taskbar has started (TaskbarCreated, the first time too). The hot key works meanwhile.
    systemCalls.Shell_NotifyIconW(NIM_ADD, &notifyIcon);
    RegisterRemovalHotKey(window);  // when another program holds Win+Esc, the menu still works
}

static void OnDestroy(HWND window)
{
    systemCalls.Shell_NotifyIconW(NIM_DELETE, &notifyIcon);
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

// The file that the held handle names, as a drive-letter path where it has one: a junction
// or a substituted drive in the path it was started by may since lead somewhere else. None
// once the file's disk has gone.
static bool HeldImagePath(WCHAR* path, DWORD capacity)
{
    if (image == INVALID_HANDLE_VALUE)
        return false;
    DWORD length = systemCalls.GetFinalPathNameByHandleW(image, path, capacity, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0 || length >= capacity)
        return false;
    if (wcsncmp(path, L"\\\\?\\", 4) == 0 && path[4] && path[5] == L':')  // "\\?\C:\..."
        memmove(path, path + 4, (length - 3) * sizeof(WCHAR));
    return true;
}

// Starts the held file with "/menu", named exactly, as the application: no shell, no file
// association, no search. Returns the run's process, or null.
static HANDLE StartRun()
{
    WCHAR file[MAX_PATH], commandLine[MAX_PATH + 16] = L"\"";
    if (!HeldImagePath(file, MAX_PATH))
        return nullptr;
    lstrcatW(lstrcatW(commandLine, file), L"\" /menu");
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOW;
    PROCESS_INFORMATION process;
    if (!CreateProcessW(file, commandLine, nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, nullptr, &startup,
                        &process))
        return nullptr;
    // The tray may bring a window to the foreground: it has just been given the hot key or the
    // click. The run, a new process that has had no input, may not, and its menu would come up
    // without the keyboard. The right is passed on before the run takes its first step.
    AllowSetForegroundWindow(process.dwProcessId);
    ResumeThread(process.hThread);
    CloseHandle(process.hThread);
    return process.hProcess;
}

// Starts a removal run and waits for it. One at a time: the hot key is released meanwhile, and
// a hot-key message that arrives in the wait's own loop starts nothing. Win+Esc is taken back
// whatever happened, unless the tray was closed meanwhile, or its own file lay on the disk the
// run removed: then no run can start again, and the tray goes with its disk.
static void RunRemoval(HWND window)
{
    if (runOpen)
        return;
    UnregisterHotKey(window, TrayHotKeyId);
    if (HANDLE process = StartRun()) {
        runOpen = true;
        WaitHandlingMessages(process);  // a quit (the tray closed meanwhile) ends it early
        runOpen = false;
        CloseHandle(process);
        WCHAR file[MAX_PATH];
        if (IsWindow(window) && !HeldImagePath(file, MAX_PATH))
            DestroyWindow(window);
    }
    if (IsWindow(window))
        RegisterRemovalHotKey(window);
}

// The icon loaded again at the small-icon size of the scale now, and given to the shell with
// the message: NIM_ADD to add it, NIM_MODIFY in place of the one it shows. Refused, the tray
// stays resident with its hot key.
static void RenewIcon(DWORD message)
{
    int size = SmallIconSize();
    HICON fresh = icon ? LoadTrayIcon(size) : nullptr;
    if (!fresh)
        return;
    DestroyIcon(icon);
    icon = notifyIcon.hIcon = fresh;
    iconSize = size;
    systemCalls.Shell_NotifyIconW(message, &notifyIcon);
}

// The scale may have changed: a window that is never shown hears of it only through the
// settings and the display changing.
static void OnScaleChanged()
{
    if (SmallIconSize() != iconSize)
        RenewIcon(NIM_MODIFY);
}

LRESULT CALLBACK TrayWindow(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    // The shell's taskbar started (at logon, after the tray) or started again (icons all gone,
    // and the scale may have changed with it).
    if (message == taskbarCreated && taskbarCreated) {
        RenewIcon(NIM_ADD);
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
    case WM_ENDSESSION:  // the session ends: so does the tray; a run goes on by itself
        if (wParam)
            DestroyWindow(window);
        return 0;
    case WM_DPICHANGED:
    case WM_SETTINGCHANGE:
    case WM_DISPLAYCHANGE: OnScaleChanged(); return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}
