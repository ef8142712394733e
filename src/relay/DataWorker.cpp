// The data worker: one data-pipe client at a time, each chunk one message.
#include "relay/CPipeServer.h"
#include "relay/PipeIo.h"
#include "relay/PipeSecurity.h"

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

// The kind's one instance of the data pipe, made once and kept until the kind
// is no longer served: with it held, no other process can make an instance
// under the name, between two clients or ever. Null when the name is taken
// (another process made it first): the next command 1 tries again.
HANDLE CreateDataInstance(const std::wstring& name)
{
    SECURITY_ATTRIBUTES* security = OwnPipeSecurity();
    if (!security) return INVALID_HANDLE_VALUE;
    return CreateNamedPipeW(name.c_str(), PIPE_ACCESS_OUTBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                            kPipeMode, 1, kDataPipeBufferSize, kDataPipeBufferSize, NMPWAIT_WAIT_FOREVER, security);
}

// Parks the worker with the instance listening, so that a client can tell a
// kind between two clients (WaitNamedPipe succeeds) from one whose stream
// goes to another (it times out). Whoever connects meanwhile is not served:
// the instance is disconnected when the worker goes on. False when the
// worker must end.
bool ParkListening(CPipeServer& s, OVERLAPPED& ov)
{
    const bool pending = s.dataPipe && !ConnectNamedPipe(s.dataPipe.Get(), &ov) && GetLastError() == ERROR_IO_PENDING;
    const bool resumed = s.dataGate.Checkpoint(INFINITE);
    if (pending) {
        // Nothing may complete into this frame's OVERLAPPED once we go on.
        CancelIo(s.dataPipe.Get());
        DWORD ignored = 0;
        GetOverlappedResult(s.dataPipe.Get(), &ov, &ignored, TRUE);
    }
    if (s.dataPipe) DisconnectNamedPipe(s.dataPipe.Get());
    return resumed;
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
        if (!s.dataPipe) s.dataPipe.Reset(CreateDataInstance(s.dataPipeName));
        // Without its pipe (another process holds the name) the worker parks
        // rather than ending: the next command 1 tries again.
        if (s.dataPipe) {
            const PipeIoResult connected = ConnectPipe(s.dataPipe.Get(), ov, s.dataGate, s.dataListening.Get());
            const bool cameAndWent = connected == PipeIoResult::FetchFailed ||
                                     (connected == PipeIoResult::FailedAtOnce && GetLastError() == ERROR_NO_DATA);
            if (connected == PipeIoResult::Done) Serve(s, ov);
            // The instance stays, disconnected, for the next client.
            DisconnectNamedPipe(s.dataPipe.Get());
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
        if (!ParkListening(s, ov)) return 1;
    }
}
