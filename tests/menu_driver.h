// Plays the user at this process's pop-up menu from a second thread: waits for the menu to
// be on screen, reads its items, then posts keys to it.
#pragma once
#include <windows.h>
#include <atomic>
#include <string>
#include <vector>

struct SeenMenu {
    std::vector<std::wstring> texts;
    std::vector<UINT> states;  // MF_SEPARATOR, or MF_DISABLED / MF_GRAYED
    std::vector<UINT> ids;
    RECT rect;
    bool shown;
};

// Gives up after the time given, or as soon as *stop turns true.
inline void AnswerMenu(SeenMenu* seen, std::vector<WORD> keys, DWORD waitMilliseconds = 5000,
                       const std::atomic<bool>* stop = nullptr)
{
    *seen = SeenMenu();
    HWND menuWindow = nullptr;
    for (DWORD waited = 0; waited < waitMilliseconds && !(stop && *stop); waited += 5, Sleep(5))
        if ((menuWindow = FindWindowW(L"#32768", nullptr)) && IsWindowVisible(menuWindow))
            break;
    if (!menuWindow || !IsWindowVisible(menuWindow))
        return;
    seen->shown = true;
    GetWindowRect(menuWindow, &seen->rect);
    HMENU menu = reinterpret_cast<HMENU>(SendMessageW(menuWindow, MN_GETHMENU, 0, 0));
    for (int i = 0; i < GetMenuItemCount(menu); ++i) {
        WCHAR text[128] = L"";
        GetMenuStringW(menu, i, text, 128, MF_BYPOSITION);
        UINT state = GetMenuState(menu, i, MF_BYPOSITION);
        // Wine reports a separator as disabled and grayed as well.
        seen->states.push_back(state & MF_SEPARATOR ? MF_SEPARATOR : state & (MF_DISABLED | MF_GRAYED));
        seen->texts.push_back(text);
        seen->ids.push_back(GetMenuItemID(menu, i));
    }
    Sleep(50);  // as a user would: keys that arrive before the menu loop runs may be lost
    for (WORD key : keys) {
        PostMessageW(menuWindow, WM_KEYDOWN, key, 0);
        PostMessageW(menuWindow, WM_KEYUP, key, 0);
    }
}
