// What a channel scan reads of a stream, how far an EIT schedule has come,
// and the guide written as XMLTV.
#include "EventCollector.h"
#include "ScheduleProgress.h"
#include "SectionBuilder.h"
#include "TransportScan.h"
#include "XmltvWriter.h"

#include <gtest/gtest.h>

#include <map>
#include <tuple>

using namespace tstables;

namespace {

// ＮＨＫ総合１ and 東京 in ARIB code (see ServiceInfoTest).
const Bytes kNhkSogo = {0x0E, 0x4E, 0x48, 0x4B, 0x0F, 0x41, 0x6D, 0x39, 0x67, 0x0E, 0x31};
const Bytes kTokyo = {0x45, 0x6C, 0x35, 0x7E};
const Bytes kNews = {0x25, 0x4B, 0x25, 0x65, 0x21, 0x3C, 0x25, 0x39};  // ニュース

Bytes SdtEntry(uint16_t id, uint8_t type, const Bytes& name)
{
    const Bytes d = Desc(0x48, Cat({{type}, Counted({}), Counted(name)}));
    return Cat({{static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id), 0xFF, 0x80, static_cast<uint8_t>(d.size())}, d});
}

Bytes PatBytes()
{
    return CSectionBuilder::Long(0x00, 0x7FE0).U16(0).U16(0xE010).U16(0x0400).U16(0xE1F0).U16(0x0401).U16(0xE1F1).Build();
}

Bytes PmtBytes(uint16_t program, uint8_t videoType)
{
    return CSectionBuilder::Long(0x02, program).U16(0xE1FF).Loop({}).U8(videoType).U16(0xE100).Loop({}).U8(0x0F).U16(0xE110)
        .Loop({}).Build();
}

Bytes NitBytes()
{
    const Bytes tsInfo = Desc(0xCD, {0x01, 0x01, 0x0F, 2, 0x04, 0x00, 0x04, 0x01});  // key 1, TV: 0x0400, 0x0401
    const Bytes list = Desc(0x41, {0x04, 0x00, 0x01, 0x04, 0x01, 0xC0});
    const Bytes ts = Cat({{0x7F, 0xE0, 0x7F, 0xE0}, {0xF0, static_cast<uint8_t>(list.size() + tsInfo.size())}, list, tsInfo});
    return CSectionBuilder::Long(0x40, 0x7FE0).Loop(Desc(0x40, kTokyo)).Loop(ts).Build();
}

Bytes PresentFollowing(uint16_t service, uint8_t number)
{
    const Bytes title = Desc(0x4D, Cat({{'j', 'p', 'n'}, Counted(kNews), {0}}));
    return CSectionBuilder::Long(0x4E, service, 0, number, 1).U16(0x7FE0).U16(0x7FE0).U8(1).U8(0x4E)
        .Add(EventEntry(static_cast<uint16_t>(0x100 + number), JstTime(2024, 1, 1, 21 + number, 0, 0),
                        BcdDuration(1, 0, 0), title))
        .Build();
}

// A schedule section: table, section and the segment's and table's last ones.
Eit Schedule(uint16_t service, uint8_t table, uint8_t number, uint8_t last, uint8_t segmentLast, uint8_t lastTable)
{
    Eit eit;
    eit.tableId = table;
    eit.serviceId = service;
    eit.sectionNumber = number;
    eit.lastSectionNumber = last;
    eit.segmentLastSectionNumber = segmentLast;
    eit.lastTableId = lastTable;
    return eit;
}

}  // namespace

TEST(TsScan, ReadsServicesNamesNumbersAndWaitsForEveryTable)
{
    std::vector<Eit> eits;
    CTransportScan scan([&](const Eit& e) { eits.push_back(e); });
    std::map<uint16_t, uint8_t> cc;
    auto feed = [&](uint16_t pid, const Bytes& section) {
        const Bytes packets = Packetize(pid, {section}, cc[pid]);
        scan.Feed(packets.data(), packets.size());
    };
    EXPECT_FALSE(scan.HasPat());
    EXPECT_EQ(scan.Missing(), "PAT");
    feed(0x0000, PatBytes());
    EXPECT_TRUE(scan.HasPat());
    EXPECT_EQ(scan.Missing(), "PMT, SDT, NIT");
    feed(0x01F0, PmtBytes(0x0400, 0x02));
    feed(0x01F1, PmtBytes(0x0401, 0x1B));
    feed(0x0011, CSectionBuilder::Long(0x42, 0x7FE0).U16(0x7FE0).U8(0xFF).Add(SdtEntry(0x0400, 0x01, kNhkSogo))
                     .Add(SdtEntry(0x0401, 0xC0, kTokyo)).Build());
    EXPECT_EQ(scan.Missing(), "NIT, EIT");
    feed(0x0010, NitBytes());
    EXPECT_EQ(scan.Missing(), "EIT");  // the TV service sends present/following; the data one is not waited for
    feed(0x0012, PresentFollowing(0x0400, 0));
    EXPECT_TRUE(scan.Complete());
    ASSERT_EQ(eits.size(), 1u);

    const ScannedTransport t = scan.Result();
    EXPECT_EQ(t.transportStreamId, 0x7FE0);
    EXPECT_EQ(t.originalNetworkId, 0x7FE0);
    EXPECT_EQ(t.networkName, "東京");
    EXPECT_EQ(t.remoteControlKeyId, 1);
    ASSERT_EQ(t.services.size(), 2u);
    EXPECT_EQ(t.services[0].serviceId, 0x0400);
    EXPECT_EQ(t.services[0].name, "NHK総合1");
    EXPECT_EQ(t.services[0].serviceType, 0x01);
    EXPECT_EQ(t.services[0].number, 11);
    EXPECT_EQ(t.services[0].pmtPid, 0x01F0);
    EXPECT_EQ(t.services[0].streamTypes, (std::vector<uint8_t>{0x02, 0x0F}));
    EXPECT_EQ(t.services[1].streamTypes, (std::vector<uint8_t>{0x1B, 0x0F}));
    EXPECT_EQ(t.services[1].number, 12);
}

TEST(TsScan, ProgramsWithoutSdtAndLyingTables)
{
    CTransportScan scan;
    std::map<uint16_t, uint8_t> cc;
    auto feed = [&](uint16_t pid, const Bytes& section) {
        const Bytes packets = Packetize(pid, {section}, cc[pid]);
        scan.Feed(packets.data(), packets.size());
    };
    feed(0x0000, PatBytes());
    // A PMT on the wrong PID, and one whose stream loop runs past its section.
    feed(0x01F1, PmtBytes(0x0400, 0x02));
    Bytes lying = CSectionBuilder::Long(0x02, 0x0401).U16(0xE1FF).Loop({}).U8(0x02).U16(0xE100).U16(0xF0FF).Build();
    feed(0x01F1, lying);
    EXPECT_NE(scan.Missing().find("PMT"), std::string::npos);
    feed(0x01F0, PmtBytes(0x0400, 0x02));
    feed(0x01F1, PmtBytes(0x0401, 0x0F));
    const ScannedTransport t = scan.Result();
    ASSERT_EQ(t.services.size(), 2u);
    EXPECT_EQ(t.services[0].serviceType, 0x01);  // video in its PMT
    EXPECT_EQ(t.services[1].serviceType, 0x02);  // audio alone
    EXPECT_EQ(t.services[0].name, "");
}

TEST(TsScan, ProgrammesVideoAndStreamsThatComeScrambled)
{
    CTransportScan scan;
    std::map<uint16_t, uint8_t> cc;
    auto feed = [&](uint16_t pid, const Bytes& section) {
        const Bytes packets = Packetize(pid, {section}, cc[pid]);
        scan.Feed(packets.data(), packets.size());
    };
    auto payload = [&](uint16_t pid, bool scrambled, int count) {
        for (int i = 0; i < count; ++i) {
            Bytes p(188, 0xFF);
            p[0] = 0x47;
            p[1] = static_cast<uint8_t>(pid >> 8);
            p[2] = static_cast<uint8_t>(pid);
            p[3] = static_cast<uint8_t>((scrambled ? 0xC0 : 0x00) | 0x10 | (cc[pid]++ & 0x0F));
            scan.Feed(p.data(), p.size());
        }
    };
    // 0x0400: video 0x0100, audio 0x0110; 0x0401: video 0x0120, audio 0x0130.
    feed(0x0000, PatBytes());
    for (const auto& [program, pmt, video] : {std::tuple{0x0400, 0x01F0, 0x0100}, std::tuple{0x0401, 0x01F1, 0x0120}})
        feed(static_cast<uint16_t>(pmt),
             CSectionBuilder::Long(0x02, static_cast<uint16_t>(program)).U16(0xE1FF).Loop({}).U8(0x02)
                 .U16(static_cast<uint16_t>(0xE000 | video)).Loop({}).U8(0x0F)
                 .U16(static_cast<uint16_t>(0xE000 | (video + 0x10))).Loop({}).Build());
    // The programme on 0x0401 is in 480i (component type 0x03), the one on 0x0400 says nothing.
    feed(0x0012, CSectionBuilder::Long(0x4E, 0x0401, 0, 0, 1).U16(0x7FE0).U16(0x7FE0).U8(1).U8(0x4E)
                     .Add(EventEntry(0x101, JstTime(2024, 1, 1, 21, 0, 0), BcdDuration(1, 0, 0),
                                     Desc(0x50, {0xF1, 0x03, 0x00, 'j', 'p', 'n'})))
                     .Build());
    // 0x0400's streams come scrambled (a few clear packets among them); 0x0401's in the clear.
    payload(0x0100, true, 6);
    payload(0x0110, true, 2);
    payload(0x0100, false, 2);
    payload(0x0120, false, 6);
    payload(0x0130, false, 2);
    const ScannedTransport t = scan.Result();
    ASSERT_EQ(t.services.size(), 2u);
    EXPECT_TRUE(t.services[0].scrambledPackets);
    EXPECT_EQ(t.services[0].videoContent, 0);
    EXPECT_FALSE(t.services[1].scrambledPackets);
    EXPECT_EQ(t.services[1].videoContent, 0x01);
    EXPECT_EQ(t.services[1].videoType, 0x03);
}

TEST(TsScan, ScheduleIsCompleteWhenEverySegmentIsWhole)
{
    CScheduleProgress p;
    EXPECT_FALSE(p.Complete(1));
    // Table 0x50 with segments 0 and 1 (sections 0-1 and 8), table 0x51 with one.
    p.Add(Schedule(1, 0x50, 0, 8, 1, 0x51));
    EXPECT_TRUE(p.Seen(1));
    p.Add(Schedule(1, 0x50, 8, 8, 8, 0x51));
    p.Add(Schedule(1, 0x51, 0, 0, 0, 0x51));
    EXPECT_FALSE(p.Complete(1));  // section 1 of segment 0 is missing
    p.Add(Schedule(1, 0x50, 1, 8, 1, 0x51));
    EXPECT_TRUE(p.Complete(1));
    // Extended tables are waited for once seen.
    p.Add(Schedule(1, 0x58, 0, 8, 0, 0x58));
    EXPECT_FALSE(p.Complete(1));
    p.Add(Schedule(1, 0x58, 8, 8, 8, 0x58));
    EXPECT_TRUE(p.Complete(1));
    // A new version starts the table again.
    Eit v = Schedule(1, 0x51, 0, 8, 0, 0x51);
    v.version = 1;
    p.Add(v);
    EXPECT_FALSE(p.Complete(1));
    // Lies: a segment's last section outside the segment, a last table of the other kind.
    p.Add(Schedule(2, 0x50, 0, 0, 200, 0x5F));
    EXPECT_TRUE(p.Complete(2));
    p.Add(Schedule(1, 0x4E, 0, 1, 1, 0x4E));  // present/following: not the schedule
    EXPECT_FALSE(p.Seen(3));
}

TEST(TsXmltv, ChannelsAndProgrammesAsTheDtdOrdersThem)
{
    GuideEvent e;
    e.key = {{0x7FE0, 0x7FE0, 0x0400}, 0x1001};
    e.startUtc = 1704110400;  // 2024-01-01 21:00 JST, 12:00 UTC
    e.durationSeconds = 5400;
    e.title = "ニュース & <天気>";
    e.description = "全国の\x01ニュース\xFF";
    e.extended = {{"出演者", "試験太郎"}, {"", " "}};
    e.genres = {0x00, 0x00, 0x3F};
    VideoComponent v;
    v.streamContent = 0x01;
    v.componentType = 0xB3;
    e.video = {v};
    AudioComponent a;
    a.componentType = 0x03;
    e.audio = {a};

    CXmltvWriter xml("tsserve");
    xml.Channel({"1024.32736.t.tunerhost", {"NHK総合1", "11", ""}});
    EXPECT_TRUE(xml.Programme("1024.32736.t.tunerhost", e));
    GuideEvent open = e;
    open.durationSeconds.reset();
    open.title = "未定";
    open.description.clear();
    open.extended.clear();
    open.genres.clear();
    open.video.clear();
    open.audio.clear();
    EXPECT_TRUE(xml.Programme("1024.32736.t.tunerhost", open));
    GuideEvent untitled = e;
    untitled.title = " ";
    EXPECT_FALSE(xml.Programme("1024.32736.t.tunerhost", untitled));
    untitled.title = "x";
    untitled.startUtc.reset();
    EXPECT_FALSE(xml.Programme("1024.32736.t.tunerhost", untitled));
    const std::string doc = xml.Finish();
    EXPECT_EQ(doc,
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE tv SYSTEM \"xmltv.dtd\">\n"
              "<tv generator-info-name=\"tsserve\">\n"
              "  <channel id=\"1024.32736.t.tunerhost\">\n"
              "    <display-name>NHK総合1</display-name>\n"
              "    <display-name>11</display-name>\n"
              "  </channel>\n"
              "  <programme start=\"20240101210000 +0900\" stop=\"20240101223000 +0900\" channel=\"1024.32736.t.tunerhost\">\n"
              "    <title lang=\"ja\">ニュース &amp; &lt;天気&gt;</title>\n"
              "    <desc lang=\"ja\">全国のニュース\n\n出演者\n試験太郎</desc>\n"
              "    <category lang=\"ja\">ニュース／報道</category>\n"
              "    <category lang=\"en\">News</category>\n"
              "    <category lang=\"ja\">定時・総合</category>\n"
              "    <category lang=\"ja\">ドラマ</category>\n"
              "    <category lang=\"en\">Drama</category>\n"
              "    <category lang=\"ja\">その他</category>\n"
              "    <video>\n      <present>yes</present>\n      <aspect>16:9</aspect>\n      <quality>1080i</quality>\n"
              "    </video>\n"
              "    <audio>\n      <present>yes</present>\n      <stereo>stereo</stereo>\n    </audio>\n"
              "  </programme>\n"
              // Its length undefined: an hour, for media servers leave out programmes without a stop.
              "  <programme start=\"20240101210000 +0900\" stop=\"20240101220000 +0900\" channel=\"1024.32736.t.tunerhost\">\n"
              "    <title lang=\"ja\">未定</title>\n"
              "  </programme>\n"
              "</tv>\n");
}

TEST(TsXmltv, TimesAndText)
{
    // 21:00 in Japan is 12:00 UTC; the same moment in other offsets.
    EXPECT_EQ(XmltvTime(1704110400, 9 * 3600), "20240101210000 +0900");
    EXPECT_EQ(XmltvTime(1704110400, 0), "20240101120000 +0000");
    EXPECT_EQ(XmltvTime(1704110400, -(3 * 3600 + 1800)), "20240101083000 -0330");
    EXPECT_EQ(XmltvTime(951782400 + 86399, 0), "20000229235959 +0000");  // a leap day
    EXPECT_EQ(XmltvTime(-1, 0), "19691231235959 +0000");
    // Only what XML allows, as valid UTF-8: controls, C1, surrogates, overlong forms and U+FFFD go.
    EXPECT_EQ(XmlText("a\tb\nc\x01\x7F\"'"), "a\tb\nc&quot;'");
    EXPECT_EQ(XmlText("\xC2\x85x\xED\xA0\x80y\xC0\xAFz\xEF\xBF\xBD\xF4\x90\x80\x80"), "xyz");
    EXPECT_EQ(XmlText("\xE3\x81"), "");  // cut short
    EXPECT_EQ(XmlText("\xF0\x9F\x93\xBA"), "\xF0\x9F\x93\xBA");
}
