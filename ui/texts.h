// Every text the user sees, in Japanese and English, chosen by the user's locale each time
// a text is used.
#pragma once
#include <windows.h>

enum TextId {
    TextTitle,
    TextMenuHeader,
    TextRemoveMoreSafely,
    TextExit,
    TextChooseDrive,
    TextReadyToRemove,
    TextSpinDownFailed,
    TextDismountFailed,
    TextNoRemovableDrive,
    TextDriveRemoved,
    TextCount
};

// True exactly when the user's default locale is 0x0411, Japanese (Japan), default sort.
bool IsJapaneseUser();

// A pointer into the constant table; never freed.
const WCHAR* GetText(TextId id);
// The text in a language already decided, for a caller that shows several texts at once.
const WCHAR* GetTextIn(TextId id, bool japanese);
