// A client of the benchmark on one kind: connected, tuned and reading, with
// what the simulated plug-in's stamps and sequence numbers tell of a message.
#pragma once
#include "BenchCommon.h"
#include "SimStream.h"
#include "TunerClient.h"

#include <atomic>
#include <cstring>
#include <vector>

// A client on one kind, connected, tuned and reading.
struct CReader {
    CTunerClient client;
    std::vector<uint8_t> buffer = std::vector<uint8_t>(kDataMessageSize);
    std::atomic<bool> quiet{false};  // the run closes the pipe under a pending read
    bool Open(TunerKind kind)
    {
        uint32_t reply = 0;
        return client.ConnectControl(kind, 10000) == ClientError::None && client.ConnectData(10000) == ClientError::None &&
               client.Command(kCmdSelectChannel, kind == TunerKind::Terrestrial ? kFrequencyCh13 : kTsidBs01, &reply) ==
                   ClientError::None;
    }
    bool Read()
    {
        DWORD got = 0;
        const ClientError e = client.ReadData(buffer.data(), kDataMessageSize, got, 10000);
        if (e != ClientError::None || got != kDataMessageSize) {
            if (!quiet) std::fprintf(stderr, "bench: reading the data pipe: %s (%lu bytes)\n", Describe(e), got);
            return false;
        }
        return true;
    }
    // Seconds since the last payload packet of the message was handed out by the plug-in.
    bool LastPacketAge(double& age) const
    {
        const double now = Now();
        for (size_t at = kDataMessageSize - kTsPacketSize;; at -= kTsPacketSize) {
            SimPayload p;
            if (ParseSimPayload(buffer.data() + at, p, true)) {
                int64_t stamp = 0;
                std::memcpy(&stamp, buffer.data() + at + kSimStampOffset, 8);
                LARGE_INTEGER f;
                QueryPerformanceFrequency(&f);
                age = now - double(stamp) / double(f.QuadPart);
                return true;
            }
            if (at == 0) return false;
        }
    }
    // Payload packets missing before and within this message, by the
    // plug-in's running packet number; `next` carries it from one message to
    // the next (UINT64_MAX before the first).
    uint64_t Lost(uint64_t& next) const
    {
        uint64_t lost = 0;
        for (size_t at = 0; at + kTsPacketSize <= kDataMessageSize; at += kTsPacketSize) {
            SimPayload p;
            if (!ParseSimPayload(buffer.data() + at, p)) continue;
            if (next != UINT64_MAX) {
                while (next % kSimPsiInterval < 2) ++next;  // the table packets have no number
                if (p.sequence > next) lost += p.sequence - next;
            }
            next = p.sequence + 1;
        }
        return lost;
    }
    bool Carries(uint32_t channel) const
    {
        for (size_t at = 0; at < kDataMessageSize; at += kTsPacketSize) {
            SimPayload p;
            if (ParseSimPayload(buffer.data() + at, p, true)) return p.channel == channel;
        }
        return false;
    }
};
