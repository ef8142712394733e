// The simulated plug-in's stream, read back as a receiver would: every
// service's tables present and agreeing with each other and with the
// lineup, at a broadcaster's repetition rates, beside the numbered payload.
#include "AribDecode.h"
#include "SimGuide.h"
#include "SimStream.h"
#include "TsSections.h"

#include <gtest/gtest.h>

#include <map>
#include <set>

namespace {

constexpr uint32_t kStart = 1741954205;  // Friday 14 March 2025, 21:10:05 in Japan
constexpr uint32_t kSeconds = 25;        // more than the schedule's cycle

struct Walk {
    SimTransport t;
    std::vector<TestSection> sections;
    std::map<uint16_t, size_t> payload, pcr;
    size_t nulls = 0, tablePackets = 0, badPayload = 0, packets = 0;
};

Walk WalkStream(SimBand band, uint32_t index)
{
    CSimStream s;
    s.SetClock(kStart);
    s.SetChannel(3, index, band);
    Walk w{s.Transport(), {}, {}, {}, 0, 0, 0, 0};
    std::vector<uint16_t> pids = {0x00, 0x10, 0x11, 0x12, 0x14};
    for (uint32_t k = 0; k < w.t.serviceCount; ++k) pids.push_back(w.t.services[k].pmtPid);
    CTestSections tables(pids);
    std::map<uint16_t, int> cc;
    w.packets = kSeconds * CSimClock::kDefaultPacketsPerSecond;
    for (size_t i = 0; i < w.packets; ++i) {
        uint8_t p[188];
        s.NextPacket(p);
        const uint16_t pid = static_cast<uint16_t>((p[1] & 0x1F) << 8 | p[2]);
        if (SimIsTableSlot(i)) {
            tables.Packet(p);
            if (pid == 0x1FFF) ++w.nulls;
            else if ((p[3] & 0x30) == 0x20 && (p[5] & 0x10)) ++w.pcr[pid];
            else ++w.tablePackets;
            continue;
        }
        SimPayload payload;
        const int last = cc.count(pid) ? cc[pid] : -1;
        cc[pid] = p[3] & 0x0F;
        if (!ParseSimPayload(p, payload) || payload.sequence != i || payload.space != 3 || payload.channel != index ||
            (last >= 0 && cc[pid] != ((last + 1) & 0x0F)))
            ++w.badPayload;
        ++w.payload[pid];
    }
    EXPECT_EQ(tables.crcErrors + tables.pointerErrors + tables.ccErrors, 0u);
    w.sections = std::move(tables.sections);
    return w;
}

std::vector<const TestSection*> Find(const Walk& w, uint16_t pid, uint8_t tableId, int extension = -1)
{
    std::vector<const TestSection*> out;
    for (const TestSection& s : w.sections)
        if (s.pid == pid && s.TableId() == tableId && (extension < 0 || s.Extension() == extension)) out.push_back(&s);
    return out;
}

std::string Text(const std::vector<uint8_t>& body, size_t at, size_t length)
{
    return AribDecode(body.data() + at, length);
}

void CheckPsi(const Walk& w)
{
    const SimTransport& t = w.t;
    auto pats = Find(w, 0x00, 0x00);
    ASSERT_FALSE(pats.empty());
    const TestSection& pat = *pats.back();
    EXPECT_EQ(pat.Extension(), t.tsid);
    std::map<unsigned, unsigned> programs;
    for (size_t at = 8; at + 4 <= pat.bytes.size() - 4; at += 4)
        programs[pat.U16(at)] = pat.U16(at + 2) & 0x1FFF;
    EXPECT_EQ(programs[0], 0x10u);
    EXPECT_EQ(programs.size(), t.serviceCount + 1);
    for (uint32_t k = 0; k < t.serviceCount; ++k) {
        const SimService& s = t.services[k];
        EXPECT_EQ(programs[s.id], s.pmtPid);
        auto pmts = Find(w, s.pmtPid, 0x02, s.id);
        ASSERT_FALSE(pmts.empty()) << s.id;
        const TestSection& pmt = *pmts.back();
        EXPECT_EQ(pmt.U16(8) & 0x1FFF, s.pcrPid);
        std::vector<std::pair<unsigned, unsigned>> streams;
        for (size_t at = 12 + pmt.Length12(10); at + 5 <= pmt.bytes.size() - 4; at += 5 + pmt.Length12(at + 3))
            streams.push_back({pmt.bytes[at], pmt.U16(at + 1) & 0x1FFFu});
        ASSERT_EQ(streams.size(), s.streamCount);
        for (uint32_t i = 0; i < s.streamCount; ++i) {
            EXPECT_EQ(streams[i].first, s.streams[i].streamType);
            EXPECT_EQ(streams[i].second, s.streams[i].pid);
            EXPECT_GT(w.payload.count(s.streams[i].pid), 0u) << "no packets on " << s.streams[i].pid;
        }
        // PCRs about ten a second.
        EXPECT_NEAR(double(w.pcr.at(s.pcrPid)) / kSeconds, 10, 1);
    }
}

void CheckServiceTables(const Walk& w)
{
    const SimTransport& t = w.t;
    auto sdts = Find(w, 0x11, 0x42, t.tsid);
    ASSERT_FALSE(sdts.empty());
    EXPECT_NEAR(double(sdts.size()) / kSeconds, 1, 0.1);
    EXPECT_EQ(sdts.back()->U16(8), t.networkId);
    const std::vector<TestSdtService> services = TestReadSdt(*sdts.back());
    ASSERT_EQ(services.size(), t.serviceCount);
    for (uint32_t k = 0; k < t.serviceCount; ++k) {
        EXPECT_EQ(services[k].id, t.services[k].id);
        EXPECT_EQ(services[k].type, t.services[k].type);
        EXPECT_EQ(AribDecode(services[k].name), t.services[k].name);
        EXPECT_EQ(AribDecode(services[k].provider), t.provider);
    }

    auto nits = Find(w, 0x10, 0x40, t.networkId);
    ASSERT_FALSE(nits.empty());
    EXPECT_NEAR(double(nits.size()) / kSeconds, 1, 0.1);
    const TestSection& nit = *nits.back();
    const size_t networkEnd = 10 + nit.Length12(8);
    const std::vector<TestDescriptor> network = TestDescriptors(nit, 10, networkEnd);
    ASSERT_EQ(network.size(), 1u);
    EXPECT_EQ(Text(network[0].body, 0, network[0].body.size()), t.networkName);
    std::set<unsigned> streams;
    bool found = false;
    for (size_t at = networkEnd + 2; at + 6 <= nit.bytes.size() - 4; at += 6 + nit.Length12(at + 4)) {
        streams.insert(nit.U16(at));
        if (nit.U16(at) != t.tsid) continue;
        found = true;
        for (const TestDescriptor& d : TestDescriptors(nit, at + 6, at + 6 + nit.Length12(at + 4))) {
            if (d.tag == 0x41) {  // service list: as the SDT has it
                ASSERT_EQ(d.body.size(), 3 * t.serviceCount);
                for (uint32_t k = 0; k < t.serviceCount; ++k) {
                    EXPECT_EQ(d.body[3 * k] << 8 | d.body[3 * k + 1], t.services[k].id);
                    EXPECT_EQ(d.body[3 * k + 2], t.services[k].type);
                }
            } else if (d.tag == 0xCD) {  // TS information
                EXPECT_EQ(d.body[0], t.remoteKey);
                EXPECT_EQ(Text(d.body, 2, d.body[1] >> 2), Widened(t.tsName));
            }
        }
    }
    EXPECT_TRUE(found);
    // A satellite network lists all its streams, a terrestrial station itself.
    size_t expected = 0;
    SimTransport other;
    for (uint32_t i = 0; SimDescribeTransport(t.band, i, other); ++i) expected += other.networkId == t.networkId;
    EXPECT_EQ(streams.size(), expected);

    auto tots = Find(w, 0x14, 0x73);
    ASSERT_GE(tots.size(), 4u);
    uint8_t first[5], last[5];
    SiJstTime(kStart, first);
    SiJstTime(kStart + kSeconds, last);
    const std::vector<uint8_t> tot(tots.back()->bytes.begin() + 3, tots.back()->bytes.begin() + 8);
    EXPECT_GE(tot, std::vector<uint8_t>(first, first + 5));
    EXPECT_LE(tot, std::vector<uint8_t>(last, last + 5));
}

void CheckGuide(const Walk& w)
{
    const SimTransport& t = w.t;
    for (uint32_t k = 0; k < t.serviceCount; ++k) {
        const SimService& s = t.services[k];
        auto pf = Find(w, 0x12, 0x4E, s.id);
        EXPECT_NEAR(double(pf.size()) / kSeconds, 2, 0.2) << s.id;
        ASSERT_GE(pf.size(), 2u);
        for (const TestSection* section : pf) {
            const std::vector<TestEvent> events = TestReadEit(*section);
            ASSERT_EQ(events.size(), 1u);
            const SimEventTime e = SimEventAt(s, kStart, section->Number());
            EXPECT_EQ(events[0].id, e.id);
            uint8_t start[5];
            SiJstTime(e.start, start);
            EXPECT_EQ(std::vector<uint8_t>(events[0].start, events[0].start + 5), std::vector<uint8_t>(start, start + 5));
            char title[200];
            SimEventTitle(s, e, title, sizeof title);
            EXPECT_EQ(AribDecode(TestEventTitle(events[0])), title);
            std::set<uint8_t> tags;
            for (const TestDescriptor& d : events[0].descriptors) tags.insert(d.tag);
            EXPECT_TRUE(tags.count(0x4D) && tags.count(0x4E) && tags.count(0x54)) << "short, extended, content";
        }
        // The present event is on now; the following starts where it ends.
        EXPECT_LE(SimEventAt(s, kStart, 0).start, kStart);
        EXPECT_EQ(SimEventAt(s, kStart, 1).start, SimEventAt(s, kStart, 0).start + SimEventAt(s, kStart, 0).duration);
        // Eight days of schedule: every segment of both basic and both
        // extended tables, in one cycle.
        for (uint8_t table : {0x50, 0x51, 0x58, 0x59}) {
            std::set<uint8_t> segments;
            for (const TestSection* section : Find(w, 0x12, table, s.id)) {
                // A section per segment, numbered 8 apart, its events in it.
                segments.insert(section->Number());
                EXPECT_EQ(section->Number() % 8, 0);
                EXPECT_EQ(section->Last(), 0xF8);
                const std::vector<TestEvent> events = TestReadEit(*section);
                ASSERT_FALSE(events.empty());
                uint8_t start[5];
                SiJstTime(kStart - (kStart + 9 * 3600) % 86400 + ((table & 1) * 32 + section->Number() / 8) * 10800, start);
                EXPECT_EQ(std::vector<uint8_t>(events[0].start, events[0].start + 5), std::vector<uint8_t>(start, start + 5));
                for (const TestEvent& e : events)
                    EXPECT_EQ(TestEventTitle(e).empty(), table >= 0x58) << "titles in the basic tables only";
            }
            EXPECT_EQ(segments.size(), 32u) << "table " << int(table) << " of " << s.id;
        }
    }
}

class SimBroadcast : public ::testing::TestWithParam<std::pair<SimBand, uint32_t>> {};

}  // namespace

TEST_P(SimBroadcast, EveryServiceHasConsistentTables)
{
    const Walk w = WalkStream(GetParam().first, GetParam().second);
    ASSERT_GE(w.t.serviceCount, 2u);
    EXPECT_EQ(w.badPayload, 0u);
    EXPECT_GT(w.payload.at(kSimPayloadPid) * 2, w.packets / 4) << "the first video has the most";
    CheckPsi(w);
    CheckServiceTables(w);
    CheckGuide(w);
    const double share = double(w.tablePackets) / double(w.packets);
    EXPECT_LT(share, 0.02);
    std::printf("tsid 0x%04X: %zu services, tables %.2f%% of the packets, nulls %.2f%%\n", w.t.tsid,
                size_t(w.t.serviceCount), 100 * share, 100.0 * double(w.nulls) / double(w.packets));
}

INSTANTIATE_TEST_SUITE_P(Channels, SimBroadcast,
                         ::testing::Values(std::pair{SimBand::Uhf, 14u}, std::pair{SimBand::Uhf, 1u},
                                           std::pair{SimBand::Catv, 9u}, std::pair{SimBand::Vhf, 0u},
                                           std::pair{SimBand::Bs, 0u}, std::pair{SimBand::Bs, 2u},
                                           std::pair{SimBand::Bs, 7u}, std::pair{SimBand::Bs, 15u},
                                           std::pair{SimBand::Cs, 0u}, std::pair{SimBand::Cs, 13u}));

// At a rate too low for every table's repetition, each kind still comes.
TEST(SimBroadcastSlow, EveryTableStillComes)
{
    CSimStream s;
    s.SetRate(300 * 1000);  // 50 table slots a second, fewer than PAT, PMTs and PCRs alone would take
    s.SetChannel(0, 14, SimBand::Uhf);
    CTestSections tables({0x00, 0x10, 0x11, 0x12, 0x14, 0x01F0});
    uint8_t p[188];
    for (uint64_t i = 0; i < 10 * 300 * 1000 / 188; ++i) {
        s.NextPacket(p);
        if (SimIsTableSlot(i)) tables.Packet(p);
    }
    std::map<uint8_t, size_t> count;
    for (const TestSection& section : tables.sections) ++count[section.TableId()];
    for (uint8_t id : {0x00, 0x02, 0x40, 0x42, 0x4E, 0x73}) EXPECT_GE(count[id], 2u) << int(id);
}

// GuideBlockStart and GuideLate: blocks where the test put them, and the late
// service's first programme announced late 10 s ahead of its planned start,
// the one before going on until then; the lost packets of Drops.
TEST(SimBroadcastGuide, ALateStartAndLostPackets)
{
    SimTransport t;
    ASSERT_TRUE(SimDescribeTransport(SimBand::Uhf, 14, t));
    const SimService& late = t.services[1];
    const SimGuideShape shape{60, 1000000000u % 60, late.id, 6};
    const uint32_t block = 1000000000u + 60 * 100;  // a block's start
    // The on-time service: 20 s programmes from the block on.
    EXPECT_EQ(SimPresentFollowing(t.services[0], block - 1, 1, shape).start, block);
    EXPECT_EQ(SimPresentFollowing(t.services[0], block, 0, shape).start, block);
    bool prolonged = true;
    // Until the notice, the planned start; then the later one, the present going on.
    const SimEventTime planned = SimPresentFollowing(late, block - 11, 1, shape, &prolonged);
    EXPECT_EQ(planned.start, block);
    EXPECT_FALSE(prolonged);
    for (uint32_t at : {block - 10, block, block + 5}) {
        const SimEventTime before = SimPresentFollowing(late, at, 0, shape, &prolonged);
        const SimEventTime moved = SimPresentFollowing(late, at, 1, shape);
        EXPECT_TRUE(prolonged) << at - block;
        EXPECT_EQ(moved.id, planned.id);
        EXPECT_EQ(moved.start, block + 6);
        EXPECT_EQ(moved.start + moved.duration, planned.start + planned.duration);
        EXPECT_EQ(before.start + before.duration, block + 6);
    }
    const SimEventTime on = SimPresentFollowing(late, block + 6, 0, shape, &prolonged);
    EXPECT_EQ(on.id, planned.id);
    EXPECT_EQ(on.start, block + 6);
    EXPECT_FALSE(prolonged);

    // Drops: one in 100 of the late service's payload packets, on its PIDs only.
    CSimStream s;
    s.SetLossy(late.id, 100);
    s.SetChannel(0, 14, SimBand::Uhf);
    std::map<uint16_t, int> last, jumps;
    uint8_t p[188];
    for (uint64_t i = 0; i < 200000; ++i) {
        s.NextPacket(p);
        const uint16_t pid = static_cast<uint16_t>(((p[1] & 0x1F) << 8) | p[2]);
        if (SimIsTableSlot(i) || pid == 0x1FFF) continue;
        const int cc = p[3] & 0x0F;
        if (last.count(pid) && cc != ((last[pid] + 1) & 0x0F)) ++jumps[pid];
        last[pid] = cc;
    }
    for (uint32_t i = 0; i < late.streamCount; ++i) EXPECT_GT(jumps[late.streams[i].pid], 0) << late.streams[i].pid;
    for (uint32_t i = 0; i < t.services[0].streamCount; ++i) EXPECT_EQ(jumps[t.services[0].streams[i].pid], 0);
}
