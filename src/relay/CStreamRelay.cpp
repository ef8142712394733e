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
    for (;;) {
        while (!r.workerGate.PollRequest()) {
            // The host found no room: its backlog here goes.
            r.ring.TakeFlush();
            const uint8_t* bytes = nullptr;
            uint32_t size = 0;
            if (!r.ring.Peek(bytes, size, kChunkSize)) {
                // Positions no host writes: its memory was written over. The
                // connection ends, and the host with it.
                if (r.tuner) r.tuner->AbandonPlugin();
                if (r.pipeServer) r.pipeServer->EndConnection();
                break;
            }
            if (size) {
                if (r.pipeServer) r.pipeServer->Append(bytes, size);
                r.ring.Consume(size);
                continue;
            }
            // Woken once the bytes that complete the chunk are there: once a
            // chunk, not once a block.
            if (!r.ring.ArmWake(r.pipeServer ? r.pipeServer->ChunkRoom() : kChunkSize)) continue;
            const DWORD woke = r.workerGate.WaitEither(r.RingReady(), INFINITE);
            r.ring.Disarm();
            if (woke != 0) break;
        }
        if (!r.workerGate.Checkpoint(INFINITE)) return 1;
    }
}
