#include "common/ForeignCall.h"

namespace {

// A slot of the system's thread-local storage, taken before any worker starts.
const DWORD g_slot = TlsAlloc();

volatile LONG g_installed = 0;
LPTOP_LEVEL_EXCEPTION_FILTER g_previousFilter = nullptr;

bool IsFault(DWORD code)
{
    // Informational codes (debug output, thread names) are not faults; a
    // warning or an error that nobody handles ends whatever raised it. A C++
    // exception (0xE06D7363) is an error code too.
    return (code & 0x80000000u) != 0;
}

// Our own image: frames there are ours, not the call's.
bool InOurImage(ULONG_PTR address)
{
    static ULONG_PTR base = 0, end = 0;
    if (!base) {
        HMODULE self = nullptr;
        if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                reinterpret_cast<LPCWSTR>(&IsFault), &self))
            return false;
        auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(self);
        auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(reinterpret_cast<const BYTE*>(self) + dos->e_lfanew);
        end = reinterpret_cast<ULONG_PTR>(self) + nt->OptionalHeader.SizeOfImage;
        base = reinterpret_cast<ULONG_PTR>(self);
    }
    return address >= base && address < end;
}

// Whether a frame of the call, between the fault and our own code, has a
// handler that may take the exception (a plug-in that catches what it
// throws, or probes memory under a guard of its own). Then it is let go: if it
// comes out of the call after all, the last-chance filter below takes it.
bool CallMayHandle(const EXCEPTION_POINTERS& info, ULONG_PTR mark)
{
#if defined(_M_X64) || defined(__x86_64__)
    CONTEXT context = *info.ContextRecord;
    for (int depth = 0; depth < 256; ++depth) {
        if (InOurImage(context.Rip)) return false;
        DWORD64 imageBase = 0;
        PRUNTIME_FUNCTION function = RtlLookupFunctionEntry(context.Rip, &imageBase, nullptr);
        if (!function) {
            // A leaf: its return address is on top of the stack.
            if (context.Rsp >= mark) return false;
            context.Rip = *reinterpret_cast<const DWORD64*>(context.Rsp);
            context.Rsp += 8;
            continue;
        }
        void* handlerData = nullptr;
        DWORD64 establisher = 0;
        if (RtlVirtualUnwind(UNW_FLAG_EHANDLER, imageBase, context.Rip, function, &context, &handlerData,
                             &establisher, nullptr))
            return true;
        if (!context.Rip || context.Rsp >= mark) return false;
    }
    return true;
#else
    // Frame-based: the registrations that the call's frames pushed lie between
    // the faulting stack pointer and where the call was entered. (Those below
    // the stack pointer are the dispatcher's own.)
    const ULONG_PTR low = info.ContextRecord->Esp;
    auto* record = reinterpret_cast<const EXCEPTION_REGISTRATION_RECORD*>(
        reinterpret_cast<const NT_TIB*>(NtCurrentTeb())->ExceptionList);
    for (int depth = 0; depth < 256 && record && reinterpret_cast<ULONG_PTR>(record) != ~ULONG_PTR{0};
         ++depth, record = record->Next) {
        const ULONG_PTR at = reinterpret_cast<ULONG_PTR>(record);
        if (at < low) continue;
        return at < mark;
    }
    return false;
#endif
}

// Ends the calling thread inside the call it faulted in, when it is in one.
void EndIfInsideACall(const EXCEPTION_POINTERS& info, bool lastChance)
{
    CForeignCall* call = BoundForeignCall();
    if (!call || !IsFault(info.ExceptionRecord->ExceptionCode)) return;
    if (call->Condemned()) {
        for (;;) Sleep(INFINITE);  // the stopper is terminating this thread
    }
    if (!lastChance && CallMayHandle(info, call->StackMark())) return;
    if (!call->Fault()) return;
    call->RunFaultHook();
    TerminateThread(GetCurrentThread(), info.ExceptionRecord->ExceptionCode);
}

LONG CALLBACK FirstChance(EXCEPTION_POINTERS* info)
{
    EndIfInsideACall(*info, false);
    return EXCEPTION_CONTINUE_SEARCH;
}

LONG WINAPI LastChance(EXCEPTION_POINTERS* info)
{
    EndIfInsideACall(*info, true);
    return g_previousFilter ? g_previousFilter(info) : EXCEPTION_CONTINUE_SEARCH;
}

void InstallFaultHandler()
{
    if (InterlockedCompareExchange(&g_installed, 1, 0) != 0) return;
    AddVectoredExceptionHandler(1, FirstChance);
    g_previousFilter = SetUnhandledExceptionFilter(LastChance);
}

}  // namespace

void BindForeignCall(CForeignCall* call)
{
    InstallFaultHandler();
    if (g_slot != TLS_OUT_OF_INDEXES) TlsSetValue(g_slot, call);
}

CForeignCall* BoundForeignCall()
{
    return g_slot != TLS_OUT_OF_INDEXES ? static_cast<CForeignCall*>(TlsGetValue(g_slot)) : nullptr;
}
