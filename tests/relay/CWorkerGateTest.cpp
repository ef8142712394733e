#include "relay/CWorkerGate.h"
#include "plughost/CPlugTuner.h"

#include <gtest/gtest.h>

#include <process.h>

namespace {

struct CParkingWorker {
    CWorkerGate gate;
    volatile LONG rounds = 0;
    volatile LONG sawRequestAfterResume = 0;
};

// Parks on every request; counts how often it went on.
unsigned __stdcall ParkingWorker(void* param)
{
    auto& w = *static_cast<CParkingWorker*>(param);
    for (;;) {
        WaitForSingleObject(w.gate.RequestEvent(), INFINITE);
        if (!w.gate.Checkpoint(INFINITE)) return 1;
        InterlockedIncrement(&w.rounds);
        if (w.gate.PollRequest()) InterlockedIncrement(&w.sawRequestAfterResume);
    }
}

struct CSpinningWorker {
    CWorkerGate gate;
    volatile LONG running = 0;
};

// Works in a loop and parks when asked, as the reception thread does.
unsigned __stdcall SpinningWorker(void* param)
{
    auto& w = *static_cast<CSpinningWorker*>(param);
    for (;;) {
        InterlockedExchange(&w.running, 1);
        for (int i = 0; i < 50; ++i) YieldProcessor();
        if (w.gate.PollRequest()) {
            InterlockedExchange(&w.running, 0);
            if (!w.gate.Checkpoint(INFINITE)) return 1;
        }
    }
}

unsigned __stdcall EndAtOnce(void*)
{
    return 0;
}

}  // namespace

TEST(WorkerGate, PauseResumeAndStopAWorker)
{
    CParkingWorker w;
    w.gate.Reset();
    CHandle thread(reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, ParkingWorker, &w, 0, nullptr)));
    ASSERT_TRUE(thread);
    ASSERT_EQ(w.gate.Pause(5000), 0u);
    EXPECT_TRUE(w.gate.IsParked());
    // Already parked: at once, and no request is left behind.
    EXPECT_EQ(w.gate.Pause(0), 0u);
    w.gate.Resume();
    EXPECT_FALSE(w.gate.IsParked());  // resumed counts as going on at once
    for (int i = 0; i < 500 && w.rounds == 0; ++i) Sleep(10);
    EXPECT_EQ(w.gate.Pause(5000), 0u);
    EXPECT_EQ(w.rounds, 1);
    EXPECT_EQ(w.sawRequestAfterResume, 0);
    // Stop on a parked worker ends it well within the bound.
    const ULONGLONG start = GetTickCount64();
    EXPECT_TRUE(w.gate.Stop(3000, thread.Get()));
    EXPECT_EQ(WaitForSingleObject(thread.Get(), 3000), WAIT_OBJECT_0);
    EXPECT_LT(GetTickCount64() - start, 1000u);
}

// A pause that follows a resume at once must wait for the worker's next park,
// not take the worker that is just waking up for parked: the controller would
// then tune or stop a plug-in that the worker is still using, and a stop would
// never reach the worker.
TEST(WorkerGate, APauseRightAfterAResumeWaitsForTheNextPark)
{
    CSpinningWorker w;
    w.gate.Reset();
    CHandle thread(reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, SpinningWorker, &w, 0, nullptr)));
    ASSERT_TRUE(thread);
    int running = 0;
    for (int i = 0; i < 3000; ++i) {
        ASSERT_EQ(w.gate.Pause(3000, thread.Get()), 0u) << i;
        for (int k = 0; k < 300; ++k)
            if (w.running) {
                ++running;
                break;
            }
        w.gate.Resume();
    }
    EXPECT_EQ(running, 0) << "pauses that returned while the worker ran";
    w.gate.Resume();
    EXPECT_TRUE(w.gate.Stop(3000, thread.Get()));
    EXPECT_EQ(WaitForSingleObject(thread.Get(), 3000), static_cast<DWORD>(WAIT_OBJECT_0));
}

TEST(WorkerGate, ParkingConsumesARequestThatRacedWithIt)
{
    CWorkerGate gate;
    gate.Reset();
    // A controller's pause that times out leaves its request set...
    EXPECT_EQ(gate.Pause(0), static_cast<DWORD>(WAIT_TIMEOUT));
    // ...and the worker then parks, on its own or for that request.
    gate.Resume();
    EXPECT_TRUE(gate.Checkpoint(0));
    // Having parked, it must not park again for the same request.
    EXPECT_FALSE(gate.PollRequest());
    EXPECT_FALSE(gate.IsParked());
    // Zero-time checkpoint only looks at quit.
    EXPECT_TRUE(gate.Checkpoint(0));
    gate.Stop(0);
    EXPECT_FALSE(gate.Checkpoint(0));
    EXPECT_TRUE(gate.IsParked());
}

TEST(WorkerGate, PauseOfAnEndedWorkerDoesNotWait)
{
    CWorkerGate gate;
    gate.Reset();
    CHandle thread(reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, EndAtOnce, nullptr, 0, nullptr)));
    ASSERT_EQ(WaitForSingleObject(thread.Get(), 5000), WAIT_OBJECT_0);
    EXPECT_EQ(gate.Pause(INFINITE, thread.Get()), CWorkerGate::kWorkerEnded);
    EXPECT_TRUE(gate.Stop(INFINITE, thread.Get()));
}

TEST(AdaptiveWait, FollowsTheDataRate)
{
    CAdaptiveWait w;
    for (int i = 0; i < 9; ++i) w.OnEmptyPass();
    EXPECT_EQ(w.wait, 0u);
    w.OnEmptyPass();  // the tenth empty pass in a row
    EXPECT_EQ(w.wait, 1u);
    for (int i = 0; i < 200; ++i) w.OnEmptyPass();
    EXPECT_EQ(w.wait, CAdaptiveWait::kMaxWaitMs);

    w.OnEmptyPass();  // data after exactly one empty pass: unchanged
    w.OnData();
    EXPECT_EQ(w.wait, 10u);
    w.OnData();  // data on every pass: down by one each time
    EXPECT_EQ(w.wait, 9u);
    for (int i = 0; i < 20; ++i) w.OnData();
    EXPECT_EQ(w.wait, 0u);

    w.OnEmptyPass();  // data after two empty passes: up by one
    w.OnEmptyPass();
    w.OnData();
    EXPECT_EQ(w.wait, 1u);
    EXPECT_EQ(w.idle, 0u);
}

// The worker's look at the request skips the system while none was made: each
// request must still be seen exactly once, whichever way the worker took the
// one before it.
TEST(WorkerGate, EveryRequestIsSeenOnceByThePolls)
{
    CWorkerGate gate;
    gate.Reset();
    EXPECT_FALSE(gate.PollRequest());
    EXPECT_EQ(gate.Pause(0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_TRUE(gate.PollRequest());
    EXPECT_FALSE(gate.PollRequest());
    // Taken by a wait on the event, as the data worker does.
    EXPECT_EQ(gate.Pause(0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(WaitForSingleObject(gate.RequestEvent(), 0), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_FALSE(gate.PollRequest());
    EXPECT_EQ(gate.Pause(0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_TRUE(gate.PollRequest());
    // A reset forgets a request made before it.
    EXPECT_EQ(gate.Pause(0), static_cast<DWORD>(WAIT_TIMEOUT));
    gate.Reset();
    EXPECT_FALSE(gate.PollRequest());
}
