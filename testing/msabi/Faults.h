// Faults a test double raises on request, as a faulty plug-in or descrambler
// built with Microsoft's compiler does: an access violation, or a C++
// exception that nothing in the module catches.
#pragma once
#include "Kernel32.h"

enum SimFault : int {
    kNoFault = 0,
    kAccessViolation = 1,
    kCxxException = 2,
};

// What the compiler's `throw` does underneath: RaiseException with the C++
// exception code and its magic, the object and its (here absent) throw
// information; on 64-bit also the module's base, which a catcher would use
// and nothing here does.
[[noreturn]] inline void RaiseSimFault(int kind)
{
    if (kind == kAccessViolation) {
        *reinterpret_cast<volatile int*>(static_cast<uintptr_t>(0x10)) = 1;
    } else {
        static int object = 42;
        const uintptr_t arguments[4] = {0x19930520, reinterpret_cast<uintptr_t>(&object), 0, 0};
        RaiseException(0xE06D7363, 1 /* noncontinuable */, sizeof(void*) == 8 ? 4 : 3, arguments);
    }
    for (;;) Sleep(INFINITE);
}
