// The buffer-security check that MSVC's /GS (here clang's
// -fstack-protector-strong) compiles into every function with a local array,
// and the entry point that sets the cookie before DllMain runs: what the C
// runtime gives a DLL, written here for the test DLLs built without one.
#include "Faults.h"
#include "Kernel32.h"

namespace {
// The value the runtime starts with, as MSVC's: a cookie still equal to it
// was never set.
#if defined(__x86_64__)
constexpr uintptr_t kDefaultCookie = 0x00002B992DDFA232ull;
#else
constexpr uintptr_t kDefaultCookie = 0xBB40E64Eu;
#endif
}  // namespace

extern "C" {

uintptr_t __security_cookie = kDefaultCookie;

// Before any function with a check has run: a function whose check spans
// the change would fail it.
__attribute__((no_stack_protector)) void __cdecl __security_init_cookie()
{
    if (__security_cookie != kDefaultCookie) return;
    LARGE_INTEGER count;
    QueryPerformanceCounter(&count);
    uintptr_t cookie = static_cast<uintptr_t>(count.QuadPart) ^ GetCurrentProcessId() ^
                       (static_cast<uintptr_t>(GetCurrentThreadId()) << 8) ^ GetTickCount() ^
                       reinterpret_cast<uintptr_t>(&count);
#if defined(__x86_64__)
    cookie &= 0x0000FFFFFFFFFFFFull;  // as MSVC's: the top bits stay clear
#endif
    __security_cookie = cookie == 0 || cookie == kDefaultCookie ? kDefaultCookie ^ 0x4711 : cookie;
}

// Called at the end of a checked function with the cookie it kept, as it is
// now; a buffer overrun that reached it ends the process at once.
#if defined(__x86_64__)
void __cdecl __security_check_cookie(uintptr_t cookie)
#else
void __fastcall __security_check_cookie(uintptr_t cookie)
#endif
{
    if (cookie != __security_cookie) FastFail(kFastFailStackCookie);
}

BOOL WINAPI DllMain(HMODULE instance, DWORD reason, void* reserved);

// The DLL's entry point: the cookie first, then DllMain.
__attribute__((no_stack_protector)) BOOL WINAPI _DllMainCRTStartup(HMODULE instance, DWORD reason, void* reserved)
{
    if (reason == DLL_PROCESS_ATTACH) __security_init_cookie();
    return DllMain(instance, reason, reserved);
}

}  // extern "C"
