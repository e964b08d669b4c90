// The removal window's procedure and the steps of a removal run.
#include "ui/removal_window.h"
#include "ui/drive_menu.h"
#include "storage/storage.h"
#include "platform/system_calls.h"
#include "ui/screen_scale.h"
#include "ui/message_wait.h"

static const LONG RemovalStyle = WS_POPUP | WS_THICKFRAME;
static const LONG RemovalExStyle = WS_EX_TOOLWINDOW;
static const int StatusCapacity = 256;

enum { PollTimer = 1, CloseTimer = 2 };

// Owned by RemovalWindow: the DPI of the screen the window stands on, what the wait watches
// (the disk by a handle it holds, or the USB device that an eject left held for eject), the
// exit code of the outcome so far, whether the run is over (until then nobody may close the
// window: the volumes are held only while the process lives), and the one step it awaits.
static UINT windowDpi = StandardDpi;
static HANDLE waitedDisk = INVALID_HANDLE_VALUE;
static WCHAR waitedDevice[DeviceIdCapacity];  // empty unless the disk was ejected
static int exitCode = ExitCancelled;
static bool runOver;
static WPARAM awaitedStep;
const WPARAM NoStep = ~WPARAM(0);

// The dialog font at the window's scale. The stock font is made at the system's DPI.
static HFONT CreateStatusFont()
{
    LOGFONTW font;
    GetObjectW(GetStockObject(DEFAULT_GUI_FONT), sizeof font, &font);
    font.lfHeight = MulDiv(font.lfHeight, windowDpi, SystemDpi());
    return CreateFontIndirectW(&font);
}

// Each step runs once, when the step before posted it: a WM_USER from elsewhere (another
// program, or the eject's wait, which handles messages in the middle of a step) runs nothing.
static void PostStep(HWND window, RunStep step, LPARAM lParam)
{
    awaitedStep = step;
    PostMessageW(window, WM_USER, step, lParam);
}

void ShowStatus(HWND window, TextId text, RunStep next, LPARAM lParam)
{
    SetWindowTextW(window, GetText(text));
    // Painted now, before the next step runs, however long that step keeps the thread.
    RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
    PostStep(window, next, lParam);
}

static void ShowOutcome(HWND window, TextId text, RunStep next, LPARAM lParam)
{
    ShowWindow(window, SW_SHOW);
    ShowStatus(window, text, next, lParam);
}

static void OnCreate(HWND window, const CREATESTRUCTW* create)
{
    runOver = false;
    exitCode = ExitCancelled;
    waitedDisk = INVALID_HANDLE_VALUE;
    waitedDevice[0] = 0;
    SetWindowLongW(window, GWL_STYLE, RemovalStyle);
    SetWindowLongW(window, GWL_EXSTYLE, RemovalExStyle);
    int screenHeight = GetSystemMetrics(SM_CYSCREEN);
    int screenWidth = GetSystemMetrics(SM_CXSCREEN);
    windowDpi = PrimaryScreenDpi();
    int width = MulDiv(RemovalWindowWidth, windowDpi, StandardDpi);
    int height = MulDiv(RemovalWindowHeight, windowDpi, StandardDpi);
    // No SWP_SHOWWINDOW: the window stays hidden until it has an outcome to show.
    SetWindowPos(window, HWND_TOPMOST, (screenWidth - width) / 2, (screenHeight - height) / 2, width, height, 0);
    LPARAM path = create ? reinterpret_cast<LPARAM>(create->lpCreateParams) : 0;
    PostStep(window, StepChooseDrive, path);
}

// Moved to a screen of another scale (or the scale changed): the size Windows suggests.
static void OnDpiChanged(HWND window, UINT dpi, const RECT* suggested)
{
    windowDpi = dpi;
    SetWindowPos(window, nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
                 suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
}

static void OnPaint(HWND window)
{
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(window, &paint);
    // The dialog font, not the DC's bold System font: in that font the longest English
    // status is wider than the 400-pixel window and would be cut off at both ends.
    HFONT font = CreateStatusFont();
    HGDIOBJ previous = SelectObject(dc, font);
    SetBkMode(dc, TRANSPARENT);
    RECT client;
    GetClientRect(window, &client);
    WCHAR text[StatusCapacity];
    GetWindowTextW(window, text, StatusCapacity);
    DrawTextW(dc, text, -1, &client, DT_CENTER);
    SelectObject(dc, previous);
    DeleteObject(font);
    EndPaint(window, &paint);
}

static void EndRun(HWND window)
{
    runOver = true;
    PostMessageW(window, WM_CLOSE, 0, 0);
}

// The stopped disk (whose own handle the spin-down has closed) is ejected from Windows before
// the outcome is shown. Not ejected, the run goes on as it would without; a volume that was
// let go for the eject and cannot be taken again leaves the removal undone.
static void TakeOutOfWindows(HWND window, DiskNumber disk)
{
    if (EjectDisk(disk, WaitHandlingMessages, waitedDevice) == NotEjectedVolumeLost) {
        exitCode = ExitDismountFailed;
        ShowOutcome(window, TextDismountFailed, StepCloseLater, 0);
    } else {
        ShowOutcome(window, TextReadyToRemove, StepWaitRemoval, LPARAM(disk));
    }
}

static void OnChooseDrive(HWND window, const WCHAR* path)
{
    DriveChoice choice = ChooseDrive(window, path);
    if (choice.kind == ChoiceCancelled) {
        exitCode = ExitCancelled;
        EndRun(window);
    } else if (choice.kind == ChoiceNone) {
        exitCode = ExitNoDrive;
        ShowOutcome(window, TextNoRemovableDrive, StepCloseLater, 0);
    } else if (!DismountDiskVolumes(choice.disk)) {
        exitCode = ExitDismountFailed;
        ShowOutcome(window, TextDismountFailed, StepCloseLater, 0);
    } else if (!SpinDownDisk(choice.disk)) {
        exitCode = ExitSpinDownFailed;
        ShowOutcome(window, TextSpinDownFailed, StepCloseLater, 0);
    } else {
        exitCode = ExitNotSeenUnplugged;  // until the wait sees it go
        TakeOutOfWindows(window, choice.disk);
    }
}

static void OnDiskGone(HWND window)
{
    if (waitedDisk != INVALID_HANDLE_VALUE)
        systemCalls.CloseHandle(waitedDisk);
    waitedDisk = INVALID_HANDLE_VALUE;
    exitCode = ExitRemoved;
    ShowStatus(window, TextDriveRemoved, StepCloseLater, 0);
}

// Whether what the wait watches is still there: the ejected disk's USB device until it is
// unplugged (the disk itself answers nothing once ejected), else the disk.
static bool StillThere()
{
    return waitedDevice[0] ? UsbDevicePresent(waitedDevice) : DiskAnswers(waitedDisk);
}

// Asked at once, then once per tick, until it is no longer there: whatever the reason, it is
// then no longer there to wait for. The disk is opened once, and only when it was not ejected.
static void OnWaitRemoval(HWND window, DiskNumber disk)
{
    if (!waitedDevice[0])
        waitedDisk = OpenDisk(disk);
    if ((waitedDevice[0] || waitedDisk != INVALID_HANDLE_VALUE) && StillThere())
        systemCalls.SetTimer(window, PollTimer, PollMilliseconds, nullptr);
    else
        OnDiskGone(window);
}

static void OnTimer(HWND window, WPARAM timer)
{
    if (timer == PollTimer && !StillThere()) {
        KillTimer(window, PollTimer);
        OnDiskGone(window);
    } else if (timer == CloseTimer) {
        KillTimer(window, CloseTimer);
        EndRun(window);
    }
}

static void OnStep(HWND window, WPARAM step, LPARAM lParam)
{
    if (step != awaitedStep)
        return;
    awaitedStep = NoStep;
    switch (step) {
    case StepChooseDrive: OnChooseDrive(window, reinterpret_cast<const WCHAR*>(lParam)); break;
    case StepWaitRemoval: OnWaitRemoval(window, DiskNumber(lParam)); break;
    case StepCloseLater: systemCalls.SetTimer(window, CloseTimer, CloseDelayMilliseconds, nullptr); break;
    }
}

LRESULT CALLBACK RemovalWindow(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE: OnCreate(window, reinterpret_cast<const CREATESTRUCTW*>(lParam)); return 0;
    case WM_PAINT: OnPaint(window); return 0;
    case WM_CLOSE:  // from Alt+F4 or another program: ignored while the run holds its volumes
        return runOver ? DefWindowProcW(window, message, wParam, lParam) : 0;
    case WM_DESTROY: PostQuitMessage(exitCode); return 0;
    case WM_DPICHANGED: OnDpiChanged(window, LOWORD(wParam), reinterpret_cast<const RECT*>(lParam)); return 0;
    case WM_TIMER: OnTimer(window, wParam); return 0;
    case WM_QUERYENDSESSION: return TRUE;
    case WM_ENDSESSION:  // the session ends, and with the process the volumes are let go
        if (wParam)
            ExitProcess(exitCode);
        return 0;
    case WM_USER: OnStep(window, wParam, lParam); return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}
