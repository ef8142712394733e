#include "relay/CWorkerGate.h"

CWorkerGate::CWorkerGate()
    : paused_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      request_(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      resume_(CreateEventW(nullptr, FALSE, FALSE, nullptr))
{
}

void CWorkerGate::Reset()
{
    ResetEvent(resume_.Get());
    ResetEvent(request_.Get());
    ResetEvent(paused_.Get());
    InterlockedExchange(&quit_, 0);
}

DWORD CWorkerGate::Pause(DWORD ms, HANDLE worker)
{
    if (IsParked()) return 0;
    SetEvent(request_.Get());
    if (!worker) return WaitForSingleObject(paused_.Get(), ms);
    const HANDLE handles[2] = {paused_.Get(), worker};
    const DWORD r = WaitForMultipleObjects(2, handles, FALSE, ms);
    if (r == WAIT_OBJECT_0) return 0;
    if (r == WAIT_OBJECT_0 + 1) return kWorkerEnded;
    return r;
}

bool CWorkerGate::Checkpoint(DWORD ms)
{
    SetEvent(paused_.Get());
    WaitForSingleObject(resume_.Get(), ms);
    if (InterlockedCompareExchange(&quit_, 0, 0) != 0) return false;
    // This park answers every request made so far. A controller whose Pause
    // raced with the worker parking on its own has left its request set; if
    // it stayed, the worker would park again right after the next resume.
    WaitForSingleObject(request_.Get(), 0);
    ResetEvent(paused_.Get());
    return true;
}

void CWorkerGate::Resume()
{
    SetEvent(resume_.Get());
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
    const HANDLE handles[2] = {handle, request_.Get()};
    const DWORD r = WaitForMultipleObjects(2, handles, FALSE, ms);
    if (r == WAIT_OBJECT_0) return 0;
    if (r == WAIT_OBJECT_0 + 1) return 1;
    return r;
}
