// What a viewer has been sent, per PID: its packets and its drops, as
// recorders count them for each recording (a payload packet whose
// continuity counter does not follow on, where no discontinuity is flagged;
// a packet sent twice is none). Fed on the viewer's connection thread, in
// pieces of any size that start at a packet; read from any thread.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>

struct CPidTally {
    uint64_t packets = 0, drops = 0;
};

class CStreamTally {
public:
    void Feed(const uint8_t* data, size_t size);
    std::map<uint16_t, CPidTally> Pids() const;
    uint64_t Drops() const;

private:
    void Packet(const uint8_t* p);

    mutable std::mutex mutex_;
    std::map<uint16_t, CPidTally> pids_;
    uint64_t drops_ = 0;
    std::array<int8_t, 8192> lastCc_ = Unknown();
    std::array<uint8_t, 188> partial_{};
    size_t partialSize_ = 0;

    static std::array<int8_t, 8192> Unknown()
    {
        std::array<int8_t, 8192> a{};
        a.fill(-1);
        return a;
    }
};
