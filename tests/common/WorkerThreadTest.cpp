#include "common/WorkerThread.h"

#include <gtest/gtest.h>

namespace {

struct CStuckWorker {
    CWorkerThread thread;
    CRITICAL_SECTION lock;
    CHandle event{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    volatile LONG rounds = 0;
    CStuckWorker() { InitializeCriticalSection(&lock); }
    ~CStuckWorker() { DeleteCriticalSection(&lock); }
};

// Never looks at a gate: most of its time it holds a lock of its own and
// signals an event, as the reception thread does while it queues a block (Wine
// carries out a termination when the thread next calls into the system), and
// now and then it calls into a "plug-in" that takes a moment.
unsigned __stdcall StuckWorker(void* param)
{
    auto& w = *static_cast<CStuckWorker*>(param);
    for (;;) {
        EnterCriticalSection(&w.lock);
        const DWORD until = GetTickCount() + 3;
        while (GetTickCount() < until) SetEvent(w.event.Get());
        LeaveCriticalSection(&w.lock);
        {
            CForeignScope plugin(w.thread.foreign);
            const DWORD busy = GetTickCount() + 1;
            while (GetTickCount() < busy) YieldProcessor();
            Sleep(1);
        }
        InterlockedIncrement(&w.rounds);
    }
}

unsigned __stdcall QuickExit(void*)
{
    const DWORD until = GetTickCount() + 100;
    while (GetTickCount() < until) YieldProcessor();
    return 7;
}

}  // namespace

TEST(WorkerThread, TerminatedOnlyInsideAForeignCall)
{
    // Terminated at the bound, the worker would leave its lock held about
    // three times in four.
    for (int i = 0; i < 40; ++i) {
        CStuckWorker w;
        ASSERT_TRUE(w.thread.Start(StuckWorker, &w));
        while (w.rounds < 1) Sleep(1);
        EXPECT_FALSE(w.thread.Join(5, Termination::InsideForeignCall));
        ASSERT_TRUE(TryEnterCriticalSection(&w.lock)) << "terminated while holding its lock, round " << i;
        LeaveCriticalSection(&w.lock);
    }

    // A thread busy in its own code at the bound is waited for, not terminated.
    CWorkerThread quick;
    ASSERT_TRUE(quick.Start(QuickExit, &quick));
    EXPECT_TRUE(quick.Join(1, Termination::InsideForeignCall));
    DWORD code = 0;
    GetExitCodeThread(quick.handle.Get(), &code);
    EXPECT_EQ(7u, code);
}

namespace {

struct CEndingWorker {
    CWorkerThread thread;
    CRITICAL_SECTION pluginHeap;  // stands for the lock a plug-in's Destroy takes
    CEndingWorker() { InitializeCriticalSection(&pluginHeap); }
    ~CEndingWorker() { DeleteCriticalSection(&pluginHeap); }
};

// Back from its calls just after the bound, it ends in order: its last call
// frees the plug-in's memory, under the plug-in heap's lock.
unsigned __stdcall EndsInOrder(void* param)
{
    auto& w = *static_cast<CEndingWorker*>(param);
    Sleep(30);
    CForeignScope ending(w.thread.foreign, ForeignCallKind::Ending);
    for (int i = 0; i < 50; ++i) {
        EnterCriticalSection(&w.pluginHeap);
        const DWORD until = GetTickCount() + 2;
        while (GetTickCount() < until) YieldProcessor();
        LeaveCriticalSection(&w.pluginHeap);
        Sleep(0);
    }
    return 3;
}

}  // namespace

// Cut off inside its closing calls, a worker could leave the plug-in's heap
// locked for every other thread: those calls get the grace to finish.
TEST(WorkerThread, NotCutOffInsideItsEndingCalls)
{
    for (int i = 0; i < 5; ++i) {
        CEndingWorker w;
        ASSERT_TRUE(w.thread.Start(EndsInOrder, &w));
        EXPECT_TRUE(w.thread.Join(10, Termination::InsideForeignCall)) << "round " << i;
        ASSERT_TRUE(TryEnterCriticalSection(&w.pluginHeap)) << "cut off holding the heap's lock, round " << i;
        LeaveCriticalSection(&w.pluginHeap);
    }
}
