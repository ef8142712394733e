#include "common/Readable.h"

#include <windows.h>

#include <cstdint>

bool IsReadable(const void* p, size_t n)
{
    if (!p) return false;
    uintptr_t at = reinterpret_cast<uintptr_t>(p);
    const uintptr_t end = at + n;
    if (end < at) return false;
    while (at < end) {
        MEMORY_BASIC_INFORMATION info;
        if (!VirtualQuery(reinterpret_cast<void*>(at), &info, sizeof info)) return false;
        if (info.State != MEM_COMMIT) return false;
        if (info.Protect & (PAGE_GUARD | PAGE_NOACCESS)) return false;
        if ((info.Protect & 0xFF) == PAGE_EXECUTE) return false;
        at = reinterpret_cast<uintptr_t>(info.BaseAddress) + info.RegionSize;
    }
    return true;
}
