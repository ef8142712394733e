// Marks where a worker thread runs code that is not ours: a plug-in's or a
// descrambler's. A worker that does not stop within its bounds is terminated,
// and that is only sound while it is inside such a call: in our own code it may
// hold one of our locks, or the runtime's or the loader's, and leaving them
// held hangs whoever takes them next. Our own code ends promptly once the
// worker's gate has told it to stop, so the stopper waits for that instead.
#pragma once
#include <windows.h>

// What a call is for. A worker that has come back from every call and is ending
// in order makes its last calls (a plug-in's Close and Destroy, a
// descrambler's Release): those free the plug-in's memory, and a thread cut
// off inside one could leave the process heap's lock held. They are not cut
// off while the worker has its grace to end.
enum class ForeignCallKind { Work, Ending };

class CForeignCall {
public:
    // Before the worker starts.
    void Reset() { InterlockedExchange(&state_, kOutside); }
    // On the worker, around every call into a plug-in (see CForeignScope).
    void Enter(ForeignCallKind kind) { InterlockedExchange(&state_, kind == ForeignCallKind::Ending ? kEnding : kInside); }
    void Leave(ForeignCallKind kind)
    {
        const LONG inside = kind == ForeignCallKind::Ending ? kEnding : kInside;
        if (InterlockedCompareExchange(&state_, kOutside, inside) == kCondemned)
            for (;;) Sleep(INFINITE);  // the stopper is terminating this thread
    }
    // On the stopper: true when the worker is inside a working call and will
    // not come back out of it; the worker may then be terminated.
    bool Condemn() { return InterlockedCompareExchange(&state_, kCondemned, kInside) == kInside; }

private:
    enum : LONG { kOutside, kInside, kEnding, kCondemned };
    volatile LONG state_ = kOutside;
};

// The marker of the worker that runs on this thread, for calls made where the
// worker is not known (the tuner context and the descrambler stage, driven by
// the control worker). A worker binds its own at its start; on any other
// thread there is none, and a scope without one marks nothing.
void BindForeignCall(CForeignCall* call);
CForeignCall* BoundForeignCall();

class CForeignScope {
public:
    explicit CForeignScope(CForeignCall& call, ForeignCallKind kind = ForeignCallKind::Work)
        : call_(&call), kind_(kind)
    {
        call_->Enter(kind_);
    }
    // The calling thread's own marker, if it has one.
    explicit CForeignScope(ForeignCallKind kind = ForeignCallKind::Work) : call_(BoundForeignCall()), kind_(kind)
    {
        if (call_) call_->Enter(kind_);
    }
    ~CForeignScope()
    {
        if (call_) call_->Leave(kind_);
    }
    CForeignScope(const CForeignScope&) = delete;
    CForeignScope& operator=(const CForeignScope&) = delete;

private:
    CForeignCall* call_;
    ForeignCallKind kind_;
};
