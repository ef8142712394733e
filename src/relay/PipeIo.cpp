#include "relay/PipeIo.h"

#include "common/CallCount.h"

namespace {

// The call has been made and is under way, or done when `completed`. (The
// event needs no reset here: every connect, read and write resets it as it
// starts.)
PipeIoResult Finish(HANDLE pipe, OVERLAPPED& ov, const CWorkerGate& gate, DWORD& transferred, DWORD ms,
                    bool completed = false)
{
    if (!completed && gate.WaitEither(ov.hEvent, ms) != 0) {
        // Let the cancellation complete, so nothing lands in the buffer later.
        CancelIo(pipe);
        DWORD ignored = 0;
        GetOverlappedResult(pipe, &ov, &ignored, TRUE);
        return PipeIoResult::Abandoned;
    }
    CountCall(SystemCall::PipeIo);
    return GetOverlappedResult(pipe, &ov, &transferred, FALSE) ? PipeIoResult::Done : PipeIoResult::FetchFailed;
}

bool UnderWay(BOOL called)
{
    return called || GetLastError() == ERROR_IO_PENDING;
}

}  // namespace

PipeIoResult ConnectPipe(HANDLE pipe, OVERLAPPED& ov, const CWorkerGate& gate, HANDLE listening)
{
    const BOOL called = ConnectNamedPipe(pipe, &ov);
    if (!called && GetLastError() == ERROR_PIPE_CONNECTED) {
        // The client came between the pipe's creation and this call.
        SetEvent(listening);
        return PipeIoResult::Done;
    }
    if (!UnderWay(called)) return PipeIoResult::FailedAtOnce;
    SetEvent(listening);
    DWORD ignored = 0;
    return Finish(pipe, ov, gate, ignored, INFINITE);
}

PipeIoResult ReadPipe(HANDLE pipe, OVERLAPPED& ov, const CWorkerGate& gate, void* buffer, DWORD size,
                      DWORD& transferred)
{
    transferred = 0;
    CountCall(SystemCall::PipeIo);
    const BOOL completed = ReadFile(pipe, buffer, size, nullptr, &ov);
    if (!UnderWay(completed)) return PipeIoResult::FailedAtOnce;
    return Finish(pipe, ov, gate, transferred, INFINITE, completed);
}

PipeIoResult WritePipe(HANDLE pipe, OVERLAPPED& ov, const CWorkerGate& gate, const void* buffer, DWORD size,
                       DWORD& transferred, DWORD ms)
{
    transferred = 0;
    CountCall(SystemCall::PipeIo);
    // With room in the pipe's buffer a write completes at once: no wait then.
    const BOOL completed = WriteFile(pipe, buffer, size, nullptr, &ov);
    if (!UnderWay(completed)) return PipeIoResult::FailedAtOnce;
    return Finish(pipe, ov, gate, transferred, ms, completed);
}
