// The text table. Japanese is written as UTF-16 literals; the file is UTF-8.
#include "ui/texts.h"

static const LCID JapaneseJapan = 0x0411;

struct Text {
    const WCHAR* japanese;
    const WCHAR* english;
};

static const Text texts[TextCount] = {
    {L"Vantrel", L"Vantrel"},
    {L"---------------- Vantrel ----------------", L"---------------- Vantrel ----------------"},
    {L"より安全な取り外し...", L"Remove more safely..."},
    {L"終了", L"Exit"},
    {L"より安全に取り外すドライブを選択してください。", L"Please choose a drive to remove more safely."},
    {L"取り外す準備が完了しました。\nドライブを取り外してください。",
     L"It is ready to remove.\nPlease remove the drive."},
    {L"ドライブのスピンダウンに失敗しました。\nWindows標準の取り外し機能を使用してください。",
     L"Failed to spin down the drive.\nPlease use the standard removal feature of Windows."},
    {L"ボリュームのマウント解除に失敗しました。\nWindows標準の取り外し機能を使用してください。",
     L"Failed to dismount volumes.\nPlease use the standard removal feature of Windows."},
    {L"取り外し可能なドライブがありません。", L"No removable drive exists."},
    {L"ドライブが取り外されました。", L"The drive has been removed."},
};

bool IsJapaneseUser()
{
    return GetUserDefaultLCID() == JapaneseJapan;
}

const WCHAR* GetTextIn(TextId id, bool japanese)
{
    return japanese ? texts[id].japanese : texts[id].english;
}

const WCHAR* GetText(TextId id)
{
    return GetTextIn(id, IsJapaneseUser());
}
