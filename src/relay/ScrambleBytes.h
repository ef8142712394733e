// Bit-permuting scrambler driven by a linear congruential generator. Turns the
// stored pipe names into their usable form and answers the client's challenge.
#pragma once
#include "relay/ScrambleRoutine.h"

#include <array>
#include <cstddef>
#include <cstdint>

constexpr size_t kScrambleMaxLength = 92;

// Process-wide generator state. Callers set it right before each call; the
// routine leaves the advanced state behind.
extern uint32_t g_scrambleState;

// Reads n bytes (1..92) from src, writes n bytes to dst (a distinct buffer).
// Lengths outside 1..92 leave dst untouched.
void ScrambleBytes(uint8_t* dst, const uint8_t* src, size_t n);

// Sets the state to seed and scrambles, as one step with respect to every other
// caller of this function (both control workers answer challenges).
void ScrambleWithSeed(uint32_t seed, uint8_t* dst, const uint8_t* src, size_t n);

namespace scramble_detail {

constexpr uint32_t Step(uint32_t s) { return ScrambleStep(s); }

// Which source bit lands in each destination bit, and each byte's mask. Both
// follow from the state alone, never from the data.
template <size_t N>
struct Plan {
    std::array<uint16_t, N * 8> sourceBit{};  // [j * 8 + k]: k = 0 is the byte's most significant bit
    std::array<uint8_t, N> mask{};
};

template <size_t N>
constexpr Plan<N> MakePlan(uint32_t state)
{
    static_assert(N >= 1 && N <= kScrambleMaxLength);
    Plan<N> plan;
    std::array<bool, N * 8> used{};
    for (size_t j = 0; j < N; ++j) {
        state = Step(state);
        plan.mask[j] = static_cast<uint8_t>(state);
        for (size_t k = 0; k < 8;) {
            state = Step(state);
            uint32_t b = (state & 0x7FFFFFFFu) % static_cast<uint32_t>(N * 8);
            if (used[b]) continue;
            used[b] = true;
            plan.sourceBit[j * 8 + k] = static_cast<uint16_t>(b);
            ++k;
        }
    }
    return plan;
}

// The stored form of plain: ScrambleBytes under seed turns the result into plain.
template <size_t N>
constexpr std::array<uint8_t, N> Unscramble(uint32_t seed, const std::array<uint8_t, N>& plain)
{
    Plan<N> plan = MakePlan<N>(seed);
    std::array<uint8_t, N> stored{};
    for (size_t j = 0; j < N; ++j) {
        for (size_t k = 0; k < 8; ++k) {
            int bitPos = 7 - static_cast<int>(k);
            int bit = ((plain[j] ^ plan.mask[j]) >> bitPos) & 1;
            uint16_t b = plan.sourceBit[j * 8 + k];
            if (bit) stored[b / 8] = static_cast<uint8_t>(stored[b / 8] | (1u << (b % 8)));
        }
    }
    return stored;
}

}  // namespace scramble_detail
