#include "SimStream.h"
#include "TsChecker.h"
#include "testing/sim/TsSections.h"

#include <gtest/gtest.h>

#include <set>

// Two seconds of a channel: the numbered payload in every slot but the
// tables', whole sections there, and no counter broken on any PID.
TEST(SimStream, PacketsCarryChannelSequenceAndValidTables)
{
    CSimStream s;
    s.SetChannel(2, 7, SimBand::Vhf);
    CTestSections tables({0x00, 0x10, 0x11, 0x12, 0x14, 0x01F0, 0x1FC8});
    CTsChecker checker;
    std::set<uint16_t> pids;
    uint8_t p[kTsPacketSize];
    for (uint64_t i = 0; i < 2 * CSimClock::kDefaultPacketsPerSecond; ++i) {
        s.NextPacket(p);
        ASSERT_EQ(p[0], 0x47);
        checker.Feed(p, kTsPacketSize);
        SimPayload payload;
        ASSERT_EQ(ParseSimPayload(p, payload), !SimIsTableSlot(i)) << "packet " << i;
        if (SimIsTableSlot(i)) {
            tables.Packet(p);
            continue;
        }
        pids.insert(static_cast<uint16_t>((p[1] & 0x1F) << 8 | p[2]));
        EXPECT_EQ(payload.space, 2u);
        EXPECT_EQ(payload.channel, 7u);
        ASSERT_EQ(payload.sequence, i);
    }
    EXPECT_EQ(checker.ccErrors, 0u);
    EXPECT_EQ(tables.crcErrors + tables.pointerErrors, 0u);
    std::set<uint8_t> tableIds;
    for (const TestSection& section : tables.sections) tableIds.insert(section.TableId());
    EXPECT_EQ(tableIds, (std::set<uint8_t>{0x00, 0x02, 0x40, 0x42, 0x4E, 0x50, 0x73}));
    EXPECT_EQ(pids, (std::set<uint16_t>{0x0100, 0x0110, 0x0120, 0x0130}));  // a station and its one-segment service
    // A damaged byte is noticed.
    s.NextPacket(p);
    s.NextPacket(p);
    SimPayload payload;
    ASSERT_TRUE(ParseSimPayload(p, payload));
    p[100] ^= 1;
    EXPECT_FALSE(ParseSimPayload(p, payload));
}
