#include "CTunerLink.h"

#include "PipeCalls.h"
#include "SrwHold.h"
#include "relay/PipeProtocol.h"
#include "relay/ScrambleRoutine.h"

namespace {

// TunerHost reads every command at once.
constexpr DWORD kWriteMs = 5000;
// The data pipe listens once command 1 has its reply.
constexpr DWORD kDataOpenMs = 2000;

uint32_t FromBytes(const uint8_t* b)
{
    return b[0] | (b[1] << 8) | (b[2] << 16) | (uint32_t(b[3]) << 24);
}

}  // namespace

CTunerLink::CTunerLink(bool terrestrial)
    : controlName_(terrestrial ? kPlainPipeNameControlT : kPlainPipeNameControlS),
      dataName_(terrestrial ? kPlainPipeNameDataT : kPlainPipeNameDataS),
      event_(CreateEventW(nullptr, TRUE, FALSE, nullptr))
{
}

CTunerLink::~CTunerLink()
{
    Disconnect();
    if (event_) CloseHandle(event_);
}

bool CTunerLink::StreamGoesToAnother() const
{
    // Between two clients the data pipe listens too; only a client's stream
    // leaves no instance listening.
    return !WaitNamedPipeW(dataName_, 1) && GetLastError() == ERROR_SEM_TIMEOUT;
}

bool CTunerLink::Connect()
{
    CSrwHold hold(lock_);
    if (control_ != INVALID_HANDLE_VALUE || !event_) return false;
    const uint64_t start = GetTickCount64();
    uint64_t heldSince = 0;
    for (;;) {
        control_ = OpenMessagePipe(controlName_, GENERIC_READ | GENERIC_WRITE);
        if (control_ != INVALID_HANDLE_VALUE) break;
        if (GetLastError() != ERROR_PIPE_BUSY) return false;
        const uint64_t now = GetTickCount64();
        if (!StreamGoesToAnother()) heldSince = 0;
        else if (!heldSince) heldSince = now;
        if ((heldSince && now - heldSince >= kHeldGiveUpMs) || now - start >= kBetweenClientsMs) return false;
        Sleep(50);
    }
    lost_ = 0;
    level_ = kUnknown;
    // Only TunerHost answers so; a pipe of another process's under the name
    // is not taken for it.
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    const uint32_t seed = static_cast<uint32_t>(t.QuadPart) ^ (GetCurrentProcessId() * 2654435761u);
    const uint8_t challenge[4] = {uint8_t(seed), uint8_t(seed >> 8), uint8_t(seed >> 16), uint8_t(seed >> 24)};
    uint8_t answer[4], used[4];
    uint32_t state = kChallengeKey;
    ScrambleRun(state, answer, challenge, 4, used);
    uint32_t reply = 0;
    if (!Command(kCmdChallenge, &seed, reply, kFirstReplyMs)) return false;
    if (reply != FromBytes(answer) || !GetNamedPipeServerProcessId(control_, &serverPid_)) {
        Fail();
        return false;
    }
    return true;
}

HANDLE CTunerLink::OfferData(uint8_t first, const uint32_t* arg)
{
    uint32_t reply = 0;
    if (!Command(first, arg, reply, kReplyMs) || !Command(kCmdRearmData, nullptr, reply, kReplyMs))
        return INVALID_HANDLE_VALUE;
    const uint64_t start = GetTickCount64();
    HANDLE data = INVALID_HANDLE_VALUE;
    for (;;) {
        data = OpenMessagePipe(dataName_, GENERIC_READ | FILE_WRITE_ATTRIBUTES);
        if (data != INVALID_HANDLE_VALUE || GetTickCount64() - start >= kDataOpenMs) break;
        Sleep(20);
    }
    // The data pipe must come from the process that answered the challenge:
    // another could have made an instance under its name meanwhile.
    unsigned long pid = 0;
    if (data != INVALID_HANDLE_VALUE && (!GetNamedPipeServerProcessId(data, &pid) || pid != serverPid_)) {
        CloseHandle(data);
        data = INVALID_HANDLE_VALUE;
    }
    if (data == INVALID_HANDLE_VALUE) Fail();
    return data;
}

HANDLE CTunerLink::OpenData()
{
    CSrwHold hold(lock_);
    return OfferData(kCmdPauseData, nullptr);
}

HANDLE CTunerLink::Retune(uint32_t value)
{
    CSrwHold hold(lock_);
    return OfferData(kCmdSelectChannel, &value);
}

bool CTunerLink::SignalLevel(float& level)
{
    if (!TryAcquireSRWLockExclusive(&lock_)) return false;
    uint32_t reply = 0;
    bool ok = level_ != kUnknownToHost;
    // The first time, right after a 4: an older TunerHost answers the 8 with
    // the 4's reply, which a level never is.
    if (ok && level_ == kUnknown) ok = Command(kCmdKeepAlive, nullptr, reply, kReplyMs);
    if (ok) ok = Command(kCmdSignalLevel, nullptr, reply, kReplyMs);
    if (ok && level_ == kUnknown) level_ = reply == kKeepAliveReply ? kUnknownToHost : kKnown;
    ok = ok && level_ == kKnown;
    if (ok) level = LevelOfReply(reply);
    ReleaseSRWLockExclusive(&lock_);
    return ok;
}

bool CTunerLink::Command(uint8_t code, const uint32_t* arg, uint32_t& reply, DWORD ms)
{
    if (control_ == INVALID_HANDLE_VALUE) return false;
    uint8_t bytes[4] = {};
    if (arg) {
        for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(*arg >> (8 * i));
    }
    DWORD got = 0;
    if (WriteMessage(control_, event_, &code, 1, kWriteMs) != PipeResult::Done ||
        (arg && WriteMessage(control_, event_, bytes, 4, kWriteMs) != PipeResult::Done) ||
        ReadMessage(control_, event_, bytes, 4, got, ms) != PipeResult::Done || got != 4) {
        // A reply that comes late would answer the next command.
        Fail();
        return false;
    }
    reply = FromBytes(bytes);
    return true;
}

void CTunerLink::Fail()
{
    lost_ = 1;
    if (control_ != INVALID_HANDLE_VALUE) CloseHandle(control_);
    control_ = INVALID_HANDLE_VALUE;
}

void CTunerLink::Disconnect()
{
    CSrwHold hold(lock_);
    if (control_ != INVALID_HANDLE_VALUE) CloseHandle(control_);
    control_ = INVALID_HANDLE_VALUE;
}
