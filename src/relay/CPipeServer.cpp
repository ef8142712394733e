#include "relay/CPipeServer.h"

#include "relay/CStreamRelay.h"

namespace {

// Ends a pipe worker: its gate's stop, then the thread; a thread terminated at
// the bound leaves its pipe instance for us to drop. False when it was.
bool StopPipeWorker(CWorkerThread& thread, CWorkerGate& gate, CFileHandle& pipe, DWORD joinMs)
{
    if (!thread.Running()) return true;
    gate.Stop(1000, thread.handle.Get());
    if (thread.Join(joinMs)) return true;
    if (pipe) {
        DisconnectNamedPipe(pipe.Get());
        pipe.Reset();
    }
    return false;
}

}  // namespace

CPipeServer::CPipeServer(CStreamRelay* owner, ITunerPort* tunerPort, const CPipeNamePair& names)
    : dataPipeName(names.data),
      controlPipeName(names.control),
      relay(owner),
      tuner(tunerPort),
      chunk(pool.Take()),
      chunkQueued(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      dataListening(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      chunkWritten(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      controlListening(CreateEventW(nullptr, FALSE, FALSE, nullptr))
{
}

CPipeServer::~CPipeServer()
{
    StopWorkers();
}

bool CPipeServer::Start()
{
    if (!chunk) return false;
    dataGate.Reset();
    controlGate.Reset();
    if (!dataThread.Running() && !dataThread.Start(DataWorker, this)) return false;
    if (!controlThread.Running() && !controlThread.Start(ControlWorker, this)) return false;
    // A control worker that cannot create its pipe ends without listening.
    const HANDLE handles[2] = {controlListening.Get(), controlThread.handle.Get()};
    if (WaitForMultipleObjects(2, handles, FALSE, kListenBoundMs) == WAIT_OBJECT_0) return true;
    StopWorkers();
    return false;
}

void CPipeServer::StopWorkers()
{
    // Neither worker calls anything of a plug-in's: each ends within its
    // bound. The control worker ends a client's connection on its way out,
    // whose calls to the plug-in host have deadlines of their own.
    StopPipeWorker(dataThread, dataGate, dataPipe, 1000);
    StopPipeWorker(controlThread, controlGate, controlPipe, kControlStopMs);
    controlThread.Forget();
    // The instances outlive each connection; the name goes with them.
    controlSpare.Close();
    controlPipe.Reset();
    dataPipe.Reset();
    // Only now: the control worker may wait on the data worker's handle.
    dataThread.Forget();
}

void CPipeServer::EndConnection()
{
    InterlockedExchange(&connectionLost, 1);
    controlGate.Interrupt();
}

void CPipeServer::Append(const uint8_t* bytes, uint32_t size)
{
    CLock hold(lock);
    if (!dataClientConnected) {
        fill = 0;  // a partly filled chunk is thrown away
        return;
    }
    if (chunks.Overfull()) chunks.clear();
    const uint8_t* from = bytes;
    uint32_t left = size;
    bool queued = false;
    while (left > 0) {
        const uint32_t n = left < kChunkSize - fill ? left : kChunkSize - fill;
        std::memcpy(chunk.get() + fill, from, n);
        fill += n;
        from += n;
        left -= n;
        if (fill < kChunkSize) break;
        ChunkPtr next = pool.Take();
        if (!next) {
            fill = 0;  // out of memory: this chunk is lost, the buffer reused
            continue;
        }
        chunks.PushBack(std::move(chunk), kChunkSize);
        CountUnit(StreamUnit::Chunk);
        chunk = std::move(next);
        fill = 0;
        queued = true;
    }
    // The data worker writes every queued chunk before it waits.
    if (queued && dataWaiting) {
        dataWaiting = false;
        CountCall(SystemCall::Signal);
        SetEvent(chunkQueued.Get());
    }
}

uint32_t CPipeServer::ChunkRoom()
{
    CLock hold(lock);
    return dataClientConnected ? kChunkSize - fill : kChunkSize;
}

void CPipeServer::DiscardChunks()
{
    CLock hold(lock);
    chunks.clear();
    fill = 0;
}

void CPipeServer::PauseDataWorker()
{
    if (dataThread.handle) dataGate.Pause(INFINITE, dataThread.handle.Get());
}

void CPipeServer::RearmDataPipe()
{
    if (!dataThread.handle) return;
    // Whatever the data worker does, it ends it first: a pending listen, or a
    // connection whose client may have gone without the worker noticing yet
    // (it notices at its next write, which may never come while the stream
    // is parked). So a client that sends 1 always gets a pipe waiting for it.
    PauseDataWorker();
    ResetEvent(dataListening.Get());
    dataGate.Resume();
    // Listening; or parked again, because its pipe could not be created; or
    // ended, by a stop, which ends the data worker before the control worker.
    const HANDLE handles[3] = {dataListening.Get(), dataGate.PausedEvent(), dataThread.handle.Get()};
    WaitForMultipleObjects(3, handles, FALSE, INFINITE);
}
