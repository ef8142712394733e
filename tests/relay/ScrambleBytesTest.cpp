#include "relay/PipeNames.h"
#include "relay/ScrambleBytes.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

namespace {
std::vector<uint8_t> Scrambled(uint32_t state, std::vector<uint8_t> src)
{
    std::vector<uint8_t> dst(src.size(), 0xEE);
    g_scrambleState = state;
    ScrambleBytes(dst.data(), src.data(), src.size());
    return dst;
}
}  // namespace

// Vectors worked out by hand (and by an independent script) from the generator.
TEST(Scramble, HandWorkedVectors)
{
    // Length 1 from state 0: the first step gives 12345, mask 0x39.
    EXPECT_EQ(Scrambled(0, {0x00}), std::vector<uint8_t>({0x39}));
    EXPECT_EQ(g_scrambleState, 0xAF5AAD71u);
    EXPECT_EQ(Scrambled(0, {0xA5}), std::vector<uint8_t>({0x63}));
    EXPECT_EQ(g_scrambleState, 0xAF5AAD71u);
    EXPECT_EQ(Scrambled(12345, {0xFF, 0x00, 0x0F}), std::vector<uint8_t>({0x0A, 0xC9, 0xC8}));
    EXPECT_EQ(g_scrambleState, 0x2B1219D3u);
    // The challenge under the shared key.
    EXPECT_EQ(Scrambled(kChallengeKey, {1, 2, 3, 4}), std::vector<uint8_t>({0xB0, 0x8F, 0x44, 0xA5}));
    EXPECT_EQ(g_scrambleState, 0xDF5DA195u);
    // An all-zero source gives each byte's mask alone.
    EXPECT_EQ(Scrambled(kChallengeKey, {0, 0, 0, 0}), std::vector<uint8_t>({0xB6, 0xAF, 0x54, 0xB5}));
}

TEST(Scramble, PermutesBitsAndContinuesTheSequence)
{
    // Each source bit lands in exactly one destination bit: with a zero source
    // as reference, a single set bit flips exactly one output bit.
    const std::vector<uint8_t> zero(90, 0);
    const std::vector<uint8_t> base = Scrambled(77, zero);
    for (size_t bit = 0; bit < 720; bit += 37) {
        std::vector<uint8_t> src(90, 0);
        src[bit / 8] = static_cast<uint8_t>(1u << (bit % 8));
        const std::vector<uint8_t> out = Scrambled(77, src);
        int flipped = 0;
        for (size_t i = 0; i < 90; ++i) flipped += __builtin_popcount(out[i] ^ base[i]);
        EXPECT_EQ(flipped, 1) << "bit " << bit;
    }
    // Consecutive calls continue the generator; resetting repeats.
    const std::vector<uint8_t> src = {9, 8, 7, 6};
    const std::vector<uint8_t> first = Scrambled(5, src);
    std::vector<uint8_t> second(4);
    ScrambleBytes(second.data(), src.data(), 4);
    EXPECT_NE(first, second);
    EXPECT_EQ(Scrambled(5, src), first);
    // Lengths outside 1..92 are refused without touching anything.
    uint8_t out[1] = {0xEE};
    g_scrambleState = 3;
    ScrambleBytes(out, out, 0);
    ScrambleBytes(out, src.data(), 93);
    EXPECT_EQ(out[0], 0xEE);
    EXPECT_EQ(g_scrambleState, 3u);
}

TEST(Scramble, CompileTimeStoreRoundTrips)
{
    constexpr std::array<uint8_t, 5> plain = {'h', 'e', 'l', 'l', 'o'};
    constexpr auto stored = scramble_detail::Unscramble<5>(0xDEADBEEF, plain);
    uint8_t out[5];
    ScrambleWithSeed(0xDEADBEEF, out, stored.data(), 5);
    EXPECT_EQ(0, std::memcmp(out, plain.data(), 5));
}

namespace {
struct ChallengeRun {
    uint8_t challenge[4];
    uint8_t expected[4];
    bool ok = true;
};
DWORD WINAPI ChallengeLoop(void* p)
{
    auto* run = static_cast<ChallengeRun*>(p);
    for (int i = 0; i < 20000 && run->ok; ++i) {
        uint8_t reply[4];
        ScrambleWithSeed(kChallengeKey, reply, run->challenge, 4);
        run->ok = std::memcmp(reply, run->expected, 4) == 0;
    }
    return 0;
}
}  // namespace

// Both control workers answer challenges: their calls must not interleave.
TEST(Scramble, ChallengesFromTwoThreadsDoNotInterleave)
{
    ChallengeRun a{{1, 2, 3, 4}, {0xB0, 0x8F, 0x44, 0xA5}};
    ChallengeRun b{{0, 0, 0, 0}, {0xB6, 0xAF, 0x54, 0xB5}};
    HANDLE ta = CreateThread(nullptr, 0, ChallengeLoop, &a, 0, nullptr);
    HANDLE tb = CreateThread(nullptr, 0, ChallengeLoop, &b, 0, nullptr);
    ASSERT_TRUE(ta && tb);
    WaitForSingleObject(ta, INFINITE);
    WaitForSingleObject(tb, INFINITE);
    CloseHandle(ta);
    CloseHandle(tb);
    EXPECT_TRUE(a.ok);
    EXPECT_TRUE(b.ok);
}

TEST(PipeNames, StoredNamesUnscrambleToTheClientsNames)
{
    const wchar_t* plain[4] = {kPlainPipeNameDataT, kPlainPipeNameControlT, kPlainPipeNameDataS,
                               kPlainPipeNameControlS};
    for (int i = 0; i < 4; ++i) {
        wchar_t name[kPipeNameUnits + 1];
        UnscramblePipeName(kStoredPipeNames[i], name);
        EXPECT_STREQ(name, plain[i]);
        // Stored form differs from the plain text.
        EXPECT_NE(0, std::memcmp(kStoredPipeNames[i].block.data(), plain[i], wcslen(plain[i]) * 2));
    }
}
