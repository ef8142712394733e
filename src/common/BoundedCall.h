// Calls that may never come back, made on a thread of their own: the caller
// waits for them up to a bound and then goes on, leaving the call to its
// thread, which nothing waits on. Used where a module that was not cut off is
// let go (its unload runs the module's own detach code, its Release the
// instance's), so that a module which hangs there cannot hang its kind.
#pragma once
#include <windows.h>

// How long a module's release or unload is waited for.
constexpr DWORD kLetGoBoundMs = 5000;

enum class BoundedRun { Done, LeftRunning, NotStarted };

// Runs body(arg) on a new thread and waits up to ms for it. NotStarted: no
// thread could be made, and body did not run.
BoundedRun RunWithin(DWORD ms, unsigned(__stdcall* body)(void*), void* arg);

// FreeLibrary within the bound. A module whose unload could not even be
// started stays loaded.
void UnloadModuleWithin(HMODULE module, DWORD ms = kLetGoBoundMs);
