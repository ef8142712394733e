// A worker thread's handle and identifier, started with the runtime's
// thread-start call so that the C runtime is set up for it.
#pragma once
#include "common/ForeignCall.h"
#include "common/WinHandle.h"

#include <process.h>
#include <windows.h>

// How a thread that outlives its stop bound is terminated.
enum class Termination {
    AtBound,            // at once
    InsideForeignCall,  // only inside a call marked with `foreign`
};

struct CWorkerThread {
    static constexpr DWORD kOwnCodeGraceMs = 5000;
    static constexpr DWORD kGraceSliceMs = 10;
    CHandle handle;
    DWORD id = 0;
    CForeignCall foreign;  // marked by the thread around its calls into plug-ins

    template <typename Owner>
    bool Start(unsigned(__stdcall* body)(void*), Owner* owner)
    {
        foreign.Reset();
        unsigned tid = 0;
        const uintptr_t h = _beginthreadex(nullptr, 0, body, owner, 0, &tid);
        if (!h) return false;
        handle.Reset(reinterpret_cast<HANDLE>(h));
        id = tid;
        return true;
    }
    bool Running() const { return static_cast<bool>(handle); }
    bool Ended() const { return handle && WaitForSingleObject(handle.Get(), 0) == WAIT_OBJECT_0; }
    // Waits up to ms for the thread to end and terminates it at the bound; the
    // handle stays open, so that others may still wait on it, until Forget.
    // InsideForeignCall: a thread in its own code at the bound gets up to
    // kOwnCodeGraceMs more to end, and is terminated as soon as it is inside a
    // working foreign call, never inside an ending one (or when the grace has
    // run out too); a thread found inside a working call once
    // condemnWorkAfterMs have passed is terminated then (one stopped while it
    // waits on a plug-in that never answers has nothing to finish). True when
    // it ended by itself: one ended by a fault inside a call did too, and
    // says so through foreign.Faulted().
    bool Join(DWORD ms, Termination how = Termination::AtBound, DWORD condemnWorkAfterMs = INFINITE)
    {
        if (!handle) return true;
        if (how == Termination::InsideForeignCall && condemnWorkAfterMs < ms) {
            if (WaitForSingleObject(handle.Get(), condemnWorkAfterMs) == WAIT_OBJECT_0) return true;
            bool condemned = false;
            for (DWORD waited = condemnWorkAfterMs; waited < ms && !(condemned = foreign.Condemn());
                 waited += kGraceSliceMs)
                if (WaitForSingleObject(handle.Get(), kGraceSliceMs) == WAIT_OBJECT_0) return true;
            if (condemned) return Terminate();
        } else if (WaitForSingleObject(handle.Get(), ms) == WAIT_OBJECT_0) {
            return true;
        }
        if (how == Termination::InsideForeignCall) {
            for (DWORD waited = 0; !foreign.Condemn() && waited < kOwnCodeGraceMs; waited += kGraceSliceMs)
                if (WaitForSingleObject(handle.Get(), kGraceSliceMs) == WAIT_OBJECT_0) return true;
        }
        return Terminate();
    }
    // Ended by a fault inside a foreign call, or terminated at its bound: its
    // module is to be abandoned.
    bool CutOff(bool joined) const { return !joined || foreign.Faulted(); }
    bool Terminate()
    {
        TerminateThread(handle.Get(), 0);
        WaitForSingleObject(handle.Get(), INFINITE);
        return false;
    }
    void Forget()
    {
        handle.Reset();
        id = 0;
    }
};
