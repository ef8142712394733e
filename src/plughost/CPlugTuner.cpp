#include "plughost/CPlugTuner.h"

#include "plughost/PlugProtocol.h"

#include <objbase.h>
#include <process.h>

namespace {

bool StartThread(CHandle& thread, unsigned(__stdcall* body)(void*), void* arg)
{
    unsigned id = 0;
    thread.Reset(reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, body, arg, 0, &id)));
    return static_cast<bool>(thread);
}

}  // namespace

bool CPlugTuner::Load(const std::wstring& fileName)
{
    if (module) return false;
    relay.Start();  // without a descrambler the stream passes as it comes
    // A bare file name: the library search begins with the host's folder,
    // which is TunerHost's.
    module.Reset(LoadLibraryW(fileName.c_str()));
    return static_cast<bool>(module);
}

bool CPlugTuner::Open()
{
    if (!module || driver) return false;
    auto create = reinterpret_cast<CreateBonDriverFn>(
        reinterpret_cast<void*>(GetProcAddress(module.Get(), kCreateBonDriverExport)));
    if (!create) return false;
    driver = create();
    if (!driver) return false;
    if (driver->Open()) {
        SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL);
        driver2 = AsBonDriver2(driver);
        if (driver2) {
            streaming = false;
            receptionGate.Reset();
            if (StartThread(receptionThread, ReceptionThread, this)) {
                signalGate.Reset();
                StartThread(signalThread, SignalThread, this);  // the tuner works without it
                return true;
            }
        }
    }
    driver->Close();
    driver->Destroy();
    driver = nullptr;
    driver2 = nullptr;
    return false;
}

uint32_t CPlugTuner::Start()
{
    if (!driver) return kResultFailed;
    if (streaming) return kResultDone;
    if (receptionGate.Pause(kParkMs, receptionThread.Get()) != 0) return kResultFailed;
    driver->Discard();
    streaming = true;
    return Restart();
}

uint32_t CPlugTuner::Tune(uint32_t space, uint32_t channel)
{
    if (!driver2) return kResultFailed;
    if (receptionGate.Pause(kParkMs, receptionThread.Get()) != 0) return kResultFailed;
    if (!driver2->Tune(space, channel)) return kResultFailed;  // reception stays parked
    driver2->Discard();
    return Restart();
}

uint32_t CPlugTuner::Restart()
{
    // Reception stays parked until TunerHost has emptied its side too.
    return relay.Purge() ? kResultDone : kResultStreamLost;
}

bool CPlugTuner::Halt()
{
    return driver && receptionGate.Pause(kParkMs, receptionThread.Get()) == 0;
}

void CPlugTuner::Resume()
{
    if (driver) receptionGate.Resume();
}

void CPlugTuner::StopThread(CHandle& thread, CWorkerGate& gate, DWORD parkMs)
{
    if (!thread) return;
    gate.Stop(parkMs, thread.Get());
    WaitForSingleObject(thread.Get(), INFINITE);
    thread.Reset();
}

void CPlugTuner::Close()
{
    streaming = false;
    // The signal-level thread first: it has ended before the reception
    // thread closes and destroys the object on its way out.
    StopThread(signalThread, signalGate, 1000);
    StopThread(receptionThread, receptionGate, kParkMs);
    driver = nullptr;
    driver2 = nullptr;
    module.Reset();
    relay.Stop();
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
    CPlugTuner& t = *static_cast<CPlugTuner*>(param);
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
                const BOOL32 fetched = t.driver->FetchBlock(&data, &size, &waiting);
                if (fetched && data && size) {
                    // A plug-in that always has more would fill the ring
                    // faster than TunerHost empties it: past half of it, a
                    // pause per block lets TunerHost catch up before anything
                    // is lost.
                    if (t.relay.Push(data, size)) {
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
            // without the system while none is pending.
            if (pace.wait > 0) {
                CountCall(SystemCall::Sleep);
                Sleep(pace.wait);
            }
            if (t.receptionGate.PollRequest()) break;
        }
    } while (t.receptionGate.Checkpoint(INFINITE));
    t.driver->Close();
    t.driver->Destroy();
    if (SUCCEEDED(com)) CoUninitialize();
    return 1;
}

unsigned __stdcall SignalThread(void* param)
{
    CPlugTuner& t = *static_cast<CPlugTuner*>(param);
    SetThreadRole(ThreadRole::Signal);
    do {
        for (;;) {
            if (t.ring.Attached()) t.ring.SetSignalLevel(t.driver->ReadLevel());
            CountCall(SystemCall::Wait);
            if (WaitForSingleObject(t.signalGate.RequestEvent(), 1000) == WAIT_OBJECT_0) break;
        }
    } while (t.signalGate.Checkpoint(INFINITE));
    return 1;
}
