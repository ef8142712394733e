// The handler of frames with __try blocks (structured exception handling),
// which the compiler names in them and the C runtime gives: the system's
// dispatcher calls it for each such frame, it runs the frame's filters and
// __finally blocks and, when a filter takes the exception, unwinds to its
// __except block. Written here for the test DLLs built without a runtime;
// it reads the tables the compiler writes, in their documented layout.
#include "Unwinding.h"

#if defined(__x86_64__)

namespace {

// The frame's scope table: a record per __try, innermost first. A
// __finally has no jump target; a filter address of 1 is a constant
// EXCEPTION_EXECUTE_HANDLER.
struct ScopeRecord {
    uint32_t begin, end, handler, jumpTarget;
};
struct ScopeTable {
    uint32_t count;
    ScopeRecord records[1];
};

using Filter = long (*)(EXCEPTION_POINTERS* pointers, uint64_t frame);
using Termination = void (*)(uint8_t abnormal, uint64_t frame);

}  // namespace

extern "C" ExceptionDisposition __C_specific_handler(EXCEPTION_RECORD* record, void* frame, CONTEXT* context,
                                                     DispatcherContext* dc)
{
    const uint64_t base = dc->ImageBase, pc = dc->ControlPc - base;
    const auto* table = static_cast<const ScopeTable*>(dc->HandlerData);
    const uint64_t establisher = reinterpret_cast<uint64_t>(frame);
    if (!(record->ExceptionFlags & kUnwinding)) {
        EXCEPTION_POINTERS pointers = {record, context};
        for (uint32_t i = dc->ScopeIndex; i < table->count; ++i) {
            const ScopeRecord& s = table->records[i];
            if (pc < s.begin || pc >= s.end || !s.jumpTarget) continue;
            const long verdict =
                s.handler == 1 ? EXCEPTION_EXECUTE_HANDLER : reinterpret_cast<Filter>(base + s.handler)(&pointers, establisher);
            if (verdict < 0) return kContinueExecution;
            if (verdict > 0)  // does not return: the __except block runs with the exception code in rax
                RtlUnwindEx(frame, reinterpret_cast<void*>(base + s.jumpTarget), record,
                            reinterpret_cast<void*>(static_cast<uintptr_t>(record->ExceptionCode)), dc->ContextRecord,
                            dc->HistoryTable);
        }
        return kContinueSearch;
    }
    const uint64_t target = dc->TargetIp - base;
    for (uint32_t i = dc->ScopeIndex; i < table->count; ++i) {
        const ScopeRecord& s = table->records[i];
        if (pc < s.begin || pc >= s.end) continue;
        if ((record->ExceptionFlags & kTargetUnwind) && s.jumpTarget == target) break;  // the __except unwound to
        if (s.jumpTarget) continue;
        dc->ScopeIndex = i + 1;  // a __finally that raises is not run again
        reinterpret_cast<Termination>(base + s.handler)(1, establisher);
    }
    return kContinueSearch;
}

#else  // 32-bit: frames register their handler on a chain, as MSVC's _except_handler3 expects

extern "C" {
// The handlers the linker found registered in the image (/SAFESEH): the
// system calls no other handler of this image. The count is the address of
// an absolute symbol.
extern void* __safe_se_handler_table[];
extern char __safe_se_handler_count;
extern uintptr_t __security_cookie;

// The image's load configuration, which carries that table: without one the
// linker marks the image as having no handlers at all, as the runtime's
// gives it to MSVC's images. The 32-bit layout, up to the table's count.
struct LoadConfig {
    DWORD size, timeDateStamp, version, globalFlagsClear, globalFlagsSet, criticalSectionTimeout,
        deCommitFreeBlockThreshold, deCommitTotalFreeThreshold, lockPrefixTable, maximumAllocationSize,
        virtualMemoryThreshold, processHeapFlags, processAffinityMask, csdVersion, editList;
    const uintptr_t* securityCookie;
    void* const* handlerTable;
    DWORD handlerCount;
};
extern const LoadConfig _load_config_used = {sizeof(LoadConfig), 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                             &__security_cookie, __safe_se_handler_table,
                                             static_cast<DWORD>(reinterpret_cast<uintptr_t>(&__safe_se_handler_count))};
}

namespace {

struct ScopeEntry {
    int32_t enclosing;  // the __try around this one, -1 for none
    void* filter;       // null for a __finally
    void* handler;      // the __except block, or the __finally
};

// Where the frame keeps its registration: the saved stack pointer at -8,
// the exception pointers for its filters at -4, then the record the chain
// links and the frame's try level. Filters and blocks run with ebp 16 bytes
// past the record.
struct Registration {
    Registration* next;
    void* handler;
    const ScopeEntry* scopes;
    int32_t tryLevel;
};

uintptr_t FrameOf(Registration* r)
{
    return reinterpret_cast<uintptr_t>(r) + 16;
}

long CallWithFrame(const void* code, uintptr_t frame)
{
    long result;
    __asm__ volatile("pushl %%ebp\n\tmovl %%edx, %%ebp\n\tpushl $1\n\tcalll *%%ecx\n\taddl $4, %%esp\n\tpopl %%ebp"
                     : "=a"(result), "+c"(code), "+d"(frame)
                     :
                     : "memory");
    return result;
}

// Runs the frame's __finally blocks inside `stop`, innermost first.
void LocalUnwind(Registration* r, int32_t stop)
{
    while (r->tryLevel != -1 && r->tryLevel != stop) {
        const ScopeEntry& s = r->scopes[r->tryLevel];
        r->tryLevel = s.enclosing;  // first: a __finally that raises is not run again
        if (!s.filter) CallWithFrame(s.handler, FrameOf(r));
    }
}

}  // namespace

extern "C" ExceptionDisposition __cdecl _except_handler3(EXCEPTION_RECORD* record, Registration* r, CONTEXT* context,
                                                         void* dispatcher)
{
    if (record->ExceptionFlags & kUnwinding) {
        LocalUnwind(r, -1);
        return kContinueSearch;
    }
    EXCEPTION_POINTERS pointers = {record, context};
    reinterpret_cast<EXCEPTION_POINTERS**>(r)[-1] = &pointers;
    for (int32_t level = r->tryLevel; level != -1; level = r->scopes[level].enclosing) {
        const ScopeEntry& s = r->scopes[level];
        if (!s.filter) continue;
        const long verdict = CallWithFrame(s.filter, FrameOf(r));
        if (verdict < 0) return kContinueExecution;
        if (verdict == 0) continue;
        // The frames above this one first, then this frame's own __finally
        // blocks inside the __except, then the __except block.
        RtlUnwind(r, &&unwound, record, nullptr);
    unwound:
        LocalUnwind(r, level);
        r->tryLevel = s.enclosing;
        __asm__ volatile("movl %%edx, %%ebp\n\tjmpl *%%ecx" : : "c"(s.handler), "d"(FrameOf(r)));
        __builtin_unreachable();
    }
    return kContinueSearch;
}

#endif
