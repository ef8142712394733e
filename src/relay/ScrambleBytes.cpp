#include "relay/ScrambleBytes.h"

#include <windows.h>

uint32_t g_scrambleState = 0;

namespace {
uint8_t g_usedBits[kScrambleMaxLength];
SRWLOCK g_scrambleLock = SRWLOCK_INIT;
}  // namespace

void ScrambleBytes(uint8_t* dst, const uint8_t* src, size_t n)
{
    if (n == 0 || n > kScrambleMaxLength) return;
    const uint32_t bits = static_cast<uint32_t>(n * 8);
    for (size_t i = 0; i < n; ++i) g_usedBits[i] = 0;
    uint32_t state = g_scrambleState;
    for (size_t j = 0; j < n; ++j) {
        state = scramble_detail::Step(state);
        const uint8_t mask = static_cast<uint8_t>(state);
        uint8_t acc = 0;
        for (int placed = 0; placed < 8;) {
            state = scramble_detail::Step(state);
            const uint32_t b = (state & 0x7FFFFFFFu) % bits;
            const uint8_t bitMask = static_cast<uint8_t>(1u << (b % 8));
            if (g_usedBits[b / 8] & bitMask) continue;
            g_usedBits[b / 8] |= bitMask;
            acc = static_cast<uint8_t>((acc << 1) | ((src[b / 8] & bitMask) ? 1 : 0));
            ++placed;
        }
        dst[j] = static_cast<uint8_t>(acc ^ mask);
    }
    g_scrambleState = state;
}

void ScrambleWithSeed(uint32_t seed, uint8_t* dst, const uint8_t* src, size_t n)
{
    AcquireSRWLockExclusive(&g_scrambleLock);
    g_scrambleState = seed;
    ScrambleBytes(dst, src, n);
    ReleaseSRWLockExclusive(&g_scrambleLock);
}
