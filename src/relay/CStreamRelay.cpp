#include "relay/CStreamRelay.h"

CStreamRelay::CStreamRelay(ITunerPort* tunerPort, const CPipeNamePair& names)
    : tuner(tunerPort), pipeServer(new (std::nothrow) CPipeServer(this, tunerPort, names))
{
}

void CStreamRelay::Listen()
{
    // A kind whose pipes cannot be served is left out; the program goes on.
    if (pipeServer && !pipeServer->Start()) pipeServer.reset();
}

CStreamRelay::~CStreamRelay()
{
    Stop();
    pipeServer.reset();
    if (view_) UnmapViewOfFile(view_);
}

bool CStreamRelay::MakeRing()
{
    if (view_) return true;
    // Unnamed: the kind's host gets it as a handle of its own.
    section_.Reset(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                      static_cast<DWORD>(kRingSectionBytes), nullptr));
    ready_.Reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    room_.Reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (!section_ || !ready_ || !room_) return false;
    view_ = MapViewOfFile(section_.Get(), FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, kRingSectionBytes);
    if (!view_) return false;
    ring = CRingReader(view_, ready_.Get(), room_.Get());
    InterlockedExchange(&ringMade_, 1);
    return true;
}

bool CStreamRelay::Start()
{
    workerLost_ = false;
    if (!MakeRing()) return false;
    // The host writes nothing between connections.
    ring.Reset();
    workerGate.Reset();
    if (!worker.Start(RelayWorker, this)) {
        Stop();
        return false;
    }
    return true;
}

bool CStreamRelay::Stop()
{
    if (worker.Running()) {
        workerGate.Stop(kParkMs, worker.handle.Get());
        worker.Join(2000);
        worker.Forget();
    }
    return true;
}

bool CStreamRelay::Purge()
{
    if (worker.Running() && workerGate.Pause(kParkMs, worker.handle.Get()) != 0) return false;
    if (pipeServer) pipeServer->DiscardChunks();
    if (view_) {
        ring.DropAll();
        ring.TakeFlush();
    }
    if (worker.Running()) workerGate.Resume();
    return true;
}

unsigned __stdcall RelayWorker(void* param)
{
    CStreamRelay& r = *static_cast<CStreamRelay*>(param);
    SetThreadRole(ThreadRole::Relay);
    // Turns in a row in which the ring said bytes were there and none were
    // taken: a host that keeps writing nonsense (a flush asked for again and
    // again, positions that move back and forth) ends its own connection
    // rather than keep this thread turning. A working host makes two or three.
    constexpr int kIdleTurnsAllowed = 64;
    constexpr DWORD kRingLookMs = 1000;
    for (;;) {
        int idleTurns = 0;
        while (!r.workerGate.PollRequest()) {
            // The host found no room: its backlog here goes.
            r.ring.TakeFlush();
            const uint8_t* bytes = nullptr;
            uint32_t size = 0;
            if (!r.ring.Peek(bytes, size, kChunkSize) || idleTurns > kIdleTurnsAllowed) {
                // Positions no host writes: its memory was written over. The
                // connection ends, and the host with it.
                if (r.tuner) r.tuner->AbandonPlugin();
                if (r.pipeServer) r.pipeServer->EndConnection();
                break;
            }
            if (size) {
                if (r.pipeServer) r.pipeServer->Append(bytes, size);
                r.ring.Consume(size);
                idleTurns = 0;
                continue;
            }
            // Woken once the bytes that complete the chunk are there: once a
            // chunk, not once a block.
            if (!r.ring.ArmWake(r.pipeServer ? r.pipeServer->ChunkRoom() : kChunkSize)) {
                ++idleTurns;
                continue;
            }
            idleTurns = 0;
            // Not for ever: a host that set positions it will never reach
            // would never wake us, and its connection would go on without a
            // stream. Once a second the positions are looked at again.
            const DWORD woke = r.workerGate.WaitEither(r.RingReady(), kRingLookMs);
            r.ring.Disarm();
            if (woke != 0 && woke != WAIT_TIMEOUT) break;
        }
        if (!r.workerGate.Checkpoint(INFINITE)) return 1;
    }
}
