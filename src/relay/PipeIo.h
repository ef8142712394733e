// Overlapped connects, reads and writes on a pipe instance that a worker
// holds, each waiting for its completion or for the worker gate's request.
#pragma once
#include "relay/CWorkerGate.h"

#include <windows.h>

enum class PipeIoResult {
    Done,          // completed; the byte count is in `transferred`
    FetchFailed,   // the operation completed with an error
    FailedAtOnce,  // the call itself failed (GetLastError() tells why)
    Abandoned,     // the time ran out or a request came
};

// Starts a connect; once it is under way, sets `listening` and waits.
PipeIoResult ConnectPipe(HANDLE pipe, OVERLAPPED& ov, const CWorkerGate& gate, HANDLE listening);
PipeIoResult ReadPipe(HANDLE pipe, OVERLAPPED& ov, const CWorkerGate& gate, void* buffer, DWORD size,
                      DWORD& transferred);
PipeIoResult WritePipe(HANDLE pipe, OVERLAPPED& ov, const CWorkerGate& gate, const void* buffer, DWORD size,
                       DWORD& transferred, DWORD ms = INFINITE);
