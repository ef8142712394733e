#include "plughost/CHostRelay.h"

#include "plughost/Descrambler.h"

#include <process.h>

#include <utility>

bool CHostRelay::Start()
{
    if (descrambler) return true;
    descrambler = LoadDescrambler();
    if (!descrambler) return true;  // the stream goes to the ring as it comes
    {
        CLock hold(queueLock);
        accepting = 0;
        blockHeap.Reset(HeapCreate(0, 0, 0));
    }
    workerGate.Reset();
    unsigned id = 0;
    worker.Reset(reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, DescramblerWorker, this, 0, &id)));
    if (!blockHeap || !worker) {
        Stop();
        return false;
    }
    return true;
}

void CHostRelay::Stop()
{
    if (worker) {
        workerGate.Stop(kParkMs, worker.Get());
        WaitForSingleObject(worker.Get(), INFINITE);
        worker.Reset();
    }
    {
        CLock hold(queueLock);
        accepting = 0;
        blocks.clear();
        blockHeap.Reset();
    }
    if (descrambler) ReleaseDescrambler(std::exchange(descrambler, nullptr));
}

bool CHostRelay::Push(const uint8_t* bytes, uint32_t size)
{
    // A size that lies, or one past any device's transfer, is dropped
    // rather than followed.
    if (size > kMaxBlockBytes || !IsReadable(bytes, size)) return false;
    if (!descrambler) return ToRing(bytes, size);
    CLock hold(queueLock);
    if (!accepting) return false;
    if (blocks.Overfull()) blocks.clear();  // before the copy: its memory may be needed
    TsBlockPtr block = CopyTsBlock(blockHeap.Get(), bytes, size);
    if (!block) return false;
    blocks.PushBack(std::move(block), size);
    // The worker takes every queued block before it waits: it needs waking
    // only when it has found the queue empty.
    if (workerWaiting) {
        workerWaiting = false;
        CountCall(SystemCall::Signal);
        SetEvent(blockQueued.Get());
    }
    return blocks.Deep();
}

bool CHostRelay::ToRing(const uint8_t* bytes, uint32_t size)
{
    ring.WaitForRoom(size, kRoomWaitMs);
    // Without room still, Write throws the backlog away.
    ring.Write(bytes, size);
    return false;
}

bool CHostRelay::Purge()
{
    if (!worker) return true;
    if (workerGate.Pause(kParkMs, worker.Get()) != 0) return false;
    {
        CLock hold(queueLock);
        blocks.clear();
    }
    descrambler->StartUp(kDescramblerStartUpValue);
    // With reception parked nothing reaches the worker until it goes on.
    workerGate.Resume();
    return true;
}

unsigned __stdcall DescramblerWorker(void* param)
{
    CHostRelay& r = *static_cast<CHostRelay*>(param);
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
            uint8_t* out = nullptr;
            uint32_t outSize = 0;
            const BOOL32 decoded = r.descrambler->Decode(block->Bytes(), block->size, &out, &outSize);
            block.reset();
            if (decoded && out && outSize && outSize <= kMaxBlockBytes && IsReadable(out, outSize))
                r.ToRing(out, outSize);
        }
        if (!r.workerGate.Checkpoint(INFINITE)) return 1;
    }
}
