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

#if defined(__cpp_exceptions)
// What a module built with C++ exceptions throws: a fault nothing catches,
// and a device call that failed, which its interface slots catch.
struct SimFaultError {
    int kind;
};
struct SimDeviceError {};
#endif

// A device call that failed: thrown as SimDeviceError where the module is
// built with C++ exceptions, as such plug-ins report errors inside; 0 otherwise.
inline int DeviceFailed()
{
#if defined(__cpp_exceptions)
    throw SimDeviceError{};
#else
    return 0;
#endif
}

[[noreturn]] inline void RaiseSimFault(int kind)
{
    if (kind == kAccessViolation) {
        *reinterpret_cast<volatile int*>(static_cast<uintptr_t>(0x10)) = 1;
    } else {
#if defined(__cpp_exceptions)
        throw SimFaultError{kind};
#else
        // What the compiler's `throw` does underneath: RaiseException with
        // the C++ exception code and its magic, the object and its (here
        // absent) throw information; on 64-bit also the module's base, which
        // a catcher would use and nothing here does.
        static int object = 42;
        const uintptr_t arguments[4] = {0x19930520, reinterpret_cast<uintptr_t>(&object), 0, 0};
        RaiseException(0xE06D7363, EXCEPTION_NONCONTINUABLE, sizeof(void*) == 8 ? 4 : 3, arguments);
#endif
    }
    for (;;) Sleep(INFINITE);
}

// The codes of __fastfail that the C runtime uses.
enum FastFailCode : unsigned {
    kFastFailStackCookie = 2,  // a buffer-security check found its cookie overwritten
    kFastFailInvalidArg = 5,   // a runtime function was given an invalid parameter
    kFastFailFatalExit = 7,    // abort(), terminate()
};

// __fastfail: the process ends at once, without any handler running.
[[noreturn]] inline void FastFail(unsigned code)
{
    __asm__ volatile("int $0x29" : : "c"(code) : "memory");
    __builtin_unreachable();
}
