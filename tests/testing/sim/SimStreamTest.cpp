#include "SimStream.h"

#include <gtest/gtest.h>

TEST(SimStream, PacketsCarryChannelSequenceAndValidTables)
{
    CSimStream s;
    s.SetChannel(2, 7);
    uint8_t p[kTsPacketSize];
    int payloads = 0;
    int lastCc = -1;
    for (uint64_t i = 0; i < 200; ++i) {
        s.NextPacket(p);
        ASSERT_EQ(p[0], 0x47);
        const uint16_t pid = static_cast<uint16_t>(((p[1] & 0x1F) << 8) | p[2]);
        SimPayload payload;
        if (pid == kSimPayloadPid) {
            ASSERT_TRUE(ParseSimPayload(p, payload));
            EXPECT_EQ(payload.space, 2u);
            EXPECT_EQ(payload.channel, 7u);
            EXPECT_EQ(payload.sequence, i);
            const int cc = p[3] & 0x0F;
            if (lastCc >= 0) {
                EXPECT_EQ(cc, (lastCc + 1) & 0x0F);
            }
            lastCc = cc;
            ++payloads;
        } else {
            ASSERT_TRUE(pid == 0 || pid == kSimPmtPid) << pid;
            EXPECT_EQ(i % kSimPsiInterval, pid == 0 ? 0u : 1u);
            // A section's CRC over its whole length, CRC included, is 0.
            const size_t length = 3 + (((p[6] & 0x0F) << 8) | p[7]);
            EXPECT_EQ(Crc32Mpeg(p + 5, length), 0u);
            EXPECT_FALSE(ParseSimPayload(p, payload));
        }
    }
    EXPECT_GT(payloads, 190);
    // A damaged byte is noticed.
    s.NextPacket(p);
    s.NextPacket(p);
    SimPayload payload;
    p[100] ^= 1;
    EXPECT_FALSE(ParseSimPayload(p, payload));
}
