// Counts what a receiver can see wrong in a transport stream cut anywhere:
// lost packet sync and continuity-counter breaks.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>

class CTsChecker {
public:
    // Feed the stream in pieces of any size.
    void Feed(const uint8_t* data, size_t size);

    uint64_t packets = 0;
    uint64_t syncLosses = 0;  // times the stream had to be searched for sync again
    uint64_t ccErrors = 0;    // payload packets whose counter did not follow on

private:
    void Packet(const uint8_t* p);

    std::array<uint8_t, 188> partial_{};
    size_t partialSize_ = 0;
    bool inSync_ = true;
    std::array<int8_t, 8192> lastCc_ = MakeUnknown();
    static std::array<int8_t, 8192> MakeUnknown()
    {
        std::array<int8_t, 8192> a{};
        a.fill(-1);
        return a;
    }
};
