#include "tuner/CSpareHost.h"

void CSpareHost::Join(CWorkerThread& thread)
{
    if (!thread.Running()) return;
    WaitForSingleObject(thread.handle.Get(), INFINITE);
    thread.Forget();
}

unsigned __stdcall CSpareHost::Spawn(void* param)
{
    auto& s = *static_cast<CSpareHost*>(param);
    // One of the other bitness (the plug-in's file was replaced) goes first.
    s.spare_.Quit(kQuitMs, s.abort_.Get());
    if (WaitForSingleObject(s.abort_.Get(), 0) != WAIT_OBJECT_0) s.spare_.Spawn(s.machine_, s.ring_);
    return 0;
}

unsigned __stdcall CSpareHost::Quit(void* param)
{
    auto& s = *static_cast<CSpareHost*>(param);
    s.retiring_.Quit(kQuitMs, s.abort_.Get());
    return 0;
}

void CSpareHost::Prepare(WORD machine, const CRingHandles& ring)
{
    Join(spawner_);
    if (spare_.Alive() && spare_.Machine() == machine) return;
    if (WaitForSingleObject(abort_.Get(), 0) == WAIT_OBJECT_0) return;
    machine_ = machine;
    ring_ = ring;
    spawner_.Start(Spawn, this);
}

bool CSpareHost::Take(CPlugChild& host, WORD machine, DWORD ms)
{
    if (spawner_.Running()) {
        if (WaitForSingleObject(spawner_.handle.Get(), ms) != WAIT_OBJECT_0) return false;
        spawner_.Forget();
    }
    if (!spare_.Alive() || spare_.Machine() != machine) return false;
    host.Swap(spare_);
    return true;
}

void CSpareHost::Retire(CPlugChild& host)
{
    Join(retirer_);
    retiring_.Swap(host);
    host.Kill();
    // Without a thread of its own it is ended here.
    if (!retirer_.Start(Quit, this)) retiring_.Kill();
}

void CSpareHost::End()
{
    SetEvent(abort_.Get());
    Join(spawner_);
    Join(retirer_);
    // It has loaded nothing: asked, it ends at once.
    spare_.Quit(kQuitMs);
    retiring_.Kill();
}
