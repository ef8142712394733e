#include "TunerClient.h"

#include "app/InstanceName.h"
#include "relay/PipeNames.h"
#include "relay/ScrambleBytes.h"

namespace {

bool IsGone(DWORD error)
{
    return error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED || error == ERROR_NO_DATA;
}

// Opens a pipe by name, waiting while it is busy or not there yet.
ClientError OpenPipe(const wchar_t* name, DWORD access, DWORD timeoutMs, CFileHandle& out)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    bool sawBusy = false;
    for (;;) {
        out.Reset(CreateFileW(name, access, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
        if (out) {
            DWORD mode = PIPE_READMODE_MESSAGE;
            SetNamedPipeHandleState(out.Get(), &mode, nullptr, nullptr);
            return ClientError::None;
        }
        const DWORD error = GetLastError();
        const ULONGLONG now = GetTickCount64();
        if (error == ERROR_PIPE_BUSY) {
            sawBusy = true;
        } else if (error == ERROR_FILE_NOT_FOUND) {
            if (!IsTunerHostRunning()) return ClientError::NotRunning;
        } else {
            return ClientError::Io;
        }
        if (now >= deadline) return sawBusy ? ClientError::Busy : ClientError::NotServed;
        Sleep(error == ERROR_PIPE_BUSY ? 50 : 20);
    }
}

}  // namespace

bool IsTunerHostRunning()
{
    CHandle mutex(OpenMutexW(SYNCHRONIZE, FALSE, kInstanceMutexName));
    return static_cast<bool>(mutex);
}

bool TunerHeldByAnother(TunerKind kind)
{
    return !WaitNamedPipeW(ControlPipeName(kind), 1) && GetLastError() == ERROR_SEM_TIMEOUT;
}

bool TunerStreamGoesToAnother(TunerKind kind)
{
    // Between two clients the data pipe listens too; only a client's stream
    // leaves no instance listening.
    return !WaitNamedPipeW(DataPipeName(kind), 1) && GetLastError() == ERROR_SEM_TIMEOUT;
}

const char* Describe(ClientError error)
{
    switch (error) {
    case ClientError::None: return "no error";
    case ClientError::NotRunning: return "TunerHost is not running";
    case ClientError::NotServed: return "TunerHost runs, but serves no tuner of this kind (no plug-in chosen for it?)";
    case ClientError::Busy: return "the tuner is busy: another client holds its pipe";
    case ClientError::TunerFailed: return "the tuner failed to open (TunerHost closed the pipe before its first reply)";
    case ClientError::ChallengeMismatch:
        return "the pipe did not answer the challenge as TunerHost does, or the data pipe is not TunerHost's";
    case ClientError::Closed: return "TunerHost closed the connection";
    case ClientError::Timeout: return "TunerHost did not answer in time";
    case ClientError::Io: return "pipe error";
    }
    return "unknown error";
}

const wchar_t* ControlPipeName(TunerKind kind)
{
    return kind == TunerKind::Terrestrial ? kPlainPipeNameControlT : kPlainPipeNameControlS;
}

const wchar_t* DataPipeName(TunerKind kind)
{
    return kind == TunerKind::Terrestrial ? kPlainPipeNameDataT : kPlainPipeNameDataS;
}

uint32_t ExpectedChallengeReply(const uint8_t challenge[4])
{
    uint8_t out[4];
    ScrambleWithSeed(kChallengeKey, out, challenge, 4);
    return out[0] | (out[1] << 8) | (out[2] << 16) | (uint32_t(out[3]) << 24);
}

ClientError CTunerClient::ConnectControl(TunerKind kind, DWORD timeoutMs)
{
    kind_ = kind;
    gotReply_ = false;
    serverPid_ = 0;
    const ClientError e = OpenPipe(ControlPipeName(kind), GENERIC_READ | GENERIC_WRITE, timeoutMs, control_);
    if (e == ClientError::None && !GetNamedPipeServerProcessId(control_.Get(), &serverPid_)) serverPid_ = 0;
    return e;
}

ClientError CTunerClient::ConnectControlWhenFree(TunerKind kind, DWORD heldMs, DWORD missingMs,
                                                const std::function<bool()>& giveUp)
{
    constexpr DWORD kSliceMs = 250;
    const ULONGLONG start = GetTickCount64();
    ULONGLONG busySince = 0, heldSince = 0;
    for (;;) {
        const ClientError e = ConnectControl(kind, kSliceMs);
        if (e != ClientError::Busy && e != ClientError::NotServed) return e;
        const ULONGLONG now = GetTickCount64();
        if (e == ClientError::Busy) {
            if (!busySince) busySince = now;
            if (!TunerStreamGoesToAnother(kind)) heldSince = 0;
            else if (!heldSince) heldSince = now;
            if ((heldSince && now - heldSince >= heldMs) || now - busySince >= kBetweenClientsMs) return e;
        } else {
            busySince = heldSince = 0;
            if (now - start >= missingMs) return e;
        }
        if (giveUp && giveUp()) return e;
    }
}

ClientError CTunerClient::SendRaw(const void* bytes, DWORD size)
{
    if (!control_) return ClientError::Closed;
    OVERLAPPED ov = {};
    ov.hEvent = event_.Get();
    DWORD put = 0;
    if (!WriteFile(control_.Get(), bytes, size, nullptr, &ov) && GetLastError() != ERROR_IO_PENDING)
        return IsGone(GetLastError()) ? Closed() : ClientError::Io;
    // The host reads every message at once; a write that does not finish
    // means it stopped reading.
    if (WaitForSingleObject(event_.Get(), 10000) != WAIT_OBJECT_0) {
        CancelIo(control_.Get());
        GetOverlappedResult(control_.Get(), &ov, &put, TRUE);
        return ClientError::Timeout;
    }
    if (!GetOverlappedResult(control_.Get(), &ov, &put, FALSE))
        return IsGone(GetLastError()) ? Closed() : ClientError::Io;
    return put == size ? ClientError::None : ClientError::Io;
}

ClientError CTunerClient::Read(HANDLE pipe, void* buffer, DWORD size, DWORD& got, DWORD timeoutMs)
{
    got = 0;
    OVERLAPPED ov = {};
    ov.hEvent = event_.Get();
    if (!ReadFile(pipe, buffer, size, nullptr, &ov) && GetLastError() != ERROR_IO_PENDING)
        return IsGone(GetLastError()) ? ClientError::Closed : ClientError::Io;
    if (WaitForSingleObject(event_.Get(), timeoutMs) != WAIT_OBJECT_0) {
        CancelIo(pipe);
        // The read may have completed before the cancel reached it: its
        // message is in the buffer then, and dropping it would leave a gap.
        if (GetOverlappedResult(pipe, &ov, &got, TRUE) && got > 0) return ClientError::None;
        got = 0;
        return ClientError::Timeout;
    }
    if (!GetOverlappedResult(pipe, &ov, &got, FALSE))
        return IsGone(GetLastError()) ? ClientError::Closed : ClientError::Io;
    return ClientError::None;
}

ClientError CTunerClient::ReadReply(uint32_t& reply, DWORD timeoutMs)
{
    if (!control_) return ClientError::Closed;
    uint8_t bytes[4];
    DWORD got = 0;
    ClientError e = Read(control_.Get(), bytes, 4, got, timeoutMs);
    if (e == ClientError::Closed) return Closed();
    if (e != ClientError::None) return e;
    if (got != 4) return ClientError::Io;
    gotReply_ = true;
    reply = bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (uint32_t(bytes[3]) << 24);
    return ClientError::None;
}

ClientError CTunerClient::Command(uint8_t code, uint32_t* reply, DWORD timeoutMs)
{
    ClientError e = SendRaw(&code, 1);
    if (e != ClientError::None) return e;
    uint32_t value = 0;
    e = ReadReply(value, timeoutMs);
    if (e == ClientError::None && reply) *reply = value;
    return e;
}

ClientError CTunerClient::Command(uint8_t code, uint32_t arg, uint32_t* reply, DWORD timeoutMs)
{
    ClientError e = SendRaw(&code, 1);
    if (e != ClientError::None) return e;
    const uint8_t bytes[4] = {uint8_t(arg), uint8_t(arg >> 8), uint8_t(arg >> 16), uint8_t(arg >> 24)};
    e = SendRaw(bytes, 4);
    if (e != ClientError::None) return e;
    uint32_t value = 0;
    e = ReadReply(value, timeoutMs);
    if (e == ClientError::None && reply) *reply = value;
    return e;
}

ClientError CTunerClient::Challenge()
{
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    const uint32_t seed = static_cast<uint32_t>(t.QuadPart) ^ GetCurrentProcessId() * 2654435761u;
    const uint8_t challenge[4] = {uint8_t(seed), uint8_t(seed >> 8), uint8_t(seed >> 16), uint8_t(seed >> 24)};
    uint32_t reply = 0;
    ClientError e = Command(kCmdChallenge, seed, &reply);
    if (e != ClientError::None) return e;
    return reply == ExpectedChallengeReply(challenge) ? ClientError::None : ClientError::ChallengeMismatch;
}

ClientError CTunerClient::YieldTuner(bool& yields)
{
    uint32_t reply = 0;
    const ClientError e = Command(kCmdYield, &reply);
    yields = e == ClientError::None && reply == kYieldingReply;
    return e;
}

ClientError CTunerClient::ConnectData(DWORD timeoutMs)
{
    ClientError e = Command(kCmdPauseData);
    if (e == ClientError::None) e = Command(kCmdRearmData);
    if (e != ClientError::None) return e;
    return OpenData(timeoutMs);
}

ClientError CTunerClient::OpenData(DWORD timeoutMs)
{
    const ClientError e = OpenPipe(DataPipeName(kind_), GENERIC_READ | FILE_WRITE_ATTRIBUTES, timeoutMs, data_);
    if (e != ClientError::None) return e == ClientError::NotServed ? ClientError::Io : e;
    // The stream must come from the process that serves the control pipe:
    // another could have made a pipe under the data pipe's name.
    ULONG pid = 0;
    if (!serverPid_ || !GetNamedPipeServerProcessId(data_.Get(), &pid) || pid != serverPid_) {
        data_.Reset();
        return ClientError::ChallengeMismatch;
    }
    return ClientError::None;
}

ClientError CTunerClient::ReadData(uint8_t* buffer, DWORD size, DWORD& got, DWORD timeoutMs)
{
    if (!data_) return ClientError::Closed;
    return Read(data_.Get(), buffer, size, got, timeoutMs);
}
