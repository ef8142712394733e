// The simulated plug-in's tables reach a client through TunerHost: the
// tuned channel's services with their ARIB-coded names, its network and its
// guide, from the real BonDriver_Sim.dll.
#include "AribText.h"
#include "SimGuide.h"
#include "relay/HostRun.h"
#include "testing/sim/TsSections.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <set>

namespace {

struct Tuned {
    TunerKind kind;
    uint32_t value;  // kHz or TSID
    SimBand band;
    uint32_t space, index;
};

// Reads the channel until every service's present/following events and the
// clock have come (a second or two); what came before the retune is skipped.
std::vector<TestSection> ReadTables(CStreamClient& c, const Tuned& tuned, const SimTransport& t)
{
    CTestSections tables({0x00, 0x10, 0x11, 0x12, 0x14});
    bool ours = false;
    std::set<unsigned> pf;
    bool clock = false;
    for (int i = 0; i < 20 && (pf.size() < 2 * t.serviceCount || !clock); ++i) {
        DWORD got = 0;
        EXPECT_EQ(c.Read(got), ClientError::None);
        for (DWORD at = 0; at + kTsPacketSize <= got; at += kTsPacketSize) {
            SimPayload p;
            if (ParseSimPayload(c.buffer.data() + at, p)) ours = p.space == tuned.space && p.channel == tuned.index;
            if (ours) tables.Packet(c.buffer.data() + at);
        }
        for (const TestSection& s : tables.sections)
            if (s.TableId() == 0x4E) pf.insert(s.Extension() << 8 | s.Number());
            else clock = clock || s.TableId() == 0x73;
    }
    EXPECT_EQ(tables.crcErrors + tables.pointerErrors + tables.ccErrors, 0u);
    return tables.sections;
}

}  // namespace

TEST(SimTables, ReachAClientThroughTunerHost)
{
    CHostRun run(L"simtables");
    ASSERT_TRUE(run.Start());
    for (const Tuned& tuned : {Tuned{TunerKind::Terrestrial, 521143, SimBand::Uhf, 0, 8},
                               Tuned{TunerKind::Satellite, 0x40D0, SimBand::Bs, 0, 7}}) {
        SimTransport t;
        ASSERT_TRUE(SimDescribeTransport(tuned.band, tuned.index, t));
        CStreamClient c;
        ASSERT_EQ(c.Connect(tuned.kind), ClientError::None);
        uint32_t reply = 0;
        ASSERT_EQ(c.client.Command(kCmdSelectChannel, tuned.value, &reply), ClientError::None);
        const std::vector<TestSection> sections = ReadTables(c, tuned, t);
        std::set<unsigned> seen;
        for (const TestSection& s : sections) {
            seen.insert(s.TableId());
            if (s.TableId() == 0x00 || s.TableId() == 0x42) {
                EXPECT_EQ(s.Extension(), t.tsid);
            }
            if (s.TableId() == 0x40) {
                EXPECT_EQ(s.Extension(), t.networkId);
            }
            if (s.TableId() == 0x73) {  // the plug-in's clock is the system's, in Japan's time
                auto bcd = [&](size_t at) { return (s.bytes[at] >> 4) * 10 + (s.bytes[at] & 0x0F); };
                const long long tot = (s.U16(3) - 40587LL) * 86400 + bcd(5) * 3600 + bcd(6) * 60 + bcd(7) - 9 * 3600;
                EXPECT_LT(std::llabs(tot - static_cast<long long>(std::time(nullptr))), 120);
            }
            if (s.TableId() != 0x42) continue;
            const std::vector<TestSdtService> services = TestReadSdt(s);
            ASSERT_EQ(services.size(), t.serviceCount);
            for (uint32_t k = 0; k < t.serviceCount; ++k) {
                uint8_t name[64];
                EXPECT_EQ(services[k].id, t.services[k].id);
                EXPECT_EQ(services[k].name, std::vector<uint8_t>(name, name + AribEncode(t.services[k].name, name, 64)));
            }
        }
        EXPECT_EQ(seen, (std::set<unsigned>{0x00, 0x40, 0x42, 0x4E, 0x50, 0x73})) << "tsid " << t.tsid;
    }
    EXPECT_TRUE(run.Exit(15000));
}
