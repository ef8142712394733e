// A client of TunerHost's pipes, for tools and tests: the control pipe with
// its commands and replies, and the data pipe with its messages.
#pragma once
#include "common/WinHandle.h"
#include "relay/PipeProtocol.h"

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>

enum class TunerKind { Terrestrial, Satellite };

enum class ClientError {
    None,
    NotRunning,         // no TunerHost process
    NotServed,          // TunerHost runs, but has no tuner of this kind listening
    Busy,               // another client holds the pipe
    TunerFailed,        // the connection closed before the first reply
    ChallengeMismatch,  // whatever answered is not TunerHost, or the data pipe is another process's
    Closed,             // the connection ended
    Timeout,
    Io,                 // any other pipe failure
};

const char* Describe(ClientError error);

// Whether a TunerHost process runs (its single-instance mutex exists).
bool IsTunerHostRunning();
// Whether another client holds the kind now (no instance of its control
// pipe listens), found without connecting, which would open the tuner.
bool TunerHeldByAnother(TunerKind kind);
// Whether a client reads the kind's stream now (its data pipe is connected):
// the kind is held, not between two clients, when its control pipe is busy.
bool TunerStreamGoesToAnother(TunerKind kind);

const wchar_t* ControlPipeName(TunerKind kind);
const wchar_t* DataPipeName(TunerKind kind);
// What TunerHost answers to a challenge.
uint32_t ExpectedChallengeReply(const uint8_t challenge[4]);

class CTunerClient {
public:
    // Opens the control pipe, waiting up to timeoutMs while TunerHost is busy
    // with another client or between two of them.
    ClientError ConnectControl(TunerKind kind, DWORD timeoutMs = 5000);
    // Opens the control pipe as a user's client should. Busy, it waits for as
    // long as TunerHost may be between two clients (kBetweenClientsMs), but
    // gives up once another client has read the kind's stream for heldMs (the
    // kind is held). Missing (TunerHost rebuilds the kind), it waits up to
    // missingMs. `giveUp`, asked four times a second, ends the wait sooner.
    ClientError ConnectControlWhenFree(TunerKind kind, DWORD heldMs, DWORD missingMs,
                                       const std::function<bool()>& giveUp = nullptr);
    // One command and its reply; `arg` is sent as a message of its own.
    ClientError Command(uint8_t code, uint32_t* reply = nullptr, DWORD timeoutMs = 10000);
    ClientError Command(uint8_t code, uint32_t arg, uint32_t* reply, DWORD timeoutMs = 10000);
    // Sends command 5 with fresh bytes and checks the answer.
    ClientError Challenge();
    // Command 6: the next client of the kind gets the tuner, and this
    // connection ends. `yields` false: TunerHost does not yield (an older one).
    ClientError YieldTuner(bool& yields);
    // Command 0, then 1, then opens the data pipe: works whatever state the
    // previous client left the data pipe in.
    ClientError ConnectData(DWORD timeoutMs = 5000);
    // Opens the data pipe alone, waiting up to timeoutMs while it is busy.
    ClientError OpenData(DWORD timeoutMs = 5000);
    // Reads one data message into buffer (at least kDataMessageSize bytes).
    ClientError ReadData(uint8_t* buffer, DWORD size, DWORD& got, DWORD timeoutMs);

    // Raw access for tests: a message of any bytes, and a bare reply read.
    ClientError SendRaw(const void* bytes, DWORD size);
    ClientError ReadReply(uint32_t& reply, DWORD timeoutMs);

    void CloseControl() { control_.Reset(); }
    void CloseData() { data_.Reset(); }
    bool HasControl() const { return static_cast<bool>(control_); }

private:
    ClientError Read(HANDLE pipe, void* buffer, DWORD size, DWORD& got, DWORD timeoutMs);
    ClientError Closed() const { return gotReply_ ? ClientError::Closed : ClientError::TunerFailed; }

    TunerKind kind_ = TunerKind::Terrestrial;
    CFileHandle control_;
    CFileHandle data_;
    ULONG serverPid_ = 0;  // the control pipe's server: the data pipe's must be the same
    CHandle event_{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    bool gotReply_ = false;
};
