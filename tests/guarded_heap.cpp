// The guarded heap: VirtualAlloc'd pages with a PAGE_NOACCESS page after each block. The
// program's arrays hold bytes and UTF-16 units, and its records' sizes are multiples of 8,
// so a block that ends on the page boundary is aligned enough for what it holds.
#include "guarded_heap.h"
#include <windows.h>
#include <new>
#include <stdlib.h>
#include <string.h>

long liveArrays;
static const size_t Page = 4096;

void* AllocateGuarded(size_t bytes)
{
    size_t pages = (bytes + Page - 1) / Page + 1;
    BYTE* base = static_cast<BYTE*>(VirtualAlloc(nullptr, pages * Page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    DWORD old;
    if (!base || !VirtualProtect(base + (pages - 1) * Page, Page, PAGE_NOACCESS, &old))
        abort();
    // Filled as a debug heap fills new blocks: VirtualAlloc's zeroed pages would hide a read of
    // bytes that were never written.
    BYTE* block = base + (pages - 1) * Page - bytes;
    memset(block, 0xCD, bytes);
    return block;
}

void FreeGuarded(void* block)
{
    MEMORY_BASIC_INFORMATION info;
    if (!VirtualQuery(block, &info, sizeof info) || !VirtualFree(info.AllocationBase, 0, MEM_RELEASE))
        abort();
}

void* operator new[](size_t size)
{
    ++liveArrays;
    return AllocateGuarded(size);
}
void operator delete[](void* block) noexcept
{
    if (!block)
        return;
    --liveArrays;
    FreeGuarded(block);
}
void operator delete[](void* block, size_t) noexcept { operator delete[](block); }
