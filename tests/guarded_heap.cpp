// The guarded heap: VirtualAlloc'd pages with a PAGE_NOACCESS page after each block. Live
// guarded blocks are remembered in a fixed table, so that delete knows them from malloc's.
#include "guarded_heap.h"
#include <windows.h>
#include <new>
#include <stdlib.h>

bool guardedHeap;
static const size_t Page = 4096;
static void* live[1024];

void* AllocateGuarded(size_t bytes)
{
    size_t rounded = (bytes + 15) & ~size_t(15);
    size_t pages = (rounded + Page - 1) / Page + 1;
    BYTE* base = static_cast<BYTE*>(VirtualAlloc(nullptr, pages * Page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    DWORD old;
    if (!base || !VirtualProtect(base + (pages - 1) * Page, Page, PAGE_NOACCESS, &old))
        abort();
    return base + (pages - 1) * Page - rounded;
}

void FreeGuarded(void* block)
{
    MEMORY_BASIC_INFORMATION info;
    VirtualQuery(block, &info, sizeof info);
    VirtualFree(info.AllocationBase, 0, MEM_RELEASE);
}

static void* New(size_t size)
{
    if (!guardedHeap) {
        void* block = malloc(size ? size : 1);
        if (!block)
            abort();
        return block;
    }
    for (void*& slot : live)
        if (!slot)
            return slot = AllocateGuarded(size);
    abort();  // more live blocks than the table holds
}

static void Delete(void* block)
{
    for (void*& slot : live)
        if (block && slot == block) {
            FreeGuarded(block);
            slot = nullptr;
            return;
        }
    free(block);
}

void* operator new(size_t size) { return New(size); }
void* operator new[](size_t size) { return New(size); }
void operator delete(void* block) noexcept { Delete(block); }
void operator delete[](void* block) noexcept { Delete(block); }
void operator delete(void* block, size_t) noexcept { Delete(block); }
void operator delete[](void* block, size_t) noexcept { Delete(block); }
