// The soak's client phases: connections that come and go, random control
// messages, and clients that stall or read slowly.
#include "CSoak.h"

#include "SimStream.h"

#include <algorithm>
#include <cstdio>
#include <random>
#include <vector>

// Random timing, random disconnects of either pipe in the middle of a stream.
void CSoak::Connections(TunerKind kind, unsigned seed)
{
    std::mt19937 rng(seed);
    std::vector<uint8_t> buffer(kDataMessageSize);
    for (int i = 0; i < p_.connections; ++i) {
        CTunerClient c;
        if (c.ConnectControl(kind, 5000) != ClientError::None) continue;
        uint32_t reply = 0;
        if (rng() % 4) c.Challenge();
        if (rng() % 5 && c.ConnectData(3000) == ClientError::None) {
            if (rng() % 2) c.Command(kCmdSelectChannel, kTuneValue[kind == TunerKind::Satellite] + (rng() % 3) * 6000 * (kind == TunerKind::Terrestrial), &reply, 3000);
            const int reads = static_cast<int>(rng() % 3);
            for (int r = 0; r < reads; ++r) {
                DWORD got = 0;
                if (c.ReadData(buffer.data(), kDataMessageSize, got, 3000) != ClientError::None) break;
                ++served_;
            }
            // Close the pipes in a random order, maybe with a read still pending.
            switch (rng() % 3) {
            case 0: c.CloseData(); break;
            case 1: c.CloseControl(); break;
            default: break;
            }
        }
        Sleep(rng() % 40);
        if (++ended_ % 20 == 0) std::fprintf(stderr, "soak: %d connections\n", ended_.load());
    }
}

// Random lengths, bytes and command/argument splits.
void CSoak::Messages(TunerKind kind, unsigned seed)
{
    std::mt19937 rng(seed);
    CTunerClient c;
    for (int i = 0; i < p_.messages; ++i) {
        if (!c.HasControl() && c.ConnectControl(kind, 5000) != ClientError::None) continue;
        uint8_t bytes[16];
        DWORD size = 0;
        switch (rng() % 4) {
        case 0: size = 1; bytes[0] = static_cast<uint8_t>(rng() % 7); break;            // a command, maybe unknown
        case 1: size = 5; bytes[0] = static_cast<uint8_t>(rng() % 7); break;            // command and argument together
        case 2: size = static_cast<DWORD>(rng() % 17); bytes[0] = static_cast<uint8_t>(rng()); break;  // anything
        default: size = 1 + static_cast<DWORD>(rng() % 4); bytes[0] = 2; break;         // a short argument follows
        }
        for (DWORD b = 1; b < size; ++b) bytes[b] = static_cast<uint8_t>(rng());
        if (bytes[0] == kCmdWaitForData && rng() % 8) bytes[0] = kCmdKeepAlive;  // each 3 costs up to a second
        if (c.SendRaw(bytes, size) != ClientError::None) {
            c.CloseControl();
            continue;
        }
        uint32_t reply = 0;
        const ClientError e = c.ReadReply(reply, 300);
        if (i % 100 == 0) std::fprintf(stderr, "soak: %s message %d\n", KindName(kind), i);
        if (e == ClientError::Closed || e == ClientError::TunerFailed || e == ClientError::Io || rng() % 50 == 0)
            c.CloseControl();
    }
}

void CSoak::StallAndSlow()
{
    std::vector<uint8_t> buffer(kDataMessageSize);
    CTunerClient stalled, slow;
    uint32_t reply = 0;
    DWORD got = 0;
    if (stalled.ConnectControl(TunerKind::Terrestrial) != ClientError::None || stalled.ConnectData() != ClientError::None ||
        slow.ConnectControl(TunerKind::Satellite) != ClientError::None || slow.ConnectData() != ClientError::None) {
        std::printf("   stall phase: a client could not connect\n");
        ++failures_;
        return;
    }
    stalled.Command(kCmdSelectChannel, kTuneValue[0], &reply);
    slow.Command(kCmdSelectChannel, kTuneValue[1], &reply);
    stalled.ReadData(buffer.data(), kDataMessageSize, got, 5000);
    const double start = Now();
    int slowReads = 0;
    while (Now() - start < std::max(p_.stallSeconds, p_.slowSeconds)) {
        if (Now() - start < p_.slowSeconds) {
            if (slow.ReadData(buffer.data(), kDataMessageSize, got, 5000) != ClientError::None) break;
            ++slowReads;
        }
        Sleep(1000);
    }
    // The stalled client resumes: it gets whole messages of the stream again.
    int resumed = 0;
    uint64_t lastSequence = 0;
    bool ordered = true;
    for (int i = 0; i < 20; ++i) {
        if (stalled.ReadData(buffer.data(), kDataMessageSize, got, 5000) != ClientError::None || got != kDataMessageSize) break;
        for (size_t at = 0; at < got; at += kTsPacketSize) {
            SimPayload pl;
            if (!ParseSimPayload(buffer.data() + at, pl)) continue;
            if (lastSequence && pl.sequence <= lastSequence) ordered = false;
            lastSequence = pl.sequence;
        }
        ++resumed;
    }
    std::printf("   stalled %d s then read %d whole messages (%s); slow client read %d messages at one a second\n",
                p_.stallSeconds, resumed, ordered ? "in order" : "OUT OF ORDER", slowReads);
    if (resumed < 20 || !ordered || slowReads < p_.slowSeconds - 1) ++failures_;
}
