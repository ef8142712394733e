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

    // Packs the bytes into chunks.
    void Append(const uint8_t* bytes, uint32_t size);
    void Append(TsBlockPtr block) { Append(block->Bytes(), block->size); }
    // The bytes that complete the chunk being filled.
    uint32_t ChunkRoom();
    // Throws away the queued chunks and the partly filled one.
    void DiscardChunks();

    // Ends the client's connection from any thread, as a failed open ends it:
    // the kind's plug-in host ended, or broke the rules.
    void EndConnection();
    bool ConnectionLost() const { return InterlockedCompareExchange(const_cast<volatile LONG*>(&connectionLost), 0, 0) != 0; }

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
    CFileHandle dataPipe;         // the one instance, kept from one client to the next

    CWorkerThread controlThread;
    CWorkerGate controlGate;
    CHandle chunkWritten;
    CHandle controlListening;
    CFileHandle controlPipe;      // the instance that serves, kept from one client to the next
    CControlSpare controlSpare;   // the other one
    volatile LONG connectionLost = 0;

    // How long Start waits for the control pipe to listen.
    static constexpr DWORD kListenBoundMs = 10000;
    // Time the control worker gets at a stop to end a client's connection:
    // a working call to the plug-in host is cut short, the tuner's close has
    // its own deadline (the host is ended at it), the relay worker its stop.
    static constexpr DWORD kControlStopMs = 20000;
};

unsigned __stdcall DataWorker(void* param);
unsigned __stdcall ControlWorker(void* param);
