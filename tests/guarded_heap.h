// While guardedHeap is true, every allocation of the process ends against a page that
// cannot be touched, so that a read or write past it faults at once. The size is rounded
// up to 16 bytes, the alignment that operator new promises.
#pragma once
#include <stddef.h>
extern bool guardedHeap;

// A buffer of `bytes` ending against an inaccessible page, for output buffers; free with
// FreeGuarded.
void* AllocateGuarded(size_t bytes);
void FreeGuarded(void* block);
