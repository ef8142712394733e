// Section reassembly, CRC and version tracking.
#include "Crc32.h"
#include "SectionBuilder.h"
#include "SectionDemux.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace tstables;

namespace {

// A long section of `size` bytes in all, its body counting up.
Bytes Filler(size_t size, uint8_t tableId = 0x42, uint8_t version = 0, uint8_t number = 0)
{
    auto b = CSectionBuilder::Long(tableId, 1, version, number, 1);
    for (size_t i = 0; i < size - 12; ++i) b.U8(static_cast<uint8_t>(i * 7 + size));
    return b.Build();
}

std::vector<Bytes> Assemble(const Bytes& ts, CSectionAssembler& a)
{
    std::vector<Bytes> out;
    for (size_t at = 0; at + 188 <= ts.size(); at += 188)
        a.Packet(&ts[at], [&](const CSection& s) { out.emplace_back(s.bytes().begin(), s.bytes().end()); });
    return out;
}

std::vector<Bytes> Assemble(const Bytes& ts)
{
    CSectionAssembler a;
    return Assemble(ts, a);
}

}  // namespace

TEST(TsSections, CrcIsMpeg2sAndAWholeSectionChecksToZero)
{
    const char* check = "123456789";
    EXPECT_EQ(Crc32Mpeg(reinterpret_cast<const uint8_t*>(check), 9), 0x0376E6E7u);
    const Bytes s = Filler(40);
    EXPECT_EQ(Crc32Mpeg(s.data(), s.size()), 0u);
}

TEST(TsSections, SectionFramingThatLiesIsRefused)
{
    Bytes s = Filler(40);
    EXPECT_TRUE(CSection::FromBytes(s));
    Bytes longer = s;
    longer.push_back(0xFF);  // trailing bytes are not the section's
    ASSERT_TRUE(CSection::FromBytes(longer));
    EXPECT_EQ(CSection::FromBytes(longer)->bytes().size(), 40u);
    Bytes cut(s.begin(), s.end() - 1);
    EXPECT_FALSE(CSection::FromBytes(cut));  // length past the buffer
    Bytes bad = s;
    bad[20] ^= 1;
    EXPECT_FALSE(CSection::FromBytes(bad));  // CRC
    const Bytes tooShort = {0x42, 0xB0, 0x05, 0, 1, 0xC1, 0, 0};
    EXPECT_FALSE(CSection::FromBytes(tooShort));  // long form without room for its CRC
    const auto tdt = CSection::FromBytes(CSectionBuilder::Short(0x70, false).Add(JstTime(2024, 1, 1, 0, 0, 0)).Build());
    ASSERT_TRUE(tdt);
    EXPECT_FALSE(tdt->hasCrc());
    EXPECT_EQ(tdt->payload().size(), 5u);
}

TEST(TsSections, SpanningPackedAndSplitHeaderSectionsComeOutWhole)
{
    // 600 bytes over four packets; three sections in one packet; a section
    // whose header starts in the last byte of a packet (182 + its 1).
    const std::vector<Bytes> sections = {Filler(600), Filler(20), Filler(30), Filler(40), Filler(182), Filler(50),
                                         Filler(4096)};
    uint8_t cc = 0;
    const Bytes ts = Packetize(0x11, sections, cc);
    EXPECT_EQ(Assemble(ts), sections);
}

TEST(TsSections, LossDropsOnlyTheSectionItCut)
{
    const std::vector<Bytes> sections = {Filler(600), Filler(20), Filler(500)};
    uint8_t cc = 0;
    const Bytes ts = Packetize(0x11, sections, cc);
    // Packet 1 is inside the first section: without it, a counter break.
    Bytes lost(ts.begin(), ts.begin() + 188);
    lost.insert(lost.end(), ts.begin() + 2 * 188, ts.end());
    CSectionAssembler a;
    EXPECT_EQ(Assemble(lost, a), (std::vector<Bytes>{sections[1], sections[2]}));
    EXPECT_EQ(a.dropped(), 1u);

    // A packet sent twice (same counter) is taken once.
    Bytes twice(ts.begin(), ts.begin() + 2 * 188);
    twice.insert(twice.end(), ts.begin() + 188, ts.end());
    EXPECT_EQ(Assemble(twice), sections);

    // The transport error flag on a packet inside the first section.
    Bytes damaged = ts;
    damaged[188 + 1] |= 0x80;
    EXPECT_EQ(Assemble(damaged), (std::vector<Bytes>{sections[1], sections[2]}));

    // A section without a CRC has only the counter to tell it was cut: its
    // end and the next one's start are lost, and what follows would
    // otherwise complete it.
    auto noCrc = CSectionBuilder::Short(0x7E, false);
    for (int i = 0; i < 247; ++i) noCrc.U8(static_cast<uint8_t>(i));
    const Bytes pair = Packetize(0x11, {noCrc.Build(), Filler(600)}, cc);
    Bytes cut(pair.begin(), pair.begin() + 188);
    cut.insert(cut.end(), pair.begin() + 2 * 188, pair.end());
    EXPECT_TRUE(Assemble(cut).empty());
}

TEST(TsSections, LyingPacketsAndSectionsAreDroppedNeverReadPast)
{
    const Bytes good = Filler(30);
    uint8_t cc = 0;
    // Pointer field past the packet.
    Bytes ts = Packetize(0x11, {good}, cc);
    ts[4] = 200;
    // Adaptation field past the packet.
    Bytes adapt = Packetize(0x11, {good}, cc);
    adapt[3] |= 0x20;
    adapt[4] = 190;
    // Section length past the largest section (0xFFF + 3 bytes).
    Bytes huge = Packetize(0x11, {good}, cc);
    huge[5 + 1] = 0xBF;
    huge[5 + 2] = 0xFF;
    // Bad CRC.
    Bytes badCrc = Packetize(0x11, {good}, cc);
    badCrc[5 + 20] ^= 0x55;
    const Bytes after = Packetize(0x11, {good}, cc);
    // Last, so that a read past it leaves the buffer: an adaptation field
    // that fills the packet, with a section start flag but no room for the
    // pointer.
    Bytes full = Packetize(0x11, {good}, cc);
    full[3] |= 0x20;
    full[4] = 183;
    const Bytes all = Cat({ts, adapt, huge, badCrc, after, full});
    CSectionAssembler a;
    EXPECT_EQ(Assemble(all, a), std::vector<Bytes>{good});
    EXPECT_EQ(a.dropped(), 2u);  // the two that had begun: huge and bad CRC
}

TEST(TsSections, StuffingEndsTheSectionsOfAPacket)
{
    uint8_t cc = 0;
    Bytes ts = Packetize(0x11, {Filler(30)}, cc);
    // After the stuffing byte, bytes that would look like a section are not
    // one, nor is the stuffing the start of a section that the next packet
    // would be taken to cut.
    const Bytes ghost = Filler(30);
    std::memcpy(&ts[5 + 30 + 1], ghost.data(), ghost.size());
    const Bytes next = Packetize(0x11, {Filler(40)}, cc);
    CSectionAssembler a;
    EXPECT_EQ(Assemble(Cat({ts, next}), a), (std::vector<Bytes>{Filler(30), Filler(40)}));
    EXPECT_EQ(a.dropped(), 0u);
}

TEST(TsSections, DemuxResyncsFiltersPidsAndReportsEachVersionOnce)
{
    uint8_t cc0 = 0, cc1 = 0, cc2 = 0;
    const Bytes v0 = Filler(300, 0x42, 0, 0), v0b = Filler(200, 0x42, 0, 1), v1 = Filler(300, 0x42, 1, 0);
    const Bytes stream = Cat({Packetize(0x11, {v0, v0b}, cc0), Packetize(0x12, {Filler(50)}, cc1), {1, 2, 3},
                              Packetize(0x11, {v0, v0b}, cc0), Packetize(0x11, {v1}, cc0),
                              Packetize(0x14, {Filler(20)}, cc2)});
    std::vector<std::pair<uint16_t, Bytes>> seen;
    CSectionDemux demux([&](uint16_t pid, const CSection& s) {
        seen.emplace_back(pid, Bytes(s.bytes().begin(), s.bytes().end()));
        if (pid == 0x11) demux.AddPid(0x14);  // a table naming another PID
    });
    demux.AddPid(0x11);
    for (size_t at = 0, step = 1; at < stream.size(); at += step, step = step * 5 % 251 + 1)
        demux.Feed(&stream[at], std::min(step, stream.size() - at));
    const std::vector<std::pair<uint16_t, Bytes>> expected = {{0x11, v0}, {0x11, v0b}, {0x11, v1}, {0x14, Filler(20)}};
    EXPECT_EQ(seen, expected);
    EXPECT_FALSE(demux.versions().Complete(0x11, 0x42, 1));  // version 1's section 1 not yet seen

    // Removing its own PID from inside the handler is safe.
    CSectionDemux self([&](uint16_t pid, const CSection&) { self.RemovePid(pid); });
    self.AddPid(0x11);
    self.Feed(stream.data(), stream.size());
    EXPECT_FALSE(self.HasPid(0x11));
}

TEST(TsSections, VersionsTrackContentAndCompleteness)
{
    CSectionVersions versions;
    const auto s0 = Parsed(Filler(40, 0x42, 3, 0));
    const auto s1 = Parsed(Filler(41, 0x42, 3, 1));
    const auto changed = Parsed(Filler(42, 0x42, 3, 0));  // same version, other content
    const auto next = Parsed(Filler(40, 0x42, 4, 0));
    EXPECT_TRUE(versions.IsNew(0x11, s0));
    EXPECT_FALSE(versions.IsNew(0x11, s0));
    EXPECT_TRUE(versions.IsNew(0x12, s0));  // another PID's table
    EXPECT_FALSE(versions.Complete(0x11, 0x42, 1));
    EXPECT_TRUE(versions.IsNew(0x11, s1));
    EXPECT_TRUE(versions.Complete(0x11, 0x42, 1));
    EXPECT_TRUE(versions.IsNew(0x11, changed));
    EXPECT_TRUE(versions.IsNew(0x11, next));
    EXPECT_FALSE(versions.Complete(0x11, 0x42, 1));  // version 4 has only section 0
    EXPECT_TRUE(versions.IsNew(0x11, s0));           // going back is a change too
}
