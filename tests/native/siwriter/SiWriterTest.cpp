#include "AribDecode.h"
#include "AribText.h"
#include "SectionPacketizer.h"
#include "SiSection.h"
#include "SiTables.h"
#include "SimGuide.h"
#include "SimLineup.h"
#include "TsSections.h"

#include <gtest/gtest.h>

#include <random>
#include <set>

namespace {

// A section of exactly `size` bytes (12 at least), its body numbered by `tag`.
std::vector<uint8_t> SectionOf(size_t size, uint8_t tag)
{
    std::vector<uint8_t> s(size + 8);
    CSectionWriter w(s.data(), s.size());
    w.BeginLong(0x42, tag, 0, 0, 0);
    for (size_t i = 8; i + 4 < size; ++i) w.U8(tag + i);
    s.resize(w.Finish());
    return s;
}

}  // namespace

TEST(SiWriter, CrcAndTimesAsTheStandardsSay)
{
    const uint8_t check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(Crc32Mpeg(check, sizeof check), 0x0376E6E7u);
    // 12:10:05 UTC on 14 March 2025 is 21:10:05 in Japan, on MJD 60748.
    uint8_t jst[5];
    SiJstTime(1741954205, jst);
    EXPECT_EQ(std::vector<uint8_t>(jst, jst + 5), (std::vector<uint8_t>{0xED, 0x4C, 0x21, 0x10, 0x05}));
    SiJstTime(1741954205 + 3 * 3600, jst);  // past midnight there: the next day
    EXPECT_EQ(std::vector<uint8_t>(jst, jst + 5), (std::vector<uint8_t>{0xED, 0x4D, 0x00, 0x10, 0x05}));
    EXPECT_EQ(SiBcdDuration(5400), 0x013000u);
}

// Sections of every size around the packet's edges come back whole, in
// order, with continuous counters and pointer fields that say where each
// packet's first new section starts.
TEST(SiWriter, PacketizedSectionsReassemble)
{
    uint8_t storage[8192];
    CSectionPacketizer out(storage, sizeof storage);
    out.SetPid(0x0012);
    CTestSections in({0x0012});
    std::vector<std::vector<uint8_t>> sent;
    std::mt19937 random(7);
    std::vector<size_t> sizes = {12, 182, 183, 184, 185, 366, 367, 368, 1024, 4096};
    for (int i = 0; i < 400; ++i) sizes.push_back(12 + random() % 700);
    for (size_t i = 0; i < sizes.size(); ++i) {
        std::vector<uint8_t> s = SectionOf(sizes[i], static_cast<uint8_t>(i));
        ASSERT_EQ(s.size(), sizes[i]);
        while (!out.Push(s.data(), s.size())) {  // full: send some
            uint8_t packet[188];
            ASSERT_TRUE(out.NextPacket(packet));
            in.Packet(packet);
        }
        sent.push_back(s);
        // Now and then the queue runs dry, and the packet is stuffed.
        for (int k = random() % 4 == 0 ? 40 : 0; k > 0; --k) {
            uint8_t packet[188];
            if (out.NextPacket(packet)) in.Packet(packet);
        }
    }
    uint8_t packet[188];
    while (out.NextPacket(packet)) in.Packet(packet);
    EXPECT_EQ(in.crcErrors, 0u);
    EXPECT_EQ(in.pointerErrors, 0u);
    EXPECT_EQ(in.ccErrors, 0u);
    ASSERT_EQ(in.sections.size(), sent.size());
    for (size_t i = 0; i < sent.size(); ++i) EXPECT_EQ(in.sections[i].bytes, sent[i]) << "section " << i;
    uint8_t tooBig[5000] = {0x42, 0x7F, 0xFF};
    EXPECT_FALSE(out.Push(tooBig, 4096 + 3));  // longer than a length field says: refused
}

// What does not fit is refused whole, never written past its buffer.
TEST(SiWriter, OverflowsAreRefused)
{
    uint8_t small[20];
    SiProgram programs[8] = {};
    EXPECT_EQ(WritePat(small, sizeof small, 1, 0, programs, 8), 0u);
    EXPECT_EQ(WritePat(small, sizeof small, 1, 0, programs, 2), 20u);
    std::vector<uint8_t> big(300, 0x21);
    uint8_t buffer[512];
    CSectionWriter w(buffer, sizeof buffer);
    w.BeginLong(0x42, 1, 0, 0, 0);
    const size_t d = w.BeginDescriptor(0x48);
    w.Bytes(big.data(), big.size());
    w.EndDescriptor(d);
    EXPECT_EQ(w.Finish(), 0u);  // a descriptor over 255 bytes
}

// A network with more streams than one section holds: several sections,
// each at most 1024 bytes, numbered, every stream in one of them.
TEST(SiWriter, LongNitSpansSections)
{
    std::vector<SiNitService> services = {{1, 1, false}, {2, 1, false}, {3, 0xC0, true}};
    uint8_t name[40];
    const SiText text{name, static_cast<uint8_t>(AribEncode("試験放送ＢＳ０１", name, sizeof name))};
    std::vector<SiNitTransport> streams;
    for (uint16_t i = 0; i < 60; ++i) streams.push_back({static_cast<uint16_t>(0x4000 + i), 4, services.data(), 3, 1, text});
    std::vector<uint8_t> out(8192);
    const size_t size = WriteNit(out.data(), out.size(), 4, 3, text, streams.data(), streams.size());
    ASSERT_GT(size, 1024u);
    std::set<unsigned> tsids;
    size_t sections = 0;
    for (size_t at = 0; at < size; ++sections) {
        const size_t length = 3 + ((out[at + 1] & 0x0F) << 8 | out[at + 2]);
        ASSERT_LE(length, 1024u);
        TestSection s{0x10, 0, {out.begin() + at, out.begin() + at + length}};
        EXPECT_EQ(Crc32Mpeg(s.bytes.data(), length), 0u);
        EXPECT_EQ(s.Number(), sections);
        const size_t loop = 10 + s.Length12(8);
        for (size_t e = loop + 2; e + 6 <= length - 4; e += 6 + s.Length12(e + 4)) tsids.insert(s.U16(e));
        at += length;
    }
    EXPECT_GT(sections, 1u);
    EXPECT_EQ(out[7], sections - 1);  // the last section number, in the first too
    EXPECT_EQ(tsids.size(), 60u);
}

// Every name the plug-in broadcasts, and its programmes' texts, come back
// from libaribb24 as written; names differ from channel to channel.
TEST(SiWriter, AribTextDecodesAsWritten)
{
    for (const char* text : {"試験放送２７ワンセグ", "ＢＳデータ８０１", "サービス1024の番組(513)です。", "ぁゃんァヵヶ　、。・ー（）？",
                             "ａｚＡＺ０９ 月火水木金土日"})
        EXPECT_EQ(RoundTrip(text), Widened(text));
    EXPECT_EQ(RoundTrip("漢"), "？");  // not in the rig's table
    std::set<std::string> names;
    size_t services = 0;
    for (SimBand band : {SimBand::Uhf, SimBand::Catv, SimBand::Vhf, SimBand::Bs, SimBand::Cs}) {
        SimTransport t;
        for (uint32_t i = 0; SimDescribeTransport(band, i, t); ++i) {
            for (const char* s : {t.networkName, t.tsName, t.provider}) EXPECT_EQ(RoundTrip(s), Widened(s));
            for (uint32_t k = 0; k < t.serviceCount; ++k, ++services) {
                const SimService& s = t.services[k];
                EXPECT_EQ(RoundTrip(s.name), s.name);
                names.insert(s.name);
                const SimEventTime e = SimEventAt(s, 1741954205, k);
                SimEventText text;
                SimDescribeEvent(s, e, 4, text);
                char expected[200];
                SimEventTitle(s, e, expected, sizeof expected);
                EXPECT_EQ(AribDecode(text.event.title.data, text.event.title.length), expected);
                SimEventSummary(e, expected, sizeof expected);
                EXPECT_EQ(AribDecode(text.event.text.data, text.event.text.length), expected);
                SimEventContents(s, e, expected, sizeof expected);
                EXPECT_EQ(AribDecode(text.extended[1].text.data, text.extended[1].text.length), Widened(expected));
            }
        }
    }
    EXPECT_EQ(names.size(), services);
    // An event at 21:10 JST on Friday 14 March 2025.
    SimService s{};
    s.theme = kNews;
    SimEventTime e = SimEventAt(s, 1741954205, 0);
    char text[200];
    SimEventSummary(e, text, sizeof text);
    EXPECT_EQ(std::string(text), "３月１４日（金）２１時００分から３０分間");
}
