// The client plug-in's connection to TunerHost's control pipe of its kind, as
// docs/protocol.md has a client make it: one command at a time, each reply
// awaited within a bound; the data pipe offered and opened anew on request,
// and taken only from the process that serves the control pipe.
#pragma once
#include "Kernel32.h"

class CTunerLink {
public:
    explicit CTunerLink(bool terrestrial);
    ~CTunerLink();
    CTunerLink(const CTunerLink&) = delete;
    CTunerLink& operator=(const CTunerLink&) = delete;

    // Opens the control pipe and checks TunerHost's answer to a challenge.
    // Busy, it tries again while TunerHost may be between two clients, but
    // gives up once another client has read the kind's stream for
    // kHeldGiveUpMs; not there (the kind is not served), it fails at once.
    bool Connect();
    // Commands 0 and 1, then the data pipe; INVALID_HANDLE_VALUE when it
    // cannot be had (the connection is then over).
    HANDLE OpenData();
    // Command 2 with `value`, then command 1 and the data pipe anew: a fresh
    // data connection carries nothing of the channel before.
    HANDLE Retune(uint32_t value);
    // The signal level by command 8; false when another command is under way
    // (the caller keeps the last level), TunerHost is older than the command,
    // or the connection is over.
    bool SignalLevel(float& level);
    // Closes the control pipe: TunerHost closes the tuner.
    void Disconnect();
    // A command failed: the control pipe is closed, and only Connect
    // opens it again.
    bool Lost() const { return lost_ != 0; }

    // How long a busy control pipe is tried while another client reads the
    // kind's stream (tsserve waits as long).
    static constexpr DWORD kHeldGiveUpMs = 3000;
    // The first reply comes once TunerHost has loaded and opened the
    // plug-in, each within its own bound (15 s, 15 s, 10 s).
    static constexpr DWORD kFirstReplyMs = 45000;
    // Any other command: a retune parks reception twice (3 s each) and
    // tunes the plug-in, within 10 s in all.
    static constexpr DWORD kReplyMs = 15000;

private:
    // One command and its reply; the caller holds lock_. A failure closes the
    // control pipe.
    bool Command(uint8_t code, const uint32_t* arg, uint32_t& reply, DWORD ms);
    HANDLE OfferData(uint8_t first, const uint32_t* arg);
    void Fail();
    bool StreamGoesToAnother() const;

    const wchar_t* controlName_;
    const wchar_t* dataName_;
    HANDLE control_ = INVALID_HANDLE_VALUE;
    HANDLE event_;
    SRWLOCK lock_ = {};
    unsigned long serverPid_ = 0;
    enum LevelCommand { kUnknown, kKnown, kUnknownToHost } level_ = kUnknown;
    volatile long lost_ = 0;
};
