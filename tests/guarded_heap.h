// In the binary that links this, every array allocated with new[] (the program allocates
// nothing else) ends exactly against a page that cannot be touched, so that a read or write
// one unit past it faults at once; the arrays still allocated are counted.
#pragma once
#include <stddef.h>

extern long liveArrays;

// A block of `bytes`, filled with CDh, ending against an inaccessible page; free with FreeGuarded.
void* AllocateGuarded(size_t bytes);
void FreeGuarded(void* block);
