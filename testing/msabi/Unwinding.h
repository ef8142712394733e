// What the system's exception dispatcher hands a frame's handler, for the
// handlers that DLLs built with exception handling want of a runtime
// (SehHandler.cpp, CxxHandler.cpp). The layouts are the system's.
#pragma once
#include "Kernel32.h"

enum ExceptionDisposition : int {
    kContinueExecution = 0,
    kContinueSearch = 1,
};

// ExceptionFlags while the stack is being unwound, rather than searched for
// a handler, and on the frame that the unwind ends at.
constexpr DWORD kUnwinding = 0x2 | 0x4;  // EXCEPTION_UNWINDING, EXCEPTION_EXIT_UNWIND
constexpr DWORD kTargetUnwind = 0x20;    // EXCEPTION_TARGET_UNWIND

#if defined(__x86_64__)
struct RuntimeFunction {
    uint32_t begin, end, unwindInfo;
};

struct DispatcherContext {
    uint64_t ControlPc;
    uint64_t ImageBase;
    const RuntimeFunction* FunctionEntry;
    uint64_t EstablisherFrame;
    uint64_t TargetIp;
    CONTEXT* ContextRecord;
    void* LanguageHandler;
    const void* HandlerData;  // the frame's data for its handler, after the unwind codes
    void* HistoryTable;
    uint32_t ScopeIndex;
    uint32_t Fill0;
};
#endif
