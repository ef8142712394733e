#include "relay/Descrambler.h"

#include "common/BoundedCall.h"
#include "common/CriticalSection.h"
#include "common/ForeignCall.h"
#include "common/PinModule.h"
#include "common/TypeProbe.h"

#include <windows.h>

#include <new>

namespace {

struct CDescramblerLibrary {
    CCriticalSection lock;
    long count = 0;
    HMODULE library = nullptr;
    ~CDescramblerLibrary()
    {
        if (library) FreeLibrary(library);
    }
};

// Set up before the entry point runs; a library still loaded at exit is
// freed after it returns.
CDescramblerLibrary g_descrambler;

}  // namespace

IB25Decoder* LoadDescrambler()
{
    HMODULE library = nullptr;
    {
        CLock hold(g_descrambler.lock);
        if (g_descrambler.count == 0) {
            g_descrambler.library = LoadLibraryW(kDescramblerLibrary);
            if (!g_descrambler.library) return nullptr;
        }
        ++g_descrambler.count;
        library = g_descrambler.library;
    }
    auto create = reinterpret_cast<CreateB25DecoderFn>(
        reinterpret_cast<void*>(GetProcAddress(library, kCreateB25DecoderExport)));
    IB25Decoder* decoder = nullptr;
    BOOL32 started = 0;
    {
        CForeignScope call(ForeignCallKind::Work, ForeignModule::Descrambler);
        decoder = create ? create() : nullptr;
        if (decoder) started = decoder->StartUp(kDescramblerStartUpValue);
    }
    if (decoder && !started) {
        CForeignScope ending(ForeignCallKind::Ending, ForeignModule::Descrambler);
        decoder->Release();
    }
    if (!decoder || !started) {
        UnloadDescrambler();
        return nullptr;
    }
    if (auto* decoder2 = static_cast<IB25Decoder2*>(ProbeInterface(decoder, "IB25Decoder2"))) {
        CForeignScope call(ForeignCallKind::Work, ForeignModule::Descrambler);
        decoder2->Configure(0);
    }
    return decoder;
}

bool UnloadDescrambler()
{
    HMODULE library = nullptr;
    {
        CLock hold(g_descrambler.lock);
        if (g_descrambler.count == 0) return false;
        if (--g_descrambler.count == 0) {
            library = g_descrambler.library;
            g_descrambler.library = nullptr;
        }
    }
    // Outside the lock, and within a bound: a library whose detach code hangs
    // holds neither the other kind's next instance nor this kind's worker.
    UnloadModuleWithin(library);
    return true;
}

namespace {

struct CReleaseJob {
    IB25Decoder* instance;
    CForeignCall call;
};

void ReleaseFaulted(void*)
{
    AbandonDescrambler();
}

unsigned __stdcall ReleaseBody(void* param)
{
    auto* job = static_cast<CReleaseJob*>(param);
    BindForeignCall(&job->call);
    job->call.SetFaultHook(ReleaseFaulted, nullptr);
    {
        CForeignScope ending(ForeignCallKind::Ending, ForeignModule::Descrambler);
        job->instance->Release();
    }
    UnloadDescrambler();
    delete job;
    return 0;
}

}  // namespace

void ReleaseDescrambler(IB25Decoder* instance)
{
    auto* job = new (std::nothrow) CReleaseJob{instance, {}};
    // Without memory for the job, the instance is kept rather than released
    // where nothing bounds it.
    if (!job) {
        AbandonDescrambler();
        return;
    }
    if (RunWithin(kLetGoBoundMs, ReleaseBody, job) == BoundedRun::NotStarted) {
        delete job;
        AbandonDescrambler();
    }
}

void AbandonDescrambler()
{
    CLock hold(g_descrambler.lock);
    // Its count stays taken, so the library is never freed while the process
    // runs; pinned, freeing it at exit unloads nothing either.
    PinModule(g_descrambler.library);
}

long DescramblerLoadCount()
{
    CLock hold(g_descrambler.lock);
    return g_descrambler.count;
}
