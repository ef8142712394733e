// SDT and NIT, names in ARIB text.
#include "Nit.h"
#include "SectionBuilder.h"
#include "Sdt.h"

#include <gtest/gtest.h>

using namespace tstables;

namespace {

// ＮＨＫ and ＮＨＫ総合１ (see AribTextTest), 東京 (rows 37/21 cells 76/94).
const Bytes kNhk = {0x0E, 0x4E, 0x48, 0x4B};
const Bytes kNhkSogo = {0x0E, 0x4E, 0x48, 0x4B, 0x0F, 0x41, 0x6D, 0x39, 0x67, 0x0E, 0x31};
const Bytes kTokyo = {0x45, 0x6C, 0x35, 0x7E};

Bytes SdtEntry(uint16_t id, uint8_t eitFlags, uint16_t status, const Bytes& descriptors)
{
    return Cat({{static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id), static_cast<uint8_t>(0xFC | eitFlags),
                 static_cast<uint8_t>(status >> 8 | descriptors.size() >> 8), static_cast<uint8_t>(descriptors.size())},
                descriptors});
}

}  // namespace

TEST(TsServiceInfo, SdtGivesNamesTypesAndEitFlags)
{
    const Bytes b = CSectionBuilder::Long(0x42, 0x7FE0, 7)
                        .U16(0x7FE0).U8(0xFF)
                        .Add(SdtEntry(0x0400, 3, 0x9000, Desc(0x48, Cat({{0x01}, Counted(kNhk), Counted(kNhkSogo)}))))
                        .Add(SdtEntry(0x0580, 1, 0x8000, Desc(0x48, Cat({{0xC0}, Counted({}), Counted(kTokyo)}))))
                        .Add(SdtEntry(0x0408, 0, 0x8000, Desc(0x48, {0x01, 0x00, 0x09, 0x41})))  // name past its descriptor
                        .Build();
    Sdt sdt;
    ASSERT_TRUE(ParseSdt(Parsed(b), sdt));
    EXPECT_EQ(sdt.transportStreamId, 0x7FE0);
    EXPECT_EQ(sdt.originalNetworkId, 0x7FE0);
    EXPECT_EQ(sdt.version, 7);
    ASSERT_EQ(sdt.services.size(), 3u);
    const SdtService& main = sdt.services[0];
    EXPECT_EQ(main.serviceId, 0x0400);
    EXPECT_TRUE(main.eitSchedule);
    EXPECT_TRUE(main.eitPresentFollowing);
    EXPECT_EQ(main.runningStatus, 4);
    EXPECT_TRUE(main.freeCaMode);
    EXPECT_EQ(main.serviceType, 0x01);
    EXPECT_EQ(main.providerName, "NHK");
    EXPECT_EQ(main.serviceName, "NHK総合1");
    EXPECT_FALSE(sdt.services[1].eitSchedule);
    EXPECT_TRUE(sdt.services[1].eitPresentFollowing);
    EXPECT_EQ(sdt.services[1].serviceName, "東京");
    EXPECT_EQ(sdt.services[2].serviceName, "");  // its broken descriptor ignored, the service kept
    EXPECT_EQ(KindOfServiceType(main.serviceType), ServiceKind::Video);
    EXPECT_EQ(KindOfServiceType(0xA6), ServiceKind::Audio);
    EXPECT_EQ(KindOfServiceType(0xC0), ServiceKind::Data);

    // A service's descriptor loop past the section is refused whole.
    const Bytes lying = CSectionBuilder::Long(0x42, 1).U16(1).U8(0xFF).U16(0x0400).U8(0xFF).U16(0x8020).Add(Desc(0x48, {1, 0, 0})).Build();
    EXPECT_FALSE(ParseSdt(Parsed(lying), sdt));
    EXPECT_EQ(sdt.services.size(), 3u);
}

TEST(TsServiceInfo, NitGivesNetworkNameKeyIdAndServiceNumbers)
{
    const Bytes tsInfo = Desc(0xCD, Cat({{0x01, static_cast<uint8_t>(kNhk.size() << 2 | 2)}, kNhk,
                                         {0x0F, 2, 0x04, 0x00, 0x04, 0x01},   // TV: 0x0400, 0x0401
                                         {0xAF, 1, 0x05, 0x80}}));            // one-segment: 0x0580
    const Bytes serviceList = Desc(0x41, {0x04, 0x00, 0x01, 0x04, 0x01, 0x01, 0x05, 0x80, 0xC0});
    const Bytes ts = Cat({{0x7F, 0xE0, 0x7F, 0xE0}, {0xF0, static_cast<uint8_t>(serviceList.size() + tsInfo.size())},
                          serviceList, tsInfo});
    const Bytes b = CSectionBuilder::Long(0x40, 0x7FE0, 1).Loop(Desc(0x40, kTokyo)).Loop(ts).Build();
    Nit nit;
    ASSERT_TRUE(ParseNit(Parsed(b), nit));
    EXPECT_EQ(nit.networkId, 0x7FE0);
    EXPECT_EQ(nit.networkName, "東京");
    ASSERT_EQ(nit.transportStreams.size(), 1u);
    const NitTransportStream& t = nit.transportStreams[0];
    EXPECT_EQ(t.transportStreamId, 0x7FE0);
    EXPECT_EQ(t.remoteControlKeyId, 1);
    EXPECT_EQ(t.name, "NHK");
    ASSERT_EQ(t.services.size(), 3u);
    EXPECT_EQ(t.services[0].serviceType, 0x01);
    EXPECT_EQ(t.services[0].number, 11);
    EXPECT_EQ(t.services[1].number, 12);
    EXPECT_EQ(t.services[2].serviceType, 0xC0);
    EXPECT_EQ(t.services[2].number, 611);
    // Satellite: the service id is the number; terrestrial without a key: none.
    EXPECT_EQ(ServiceNumber(4, 101, std::nullopt), 101);
    EXPECT_EQ(ServiceNumber(0x7FE0, 0x0400, std::nullopt), 0);
    EXPECT_EQ(ServiceNumber(0x7FE0, 0x5C39, 9), 92);
}

TEST(TsServiceInfo, NitWhoseLoopsLieIsRefused)
{
    Nit nit;
    // The transport stream loop runs past the section.
    const Bytes past = CSectionBuilder::Long(0x40, 1).Loop({}).U16(0xF010).U16(1).U16(1).U16(0xF000).Build();
    EXPECT_FALSE(ParseNit(Parsed(past), nit));
    // A transport stream's descriptors run past its loop.
    const Bytes inner = CSectionBuilder::Long(0x40, 1).Loop({}).Loop({0, 1, 0, 1, 0xF0, 0x09, 0x41, 0x03, 0, 1, 1}).Build();
    EXPECT_FALSE(ParseNit(Parsed(inner), nit));
    // A TS information descriptor that lies is left out, the rest kept.
    const Bytes badInfo = Desc(0xCD, {0x01, 0x0A, 0x41});
    const Bytes ok = CSectionBuilder::Long(0x40, 1).Loop({}).Loop(Cat({{0, 1, 0, 1, 0xF0, static_cast<uint8_t>(badInfo.size())}, badInfo})).Build();
    ASSERT_TRUE(ParseNit(Parsed(ok), nit));
    EXPECT_FALSE(nit.transportStreams[0].remoteControlKeyId);
}
