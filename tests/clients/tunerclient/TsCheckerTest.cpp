#include "TsChecker.h"
#include "SimStream.h"

#include <gtest/gtest.h>

#include <vector>

TEST(TsChecker, CountsSyncLossesAndCounterBreaksAcrossAnySplit)
{
    CSimStream sim;
    std::vector<uint8_t> ts(200 * kTsPacketSize);
    for (size_t i = 0; i < 200; ++i) sim.NextPacket(&ts[i * kTsPacketSize]);

    CTsChecker clean;
    for (size_t at = 0, step = 1; at < ts.size(); at += step, step = step * 7 % 401 + 1)
        clean.Feed(&ts[at], std::min(step, ts.size() - at));
    EXPECT_EQ(clean.packets, 200u);
    EXPECT_EQ(clean.syncLosses, 0u);
    EXPECT_EQ(clean.ccErrors, 0u);

    // A packet lost and three stray bytes: one counter break, one sync loss.
    std::vector<uint8_t> bad(ts.begin(), ts.begin() + 10 * kTsPacketSize);
    bad.insert(bad.end(), ts.begin() + 11 * kTsPacketSize, ts.begin() + 20 * kTsPacketSize);
    bad.insert(bad.end(), {1, 2, 3});
    bad.insert(bad.end(), ts.begin() + 20 * kTsPacketSize, ts.begin() + 30 * kTsPacketSize);
    CTsChecker checker;
    checker.Feed(bad.data(), bad.size());
    EXPECT_EQ(checker.packets, 29u);
    EXPECT_EQ(checker.ccErrors, 1u);
    EXPECT_EQ(checker.syncLosses, 1u);
}
