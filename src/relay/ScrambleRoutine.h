// The scrambling routine's steps over a generator state the caller keeps:
// plain code without a runtime, for the host's ScrambleBytes and for the
// client plug-in, which checks the challenge's answer with it.
#pragma once
#include <stddef.h>
#include <stdint.h>

constexpr uint32_t ScrambleStep(uint32_t s)
{
    return s * 1103515245u + 12345u;
}

// Scrambles n bytes (1..92) of src into dst; usedBits holds at least n bytes.
// The state is left advanced.
inline void ScrambleRun(uint32_t& state, uint8_t* dst, const uint8_t* src, size_t n, uint8_t* usedBits)
{
    const uint32_t bits = static_cast<uint32_t>(n * 8);
    for (size_t i = 0; i < n; ++i) usedBits[i] = 0;
    for (size_t j = 0; j < n; ++j) {
        state = ScrambleStep(state);
        const uint8_t mask = static_cast<uint8_t>(state);
        uint8_t acc = 0;
        for (int placed = 0; placed < 8;) {
            state = ScrambleStep(state);
            const uint32_t b = (state & 0x7FFFFFFFu) % bits;
            const uint8_t bitMask = static_cast<uint8_t>(1u << (b % 8));
            if (usedBits[b / 8] & bitMask) continue;
            usedBits[b / 8] |= bitMask;
            acc = static_cast<uint8_t>((acc << 1) | ((src[b / 8] & bitMask) ? 1 : 0));
            ++placed;
        }
        dst[j] = static_cast<uint8_t>(acc ^ mask);
    }
}
