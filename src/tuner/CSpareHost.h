// The next connection's plug-in host, started ahead. Every connection gets a
// host of its own, so that nothing a plug-in did to its process (a heap it
// wrote over; memory, threads or handles it leaked on every open and close)
// reaches a later client. Starting a process costs 100-200 ms under Wine: the
// spare hides it. It is started in the background, loading nothing, when a
// connection begins or ends; a host a connection is done with is ended in
// the background too.
#pragma once
#include "common/WorkerThread.h"
#include "tuner/CPlugChild.h"

class CSpareHost {
public:
    CSpareHost() = default;
    ~CSpareHost() { End(); }
    CSpareHost(const CSpareHost&) = delete;
    CSpareHost& operator=(const CSpareHost&) = delete;

    // Starts a spare of `machine` for the ring in the background, unless one
    // runs.
    void Prepare(WORD machine, const CRingHandles& ring);
    // Waits, within ms, for the spare being started, and hands it to `host`
    // when it runs and is of `machine`. False when there is none.
    bool Take(CPlugChild& host, WORD machine, DWORD ms);
    // Takes a host whose tuner is closed (or that is empty) and, in the
    // background, asks it to end and ends it at the bound.
    void Retire(CPlugChild& host);
    // Cuts the background work short, ends the spare, and starts no more.
    void End();

    // How long a host that is done is given to end by itself.
    static constexpr DWORD kQuitMs = 2000;

private:
    static unsigned __stdcall Spawn(void* param);
    static unsigned __stdcall Quit(void* param);
    // Each background job ends within its bounds: every wait in it has one.
    static void Join(CWorkerThread& thread);

    // Each thread's own while it runs.
    CWorkerThread spawner_, retirer_;
    CPlugChild spare_, retiring_;
    WORD machine_ = 0;
    CRingHandles ring_;
    CHandle abort_{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
};
