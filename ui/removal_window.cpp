// The removal window's procedure and the steps of a removal run.
#include "ui/removal_window.h"
#include "ui/drive_menu.h"
#include "storage/storage.h"
#include "storage/system_calls.h"

static const LONG RemovalStyle = WS_POPUP | WS_THICKFRAME;
static const LONG RemovalExStyle = WS_EX_TOOLWINDOW;
static const int StatusCapacity = 256;

void ShowStatus(HWND window, TextId text, RunStep next, LPARAM lParam)
{
    SetWindowTextW(window, GetText(text));
    // Painted now: the next step may block the thread before any WM_PAINT would arrive.
    RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
    PostMessageW(window, WM_USER, next, lParam);
}

static void ShowOutcome(HWND window, TextId text, RunStep next, LPARAM lParam)
{
    ShowWindow(window, SW_SHOW);
    ShowStatus(window, text, next, lParam);
}

static void OnCreate(HWND window, const CREATESTRUCTW* create)
{
    SetWindowLongW(window, GWL_STYLE, RemovalStyle);
    SetWindowLongW(window, GWL_EXSTYLE, RemovalExStyle);
    int height = GetSystemMetrics(SM_CYSCREEN);
    int width = GetSystemMetrics(SM_CXSCREEN);
    // No SWP_SHOWWINDOW: the window stays hidden until it has an outcome to show.
    SetWindowPos(window, HWND_TOPMOST, (width - RemovalWindowWidth) / 2,
                 (height - RemovalWindowHeight) / 2, RemovalWindowWidth, RemovalWindowHeight, 0);
    LPARAM path = create ? reinterpret_cast<LPARAM>(create->lpCreateParams) : 0;
    PostMessageW(window, WM_USER, StepChooseDrive, path);
}

static void OnPaint(HWND window)
{
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(window, &paint);
    // The dialog font, not the DC's bold System font: in that font the longest English
    // status is wider than the 400-pixel window and would be cut off at both ends.
    SelectObject(dc, GetStockObject(DEFAULT_GUI_FONT));
    SetBkMode(dc, TRANSPARENT);
    RECT client;
    GetClientRect(window, &client);
    WCHAR text[StatusCapacity];
    GetWindowTextW(window, text, StatusCapacity);
    DrawTextW(dc, text, -1, &client, DT_CENTER);
    EndPaint(window, &paint);
}

static void OnChooseDrive(HWND window, const WCHAR* path)
{
    DriveChoice choice = ChooseDrive(window, path);
    if (choice.kind == ChoiceCancelled) {
        PostMessageW(window, WM_CLOSE, 0, 0);
    } else if (choice.kind == ChoiceNone) {
        ShowOutcome(window, TextNoRemovableDrive, StepCloseLater, 0);
    } else if (!DismountDiskVolumes(choice.disk)) {
        ShowOutcome(window, TextDismountFailed, StepCloseLater, 0);
    } else if (!SpinDownDisk(choice.disk)) {
        ShowOutcome(window, TextSpinDownFailed, StepCloseLater, 0);
    } else {
        ShowOutcome(window, TextReadyToRemove, StepWaitRemoval, LPARAM(choice.disk));
    }
}

static void OnWaitRemoval(HWND window, DiskNumber disk)
{
    WaitUntilDiskGone(disk);  // whatever it answers, the disk is no longer there to wait for
    ShowStatus(window, TextDriveRemoved, StepCloseLater, 0);
}

static void OnCloseLater(HWND window)
{
    systemCalls.Sleep(CloseDelayMilliseconds);
    PostMessageW(window, WM_CLOSE, 0, 0);
}

static void OnStep(HWND window, WPARAM step, LPARAM lParam)
{
    switch (step) {
    case StepChooseDrive: OnChooseDrive(window, reinterpret_cast<const WCHAR*>(lParam)); break;
    case StepWaitRemoval: OnWaitRemoval(window, DiskNumber(lParam)); break;
    case StepCloseLater: OnCloseLater(window); break;
    }
}

LRESULT CALLBACK RemovalWindow(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE: OnCreate(window, reinterpret_cast<const CREATESTRUCTW*>(lParam)); return 0;
    case WM_PAINT: OnPaint(window); return 0;
    case WM_DESTROY: PostQuitMessage(0); return 0;
    case WM_USER: OnStep(window, wParam, lParam); return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}
