#include "relay/CStreamRelay.h"

#include "relay/Descrambler.h"

CStreamRelay::CStreamRelay(ITunerPort* tunerPort, const CPipeNamePair& names)
    : blockQueued(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      tuner(tunerPort),
      pipeServer(new (std::nothrow) CPipeServer(this, tunerPort, names))
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
}

bool CStreamRelay::Start()
{
    {
        CLock hold(queueLock);
        accepting = 0;
        blockHeap.Reset(HeapCreate(0, 0, 0));
        if (!blockHeap) return false;
    }
    workerLost_ = false;
    InterlockedExchange(&descramblerAbandoned_, 0);
    descrambler = LoadDescrambler();
    workerGate.Reset();
    if (!worker.Start(RelayWorker, this)) {
        Stop();
        return false;
    }
    return true;
}

bool CStreamRelay::Stop()
{
    return StopWorker(kParkMs);
}

bool CStreamRelay::StopWorker(DWORD parkMs)
{
    bool cutOff = false;
    if (worker.Running()) {
        workerGate.Stop(parkMs, worker.handle.Get());
        cutOff = worker.CutOff(worker.Join(2000, Termination::InsideForeignCall));
        worker.Forget();
    }
    {
        // What the worker left queued would otherwise stay until the next
        // connection: up to the queue's limit in blocks.
        CLock hold(queueLock);
        accepting = 0;
        blocks.clear();
        blockHeap.Reset();
    }
    if (cutOff && descrambler) AbandonDescrambler();
    if (descrambler) {
        // Cleared first: a second Stop finds nothing to release.
        IB25Decoder* instance = descrambler;
        descrambler = nullptr;
        // One that a thread was ended inside is left as it is, its library
        // loaded (AbandonDescrambler); any other is let go within a bound.
        if (!DescramblerAbandoned()) ReleaseDescrambler(instance);
    }
    return true;
}

void CStreamRelay::AbandonDescrambler()
{
    InterlockedExchange(&descramblerAbandoned_, 1);
    ::AbandonDescrambler();
}

void RelayWorkerFaulted(void* relay)
{
    auto& r = *static_cast<CStreamRelay*>(relay);
    r.AbandonDescrambler();
    if (r.pipeServer) r.pipeServer->EndConnection();
}

bool CStreamRelay::Push(const uint8_t* bytes, uint32_t size)
{
    CLock hold(queueLock);
    if (!accepting) return false;
    if (blocks.Overfull()) blocks.clear();  // before the copy: its memory may be needed
    TsBlockPtr block = CopyTsBlock(blockHeap.Get(), bytes, size);
    if (!block) return false;
    blocks.PushBack(std::move(block), size);
    CountUnit(StreamUnit::Block);
    // The worker takes every queued block before it waits: it needs waking
    // only when it has found the queue empty.
    if (workerWaiting) {
        workerWaiting = false;
        CountCall(SystemCall::Signal);
        SetEvent(blockQueued.Get());
    }
    return blocks.Deep();
}

bool CStreamRelay::Purge()
{
    if (worker.Running() && workerGate.Pause(kParkMs, worker.handle.Get()) != 0) {
        // Stuck in a call that does not come back (a descrambler waiting on
        // its card reader), or gone: the stream cannot restart. It has had
        // its time to park already.
        StopWorker(0);
        workerLost_ = true;
        return false;
    }
    if (pipeServer) pipeServer->DiscardChunks();
    {
        CLock hold(queueLock);
        blocks.clear();
    }
    if (descrambler && !DescramblerAbandoned()) {
        CForeignScope call(ForeignCallKind::Work, ForeignModule::Descrambler);
        descrambler->StartUp(kDescramblerStartUpValue);
    }
    if (worker.Running()) workerGate.Resume();
    return true;
}

namespace {

// The instance's output, copied out of its own buffer; null when it yields
// nothing for this block.
TsBlockPtr Descramble(CStreamRelay& r, TsBlockPtr block)
{
    uint8_t* out = nullptr;
    uint32_t outSize = 0;
    BOOL32 decoded = 0;
    if (r.DescramblerAbandoned()) return nullptr;
    {
        CForeignScope call(r.worker.foreign, ForeignCallKind::Work, ForeignModule::Descrambler);
        decoded = r.descrambler->Decode(block->Bytes(), block->size, &out, &outSize);
    }
    if (!decoded || !out || outSize == 0) return nullptr;
    return CopyTsBlock(r.blockHeap.Get(), out, outSize);
}

}  // namespace

unsigned __stdcall RelayWorker(void* param)
{
    CStreamRelay& r = *static_cast<CStreamRelay*>(param);
    BindForeignCall(&r.worker.foreign);
    r.worker.foreign.SetFaultHook(RelayWorkerFaulted, &r);
    SetThreadRole(ThreadRole::Relay);
    for (;;) {
        {
            CLock hold(r.queueLock);
            r.accepting = 1;
            r.blocks.clear();
        }
        while (!r.workerGate.PollRequest()) {
            TsBlockPtr block(nullptr, TsBlockFree{});
            {
                CLock hold(r.queueLock);
                block = r.blocks.PopFront();
                r.workerWaiting = !block;
            }
            if (!block) {
                if (r.workerGate.WaitEither(r.blockQueued.Get(), INFINITE) != 0) break;
                continue;
            }
            if (r.descrambler) block = Descramble(r, std::move(block));
            if (block && r.pipeServer) r.pipeServer->Append(std::move(block));
        }
        if (!r.workerGate.Checkpoint(INFINITE)) return 1;
    }
}
