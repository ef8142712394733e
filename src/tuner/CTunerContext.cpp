#include "tuner/CTunerContext.h"

#include "common/BoundedCall.h"
#include "common/PinModule.h"
#include "relay/CStreamRelay.h"
#include "tuner/ChannelSelection.h"

#include <objbase.h>

#include <new>

std::unique_ptr<CTunerContext> CTunerContext::Create(const CDriverInfo& info, BOOL32 terrestrial,
                                                     const CPipeNamePair& pipeNames)
{
    // Called on the settings sheet's thread too, where nothing catches: a
    // context that cannot be allocated leaves the slot empty.
    std::unique_ptr<CTunerContext> t(new (std::nothrow) CTunerContext);
    if (!t) return nullptr;
    t->settings = info;
    t->isTerrestrial = terrestrial ? 1 : 0;
    t->relay.reset(new (std::nothrow) CStreamRelay(t.get(), pipeNames));
    // Only now: the control worker reads the relay from the context as soon
    // as a client connects.
    if (t->relay) t->relay->Listen();
    return t;
}

CTunerContext::~CTunerContext()
{
    // A connected client's connection ends first, through the control worker,
    // which closes the tuner itself: two threads never close one tuner.
    if (relay && relay->PipeServer()) relay->PipeServer()->StopWorkers();
    Close();
    relay.reset();
}

bool CTunerContext::LoadPlugin()
{
    // A bare file name: the library search begins with the program's folder.
    module.Reset(LoadLibraryW(settings.fileName.c_str()));
    return static_cast<bool>(module);
}

void CTunerContext::MarkInUse()
{
    InterlockedExchange(&inUse, 1);
}

void CTunerContext::AbandonPlugin()
{
    InterlockedExchange(&pluginAbandoned_, 1);
}

void PluginThreadFaulted(void* context)
{
    auto& t = *static_cast<CTunerContext*>(context);
    t.AbandonPlugin();
    if (t.relay && t.relay->PipeServer()) t.relay->PipeServer()->EndConnection();
}

BOOL32 CTunerContext::Open()
{
    if (!module || driver) return 0;
    auto create = reinterpret_cast<CreateBonDriverFn>(
        reinterpret_cast<void*>(GetProcAddress(module.Get(), kCreateBonDriverExport)));
    if (!create) return 0;
    IBonDriver* object = nullptr;
    {
        CForeignScope plugin;
        object = create();
    }
    if (!object) return 0;
    driver = object;
    BOOL32 opened = 0;
    {
        CForeignScope plugin;
        opened = driver->Open();
    }
    if (opened) {
        SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL);
        driver2 = AsBonDriver2(driver);
        if (driver2) {
            streaming = 0;
            receptionGate.Reset();
            if (receptionThread.Start(ReceptionThread, this)) {
                signalGate.Reset();
                signalThread.Start(SignalThread, this);  // the tuner works without it
                return 1;
            }
        }
    }
    {
        CForeignScope plugin(ForeignCallKind::Ending);
        driver->Close();
        driver->Destroy();
    }
    driver = nullptr;
    driver2 = nullptr;
    return 0;
}

BOOL32 CTunerContext::Start()
{
    if (!driver || PluginAbandoned()) return 0;
    if (streaming) return 1;
    if (receptionGate.Pause(3000, receptionThread.handle.Get()) != 0) return 0;
    {
        CForeignScope plugin;
        driver->Discard();
    }
    streaming = 1;
    if (relay && !relay->Purge()) return 0;
    receptionGate.Resume();
    return 1;
}

BOOL32 CTunerContext::SelectChannel(uint32_t value)
{
    if (isTerrestrial) return MapFrequency(value / 1000);
    return Apply(DecideChannel(value, false, settings));
}

BOOL32 CTunerContext::MapFrequency(uint32_t mhz)
{
    return Apply(DecideChannel(mhz * 1000, true, settings));
}

BOOL32 CTunerContext::Apply(const CSelection& selection)
{
    switch (selection.outcome) {
    case SelectOutcome::Tune:
        return ApplyChannel(static_cast<uint32_t>(selection.target.space), selection.target.channel);
    case SelectOutcome::NotServed:
        // The stream stops until a later selection succeeds.
        receptionGate.Pause(3000, receptionThread.handle.Get());
        return 0;
    case SelectOutcome::UnknownTsid:
        break;  // stays on the current channel
    }
    return 0;
}

BOOL32 CTunerContext::ApplyChannel(uint32_t space, uint32_t channel)
{
    // The fixed-channel override has been applied by DecideChannel.
    if (!driver2 || PluginAbandoned()) return 0;
    if (receptionGate.Pause(3000, receptionThread.handle.Get()) != 0) return 0;
    {
        CForeignScope plugin;
        if (!driver2->Tune(space, channel)) return 0;  // reception stays parked
        driver2->Discard();
    }
    if (relay && !relay->Purge()) return 0;  // the connection ends (see WorkerLost)
    InterlockedExchange(&tunedChannel, -1);
    InterlockedExchange(&tunedSpace, static_cast<LONG>(space));
    InterlockedExchange(&tunedChannel, static_cast<LONG>(channel));
    receptionGate.Resume();
    return 1;
}

void CTunerContext::StopThreads()
{
    streaming = 0;
    if (signalThread.Running()) {
        signalGate.Stop(1000, signalThread.handle.Get());
        if (signalThread.CutOff(signalThread.Join(1000, Termination::InsideForeignCall))) AbandonPlugin();
        signalThread.Forget();
    }
    if (receptionThread.Running()) {
        receptionGate.Stop(3000, receptionThread.handle.Get());
        if (receptionThread.CutOff(receptionThread.Join(2000, Termination::InsideForeignCall))) AbandonPlugin();
        receptionThread.Forget();
    }
    // A reception thread that ended by itself has closed and destroyed the
    // object; one ended inside a call, or any thread of an abandoned
    // plug-in, leaves it as it is.
    driver = nullptr;
    driver2 = nullptr;
}

BOOL32 CTunerContext::Close()
{
    StopThreads();
    if (PluginAbandoned()) {
        // Never unloaded once a thread was ended inside it.
        PinModule(module.Get());
        module.Release();
        InterlockedExchange(&pluginAbandoned_, 0);
    }
    // Its detach code may wait on a device or a thread of its own.
    UnloadModuleWithin(module.Release());
    if (!relay) return 0;
    relay->Stop();
    InterlockedExchange(&tunedChannel, -1);
    InterlockedExchange(&tunedSpace, -1);
    InterlockedExchange(&inUse, 0);
    return 1;
}

void CAdaptiveWait::OnData()
{
    if (idle == 0) {
        if (wait > 0) --wait;
    } else if (idle == 1) {
        idle = 0;
    } else {
        if (wait < kMaxWaitMs) ++wait;
        idle = 0;
    }
}

void CAdaptiveWait::OnEmptyPass()
{
    if (++idle >= kIdlePassesPerStep) {
        if (wait < kMaxWaitMs) ++wait;
        idle = 0;
    }
}

unsigned __stdcall ReceptionThread(void* param)
{
    CTunerContext& t = *static_cast<CTunerContext*>(param);
    BindForeignCall(&t.receptionThread.foreign);
    t.receptionThread.foreign.SetFaultHook(PluginThreadFaulted, &t);
    SetThreadRole(ThreadRole::Reception);
    const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    do {
        CAdaptiveWait pace;
        for (;;) {
            bool got = false;
            bool parking = false;
            for (;;) {
                uint8_t* data = nullptr;
                uint32_t size = 0, waiting = 0;
                BOOL32 fetched = 0;
                {
                    CForeignScope plugin(t.receptionThread.foreign);
                    fetched = t.driver->FetchBlock(&data, &size, &waiting);
                }
                if (fetched && data && size) {
                    // A plug-in that always has more would keep the relay
                    // worker from its queue: past half the queue's limits, a
                    // pause per block lets it catch up before anything is lost.
                    if (t.relay && t.relay->Push(data, size)) {
                        CountCall(SystemCall::Sleep);
                        Sleep(1);
                    }
                    got = true;
                    pace.OnData();
                }
                if (t.receptionGate.PollRequest()) {
                    parking = true;
                    break;
                }
                // More is waiting only after a block: a plug-in that says so
                // while it hands nothing would have us spin a core.
                if (waiting == 0 || !(fetched && data && size)) break;
            }
            if (parking) break;
            if (!got) pace.OnEmptyPass();
            // A pause, then a look at the request, which the gate answers
            // without the system while none is pending. (A wait on the request
            // event would see it at once, but costs a round trip to the Wine
            // server where a sleep costs none; a request waits at most the
            // pause, 10 ms.)
            if (pace.wait > 0) {
                CountCall(SystemCall::Sleep);
                Sleep(pace.wait);
            }
            if (t.receptionGate.PollRequest()) break;
        }
    } while (t.receptionGate.Checkpoint(INFINITE));
    if (!t.PluginAbandoned()) {
        CForeignScope plugin(t.receptionThread.foreign, ForeignCallKind::Ending);
        t.driver->Close();
        t.driver->Destroy();
    }
    if (SUCCEEDED(com)) CoUninitialize();
    return 1;
}

unsigned __stdcall SignalThread(void* param)
{
    CTunerContext& t = *static_cast<CTunerContext*>(param);
    BindForeignCall(&t.signalThread.foreign);
    t.signalThread.foreign.SetFaultHook(PluginThreadFaulted, &t);
    SetThreadRole(ThreadRole::Signal);
    do {
        for (;;) {
            float level = t.signalLevel;
            if (!t.PluginAbandoned()) {
                CForeignScope plugin(t.signalThread.foreign);
                level = t.driver->ReadLevel();
            }
            t.signalLevel = level;
            CountCall(SystemCall::Wait);
            if (WaitForSingleObject(t.signalGate.RequestEvent(), 1000) == WAIT_OBJECT_0) break;
        }
    } while (t.signalGate.Checkpoint(INFINITE));
    return 1;
}
