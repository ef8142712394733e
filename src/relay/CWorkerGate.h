// The handshake with which a controlling thread parks, resumes and ends a
// worker thread. The worker watches `request` whenever it blocks and between
// steps; on seeing it, it cleans up its step and calls Checkpoint.
#pragma once
#include "common/CallCount.h"
#include "common/CriticalSection.h"
#include "common/WinHandle.h"

#include <windows.h>

class CWorkerGate {
public:
    CWorkerGate();
    CWorkerGate(const CWorkerGate&) = delete;
    CWorkerGate& operator=(const CWorkerGate&) = delete;

    // Before each start of the worker.
    void Reset();
    // Asks the worker to park and waits for it: 0 when it parked, WAIT_TIMEOUT
    // when the time ran out (request then stays set). When `worker` (the
    // thread's handle) is given and the thread ends instead, returns
    // kWorkerEnded rather than waiting on for a park that never comes.
    DWORD Pause(DWORD ms, HANDLE worker = nullptr);
    // Worker side: parks until resumed or the time runs out. False when the
    // worker must end.
    bool Checkpoint(DWORD ms);
    void Resume();
    // Sets request without waiting: whatever the worker waits on (WaitEither)
    // ends at once, and a poll sees it. Used to end a client's connection
    // from another thread.
    void Interrupt();
    // Sets quit, pauses with the bound, releases the worker. False when the
    // worker did not park in time.
    bool Stop(DWORD ms, HANDLE worker = nullptr);
    // Worker side: 0 when `handle` was signalled, 1 when request was,
    // WAIT_TIMEOUT, or anything else on failure.
    DWORD WaitEither(HANDLE handle, DWORD ms) const;
    // Worker side: true when a request is pending; consumes it. Asks the
    // system only when a request may have been made since the last look: the
    // worker polls between every two steps, and none is pending nearly always.
    bool PollRequest() const
    {
        if (InterlockedExchange(&requestMade_, 0) == 0) return false;
        CountCall(SystemCall::Poll);
        return WaitForSingleObject(request_.Get(), 0) == WAIT_OBJECT_0;
    }
    HANDLE RequestEvent() const { return request_.Get(); }
    // Set while the worker is parked: a controller may wait on it.
    HANDLE PausedEvent() const { return paused_.Get(); }
    bool IsParked() const;

    static constexpr DWORD kWorkerEnded = 2;

private:
    // Guards parked_ and the events' transitions, so that a controller never
    // takes a worker that has been resumed, or is about to go on, for parked.
    mutable CCriticalSection lock_;
    bool parked_ = false;
    CHandle paused_;   // manual-reset: set while the worker is parked
    CHandle request_;  // auto-reset: a controller asks the worker to park
    CHandle resume_;   // auto-reset: releases a parked worker
    volatile LONG quit_ = 0;
    // Set after request_ each time a controller sets it; cleared by the poll
    // that then looks at request_. A look that finds it already consumed (by a
    // wait, or a park) costs one call and nothing else.
    mutable volatile LONG requestMade_ = 0;
};
