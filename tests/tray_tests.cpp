// The resident window inside the test process: its icon, its menu driven by keys, and how it
// ends. Removal runs started from it are covered with whole processes in run_tests.
#include "app/process.h"
#include "ui/texts.h"
#include "ui/tray_window.h"
#include "menu_driver.h"
#include <gtest/gtest.h>
#include <shellapi.h>
#include <thread>

// Handles this thread's messages for a while; true when the quit message arrived.
static bool PumpFor(DWORD milliseconds)
{
    ULONGLONG end = GetTickCount64() + milliseconds;
    MSG message;
    while (GetTickCount64() < end) {
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT)
                return true;
            DispatchMessageW(&message);
        }
        Sleep(5);
    }
    return false;
}

static HWND CreateTray(HINSTANCE instance)
{
    Instance = instance;
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = TrayWindow;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"TrayUnderTest";
    RegisterClassW(&windowClass);
    return CreateWindowW(L"TrayUnderTest", L"", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
}

// Whether the notification area still knows the window's icon.
static bool IconPresent(HWND window)
{
    NOTIFYICONDATAW record = {};
    record.cbSize = sizeof record;
    record.hWnd = window;
    record.uFlags = NIF_TIP;
    lstrcpyW(record.szTip, L"Vantrel");
    return Shell_NotifyIconW(NIM_MODIFY, &record);
}

TEST(Tray, RightButtonOpensTheMenuAndExitRemovesTheIcon)
{
    HWND tray = CreateTray(GetModuleHandleW(nullptr));
    ASSERT_TRUE(tray);
    EXPECT_FALSE(IsWindowVisible(tray));
    EXPECT_TRUE(IconPresent(tray));

    SeenMenu ignored;
    std::thread leftClick([&] { AnswerMenu(&ignored, std::vector<WORD>{VK_ESCAPE}, 1000); });
    PostMessageW(tray, WM_USER, 0, WM_LBUTTONDOWN);
    PumpFor(1500);
    leftClick.join();
    EXPECT_FALSE(ignored.shown);

    const std::vector<std::wstring> texts = {L"Vantrel", L"", GetText(TextRemoveMoreSafely), GetText(TextExit)};
    const std::vector<UINT> ids = {0, 0, TrayCommandRemove, TrayCommandExit};
    SeenMenu dismissed;
    std::thread escape([&] { AnswerMenu(&dismissed, std::vector<WORD>{VK_ESCAPE}, 1000); });
    PostMessageW(tray, WM_USER, 0, WM_RBUTTONDOWN);
    PumpFor(1500);
    escape.join();
    EXPECT_EQ(dismissed.texts, texts);
    EXPECT_EQ(dismissed.ids, ids);
    EXPECT_TRUE(IsWindow(tray)) << "dismissing the menu ends nothing";

    SeenMenu exited;
    std::thread exit([&] { AnswerMenu(&exited, std::vector<WORD>{VK_UP, VK_RETURN}, 1000); });  // Up: the last item
    PostMessageW(tray, WM_USER, 0, WM_RBUTTONDOWN);
    EXPECT_TRUE(PumpFor(5000));
    exit.join();
    EXPECT_TRUE(exited.shown);
    EXPECT_FALSE(IsWindow(tray));
    EXPECT_FALSE(IconPresent(tray));
}

TEST(Tray, ClosesItselfWithoutItsIcon)
{
    HWND tray = CreateTray(GetModuleHandleW(L"kernel32.dll"));  // no icon 101 there
    EXPECT_TRUE(PumpFor(3000));
    EXPECT_FALSE(IsWindow(tray));
}
