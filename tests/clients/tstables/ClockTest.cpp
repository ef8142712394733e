// TDT and TOT, and ARIB's JST times and BCD durations.
#include "SectionBuilder.h"
#include "TimeTable.h"

#include <gtest/gtest.h>

using namespace tstables;

namespace {

constexpr int64_t k20240101Noon = 1704110400;  // 2024-01-01 12:00:00 UTC

}  // namespace

TEST(TsClock, JstTimesAreCarriedAsUtcWithTheirOffset)
{
    // 21:00 JST is 12:00 UTC; early morning JST falls on the day before in UTC.
    EXPECT_EQ(JstMjdBcdToUtc(JstTime(2024, 1, 1, 21, 0, 0).data()), k20240101Noon);
    EXPECT_EQ(JstMjdBcdToUtc(JstTime(2024, 1, 2, 5, 30, 15).data()), k20240101Noon + 8 * 3600 + 30 * 60 + 15);
    EXPECT_EQ(JstMjdBcdToUtc(JstTime(2024, 3, 1, 0, 0, 0).data()), 1709218800);  // after 29 February
    const uint8_t undefined[5] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_FALSE(JstMjdBcdToUtc(undefined));
    const uint8_t badHour[5] = {0xE4, 0xD6, 0x24, 0x00, 0x00};
    EXPECT_FALSE(JstMjdBcdToUtc(badHour));
    const uint8_t notBcd[5] = {0xE4, 0xD6, 0x1A, 0x00, 0x00};
    EXPECT_FALSE(JstMjdBcdToUtc(notBcd));

    EXPECT_EQ(BcdDurationSeconds(BcdDuration(1, 30, 0).data()), 5400u);
    EXPECT_EQ(BcdDurationSeconds(BcdDuration(26, 0, 5).data()), 93605u);
    const uint8_t undefinedDuration[3] = {0xFF, 0xFF, 0xFF};
    EXPECT_FALSE(BcdDurationSeconds(undefinedDuration));
}

TEST(TsClock, TdtAndTotGiveTheBroadcastClock)
{
    BroadcastTime t;
    const CSection tdt = Parsed(CSectionBuilder::Short(0x70, false).Add(JstTime(2024, 1, 1, 21, 0, 0)).Build());
    ASSERT_TRUE(ParseTimeTable(tdt, t));
    EXPECT_EQ(t.utc, k20240101Noon);
    EXPECT_EQ(t.utcOffset, 9 * 3600);
    EXPECT_FALSE(t.fromTot);

    // TOT: time, a local time offset descriptor, and a CRC.
    const Bytes offset = Desc(0x58, {'J', 'P', 'N', 0x02, 0x00, 0x00, 0xE4, 0xD6, 0, 0, 0, 0x00, 0x00});
    const Bytes tot = CSectionBuilder::Short(0x73, true).Add(JstTime(2024, 1, 1, 21, 0, 1)).Loop(offset).Build();
    ASSERT_TRUE(ParseTimeTable(Parsed(tot), t));
    EXPECT_EQ(t.utc, k20240101Noon + 1);
    EXPECT_TRUE(t.fromTot);
    ASSERT_EQ(t.descriptors.size(), 1u);
    EXPECT_EQ(t.descriptors[0].tag, 0x58);

    Bytes badCrc = tot;
    badCrc[4] ^= 1;
    EXPECT_FALSE(CSection::FromBytes(badCrc));
    // A descriptor loop past the section, a time that is none, a TDT cut short.
    const Bytes past = CSectionBuilder::Short(0x73, true).Add(JstTime(2024, 1, 1, 21, 0, 1)).U16(0xF008).Add({0x58, 0}).Build();
    EXPECT_FALSE(ParseTimeTable(Parsed(past), t));
    const Bytes undefined = CSectionBuilder::Short(0x70, false).Add({0xFF, 0xFF, 0xFF, 0xFF, 0xFF}).Build();
    EXPECT_FALSE(ParseTimeTable(Parsed(undefined), t));
    const Bytes cut = CSectionBuilder::Short(0x70, false).Add({0xE4, 0xD6, 0x21}).Build();
    EXPECT_FALSE(ParseTimeTable(Parsed(cut), t));
    EXPECT_EQ(t.utc, k20240101Noon + 1);
}
