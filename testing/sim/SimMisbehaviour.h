// What a rough plug-in does that no handler in the process it runs in can
// contain, on request: [Sim] Misbehave=NAME in the call MisbehaveIn names
// (Open, Tune, or the first FetchBlock MisbehaveAfterMs after Open, or once
// the Trigger file exists), and what its DllMain does wrong (DllMainHang,
// DllMainSlowMs, DllMainFault). Each logs "misbehave" (or "hang", "slow", "fault") first.
#pragma once
#include "SimSettings.h"

enum SimMisbehaviour : int {
    kBehaves,
    kHeapLockFault,       // faults holding the process heap's lock
    kHeapCorrupt,         // overruns a heap block over its free neighbour, then frees it: the heap faults
                          // inside, holding its lock (Windows ends the process instead)
    kLoaderLockFault,     // faults holding the loader's lock
    kOwnLockFault,        // faults holding the plug-in's own lock, which every Open takes
    kThreadFault,         // a thread of the plug-in's own faults, MisbehaveAfterMs after it started (or
                          // once the Trigger file exists)
    kTimerFault,          // ...a timer-queue callback
    kPoolFault,           // ...a thread-pool work item
    kCookieFault,         // a buffer overrun that the buffer-security check finds: __fastfail
    kInvalidParameter,    // __fastfail, as the C runtime's invalid-parameter handler
    kStackOverflowTwice,  // a stack overflow that the plug-in handles (__try), then a second one
    kFilterThenThrow,     // an unhandled-exception filter that ends the process, then an uncaught throw
    kExitProcess,         // ends the process
    kWildWriteImage,      // scribbles over the writable sections of the program that loaded it
    kWildWriteHeap,       // scribbles over the heap blocks around one of its own
    kStartProcess,        // starts a process of its own that lives on (logging "process ID"), and goes on
    kLeakThreads,         // starts 8 threads that wait for ever, never stopped, and goes on
    kOverflowPositions,   // a thread that (as kForgeDataPipe is) finds the stream ring its host maps and
                          // sets both its positions to INT64_MAX every millisecond
    kReportHandles,       // logs "inherited" when ProbeHandle maps its marked section, and "rights S R W":
                          // the access (hex) its host's ring section, ready and room handles were given with
    kForgeDataPipe,       // a thread that (MisbehaveAfterMs after it started, or once the Trigger file
                          // exists) tries every 5 ms to make the satellite kind's data pipe (logging
                          // "forged pipe" when it did) and writes forged packets (PID 0x1BAD) to whoever opens it
};

enum SimCall : int { kInOpen, kInTune, kInFetch };

// kBehaves (kInOpen) for an empty or unknown name.
int MisbehaviourNamed(const wchar_t* name);
int MisbehaviourCallNamed(const wchar_t* name);

// Whether a misbehaviour in FetchBlock is due, this long after Open.
bool MisbehaviourDue(const SimSettings& s, double msSinceOpen);

// Does what the settings ask, on the calling thread, or starts the thread,
// timer or work item that does. `ownLock` is the plug-in's lock that its
// Open takes.
void Misbehave(const SimSettings& s, SRWLOCK* ownLock);

// In DllMain, at process attach.
void MisbehaveAtAttach(const SimSettings& s);
