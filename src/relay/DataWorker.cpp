// The data worker: one data-pipe client at a time, each chunk one message.
#include "relay/CPipeServer.h"
#include "relay/PipeIo.h"

namespace {

// Writes one whole chunk; false when the connection must end.
bool WriteChunk(CPipeServer& s, OVERLAPPED& ov, const uint8_t* chunk)
{
    const uint8_t* at = chunk;
    DWORD left = kChunkSize;
    while (left > 0) {
        DWORD written = 0;
        if (WritePipe(s.dataPipe.Get(), ov, s.dataGate, at, left, written) != PipeIoResult::Done) return false;
        if (written == 0 || written > left) return false;
        at += written;
        left -= written;
    }
    return true;
}

// Serves a connected client until it goes away or a request comes.
void Serve(CPipeServer& s, OVERLAPPED& ov)
{
    {
        CLock hold(s.lock);
        s.dataClientConnected = 1;
        s.chunks.clear();  // only chunks completed from now on
    }
    for (;;) {
        ChunkPtr chunk;
        {
            CLock hold(s.lock);
            chunk = s.chunks.PopFront();
            s.dataWaiting = !chunk;
        }
        if (!chunk) {
            if (s.dataGate.WaitEither(s.chunkQueued.Get(), INFINITE) != 0) return;
            continue;
        }
        if (!WriteChunk(s, ov, chunk.get())) return;
        bool waiter = false;
        {
            CLock hold(s.lock);
            waiter = s.chunkWaiter;
        }
        if (waiter) {
            CountCall(SystemCall::Signal);
            SetEvent(s.chunkWritten.Get());
        }
    }
}

}  // namespace

unsigned __stdcall DataWorker(void* param)
{
    CPipeServer& s = *static_cast<CPipeServer*>(param);
    SetThreadRole(ThreadRole::Data);
    CHandle ioEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    OVERLAPPED ov = {};
    ov.hEvent = ioEvent.Get();
    // dataClientConnected starts at 0 with the pipe server and is set only by
    // this worker, while it serves a client.
    for (;;) {
        s.dataPipe.Reset(CreateNamedPipeW(s.dataPipeName.c_str(), PIPE_ACCESS_OUTBOUND | FILE_FLAG_OVERLAPPED,
                                          kPipeMode, 1, kDataPipeBufferSize, kDataPipeBufferSize,
                                          NMPWAIT_WAIT_FOREVER, nullptr));
        // Without its pipe (another process holds the name) the worker parks
        // rather than ending: the next command 1 tries again.
        if (s.dataPipe) {
            const PipeIoResult connected = ConnectPipe(s.dataPipe.Get(), ov, s.dataGate, s.dataListening.Get());
            const bool cameAndWent = connected == PipeIoResult::FetchFailed ||
                                     (connected == PipeIoResult::FailedAtOnce && GetLastError() == ERROR_NO_DATA);
            if (connected == PipeIoResult::Done) Serve(s, ov);
            DisconnectNamedPipe(s.dataPipe.Get());
            s.dataPipe.Reset();
            // A client that opened and closed the pipe before it was listened
            // on: listen again at once, unless a request came meanwhile.
            if (cameAndWent && WaitForSingleObject(s.dataGate.RequestEvent(), 0) == WAIT_TIMEOUT) continue;
        }
        {
            CLock hold(s.lock);
            s.dataClientConnected = 0;
            s.chunks.clear();
        }
        s.pool.Trim();  // an idle kind holds no spare chunks
        if (!s.dataGate.Checkpoint(INFINITE)) return 1;
    }
}
