// The free store of the program: the process heap, and an allocation that fails ends the
// process at once rather than throwing. This also keeps the C++ runtime's exception
// machinery, most of a static executable's size, out of Vantrel.exe.
#include <windows.h>
#include <new>
#include <stdlib.h>

static void* Allocate(size_t size)
{
    void* block = HeapAlloc(GetProcessHeap(), 0, size ? size : 1);
    if (!block)
        abort();
    return block;
}

void* operator new(size_t size) { return Allocate(size); }
void* operator new[](size_t size) { return Allocate(size); }
void operator delete(void* block) noexcept { HeapFree(GetProcessHeap(), 0, block); }
void operator delete[](void* block) noexcept { HeapFree(GetProcessHeap(), 0, block); }
void operator delete(void* block, size_t) noexcept { HeapFree(GetProcessHeap(), 0, block); }
void operator delete[](void* block, size_t) noexcept { HeapFree(GetProcessHeap(), 0, block); }
