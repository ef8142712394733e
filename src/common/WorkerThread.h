// A worker thread's handle and identifier, started with the runtime's
// thread-start call so that the C runtime is set up for it.
#pragma once
#include "common/WinHandle.h"

#include <process.h>
#include <windows.h>

struct CWorkerThread {
    CHandle handle;
    DWORD id = 0;

    template <typename Owner>
    bool Start(unsigned(__stdcall* body)(void*), Owner* owner)
    {
        unsigned tid = 0;
        const uintptr_t h = _beginthreadex(nullptr, 0, body, owner, 0, &tid);
        if (!h) return false;
        handle.Reset(reinterpret_cast<HANDLE>(h));
        id = tid;
        return true;
    }
    bool Running() const { return static_cast<bool>(handle); }
    // Waits up to ms for the thread to end; true when it did. A thread of
    // TunerHost's own that outlives its bound is terminated there (it calls
    // nothing of a plug-in's: those run in the plug-in host process); the
    // handle stays open, so that others may still wait on it, until Forget.
    bool Join(DWORD ms, bool terminateAtBound = true)
    {
        if (!handle) return true;
        if (WaitForSingleObject(handle.Get(), ms) == WAIT_OBJECT_0) return true;
        if (terminateAtBound) {
            TerminateThread(handle.Get(), 0);
            WaitForSingleObject(handle.Get(), INFINITE);
        }
        return false;
    }
    void Forget()
    {
        handle.Reset();
        id = 0;
    }
};
