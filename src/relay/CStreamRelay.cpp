#include "relay/CStreamRelay.h"

CStreamRelay::CStreamRelay(CTunerContext* tunerContext)
    : blockQueued(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      tuner(tunerContext),
      pipeServer(new (std::nothrow) CPipeServer(tunerContext))
{
    // A kind whose pipes cannot be served is left out; the program goes on.
    if (pipeServer && !pipeServer->Start()) pipeServer.reset();
}

CStreamRelay::~CStreamRelay()
{
    Stop();
    pipeServer.reset();
}

bool CStreamRelay::Start()
{
    {
        CLock hold(queueLock);
        accepting = 0;
    }
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
        workerGate.Stop(3000, worker.handle.Get());
        worker.Join(2000);
        worker.Forget();
    }
    return true;
}

void CStreamRelay::Push(const uint8_t* bytes, uint32_t size)
{
    CLock hold(queueLock);
    if (!accepting) return;
    if (blocks.size() > kQueueLimit) blocks.clear();
    TsBlockPtr block = CopyTsBlock(bytes, size);
    if (!block) return;
    blocks.push_back(std::move(block));
    SetEvent(blockQueued.Get());
}

void CStreamRelay::Purge()
{
    if (worker.Running()) workerGate.Pause(INFINITE, worker.handle.Get());
    if (pipeServer) pipeServer->DiscardChunks();
    {
        CLock hold(queueLock);
        blocks.clear();
    }
    if (worker.Running()) workerGate.Resume();
}

unsigned __stdcall RelayWorker(void* param)
{
    CStreamRelay& r = *static_cast<CStreamRelay*>(param);
    for (;;) {
        {
            CLock hold(r.queueLock);
            r.accepting = 1;
            r.blocks.clear();
        }
        while (!r.workerGate.PollRequest()) {
            TsBlockPtr block;
            {
                CLock hold(r.queueLock);
                if (!r.blocks.empty()) {
                    block = std::move(r.blocks.front());
                    r.blocks.pop_front();
                }
            }
            if (!block) {
                if (r.workerGate.WaitEither(r.blockQueued.Get(), INFINITE) != 0) break;
                continue;
            }
            if (r.pipeServer) r.pipeServer->Append(std::move(block));
        }
        if (!r.workerGate.Checkpoint(INFINITE)) return 1;
    }
}
