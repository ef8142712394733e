#include "relay/CWorkerGate.h"

CWorkerGate::CWorkerGate()
    : paused_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      request_(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      resume_(CreateEventW(nullptr, FALSE, FALSE, nullptr))
{
}

void CWorkerGate::Reset()
{
    CLock hold(lock_);
    parked_ = false;
    ResetEvent(resume_.Get());
    ResetEvent(request_.Get());
    InterlockedExchange(&requestMade_, 0);
    ResetEvent(paused_.Get());
    InterlockedExchange(&quit_, 0);
}

bool CWorkerGate::IsParked() const
{
    CLock hold(lock_);
    return parked_;
}

DWORD CWorkerGate::Pause(DWORD ms, HANDLE worker)
{
    {
        CLock hold(lock_);
        if (parked_) return 0;
        SetEvent(request_.Get());
        InterlockedExchange(&requestMade_, 1);  // after the event: a poll that sees it finds the event set
        CountCall(SystemCall::Signal);
    }
    CountCall(SystemCall::Wait);
    if (!worker) return WaitForSingleObject(paused_.Get(), ms);
    const HANDLE handles[2] = {paused_.Get(), worker};
    const DWORD r = WaitForMultipleObjects(2, handles, FALSE, ms);
    if (r == WAIT_OBJECT_0) return 0;
    if (r == WAIT_OBJECT_0 + 1) return kWorkerEnded;
    return r;
}

bool CWorkerGate::Checkpoint(DWORD ms)
{
    {
        CLock hold(lock_);
        // This park answers every request made before it, also one that raced
        // with the worker parking on its own: left set, it would park the
        // worker again right after the next resume.
        ResetEvent(request_.Get());
        parked_ = true;
        SetEvent(paused_.Get());
        if (InterlockedCompareExchange(&quit_, 0, 0) != 0) return false;
    }
    CountCall(SystemCall::Wait);
    WaitForSingleObject(resume_.Get(), ms);
    CLock hold(lock_);
    if (InterlockedCompareExchange(&quit_, 0, 0) != 0) return false;
    parked_ = false;
    ResetEvent(paused_.Get());
    return true;
}

void CWorkerGate::Resume()
{
    CLock hold(lock_);
    // From here on the worker counts as going on: a Pause that follows waits
    // for its next park.
    parked_ = false;
    ResetEvent(paused_.Get());
    SetEvent(resume_.Get());
    CountCall(SystemCall::Signal);
    CountCall(SystemCall::Signal);
}

void CWorkerGate::Interrupt()
{
    CLock hold(lock_);
    SetEvent(request_.Get());
    InterlockedExchange(&requestMade_, 1);
}

bool CWorkerGate::Stop(DWORD ms, HANDLE worker)
{
    InterlockedExchange(&quit_, 1);
    const DWORD r = Pause(ms, worker);
    SetEvent(resume_.Get());
    return r != WAIT_TIMEOUT;
}

DWORD CWorkerGate::WaitEither(HANDLE handle, DWORD ms) const
{
    CountCall(SystemCall::Wait);
    const HANDLE handles[2] = {handle, request_.Get()};
    const DWORD r = WaitForMultipleObjects(2, handles, FALSE, ms);
    if (r == WAIT_OBJECT_0) return 0;
    if (r == WAIT_OBJECT_0 + 1) return 1;
    return r;
}
