// Case folding of A-Z only: the program's switches and drive letters are plain ASCII, and a
// locale's folding rules (a Turkish dotted I, say) must not change what matches.
#include "ui/text_compare.h"

static WCHAR FoldAtoZ(WCHAR c)
{
    return c >= L'A' && c <= L'Z' ? WCHAR(c + (L'a' - L'A')) : c;
}

bool EqualFoldingAtoZ(const WCHAR* a, const WCHAR* b)
{
    for (; *a && FoldAtoZ(*a) == FoldAtoZ(*b); ++a, ++b) {
    }
    return FoldAtoZ(*a) == FoldAtoZ(*b);
}

bool BeginsFoldingAtoZ(const WCHAR* text, const WCHAR* prefix, int length)
{
    for (int i = 0; i < length; ++i)
        if (!text[i] || FoldAtoZ(text[i]) != FoldAtoZ(prefix[i]))
            return false;
    return true;
}
