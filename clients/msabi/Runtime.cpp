// What the compiler expects of a C runtime, for DLLs built without one: the
// memory functions it may call, operator new and delete over the process
// heap, the marker for floating point, the pure-call trap, and the table that
// every type descriptor of the type information points at.
#include "Kernel32.h"

extern "C" {

// Referenced by every object that uses floating point.
int _fltused = 0;

// Called through a table slot that was never overridden; nothing sane can follow.
int __cdecl _purecall()
{
    __builtin_trap();
}

// A string move per call, as the C runtime's own do on these processors: a
// byte loop would make the doubles' copies many times dearer than a real
// plug-in's, and their cost is counted as TunerHost's.
void* __cdecl memcpy(void* to, const void* from, size_t n)
{
    void* d = to;
    __asm__ volatile("rep movsb" : "+D"(d), "+S"(from), "+c"(n) : : "memory");
    return to;
}

void* __cdecl memmove(void* to, const void* from, size_t n)
{
    auto* d = static_cast<unsigned char*>(to);
    const auto* s = static_cast<const unsigned char*>(from);
    if (d <= s || d >= s + n) return memcpy(to, from, n);
    // Overlapping, backwards: rare here. The loop stays a loop: with
    // -ffreestanding the compiler does not turn it back into a call to memmove.
    while (n--) d[n] = s[n];
    return to;
}

void* __cdecl memset(void* to, int value, size_t n)
{
    void* d = to;
    __asm__ volatile("rep stosb" : "+D"(d), "+c"(n) : "a"(value) : "memory");
    return to;
}

// The virtual table of type_info. Type descriptors only point at it; nothing
// here calls through it, so one empty slot is enough.
extern const void* const kTypeInfoTable[1] __asm__("??_7type_info@@6B@");
const void* const kTypeInfoTable[1] = {nullptr};

}  // extern "C"

void* operator new(size_t size)
{
    void* p = HeapAlloc(GetProcessHeap(), 0, size ? size : 1);
    if (!p) __builtin_trap();  // no exceptions to throw
    return p;
}
void* operator new[](size_t size) { return operator new(size); }
void operator delete(void* p) noexcept
{
    if (p) HeapFree(GetProcessHeap(), 0, p);
}
void operator delete[](void* p) noexcept { operator delete(p); }
void operator delete(void* p, size_t) noexcept { operator delete(p); }
void operator delete[](void* p, size_t) noexcept { operator delete(p); }
