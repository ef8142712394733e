#include "common/BoundedCall.h"

#include "common/WinHandle.h"

#include <process.h>

BoundedRun RunWithin(DWORD ms, unsigned(__stdcall* body)(void*), void* arg)
{
    unsigned id = 0;
    CHandle thread(reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, body, arg, 0, &id)));
    if (!thread) return BoundedRun::NotStarted;
    return WaitForSingleObject(thread.Get(), ms) == WAIT_OBJECT_0 ? BoundedRun::Done : BoundedRun::LeftRunning;
}

namespace {

unsigned __stdcall UnloadBody(void* module)
{
    FreeLibrary(static_cast<HMODULE>(module));
    return 0;
}

}  // namespace

void UnloadModuleWithin(HMODULE module, DWORD ms)
{
    if (module) RunWithin(ms, UnloadBody, module);
}
