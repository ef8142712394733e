// PAT and PMT.
#include "Pat.h"
#include "Pmt.h"
#include "SectionBuilder.h"

#include <gtest/gtest.h>

using namespace tstables;

namespace {

Bytes Ca(uint16_t system, uint16_t pid)
{
    return Desc(0x09, {static_cast<uint8_t>(system >> 8), static_cast<uint8_t>(system),
                       static_cast<uint8_t>(0xE0 | pid >> 8), static_cast<uint8_t>(pid)});
}

}  // namespace

TEST(TsPsi, PatListsProgramsAndTheNitPid)
{
    const Bytes b = CSectionBuilder::Long(0x00, 0x7FE0, 5)
                        .U16(0x0000).U16(0xE010)   // NIT
                        .U16(0x0400).U16(0xE1F0)   // service 1024 -> PMT 0x1F0
                        .U16(0x0408).U16(0xFFF1)   // reserved bits set: PID 0x1FF1
                        .Build();
    Pat pat;
    ASSERT_TRUE(ParsePat(Parsed(b), pat));
    EXPECT_EQ(pat.transportStreamId, 0x7FE0);
    EXPECT_EQ(pat.version, 5);
    EXPECT_EQ(pat.nitPid, 0x0010);
    ASSERT_EQ(pat.programs.size(), 2u);
    EXPECT_EQ(pat.programs[0].programNumber, 0x0400);
    EXPECT_EQ(pat.programs[0].pmtPid, 0x01F0);
    EXPECT_EQ(pat.programs[1].pmtPid, 0x1FF1);

    // A loop that ends inside an entry, or another table.
    EXPECT_FALSE(ParsePat(Parsed(CSectionBuilder::Long(0x00, 1).U16(0x0400).U16(0xE1F0).U16(0x0401).Build()), pat));
    EXPECT_FALSE(ParsePat(Parsed(CSectionBuilder::Long(0x02, 1).U16(0x0400).U16(0xE1F0).Build()), pat));
    EXPECT_EQ(pat.transportStreamId, 0x7FE0);  // left as it was
}

TEST(TsPsi, PmtKeepsStreamsDescriptorsAndEcmPids)
{
    const Bytes b = CSectionBuilder::Long(0x02, 0x0400, 2)
                        .U16(0xE111)                        // PCR PID
                        .Loop(Cat({Ca(0x0005, 0x0901), Desc(0xC1, {0x84})}))
                        .U8(0x02).U16(0xE111).Loop(Desc(0x52, {0x00}))            // MPEG-2 video
                        .U8(0x0F).U16(0xE112).Loop(Cat({Desc(0x52, {0x10}), Ca(0x0005, 0x0902)}))  // AAC
                        .U8(0x06).U16(0xE130).Loop({})                            // captions
                        .Build();
    Pmt pmt;
    ASSERT_TRUE(ParsePmt(Parsed(b), pmt));
    EXPECT_EQ(pmt.programNumber, 0x0400);
    EXPECT_EQ(pmt.version, 2);
    EXPECT_EQ(pmt.pcrPid, 0x0111);
    ASSERT_EQ(pmt.descriptors.size(), 2u);
    EXPECT_EQ(pmt.descriptors[1].tag, 0xC1);
    ASSERT_EQ(pmt.streams.size(), 3u);
    EXPECT_EQ(pmt.streams[1].streamType, 0x0F);
    EXPECT_EQ(pmt.streams[1].pid, 0x0112);
    ASSERT_EQ(pmt.streams[1].descriptors.size(), 2u);
    EXPECT_EQ(pmt.streams[1].descriptors[0].data, Bytes{0x10});
    EXPECT_EQ(pmt.EcmPids(), (std::vector<uint16_t>{0x0901, 0x0902}));
    EXPECT_EQ(pmt.Pids(), (std::vector<uint16_t>{0x0111, 0x0112, 0x0130, 0x0901, 0x0902}));
}

TEST(TsPsi, PmtWhoseLoopsLieIsRefused)
{
    Pmt pmt;
    // A stream's descriptor loop longer than what is left of the section.
    auto lying = CSectionBuilder::Long(0x02, 1).U16(0xE111).Loop({}).U8(0x02).U16(0xE111).U16(0xF010).U8(0x52).U8(1).U8(0);
    EXPECT_FALSE(ParsePmt(Parsed(lying.Build()), pmt));
    // A descriptor longer than its loop.
    auto past = CSectionBuilder::Long(0x02, 1).U16(0xE111).Loop({0x09, 0x08, 0, 5, 0xE9, 1}).U8(0x02).U16(0xE111).Loop({});
    EXPECT_FALSE(ParsePmt(Parsed(past.Build()), pmt));
    // A stream entry cut short.
    EXPECT_FALSE(ParsePmt(Parsed(CSectionBuilder::Long(0x02, 1).U16(0xE111).Loop({}).U8(0x02).U16(0xE111).Build()), pmt));
    EXPECT_EQ(pmt.streams.size(), 0u);
}
