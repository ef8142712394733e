// The client plug-in's pipe calls: every one overlapped and bounded, so that
// no thread of the app waits on TunerHost longer than it was given.
#pragma once
#include "Kernel32.h"

enum class PipeResult {
    Done,
    Gone,      // the other end closed the pipe
    TimedOut,
    Stopped,   // the stop event came first; the call was cancelled
    Failed,    // anything else, a message longer than the buffer too
};

// Opens an existing pipe for overlapped I/O and reads it by messages;
// INVALID_HANDLE_VALUE, with the system's error, when it cannot.
HANDLE OpenMessagePipe(const wchar_t* name, DWORD access);

// One message into `buffer`; `got` its size. `stop`, when not null, ends
// the wait early. `event` is the caller's manual-reset event for the call.
PipeResult ReadMessage(HANDLE pipe, HANDLE event, void* buffer, DWORD size, DWORD& got, DWORD ms,
                       HANDLE stop = nullptr);
// One message of `size` bytes, all written.
PipeResult WriteMessage(HANDLE pipe, HANDLE event, const void* data, DWORD size, DWORD ms);

// The system's error that says a pipe's other end is gone.
bool IsPipeGone(DWORD error);
