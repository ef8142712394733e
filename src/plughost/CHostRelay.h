// The plug-in host's half of a kind's relay: the reception thread's blocks go
// into the stream ring, through the descrambler when one is loaded. With a
// descrambler, blocks wait in a queue for a worker of their own, so that a
// Decode that takes its time (a card reader) does not hold up reception.
#pragma once
#include "common/CriticalSection.h"
#include "common/WinHandle.h"
#include "relay/CWorkerGate.h"
#include "relay/IB25Decoder.h"
#include "relay/StreamRing.h"
#include "relay/TsBlock.h"

#include <cstdint>

class CHostRelay {
public:
    explicit CHostRelay(const CRingWriter& ring) : ring(ring) {}
    ~CHostRelay() { Stop(); }
    CHostRelay(const CHostRelay&) = delete;
    CHostRelay& operator=(const CHostRelay&) = delete;

    // At each connection: the descrambler instance and, with one, its worker.
    bool Start();
    // At its end: the worker ended, the instance released and its library
    // unloaded. Waits for a Decode in progress however long it takes: a host
    // whose close does not come back is ended by TunerHost.
    void Stop();
    // Reception thread: the bytes are copied on. True when the consumer has
    // fallen far behind: the caller should pause.
    bool Push(const uint8_t* bytes, uint32_t size);
    // Throws away what is queued and starts the descrambler up again. False
    // when the worker did not park within kParkMs (stuck in Decode).
    bool Purge();
    // Into the ring, waiting a while for room (a plug-in that always has more
    // outruns TunerHost, which takes a chunk at a time).
    bool ToRing(const uint8_t* bytes, uint32_t size);

    static constexpr DWORD kParkMs = 3000;
    // How long a block waits for room in the ring before the backlog is
    // thrown away: TunerHost has fallen behind by the whole ring.
    static constexpr DWORD kRoomWaitMs = 200;

    CRingWriter ring;
    IB25Decoder* descrambler = nullptr;
    CHandle worker;
    CWorkerGate workerGate;
    CHandle blockQueued{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    CCriticalSection queueLock;
    // Guarded by queueLock.
    LONG accepting = 0;
    bool workerWaiting = false;  // the worker found the queue empty
    CHeap blockHeap;
    TsBlockQueue blocks{kBlockQueueByteLimit};
};

unsigned __stdcall DescramblerWorker(void* param);
