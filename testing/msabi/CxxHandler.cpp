// C++ exceptions for 64-bit DLLs built without a C runtime: `throw` and the
// handler the compiler names in every frame with a try block or an object to
// destroy, as MSVC's runtime gives them. Written here for the test DLLs, in
// the documented layout of the tables the compiler writes; what they use:
// catch by type (exact type, or any of its bases the throw lists) and
// catch (...), by value or reference; destructors of the frames unwound; the
// thrown object destroyed after its catch. Not covered: rethrow, an
// exception thrown inside a catch block, throw() lists on functions. As with
// /EHs, catch (...) does not catch faults (access violations and the like).
#include "Faults.h"
#include "Unwinding.h"

#if defined(__x86_64__)

extern "C" const uint8_t __ImageBase[];

namespace {

constexpr DWORD kCxxCode = 0xE06D7363;   // 'msc' | 0xE0000000
constexpr uintptr_t kCxxMagic = 0x19930520;
constexpr DWORD kConsolidate = 0x80000029;  // STATUS_UNWIND_CONSOLIDATE

// What `throw` hands over: image-relative offsets into the thrower's image.
struct TypeDescriptor {
    const void* table;
    void* spare;
    char name[1];
};
struct CatchableType {
    uint32_t properties;  // 1: a simple type, copied bit for bit
    int32_t type;
    int32_t memberOffset, vbaseTable, vbaseOffset;
    int32_t size;
    int32_t copyConstructor;
};
struct CatchableTypeArray {
    int32_t count;
    int32_t types[1];
};
struct ThrowInfo {
    uint32_t attributes;
    int32_t destructor;
    int32_t forwardCompat;
    int32_t catchableTypes;
};

// The frame's function information.
struct FuncInfo {
    uint32_t magic;
    int32_t maxState;
    int32_t unwindMap;
    uint32_t tryBlocks;
    int32_t tryBlockMap;
    uint32_t ipMapEntries;
    int32_t ipToStateMap;
};
struct UnwindMapEntry {
    int32_t toState;
    int32_t action;  // a funclet that destroys an object, or 0
};
struct TryBlock {
    int32_t tryLow, tryHigh, catchHigh;
    int32_t handlerCount;
    int32_t handlers;
};
struct HandlerType {
    uint32_t adjectives;  // 8: by reference
    int32_t type;         // 0: catch (...)
    int32_t catchObject;  // offset from the frame, 0 for none
    int32_t handler;      // the catch funclet
    int32_t parentFrame;
};
struct IpToState {
    int32_t ip, state;
};

template <typename T>
const T* At(uint64_t base, int32_t rva)
{
    return reinterpret_cast<const T*>(base + static_cast<uint32_t>(rva));
}

// Funclets take the frame they belong to as their second argument; a catch
// funclet returns where the function goes on.
using Funclet = uint64_t (*)(uint64_t unused, uint64_t frame);
using CopyConstructor = void (*)(void* to, const void* from);
using Destructor = void (*)(void* object);

// The state of a frame at its control point: the last entry at or before it.
int StateAt(const FuncInfo& info, uint64_t base, uint64_t pc)
{
    const auto* map = At<IpToState>(base, info.ipToStateMap);
    int state = -1;
    for (uint32_t i = 0; i < info.ipMapEntries && base + static_cast<uint32_t>(map[i].ip) <= pc; ++i)
        state = map[i].state;
    return state;
}

void UnwindToState(const FuncInfo& info, uint64_t base, uint64_t frame, int from, int to)
{
    const auto* map = At<UnwindMapEntry>(base, info.unwindMap);
    for (int state = from; state > to && state < info.maxState;) {
        const UnwindMapEntry& e = map[state];
        state = e.toState;
        if (e.action) reinterpret_cast<Funclet>(base + static_cast<uint32_t>(e.action))(0, frame);
    }
}

bool SameType(const TypeDescriptor* a, const TypeDescriptor* b)
{
    if (a == b) return true;
    const char *x = a->name, *y = b->name;
    while (*x && *x == *y) ++x, ++y;
    return *x == *y;
}

// The catchable type of a C++ exception that a handler takes, if any.
const CatchableType* Match(const EXCEPTION_RECORD& record, const HandlerType& h, uint64_t base)
{
    const uint64_t throwBase = record.ExceptionInformation[3];
    const auto* info = reinterpret_cast<const ThrowInfo*>(record.ExceptionInformation[2]);
    if (!info) return nullptr;
    const auto* types = At<CatchableTypeArray>(throwBase, info->catchableTypes);
    for (int32_t i = 0; i < types->count; ++i) {
        const auto* t = At<CatchableType>(throwBase, types->types[i]);
        if (!h.type || SameType(At<TypeDescriptor>(throwBase, t->type), At<TypeDescriptor>(base, h.type))) return t;
    }
    return nullptr;
}

void BuildCatchObject(const EXCEPTION_RECORD& record, const HandlerType& h, const CatchableType* t, uint64_t frame)
{
    if (!h.type || !h.catchObject) return;
    auto* object = reinterpret_cast<uint8_t*>(record.ExceptionInformation[1]) + t->memberOffset;
    void* slot = reinterpret_cast<void*>(frame + h.catchObject);
    if (h.adjectives & 8) {
        *static_cast<void**>(slot) = object;
    } else if (t->copyConstructor && !(t->properties & 1)) {
        reinterpret_cast<CopyConstructor>(record.ExceptionInformation[3] + static_cast<uint32_t>(t->copyConstructor))(
            slot, object);
    } else {
        __builtin_memcpy(slot, object, static_cast<size_t>(t->size));
    }
}

// Called by the system once the frames between the throw and the catching
// frame are unwound, on the stack as it was: the thrown object is still
// there. Returns where the catching function goes on.
uint64_t CallCatchBlock(EXCEPTION_RECORD* r)
{
    const uint64_t resume = reinterpret_cast<Funclet>(r->ExceptionInformation[2])(0, r->ExceptionInformation[1]);
    const auto* thrown = reinterpret_cast<const EXCEPTION_RECORD*>(r->ExceptionInformation[4]);
    const auto* info = reinterpret_cast<const ThrowInfo*>(thrown->ExceptionInformation[2]);
    if (info->destructor)
        reinterpret_cast<Destructor>(thrown->ExceptionInformation[3] + static_cast<uint32_t>(info->destructor))(
            reinterpret_cast<void*>(thrown->ExceptionInformation[1]));
    return resume;
}

}  // namespace

extern "C" ExceptionDisposition __CxxFrameHandler3(EXCEPTION_RECORD* record, void* establisher, CONTEXT* context,
                                                   DispatcherContext* dc)
{
    const uint64_t base = dc->ImageBase, frame = reinterpret_cast<uint64_t>(establisher);
    const FuncInfo& info = *At<FuncInfo>(base, *static_cast<const int32_t*>(dc->HandlerData));
    // A catch funclet's own frame (an exception inside a catch block) is not covered.
    if (!info.ipMapEntries || At<IpToState>(base, info.ipToStateMap)[0].ip != static_cast<int32_t>(dc->FunctionEntry->begin))
        return kContinueSearch;
    const int state = StateAt(info, base, dc->ControlPc);

    if (record->ExceptionFlags & kUnwinding) {
        // The catching frame keeps what its try block's enclosing state holds.
        int to = -1;
        if ((record->ExceptionFlags & kTargetUnwind) && record->ExceptionCode == kConsolidate &&
            record->ExceptionInformation[1] == frame)
            to = static_cast<int>(record->ExceptionInformation[3]);
        UnwindToState(info, base, frame, state, to);
        return kContinueSearch;
    }
    if (record->ExceptionCode != kCxxCode || record->NumberParameters < 4 ||
        record->ExceptionInformation[0] != kCxxMagic)
        return kContinueSearch;

    const auto* blocks = At<TryBlock>(base, info.tryBlockMap);
    for (uint32_t b = 0; b < info.tryBlocks; ++b) {
        const TryBlock& block = blocks[b];
        if (state < block.tryLow || state > block.tryHigh) continue;
        const auto* handlers = At<HandlerType>(base, block.handlers);
        for (int32_t i = 0; i < block.handlerCount; ++i) {
            const CatchableType* t = Match(*record, handlers[i], base);
            if (!t && handlers[i].type) continue;
            BuildCatchObject(*record, handlers[i], t, frame);
            // The system unwinds the frames in between (each handler runs
            // its destructors), this frame down to the try block's state,
            // then calls CallCatchBlock and resumes where it says.
            EXCEPTION_RECORD consolidate = {};
            consolidate.ExceptionCode = kConsolidate;
            consolidate.ExceptionFlags = EXCEPTION_NONCONTINUABLE;
            consolidate.NumberParameters = 5;
            consolidate.ExceptionInformation[0] = reinterpret_cast<uintptr_t>(&CallCatchBlock);
            consolidate.ExceptionInformation[1] = frame;
            consolidate.ExceptionInformation[2] = base + static_cast<uint32_t>(handlers[i].handler);
            consolidate.ExceptionInformation[3] = static_cast<uintptr_t>(block.tryLow);
            consolidate.ExceptionInformation[4] = reinterpret_cast<uintptr_t>(record);
            RtlUnwindEx(establisher, reinterpret_cast<void*>(dc->ControlPc), &consolidate, nullptr, dc->ContextRecord,
                        dc->HistoryTable);
        }
    }
    return kContinueSearch;
}

// What an exception leaving a noexcept function comes to, as abort() does.
extern "C" [[noreturn]] void __std_terminate()
{
    FastFail(kFastFailFatalExit);
}

// `throw`: the object and its type information, raised as a C++ exception.
extern "C" [[noreturn]] void _CxxThrowException(void* object, const ThrowInfo* info)
{
    const uintptr_t arguments[4] = {kCxxMagic, reinterpret_cast<uintptr_t>(object), reinterpret_cast<uintptr_t>(info),
                                    reinterpret_cast<uintptr_t>(__ImageBase)};
    RaiseException(kCxxCode, EXCEPTION_NONCONTINUABLE, 4, arguments);
    __builtin_unreachable();
}

#endif
