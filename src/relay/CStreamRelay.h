// Carries one tuner kind's blocks from the reception thread to the pipe
// server: a queue, and a relay worker that empties it.
#pragma once
#include "common/CriticalSection.h"
#include "common/WinHandle.h"
#include "common/WorkerThread.h"
#include "relay/CPipeServer.h"
#include "relay/CWorkerGate.h"
#include "relay/TsBlock.h"
#include "relay/IB25Decoder.h"
#include "relay/ITunerPort.h"

#include <memory>

class CStreamRelay {
public:
    // The pipe server is made but does not listen yet: see Listen.
    CStreamRelay(ITunerPort* tuner, const CPipeNamePair& names);
    ~CStreamRelay();
    CStreamRelay(const CStreamRelay&) = delete;
    CStreamRelay& operator=(const CStreamRelay&) = delete;

    // Starts the pipe server once the tuner context can be reached through
    // it: a client that waits for the pipe connects the moment it listens.
    // On failure the kind is left out (PipeServer() is null).
    void Listen();
    // At each client connection: starts the relay worker.
    bool Start();
    // At the end of each connection: ends the relay worker.
    bool Stop();
    // Reception thread: copies the bytes into the queue.
    // True when the worker has fallen far behind: the caller should pause.
    bool Push(const uint8_t* bytes, uint32_t size);
    // Throws away everything in flight (after a start or a retune). False
    // when the relay worker could not be parked in time (stuck in the
    // descrambler): it has been stopped, and the connection cannot go on.
    bool Purge();
    // True after a failed Purge, until the next Start.
    bool WorkerLost() const { return workerLost_; }
    // A thread was ended inside this connection's descrambler (or inside
    // the library while it made one): the instance is never called or
    // released again and the library never unloaded. Any thread; no wait.
    void AbandonDescrambler();
    bool DescramblerAbandoned() const
    {
        return InterlockedCompareExchange(const_cast<volatile LONG*>(&descramblerAbandoned_), 0, 0) != 0;
    }
    // Null when the kind could not be served (its control pipe name is taken).
    CPipeServer* PipeServer() const { return pipeServer.get(); }

    IB25Decoder* descrambler = nullptr;  // this connection's instance, or null
    CWorkerThread worker;
    CWorkerGate workerGate;
    LONG accepting = 0;  // guarded by queueLock
    bool workerWaiting = false;  // guarded by queueLock: the worker found the queue empty
    CHandle blockQueued;
    ITunerPort* tuner;
    std::unique_ptr<CPipeServer> pipeServer;
    CCriticalSection queueLock;
    // How long a purge waits for the relay worker to park, as Stop does.
    static constexpr DWORD kParkMs = 3000;
    // One connection's blocks, given back to the system whole at its end: a
    // backlog would otherwise leave its pages with the process heap. Set and
    // destroyed under queueLock while no relay worker runs.
    CHeap blockHeap;
    TsBlockQueue blocks{kBlockQueueByteLimit};

private:
    bool StopWorker(DWORD parkMs);
    bool workerLost_ = false;
    volatile LONG descramblerAbandoned_ = 0;
};

unsigned __stdcall RelayWorker(void* param);
// The relay worker's fault hook (see CForeignCall::SetFaultHook).
void RelayWorkerFaulted(void* relay);
