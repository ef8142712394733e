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
    uint32_t state = g_scrambleState;
    ScrambleRun(state, dst, src, n, g_usedBits);
    g_scrambleState = state;
}

void ScrambleWithSeed(uint32_t seed, uint8_t* dst, const uint8_t* src, size_t n)
{
    AcquireSRWLockExclusive(&g_scrambleLock);
    g_scrambleState = seed;
    ScrambleBytes(dst, src, n);
    ReleaseSRWLockExclusive(&g_scrambleLock);
}
