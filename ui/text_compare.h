// Comparison of texts as the program's switches and mount points need it.
#pragma once
#include <windows.h>

// Compares two strings, folding only the letters A-Z.
bool EqualFoldingAtoZ(const WCHAR* a, const WCHAR* b);
// Whether text begins with the first `length` units of prefix, folding only A-Z.
bool BeginsFoldingAtoZ(const WCHAR* text, const WCHAR* prefix, int length);
