// One service cut out of a multiplex: its rewritten PAT, its PMT and PIDs,
// the SI, nothing else; PMT and PAT changes followed.
#include "Crc32.h"
#include "Pat.h"
#include "SectionBuilder.h"
#include "ServiceFilter.h"

#include <gtest/gtest.h>

#include <map>

using namespace tstables;

namespace {

uint16_t PidOf(const uint8_t* p)
{
    return static_cast<uint16_t>((p[1] & 0x1F) << 8 | p[2]);
}

// A payload packet whose bytes say its PID and a running number.
Bytes Payload(uint16_t pid, uint8_t& cc, uint8_t mark)
{
    Bytes p(188, mark);
    p[0] = 0x47;
    p[1] = static_cast<uint8_t>(pid >> 8);
    p[2] = static_cast<uint8_t>(pid);
    p[3] = static_cast<uint8_t>(0x10 | cc);
    cc = (cc + 1) & 0x0F;
    return p;
}

Bytes PatSection(uint16_t tsid, uint8_t version, const std::vector<std::pair<uint16_t, uint16_t>>& programs)
{
    auto b = CSectionBuilder::Long(0x00, tsid, version).U16(0x0000).U16(0xE010);
    for (const auto& [program, pid] : programs) b.U16(program).U16(static_cast<uint16_t>(0xE000 | pid));
    return b.Build();
}

Bytes PmtSection(uint16_t program, uint8_t version, uint16_t pcr, const std::vector<std::pair<uint8_t, uint16_t>>& streams,
                 uint16_t ecm = 0)
{
    const Bytes ca = ecm ? Desc(0x09, {0x00, 0x05, static_cast<uint8_t>(0xE0 | ecm >> 8), static_cast<uint8_t>(ecm)})
                         : Bytes{};
    auto b = CSectionBuilder::Long(0x02, program, version).U16(static_cast<uint16_t>(0xE000 | pcr)).Loop(ca);
    for (const auto& [type, pid] : streams) b.U8(type).U16(static_cast<uint16_t>(0xE000 | pid)).Loop({});
    return b.Build();
}

// The broadcast: two services, their tables and packets, SI, and a stray PID.
struct Multiplex {
    std::map<uint16_t, uint8_t> cc;
    Bytes stream;
    uint8_t mark = 0;

    void Tables(uint16_t tsid, uint8_t patVersion, uint8_t pmtVersion, bool secondAudio = false)
    {
        Add(Packetize(0x0000, {PatSection(tsid, patVersion, {{0x0400, 0x01F0}, {0x0401, 0x01F1}})}, cc[0]));
        std::vector<std::pair<uint8_t, uint16_t>> streams = {{0x02, 0x0100}, {0x0F, 0x0110}};
        if (secondAudio) streams.back().second = 0x0130;
        Add(Packetize(0x01F0, {PmtSection(0x0400, pmtVersion, 0x01FF, streams, 0x0901)}, cc[0x01F0]));
        Add(Packetize(0x01F1, {PmtSection(0x0401, 0, 0x01FE, {{0x02, 0x0120}})}, cc[0x01F1]));
    }
    void Payloads()
    {
        for (const uint16_t pid : {0x0100, 0x0110, 0x0130, 0x01FF, 0x0901, 0x0120, 0x01FE, 0x0010, 0x0012, 0x0014,
                                   0x0300, 0x1FFF})
            Add(Payload(pid, cc[pid], ++mark));
    }
    void Add(const Bytes& b) { stream.insert(stream.end(), b.begin(), b.end()); }
};

// The filter fed in uneven pieces, as data messages cut a stream.
Bytes Filter(CServiceFilter& f, const Bytes& in)
{
    Bytes out;
    size_t at = 0, step = 1;
    while (at < in.size()) {
        const size_t n = std::min(in.size() - at, step);
        f.Feed(in.data() + at, n, out);
        at += n;
        step = step * 7 % 401 + 1;
    }
    return out;
}

std::vector<uint16_t> Pids(const Bytes& b)
{
    std::vector<uint16_t> pids;
    for (size_t at = 0; at + 188 <= b.size(); at += 188) pids.push_back(PidOf(&b[at]));
    return pids;
}

Pat ReadPat(const uint8_t* packet)
{
    EXPECT_EQ(packet[1] & 0x40, 0x40);
    EXPECT_EQ(packet[4], 0);
    const auto section = CSection::FromBytes({packet + 5, 183});
    Pat pat;
    EXPECT_TRUE(section && ParsePat(*section, pat));
    return pat;
}

}  // namespace

TEST(TsServiceFilter, PassesTheServiceAloneWithItsOwnPat)
{
    Multiplex m;
    m.Payloads();  // before any table: only SI may pass
    m.Tables(0x7FE0, 3, 0);
    m.Payloads();
    m.Tables(0x7FE0, 3, 0);
    m.Payloads();
    CServiceFilter filter(0x0400);
    const Bytes out = Filter(filter, m.stream);
    ASSERT_EQ(out.size() % 188, 0u);

    std::map<uint16_t, int> count;
    int lastPatCc = -1, pats = 0;
    for (size_t at = 0; at < out.size(); at += 188) {
        const uint8_t* p = &out[at];
        const uint16_t pid = PidOf(p);
        ++count[pid];
        if (pid != 0) continue;
        const Pat pat = ReadPat(p);
        EXPECT_EQ(pat.transportStreamId, 0x7FE0);
        ASSERT_EQ(pat.programs.size(), 1u);
        EXPECT_EQ(pat.programs[0].programNumber, 0x0400);
        EXPECT_EQ(pat.programs[0].pmtPid, 0x01F0);
        EXPECT_EQ(pat.version, 0);
        const int cc = p[3] & 0x0F;
        if (lastPatCc >= 0) {
            EXPECT_EQ(cc, (lastPatCc + 1) & 0x0F);
        }
        lastPatCc = cc;
        ++pats;
    }
    EXPECT_EQ(pats, 2);
    // Its PMT, PCR, video, audio and ECM, each packet after the PMT; SI throughout.
    for (const uint16_t pid : {0x01F0, 0x0100, 0x0110, 0x01FF, 0x0901}) EXPECT_EQ(count[pid], 2) << pid;
    for (const uint16_t pid : {0x0010, 0x0012, 0x0014}) EXPECT_EQ(count[pid], 3) << pid;
    for (const uint16_t pid : {0x01F1, 0x0120, 0x01FE, 0x0300, 0x1FFF, 0x0130}) EXPECT_EQ(count[pid], 0) << pid;
    EXPECT_FALSE(filter.missing());

    // The packets passed are the broadcaster's, byte for byte, in order.
    Bytes expected;
    for (size_t at = 0; at < m.stream.size(); at += 188) {
        const uint16_t pid = PidOf(&m.stream[at]);
        if (pid != 0 && filter.Passes(pid)) expected.insert(expected.end(), &m.stream[at], &m.stream[at] + 188);
    }
    Bytes passed;
    for (size_t at = 0; at < out.size(); at += 188)
        if (PidOf(&out[at]) != 0 && PidOf(&out[at]) != 0x0010 && PidOf(&out[at]) != 0x0012 && PidOf(&out[at]) != 0x0014)
            passed.insert(passed.end(), &out[at], &out[at] + 188);
    Bytes expectedStreams;
    for (size_t at = 0; at < expected.size(); at += 188)
        if (PidOf(&expected[at]) >= 0x0100) expectedStreams.insert(expectedStreams.end(), &expected[at], &expected[at] + 188);
    // What went before the PMT is left out, the rest is the same.
    ASSERT_GE(expectedStreams.size(), passed.size());
    EXPECT_TRUE(std::equal(passed.begin(), passed.end(), expectedStreams.end() - static_cast<long>(passed.size())));
}

TEST(TsServiceFilter, FollowsPmtAndPatChanges)
{
    Multiplex m;
    m.Tables(0x7FE0, 1, 0);
    m.Payloads();
    m.Tables(0x7FE0, 1, 1, true);  // the PMT's new version: audio moves to 0x0130
    m.Payloads();
    CServiceFilter filter(0x0400);
    Bytes out = Filter(filter, m.stream);
    std::vector<uint16_t> pids = Pids(out);
    const auto firstPmt = std::find(pids.begin(), pids.end(), 0x01F0);
    ASSERT_NE(firstPmt, pids.end());
    const auto newPmt = std::find(firstPmt + 1, pids.end(), 0x01F0);
    ASSERT_NE(newPmt, pids.end());
    EXPECT_EQ(std::count(pids.begin(), newPmt, 0x0110), 1);
    EXPECT_EQ(std::count(newPmt, pids.end(), 0x0110), 0);
    EXPECT_EQ(std::count(newPmt, pids.end(), 0x0130), 1);

    // Another stream id: the PAT's own version moves on, its counter runs on.
    Multiplex next;
    next.cc = m.cc;
    next.Tables(0x7FE8, 1, 1, true);
    out.clear();
    filter.Feed(next.stream.data(), next.stream.size(), out);
    pids = Pids(out);
    ASSERT_FALSE(pids.empty());
    ASSERT_EQ(pids[0], 0);
    const Pat pat = ReadPat(out.data());
    EXPECT_EQ(pat.transportStreamId, 0x7FE8);
    EXPECT_EQ(pat.version, 1);
    EXPECT_EQ(out[3] & 0x0F, 2);

    // A PAT without the service: only the tables pass.
    Multiplex gone;
    gone.cc = next.cc;
    gone.Add(Packetize(0x0000, {PatSection(0x7FE8, 2, {{0x0401, 0x01F1}})}, gone.cc[0]));
    gone.Payloads();
    out.clear();
    filter.Feed(gone.stream.data(), gone.stream.size(), out);
    EXPECT_TRUE(filter.missing());
    EXPECT_EQ(Pids(out), (std::vector<uint16_t>{0x0010, 0x0012, 0x0014}));
}

TEST(TsServiceFilter, FindsPacketsAfterJunkAndAcrossPieces)
{
    Multiplex m;
    m.Tables(0x7FE0, 0, 0);
    m.Payloads();
    Bytes in = {0x00, 0x13, 0xFF};  // junk before the first packet
    in.insert(in.end(), m.stream.begin(), m.stream.end());
    CServiceFilter filter(0x0400);
    Bytes out;
    // Cut in the middle of packets.
    filter.Feed(in.data(), 500, out);
    filter.Feed(in.data() + 500, in.size() - 500, out);
    const std::vector<uint16_t> pids = Pids(out);
    EXPECT_EQ(std::count(pids.begin(), pids.end(), 0x0000), 1);
    EXPECT_EQ(std::count(pids.begin(), pids.end(), 0x0100), 1);
    // After a reset nothing is known: the tables alone until the next PAT and PMT.
    filter.Reset();
    out.clear();
    Multiplex again;
    again.Payloads();
    filter.Feed(again.stream.data(), again.stream.size(), out);
    EXPECT_EQ(Pids(out), (std::vector<uint16_t>{0x0010, 0x0012, 0x0014}));
}

TEST(TsServiceFilter, SdtDescribesTheServiceAlone)
{
    // Two services' entries, then a BAT on the same PID, which goes.
    auto entry = [](uint16_t id, uint8_t name) {
        const Bytes d = Desc(0x48, {0x01, 0x00, 0x01, name});
        return Cat({{static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id), 0xFF, 0x80, static_cast<uint8_t>(d.size())}, d});
    };
    auto sdt = [&](uint8_t version, uint8_t name) {
        return CSectionBuilder::Long(0x42, 0x7FE0, version).U16(0x7FE1).U8(0xFF).Add(entry(0x0400, 0x41))
            .Add(entry(0x0401, name)).Build();
    };
    Multiplex m;
    m.Tables(0x7FE0, 0, 0);
    m.Add(Packetize(0x0011, {sdt(4, 0x42), CSectionBuilder::Long(0x4A, 0x0001).U16(0xF000).U16(0xF000).Build()},
                    m.cc[0x11]));
    m.Add(Packetize(0x0011, {sdt(4, 0x42)}, m.cc[0x11]));
    m.Add(Packetize(0x0011, {sdt(5, 0x43)}, m.cc[0x11]));  // the other service's name changed
    CServiceFilter filter(0x0401);
    const Bytes out = Filter(filter, m.stream);
    std::vector<Bytes> written;
    for (const Bytes& section : [&] {
             Bytes sdtPackets;
             for (size_t at = 0; at < out.size(); at += 188)
                 if (PidOf(&out[at]) == 0x0011) sdtPackets.insert(sdtPackets.end(), &out[at], &out[at] + 188);
             return std::vector<Bytes>{sdtPackets};
         }())
        for (size_t at = 0; at < section.size(); at += 188) {
            EXPECT_EQ(section[at + 3] & 0x0F, static_cast<int>(at / 188)) << "continuity";
            const auto s = CSection::FromBytes({&section[at + 5], 183});
            ASSERT_TRUE(s);
            written.emplace_back(s->bytes().begin(), s->bytes().end());
        }
    ASSERT_EQ(written.size(), 3u);
    const Bytes alone = CSectionBuilder::Long(0x42, 0x7FE0, 0).U16(0x7FE1).U8(0xFF).Add(entry(0x0401, 0x42)).Build();
    EXPECT_EQ(written[0], alone);
    EXPECT_EQ(written[1], alone);
    EXPECT_EQ(written[2], CSectionBuilder::Long(0x42, 0x7FE0, 1).U16(0x7FE1).U8(0xFF).Add(entry(0x0401, 0x43)).Build());
}
