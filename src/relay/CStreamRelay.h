// Carries one tuner kind's stream from its plug-in host to the pipe server:
// the stream ring the host writes into, and a relay worker that empties it
// into the pipe server's chunks.
#pragma once
#include "common/WinHandle.h"
#include "common/WorkerThread.h"
#include "relay/CPipeServer.h"
#include "relay/CWorkerGate.h"
#include "relay/ITunerPort.h"
#include "relay/StreamRing.h"

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
    // At each client connection: an empty ring, and the relay worker.
    bool Start();
    // At the end of each connection: ends the relay worker.
    bool Stop();
    // Throws away everything in flight on this side (after the host has
    // purged its own, with its reception parked). False when the relay
    // worker could not be parked.
    bool Purge();
    // No stream can follow on this connection (the host's descrambler did not
    // come back for a retune's purge): the connection ends. Until the next
    // Start.
    void MarkStreamLost() { workerLost_ = true; }
    bool WorkerLost() const { return workerLost_; }
    // Null when the kind could not be served (its control pipe name is taken).
    CPipeServer* PipeServer() const { return pipeServer.get(); }

    // The ring the kind's host is given; null handles until the first Start.
    CRingHandles RingHandles() const { return {section_.Get(), ready_.Get(), room_.Get()}; }
    HANDLE RingReady() const { return ready_.Get(); }
    // The plug-in's last signal level, as its host reports it. Any thread.
    float SignalLevel() const
    {
        return InterlockedCompareExchange(const_cast<volatile LONG*>(&ringMade_), 0, 0) ? ring.SignalLevel() : 0.0f;
    }

    CWorkerThread worker;
    CWorkerGate workerGate;
    ITunerPort* tuner;
    std::unique_ptr<CPipeServer> pipeServer;
    CRingReader ring;
    // How long a purge or a stop waits for the relay worker to park.
    static constexpr DWORD kParkMs = 3000;

private:
    bool MakeRing();
    bool workerLost_ = false;
    CHandle section_;
    void* view_ = nullptr;
    volatile LONG ringMade_ = 0;  // set once ring is complete: the tray reads it
    CHandle ready_;
    CHandle room_;
};

unsigned __stdcall RelayWorker(void* param);
