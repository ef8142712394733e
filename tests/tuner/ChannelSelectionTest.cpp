#include "tuner/ChannelSelection.h"

#include <gtest/gtest.h>

namespace {

CDriverInfo Settings(int spaces = 3)
{
    CDriverInfo s;
    s.spaces.resize(static_cast<size_t>(spaces));
    return s;  // UHF 0, CATV 1, VHF 2, BS 0, CS 1
}

struct FrequencyCase {
    uint32_t kHz;
    int32_t space;  // -1: not served
    uint32_t channel;
};

}  // namespace

TEST(ChannelSelection, FrequenciesMapOverEveryRangeAndBoundary)
{
    const FrequencyCase cases[] = {
        {0, -1, 0},         {92999, -1, 0},     {93000, 2, 0},      {105999, 2, 2},     {106000, -1, 0},
        {110999, -1, 0},    {111000, 1, 0},     {159999, 1, 8},     {160000, -1, 0},    {166999, -1, 0},
        {167000, 1, 9},     {167999, 1, 9},     {168000, -1, 0},    {172999, -1, 0},    {173000, 2, 4},
        {191999, 2, 7},     {192000, -1, 0},    {195000, 2, 8},     {219999, 2, 12},    {220000, -1, 0},
        {225000, 1, 10},    {297999, 1, 22},    {298000, -1, 0},    {303000, 1, 23},    {465999, 1, 50},
        {466000, -1, 0},    {472999, -1, 0},    {473000, 0, 0},     {521143, 0, 8},     {767000, 0, 49},
        {767999, 0, 49},    {768000, -1, 0},    {4294967295u, -1, 0}, {4294000000u, -1, 0},
    };
    const CDriverInfo s = Settings();
    for (const FrequencyCase& c : cases) {
        const CSelection sel = DecideChannel(c.kHz, true, s);
        if (c.space < 0) {
            EXPECT_EQ(sel.outcome, SelectOutcome::NotServed) << c.kHz;
        } else {
            ASSERT_EQ(sel.outcome, SelectOutcome::Tune) << c.kHz;
            EXPECT_EQ(sel.target.space, c.space) << c.kHz;
            EXPECT_EQ(sel.target.channel, c.channel) << c.kHz;
        }
    }
    // Every index a band's lowest frequency gives maps back to it; VHF 3 has none.
    for (auto band : {TerrestrialBand::UHF, TerrestrialBand::CATV, TerrestrialBand::VHF}) {
        for (uint32_t i = 0; i < 51; ++i) {
            const uint32_t mhz = FrequencyOfChannel(band, i);
            if (!mhz) continue;
            const auto back = MapFrequencyToChannel(mhz);
            ASSERT_TRUE(back);
            EXPECT_EQ(back->band, band);
            EXPECT_EQ(back->channel, i);
        }
    }
    EXPECT_EQ(FrequencyOfChannel(TerrestrialBand::VHF, 3), 0u);
    EXPECT_EQ(FrequencyOfChannel(TerrestrialBand::UHF, 50), 0u);
}

TEST(ChannelSelection, EveryTableRowWithAndWithoutTheCsMask)
{
    const CDriverInfo s = Settings(2);
    for (const CTsidRow& row : SatelliteTsidTable) {
        const int32_t space = row.band == kBandBS ? 0 : 1;
        CSelection sel = DecideChannel(row.tsid, false, s);
        ASSERT_EQ(sel.outcome, SelectOutcome::Tune) << std::hex << row.tsid;
        EXPECT_EQ(sel.target.space, space);
        EXPECT_EQ(sel.target.channel, row.channel);
        if (row.band == kBandCS) {
            // CS ignores bits 0-3 and everything above bit 15.
            sel = DecideChannel(row.tsid | 0xF000000Fu, false, s);
            ASSERT_EQ(sel.outcome, SelectOutcome::Tune) << std::hex << row.tsid;
            EXPECT_EQ(sel.target.space, 1);
            EXPECT_EQ(sel.target.channel, row.channel);
        } else {
            // BS takes the value as it is. With bits above 15 set it is taken
            // as CS, and the mask must not make a CS tune of a BS row.
            EXPECT_EQ(DecideChannel(row.tsid | 0x8, false, s).outcome, SelectOutcome::UnknownTsid);
            EXPECT_EQ(DecideChannel(row.tsid | 0x10000, false, s).outcome, SelectOutcome::UnknownTsid)
                << std::hex << row.tsid;
        }
    }
    EXPECT_EQ(DecideChannel(0x4012, false, s).outcome, SelectOutcome::UnknownTsid);
    EXPECT_EQ(DecideChannel(0x5FFF, false, s).outcome, SelectOutcome::UnknownTsid);
    EXPECT_EQ(DecideChannel(0x6000, false, s).outcome, SelectOutcome::UnknownTsid);
    EXPECT_EQ(DecideChannel(0x6021, false, s).target.channel, 0u);
    EXPECT_EQ(DecideChannel(0x12346020, false, s).target.channel, 0u);
    EXPECT_EQ(DecideChannel(0xFFFFFFFF, false, s).outcome, SelectOutcome::UnknownTsid);
}

TEST(ChannelSelection, UnservedBandsAndTheFixedChannel)
{
    CDriverInfo s = Settings(3);
    // A band set to none: -1 from the file, the number of spaces from the sheet.
    for (int32_t none : {-1, 3, 1000}) {
        s.TuningSpaceUHF = none;
        EXPECT_EQ(DecideChannel(521143, true, s).outcome, SelectOutcome::NotServed) << none;
        s.TuningSpaceBS = none;
        EXPECT_EQ(DecideChannel(0x4010, false, s).outcome, SelectOutcome::NotServed) << none;
    }
    s.FixChannel = 1;
    s.FixedTuningSpace = 2;
    s.FixedChannel = 7;
    CSelection sel = DecideChannel(113000, true, s);  // CATV 0: overridden
    ASSERT_EQ(sel.outcome, SelectOutcome::Tune);
    EXPECT_EQ(sel.target.space, 2);
    EXPECT_EQ(sel.target.channel, 7u);
    EXPECT_EQ(DecideChannel(521143, true, s).outcome, SelectOutcome::NotServed);  // its band is still not served
    EXPECT_EQ(DecideChannel(50000, true, s).outcome, SelectOutcome::NotServed);   // maps nowhere
    EXPECT_EQ(DecideChannel(0x4013, false, s).outcome, SelectOutcome::UnknownTsid);
    s.FixedTuningSpace = 3;  // a fixed space the plug-in does not have
    EXPECT_EQ(DecideChannel(113000, true, s).outcome, SelectOutcome::NotServed);
}
