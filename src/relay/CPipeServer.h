// One tuner kind's two pipes: the control worker accepts a client and runs its
// commands, the data worker writes whole chunks of the stream to the data pipe.
#pragma once
#include "common/CriticalSection.h"
#include "common/WinHandle.h"
#include "common/WorkerThread.h"
#include "relay/CChunkPool.h"
#include "relay/CWorkerGate.h"
#include "relay/ControlSpare.h"
#include "relay/ITunerPort.h"
#include "relay/PipeNames.h"
#include "relay/TsBlock.h"

#include <string>

class CStreamRelay;

// Pipe settings shared with clients (and the benchmark's ceiling pair).
// TunerHost is a local relay: without PIPE_REJECT_REMOTE_CLIENTS any machine
// that reaches this one's file sharing could read the stream or hold a kind.
constexpr DWORD kPipeMode = PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS;
constexpr DWORD kControlPipeBufferSize = 256;
// The serving instance and the spare (ControlSpare.h), both TunerHost's.
constexpr DWORD kControlPipeInstances = 2;
constexpr DWORD kControlPipeTimeoutMs = 1000;
constexpr DWORD kDataPipeBufferSize = 256 * kChunkSize;

class CPipeServer {
public:
    CPipeServer(CStreamRelay* relay, ITunerPort* tuner, const CPipeNamePair& names);
    ~CPipeServer();
    CPipeServer(const CPipeServer&) = delete;
    CPipeServer& operator=(const CPipeServer&) = delete;

    // Starts both workers; true once the control pipe listens. False, without
    // waiting on, when a worker could not start or the control worker ended
    // (its pipe name is taken).
    bool Start();
    // Ends both workers (data first), each within its bounds.
    void StopWorkers();

    // Packs the block into chunks; takes ownership.
    void Append(TsBlockPtr block);
    // Throws away the queued chunks and the partly filled one.
    void DiscardChunks();

    // Ends the client's connection from any thread, as a failed open ends it:
    // a thread of the connection was ended inside a plug-in or descrambler.
    void EndConnection();
    bool ConnectionLost() const { return InterlockedCompareExchange(const_cast<volatile LONG*>(&connectionLost), 0, 0) != 0; }
    // Abandons the module a thread was ended inside.
    void Abandon(ForeignModule module);

    // Used by the control worker. Neither waits on a data worker that has
    // ended. Re-arming ends any data connection and offers a new pipe.
    void PauseDataWorker();
    void RearmDataPipe();

    std::wstring dataPipeName;
    std::wstring controlPipeName;
    CStreamRelay* relay;  // the owner, whose worker a connection starts
    ITunerPort* tuner;

    CChunkPool pool;  // before the chunks: they go back to it
    // Guarded by lock.
    ChunkPtr chunk;
    uint32_t fill = 0;
    LONG dataClientConnected = 0;
    bool dataWaiting = false;      // the data worker found the chunk queue empty
    bool chunkWaiter = false;      // command 3 waits for the next chunk written
    CTsQueue<ChunkPtr> chunks{kChunkQueueByteLimit};
    CCriticalSection lock;

    CWorkerThread dataThread;
    CWorkerGate dataGate;
    CHandle chunkQueued;
    CHandle dataListening;
    CFileHandle dataPipe;

    CWorkerThread controlThread;
    CWorkerGate controlGate;
    CHandle chunkWritten;
    CHandle controlListening;
    CFileHandle controlPipe;      // the instance that serves, kept from one client to the next
    CControlSpare controlSpare;   // the other one
    volatile LONG connectionLost = 0;
    // A control worker ended by a fault inside a call leaves its connection to
    // a successor, which ends it and serves the kind from then on. The
    // successor's handle waits here until the stopper takes it over.
    volatile LONG resumeAfterFault = 0;
    CCriticalSection successorLock;
    CHandle controlSuccessor;
    DWORD controlSuccessorId = 0;

    // Time the control worker's thread gets at a stop to close a tuner that a
    // client holds: the bounds of what that close waits for, added up (the
    // signal thread 1 + 1 s, the reception thread 3 + 2 s, the relay worker
    // 3 + 2 s), each with the grace a thread in its own code gets at its bound.
    static constexpr DWORD kControlStopMs = 12000 + 3 * CWorkerThread::kOwnCodeGraceMs;
    // A control worker still inside a working call this long after the stop
    // (an Open that never returns) has nothing to close: it is cut off then.
    static constexpr DWORD kControlWorkBoundMs = 3000;
};

unsigned __stdcall DataWorker(void* param);
unsigned __stdcall ControlWorker(void* param);
// The fault hook of the control worker (see CForeignCall::SetFaultHook).
void ControlWorkerFaulted(void* pipeServer);
