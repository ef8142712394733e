// The pipe's own ceiling: a plain writer process and reader on the data
// pipe's settings, as fast as they go.
#include "BenchCommon.h"
#include "BenchRuns.h"

#include "TunerClient.h"
#include "common/WinHandle.h"
#include "relay/CPipeServer.h"

#include <string>

int PipeWriter(const wchar_t* name, int messages)
{
    CFileHandle pipe(CreateNamedPipeW(name, PIPE_ACCESS_OUTBOUND | FILE_FLAG_OVERLAPPED, kPipeMode, 1, kDataPipeBufferSize,
                                  kDataPipeBufferSize, NMPWAIT_WAIT_FOREVER, nullptr));
    if (!pipe) return 1;
    CHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    OVERLAPPED ov = {};
    ov.hEvent = event.Get();
    if (!ConnectNamedPipe(pipe.Get(), &ov)) {
        const DWORD e = GetLastError();
        if (e == ERROR_IO_PENDING) WaitForSingleObject(event.Get(), 30000);
        else if (e != ERROR_PIPE_CONNECTED) return 1;
    }
    std::vector<uint8_t> chunk(kDataMessageSize, 0x47);
    // Written as the data worker writes: the event is reset by each write as
    // it starts, and a write that completed at once is not waited for.
    for (int i = 0; i < messages; ++i) {
        DWORD written = 0;
        if (!WriteFile(pipe.Get(), chunk.data(), kDataMessageSize, nullptr, &ov) && GetLastError() != ERROR_IO_PENDING)
            return 1;
        if (!GetOverlappedResult(pipe.Get(), &ov, &written, TRUE) || written != kDataMessageSize) return 1;
    }
    FlushFileBuffers(pipe.Get());
    return 0;
}

bool StartSelf(const std::wstring& args, CHandle& process)
{
    wchar_t self[MAX_PATH * 4] = {};
    GetModuleFileNameW(nullptr, self, ARRAYSIZE(self));
    std::wstring line = L"\"" + std::wstring(self) + L"\" " + args;
    STARTUPINFOW si = {};
        si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return false;
    CloseHandle(pi.hThread);
    process.Reset(pi.hProcess);
    return true;
}

double Ceiling(int messages)
{
    const std::wstring name = L"\\\\.\\pipe\\TunerHostBench" + std::to_wstring(GetCurrentProcessId());
    CHandle writer;
    if (!StartSelf(L"--pipe-writer " + name + L" " + std::to_wstring(messages), writer)) return 0;
    // The reader reads as every client of the data pipe does: overlapped, one
    // message per read.
    CFileHandle pipe;
    for (int i = 0; i < 300 && !pipe; ++i) {
        pipe.Reset(CreateFileW(name.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
        if (!pipe) Sleep(10);
    }
    if (!pipe) return 0;
    DWORD mode = PIPE_READMODE_MESSAGE;
    SetNamedPipeHandleState(pipe.Get(), &mode, nullptr, nullptr);
    CHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::vector<uint8_t> buffer(kDataMessageSize);
    double start = 0;
    uint64_t bytes = 0;
    for (int i = 0; i < messages; ++i) {
        OVERLAPPED ov = {};
        ov.hEvent = event.Get();
        DWORD got = 0;
        if (!ReadFile(pipe.Get(), buffer.data(), kDataMessageSize, nullptr, &ov) && GetLastError() != ERROR_IO_PENDING) break;
        if (!GetOverlappedResult(pipe.Get(), &ov, &got, TRUE)) break;
        if (i == 0) start = Now();  // from the first message on: no start-up in the figure
        else bytes += got;
    }
    const double seconds = Now() - start;
    pipe.Reset();  // a writer still writing sees the pipe break
    if (WaitForSingleObject(writer.Get(), 30000) != WAIT_OBJECT_0) TerminateProcess(writer.Get(), 1);
    return seconds > 0 ? double(bytes) / seconds / 1e6 : 0;
}
