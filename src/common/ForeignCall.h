// Marks where a worker thread runs code that is not ours: a plug-in's or a
// descrambler's. A worker that does not stop within its bounds is terminated,
// and that is only sound while it is inside such a call: in our own code it may
// hold one of our locks, or the runtime's or the loader's, and leaving them
// held hangs whoever takes them next. Our own code ends promptly once the
// worker's gate has told it to stop, so the stopper waits for that instead.
//
// The same marks decide what a fault ends. A fault (an access violation, an
// exception the module throws and does not catch) raised while the thread is
// inside a marked call ends that thread there, as a cut-off would, and its
// owner is told so that it abandons the module; a fault in our own code still
// ends the process.
#pragma once
#include <windows.h>

// What a call is for. A worker that has come back from every call and is ending
// in order makes its last calls (a plug-in's Close and Destroy, a
// descrambler's Release): those free the plug-in's memory, and a thread cut
// off inside one could leave the process heap's lock held. They are not cut
// off while the worker has its grace to end.
enum class ForeignCallKind { Work, Ending };

// Whose code a call runs: what is abandoned when the call never comes back.
enum class ForeignModule : LONG { Plugin, Descrambler };

class CForeignCall {
public:
    // Before the worker starts.
    void Reset()
    {
        InterlockedExchange(&state_, kOutside);
        InterlockedExchange(&module_, static_cast<LONG>(ForeignModule::Plugin));
    }
    // On the worker, around every call into a plug-in (see CForeignScope).
    void Enter(ForeignCallKind kind, ForeignModule module, const void* stackMark)
    {
        InterlockedExchange(&module_, static_cast<LONG>(module));
        stackMark_ = reinterpret_cast<ULONG_PTR>(stackMark);
        InterlockedExchange(&state_, kind == ForeignCallKind::Ending ? kEnding : kInside);
    }
    void Leave(ForeignCallKind kind)
    {
        const LONG inside = kind == ForeignCallKind::Ending ? kEnding : kInside;
        const LONG was = InterlockedCompareExchange(&state_, kOutside, inside);
        if (was == kCondemned || was == kFaulted)
            for (;;) Sleep(INFINITE);  // the stopper is terminating this thread
    }
    // On the stopper: true when the worker is inside a working call and will
    // not come back out of it; the worker may then be terminated.
    bool Condemn() { return InterlockedCompareExchange(&state_, kCondemned, kInside) == kInside; }
    // On the faulting thread: true when it is inside a call (of either kind)
    // and nobody else is ending it; it then never comes back out.
    bool Fault()
    {
        LONG was = InterlockedCompareExchange(&state_, kFaulted, kInside);
        if (was == kEnding) was = InterlockedCompareExchange(&state_, kFaulted, kEnding);
        return was == kInside || was == kEnding;
    }
    bool Faulted() const { return InterlockedCompareExchange(const_cast<volatile LONG*>(&state_), 0, 0) == kFaulted; }
    bool Condemned() const
    {
        return InterlockedCompareExchange(const_cast<volatile LONG*>(&state_), 0, 0) == kCondemned;
    }
    // The module of the call last entered: the one to abandon after a
    // cut-off or a fault.
    ForeignModule Module() const
    {
        return static_cast<ForeignModule>(InterlockedCompareExchange(const_cast<volatile LONG*>(&module_), 0, 0));
    }
    // Where the call was entered: frames below it on the stack are the call's.
    ULONG_PTR StackMark() const { return stackMark_; }
    // Told on the faulting thread, before it ends: the owner abandons the
    // module and ends the connection. Must not wait on anything.
    void SetFaultHook(void (*hook)(void*), void* context)
    {
        hookContext_ = context;
        hook_ = hook;
    }
    void RunFaultHook()
    {
        if (hook_) hook_(hookContext_);
    }

private:
    enum : LONG { kOutside, kInside, kEnding, kCondemned, kFaulted };
    volatile LONG state_ = kOutside;
    volatile LONG module_ = static_cast<LONG>(ForeignModule::Plugin);
    volatile ULONG_PTR stackMark_ = 0;
    void (*hook_)(void*) = nullptr;
    void* hookContext_ = nullptr;
};

// The marker of the worker that runs on this thread, for calls made where the
// worker is not known (the tuner context and the descrambler stage, driven by
// the control worker), and for the fault handler to find. A worker binds its
// own at its start; on any other thread there is none, and a scope without
// one marks nothing. Binding also installs the fault handler, once.
void BindForeignCall(CForeignCall* call);
CForeignCall* BoundForeignCall();

class CForeignScope {
public:
    explicit CForeignScope(CForeignCall& call, ForeignCallKind kind = ForeignCallKind::Work,
                           ForeignModule module = ForeignModule::Plugin)
        : call_(&call), kind_(kind)
    {
        call_->Enter(kind_, module, this);
    }
    // The calling thread's own marker, if it has one.
    explicit CForeignScope(ForeignCallKind kind = ForeignCallKind::Work, ForeignModule module = ForeignModule::Plugin)
        : call_(BoundForeignCall()), kind_(kind)
    {
        if (call_) call_->Enter(kind_, module, this);
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
