#include "PipeCalls.h"

namespace {

// Waits for an overlapped call begun on `pipe`; cancels it when the time or
// `stop` comes first. A call that completed just before the cancel reached
// it is taken as done: for a read its message is in the buffer already.
PipeResult Finish(HANDLE pipe, OVERLAPPED& ov, DWORD& done, DWORD ms, HANDLE stop)
{
    const HANDLE waits[2] = {ov.hEvent, stop};
    const DWORD r = WaitForMultipleObjects(stop ? 2 : 1, waits, FALSE, ms);
    if (r != WAIT_OBJECT_0) {
        CancelIo(pipe);
        if (GetOverlappedResult(pipe, &ov, &done, TRUE) && done > 0) return PipeResult::Done;
        done = 0;
        return r == WAIT_OBJECT_0 + 1 ? PipeResult::Stopped : PipeResult::TimedOut;
    }
    if (GetOverlappedResult(pipe, &ov, &done, FALSE)) return PipeResult::Done;
    return IsPipeGone(GetLastError()) ? PipeResult::Gone : PipeResult::Failed;
}

}  // namespace

bool IsPipeGone(DWORD error)
{
    return error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED || error == ERROR_NO_DATA;
}

HANDLE OpenMessagePipe(const wchar_t* name, DWORD access)
{
    HANDLE pipe = CreateFileW(name, access, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) return pipe;
    DWORD mode = PIPE_READMODE_MESSAGE;
    SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr);
    return pipe;
}

PipeResult ReadMessage(HANDLE pipe, HANDLE event, void* buffer, DWORD size, DWORD& got, DWORD ms, HANDLE stop)
{
    got = 0;
    OVERLAPPED ov = {};
    ov.hEvent = event;
    if (!ReadFile(pipe, buffer, size, nullptr, &ov) && GetLastError() != ERROR_IO_PENDING)
        return IsPipeGone(GetLastError()) ? PipeResult::Gone : PipeResult::Failed;
    return Finish(pipe, ov, got, ms, stop);
}

PipeResult WriteMessage(HANDLE pipe, HANDLE event, const void* data, DWORD size, DWORD ms)
{
    OVERLAPPED ov = {};
    ov.hEvent = event;
    if (!WriteFile(pipe, data, size, nullptr, &ov) && GetLastError() != ERROR_IO_PENDING)
        return IsPipeGone(GetLastError()) ? PipeResult::Gone : PipeResult::Failed;
    DWORD put = 0;
    const PipeResult r = Finish(pipe, ov, put, ms, nullptr);
    return r == PipeResult::Done && put != size ? PipeResult::Failed : r;
}
