// A WH_CALLWNDPROCRET hook sees every WM_SETTEXT and WM_PAINT of the run's window and the
// WM_ENTERIDLE (naming the menu's window) that a menu loop sends its owner once the menu is
// up and waiting; a stand-in in front of the DeviceIoControl of the table notes the window's
// visibility at each control.
#include "sim/watch.h"
#include "app/process.h"
#include "platform/system_calls.h"
#include "ui/removal_window.h"
#include <stdio.h>
#include <stdlib.h>
#include <algorithm>

std::vector<Status> statuses;
std::vector<bool> visibleAtControl;
HWND runWindow;
SeenMenu seenMenu;
static std::vector<WORD> keys;
static void (*whileMenuUp)();
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

static void AnswerMenu(HWND menuWindow)
{
    if (!seenMenu.shown) {
        ReadMenu(menuWindow);
        if (whileMenuUp)
            whileMenuUp();
    }
    std::vector<WORD> answer = keys.empty() ? std::vector<WORD>{VK_ESCAPE} : keys;
    keys.clear();
    for (WORD key : answer) {
        PostMessageW(menuWindow, WM_KEYDOWN, key, 0);
        PostMessageW(menuWindow, WM_KEYUP, key, 0);
    }
}

// The window as it now stands, and the box of the dark pixels its client area shows.
static void ReadPainted(HWND window, Status* seen)
{
    seen->painted = true;
    seen->shownAt = GetTickCount64();
    GetWindowRect(window, &seen->rect);
    GetClientRect(window, &seen->client);
    seen->style = GetWindowLongW(window, GWL_STYLE);
    seen->exStyle = GetWindowLongW(window, GWL_EXSTYLE);
    int width = seen->client.right, height = seen->client.bottom;
    HDC dc = GetDC(window), memory = CreateCompatibleDC(dc);
    BITMAPINFO info = {{sizeof(BITMAPINFOHEADER), width, -height, 1, 32, BI_RGB, 0, 0, 0, 0, 0}, {}};
    DWORD* pixels = nullptr;
    HBITMAP bitmap = CreateDIBSection(dc, &info, DIB_RGB_COLORS, reinterpret_cast<void**>(&pixels), nullptr, 0);
    HGDIOBJ previous = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, dc, 0, 0, SRCCOPY);
    seen->ink = {width, height, -1, -1};
    seen->white = width > 0 && height > 0 && (pixels[0] & 0xFFFFFF) == 0xFFFFFF;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            if ((pixels[y * width + x] & 0xFF) < 0x80)  // blue below half: not the white background
                seen->ink = {std::min<LONG>(seen->ink.left, x), std::min<LONG>(seen->ink.top, y),
                             std::max<LONG>(seen->ink.right, x), std::max<LONG>(seen->ink.bottom, y)};
    SelectObject(memory, previous);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(window, dc);
}

static LRESULT CALLBACK Watch(int code, WPARAM wParam, LPARAM lParam)
{
    const CWPRETSTRUCT* call = reinterpret_cast<const CWPRETSTRUCT*>(lParam);
    WCHAR className[16] = L"";
    GetClassNameW(call->hwnd, className, 16);
    bool run = lstrcmpW(className, L"Vantrel") == 0;
    if (run && (call->message == WM_CREATE || call->message == WM_SETTEXT))
        runWindow = call->hwnd;
    if (run && call->message == WM_SETTEXT)
        statuses.push_back({reinterpret_cast<const WCHAR*>(call->lParam), IsWindowVisible(call->hwnd) != 0});
    if (run && call->message == WM_PAINT && !statuses.empty() && !statuses.back().painted &&
        IsWindowVisible(call->hwnd))
        ReadPainted(call->hwnd, &statuses.back());
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

void StartWatching(std::vector<WORD> menuKeys, void (*menuUp)())
{
    whileMenuUp = menuUp;
    statuses.clear();
    visibleAtControl.clear();
    runWindow = nullptr;
    seenMenu = SeenMenu();
    keys = menuKeys;
    hook = SetWindowsHookExW(WH_CALLWNDPROCRET, Watch, nullptr, GetCurrentThreadId());
    nextDeviceIoControl = systemCalls.DeviceIoControl;
    systemCalls.DeviceIoControl = WatchControl;
}

void StopWatching()
{
    systemCalls.DeviceIoControl = nextDeviceIoControl;
    UnhookWindowsHookEx(hook);
}

int RunRemovalWatched(const WCHAR* path, std::vector<WORD> menuKeys)
{
    StartWatching(menuKeys);
    int exitCode = RunWindowHost(RemovalWindow, const_cast<WCHAR*>(path));
    StopWatching();
    return exitCode;
}

static std::string Utf8(const std::wstring& text)
{
    std::string bytes(text.size() * 3, 0);
    bytes.resize(WideCharToMultiByte(CP_UTF8, 0, text.c_str(), int(text.size()), &bytes[0], int(bytes.size()),
                                     nullptr, nullptr));
    return bytes;
}

static const char* Place(const RECT& r)
{
    int dx = (r.left + r.right) - GetSystemMetrics(SM_CXSCREEN), dy = (r.top + r.bottom) - GetSystemMetrics(SM_CYSCREEN);
    return abs(dx) <= 2 && abs(dy) <= 2 ? "centred" : "off centre";
}

// A status of two lines is "small" when it fills less than two fifths of the client area's
// height: its font did not grow with the window.
static std::string Describe(const Status& s)
{
    static const struct { bool ex; DWORD flag; const char* name; } flags[] = {
        {true, WS_EX_TOPMOST, "top-most"}, {true, WS_EX_TOOLWINDOW, "tool window"},
        {false, WS_POPUP, "pop-up"}, {false, WS_THICKFRAME, "thick frame"}, {false, WS_CAPTION, "caption"}};
    if (!s.painted)
        return std::string(s.visible ? "shown" : "hidden") + ", not painted: " + Utf8(s.text) + "\n";
    char line[160];
    snprintf(line, sizeof line, "%s %ldx%ld %s", s.visible ? "shown" : "hidden", s.rect.right - s.rect.left,
             s.rect.bottom - s.rect.top, Place(s.rect));
    std::string text = line;
    for (auto f : flags)
        if (DWORD(f.ex ? s.exStyle : s.style) & f.flag)
            text += std::string(", ") + f.name;
    bool inside = s.ink.left > 0 && s.ink.top > 0 && s.ink.right < s.client.right - 1 && s.ink.bottom < s.client.bottom - 1;
    text += inside ? ", text inside" : ", text cut off";
    if (!s.white)
        text += ", not on white";
    if (s.text.find(L'\n') != std::wstring::npos && (s.ink.bottom - s.ink.top) * 5 < s.client.bottom * 2)
        text += ", small";
    return text + ": " + Utf8(s.text) + "\n";
}

std::string DescribeRun()
{
    std::string run;
    if (seenMenu.shown) {
        run += std::string("menu ") + Place(seenMenu.rect) + ":";
        for (const std::wstring& item : seenMenu.texts)
            run += " [" + Utf8(item) + "]";
        run += "\n";
    }
    for (const Status& s : statuses)
        run += Describe(s);
    if (!statuses.empty())
        run += "closed " + std::to_string(GetTickCount64() - statuses.back().shownAt) + " ms after\n";
    return run;
}
