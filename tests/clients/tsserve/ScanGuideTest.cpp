// tsserve's scan results and guide as it keeps them: the lineups a scan
// makes (services, their numbers kept distinct), the saved files and how a
// damaged one is refused, which channels a scan is asked for, and the guide's
// programme now and next. The scan and the guide end to end: tsserve_test.py.
#include "api/ApiShapes.h"
#include "pages/Documents.h"
#include "guide/GuideStore.h"
#include "guide/LogoPng.h"
#include "SiLogo.h"
#include "lineup/Lineup.h"
#include "discovery/NetworkTuner.h"
#include "scan/ScanChoice.h"
#include "lineup/ScanStore.h"
#include "tuner/ChannelSelection.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <windows.h>

#include <atomic>
#include <map>
#include <set>
#include <thread>

using namespace tstables;

namespace {

CListedChannel Channel(const char* argument, int band, uint32_t index, uint32_t value)
{
    CListedChannel c;
    c.argument = argument;
    c.band = band;
    c.index = index;
    c.value = value;
    return c;
}

// UHF 27 and 28, CATV C22; BS 0x4010 and 0x40D0.
CChannelListing Listing()
{
    CChannelListing l;
    l.terrestrial.plugin = "BonDriver_T.dll";
    const int uhfBand = static_cast<int>(TerrestrialBand::UHF), catvBand = static_cast<int>(TerrestrialBand::CATV);
    CListedBand uhf{"UHF", true, 0, "UHF", {Channel("27", uhfBand, 14, 557000), Channel("28", uhfBand, 15, 563000)}};
    CListedBand catv{"CATV", true, 1, "CATV", {Channel("C22", catvBand, 9, 167000)}};
    l.terrestrial.bands = {uhf, catv};
    l.satellite.plugin = "BonDriver_S.dll";
    CListedBand bs{"BS", true, 0, "BS",
                   {Channel("4010", static_cast<int>(kBandBS), 0, 0x4010),
                    Channel("40D0", static_cast<int>(kBandBS), 7, 0x40D0)}};
    l.satellite.bands = {bs};
    return l;
}

ScannedService Service(uint16_t id, uint8_t type, const char* name, uint16_t number)
{
    ScannedService s;
    s.serviceId = id;
    s.serviceType = type;
    s.name = name;
    s.number = number;
    s.streamTypes = type == 0x01 ? std::vector<uint8_t>{0x1B, 0x0F} : std::vector<uint8_t>{0x0D};
    return s;
}

CScannedChannel Scanned(bool terrestrial, const char* argument, uint16_t tsid, std::vector<ScannedService> services)
{
    CScannedChannel c;
    c.terrestrial = terrestrial;
    c.argument = argument;
    c.scannedUtc = 1700000000;
    c.found = true;
    c.transport.transportStreamId = tsid;
    c.transport.originalNetworkId = terrestrial ? tsid : 4;
    c.transport.services = std::move(services);
    return c;
}

std::wstring TempFile(const wchar_t* name)
{
    wchar_t dir[MAX_PATH];
    GetTempPathW(MAX_PATH, dir);
    std::wstring path = std::wstring(dir) + name;
    DeleteFileW(path.c_str());
    return path;
}

void WriteRaw(const std::wstring& path, const std::string& bytes)
{
    HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD n = 0;
    WriteFile(f, bytes.data(), static_cast<DWORD>(bytes.size()), &n, nullptr);
    CloseHandle(f);
}

GuideEvent Event(const ServiceKey& service, uint16_t id, int64_t start, uint32_t duration, const char* title)
{
    GuideEvent e;
    e.key = {service, id};
    e.startUtc = start;
    e.durationSeconds = duration;
    e.title = title;
    return e;
}

}  // namespace

TEST(TsserveGuide, ScannedKindsListServicesWithDistinctNumbers)
{
    const CChannelListing listing = Listing();
    // UHF 27: TV 31, its sub-channel 32, a data service; UHF 28 also claims
    // 31 and has a service without a number; BS 4010 has 101 and 102 and a radio service.
    const std::vector<CScannedChannel> scanned = {
        Scanned(true, "27", 0x78F0, {Service(7680, 0x01, "試験27", 31), Service(7681, 0x01, "試験27サブ", 32),
                                     Service(8064, 0xC0, "ワンセグ", 631)}),
        Scanned(true, "28", 0x78F8, {Service(8192, 0x01, "試験28", 31), Service(8193, 0x01, "", 0)}),
        Scanned(false, "4010", 0x4010, {Service(101, 0x01, "BS101", 101), Service(102, 0x01, "BS102", 102),
                                        Service(403, 0x02, "ラジオ", 403)}),
    };
    const CLineups l = MakeLineups(listing, scanned);
    ASSERT_EQ(l.terrestrial.entries.size(), 4u);  // the data service left out; C22 not listed
    const CLineupEntry& first = l.terrestrial.entries[0];
    EXPECT_TRUE(first.IsService());
    EXPECT_EQ(first.number, "31");
    EXPECT_EQ(first.name, "試験27");
    EXPECT_EQ(first.id, "7680.30960.t.tunerhost");
    EXPECT_EQ(first.streamPath, "/stream/t/27/7680");
    EXPECT_EQ(first.channel, &listing.terrestrial.bands[0].channels[0]);
    EXPECT_EQ(first.videoCodec, "H264");
    EXPECT_EQ(first.audioCodec, "AAC");
    EXPECT_EQ(first.service, (ServiceKey{0x78F0, 0x78F0, 7680}));
    EXPECT_EQ(l.terrestrial.entries[1].number, "32");
    EXPECT_EQ(l.terrestrial.entries[2].number, "31.1");
    EXPECT_EQ(l.terrestrial.entries[3].number, "8193");  // no number: its service id
    EXPECT_EQ(l.terrestrial.entries[3].name, "Service 8193");
    ASSERT_EQ(l.satellite.entries.size(), 3u);
    EXPECT_EQ(l.satellite.entries[2].number, "403");
    EXPECT_EQ(l.satellite.entries[2].videoCodec, "");
    EXPECT_EQ(l.terrestrial.Find("31.1")->serviceId, 8192);

    // A kind whose scan found nothing keeps its channels; a service's number
    // that a channel has gets a decimal part, the channel keeps its own.
    const std::vector<CScannedChannel> onlyBs = {
        Scanned(false, "40D0", 0x40D0, {Service(171, 0x01, "BS171", 27), Service(172, 0x01, "BS172", 172)})};
    const CLineups m = MakeLineups(listing, onlyBs);
    ASSERT_EQ(m.terrestrial.entries.size(), 3u);
    EXPECT_FALSE(m.terrestrial.entries[0].IsService());
    EXPECT_EQ(m.terrestrial.entries[0].number, "27");
    EXPECT_EQ(m.satellite.entries[0].number, "27.1");
    EXPECT_EQ(m.satellite.entries[1].number, "172");

    // Many holders of one number: the first, then .1 to .9, then .11 (".10" would read as .1).
    std::vector<ScannedService> many;
    for (uint16_t i = 0; i < 12; ++i) many.push_back(Service(static_cast<uint16_t>(1000 + i), 0x01, "x", 11));
    const CLineups n = MakeLineups(listing, {Scanned(true, "27", 0x78F0, many)});
    std::set<double> values;
    for (const CLineupEntry& e : n.terrestrial.entries) values.insert(std::stod(e.number));
    EXPECT_EQ(values.size(), 12u);
    EXPECT_EQ(n.terrestrial.entries[10].number, "11.11");
}

TEST(TsserveGuide, SavedScanRoundTripsAndDamageIsRefused)
{
    const std::vector<CScannedChannel> scanned = {
        Scanned(true, "27", 0x78F0, {Service(7680, 0x01, "試験放送27", 31)}),
        {false, "40F2", 1700000001, false, {}},
    };
    std::vector<CScannedChannel> back;
    std::string error;
    ASSERT_TRUE(ScanFromJson(ScanToJson(scanned), back, error)) << error;
    ASSERT_EQ(back.size(), 2u);
    EXPECT_EQ(back[0].transport.services[0].name, "試験放送27");
    EXPECT_EQ(back[0].transport.services[0].streamTypes, (std::vector<uint8_t>{0x1B, 0x0F}));
    EXPECT_EQ(back[0].transport.transportStreamId, 0x78F0);
    EXPECT_FALSE(back[1].found);
    EXPECT_EQ(back[1].argument, "40F2");

    const std::string good = ScanToJson(scanned);
    std::string pmtOutOfRange = good;
    pmtOutOfRange.replace(pmtOutOfRange.find("\"pmtPid\": 8191"), 14, "\"pmtPid\": 1e9");
    std::string wrongKind = good;
    wrongKind.replace(wrongKind.find("\"kind\": \"t\""), 11, "\"kind\": \"x\"");
    for (const std::string& damaged : {good.substr(0, good.size() / 2), std::string("{\"format\":\"other\"}"),
                                       pmtOutOfRange, wrongKind, std::string("\xFF\xFE")}) {
        back = {Scanned(true, "1", 1, {})};
        error.clear();
        EXPECT_FALSE(ScanFromJson(damaged, back, error));
        EXPECT_FALSE(error.empty());
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
        EXPECT_EQ(back.size(), 1u);  // left as it was
    }

    // The store: a rescan replaces only the channels it covered; a damaged file holds nothing.
    const std::wstring path = TempFile(L"tsserve-scan-test.json");
    CScanStore store(path);
    ASSERT_TRUE(store.Load(error));  // no file yet
    store.Put(scanned[0]);
    store.Put(scanned[1]);
    const uint64_t generation = store.Generation();
    store.Put(Scanned(true, "27", 0x78F0, {}));
    EXPECT_NE(store.Generation(), generation);
    ASSERT_TRUE(store.Save(error)) << error;
    CScanStore loaded(path);
    ASSERT_TRUE(loaded.Load(error)) << error;
    ASSERT_EQ(loaded.Channels().size(), 2u);
    EXPECT_TRUE(loaded.Channels()[0].transport.services.empty());
    WriteRaw(path, good.substr(0, 40));
    CScanStore damaged(path);
    EXPECT_FALSE(damaged.Load(error));
    EXPECT_TRUE(damaged.Channels().empty());
    DeleteFileW(path.c_str());
}

// Both kinds' scans in one tsserve (one store, two threads) and a tsserve
// --scan beside it (a store of its own on the same file) each save after
// every channel, at the same moments: the file keeps every channel of each.
TEST(TsserveGuide, ScansSavingBesideEachOtherKeepEveryChannel)
{
    const std::wstring path = TempFile(L"tsserve-scan-writers.json");
    CScanStore served(path), beside(path);
    std::atomic<int> failures{0};
    auto scan = [&failures](CScanStore* store, bool terrestrial, std::string prefix) {
        for (int i = 0; i < 25; ++i) {
            store->Put(Scanned(terrestrial, (prefix + std::to_string(i)).c_str(), 0x7880, {Service(1, 0x01, "x", 1)}));
            std::string error;
            if (!store->Save(error)) ++failures;
        }
    };
    std::thread t(scan, &served, true, "T"), s(scan, &served, false, "S"), b(scan, &beside, true, "B");
    t.join();
    s.join();
    b.join();
    EXPECT_EQ(failures, 0);
    CScanStore after(path);
    std::string error;
    ASSERT_TRUE(after.Load(error)) << error;
    EXPECT_EQ(after.Channels().size(), 75u);
    DeleteFileW(path.c_str());
}

TEST(TsserveGuide, GuideKeepsEventsAcrossARestartAndDropsThePast)
{
    const ServiceKey service{0x78F0, 0x78F0, 7680};
    const int64_t t21 = 1704110400;  // 2024-01-01 21:00 JST
    CGuideData data;
    GuideEvent e = Event(service, 1, t21, 3600, "ニュース");
    e.description = "天気";
    e.genres = {0x00};
    AudioComponent a;
    a.componentType = 0x03;
    a.language = "jpn";
    e.audio = {a};
    // Extended text as the broadcast sent it: "出演者" / "試験" in ARIB code.
    ExtendedEventPart part;
    part.number = 0;
    part.last = 0;
    part.language = "jpn";
    part.items = {{{0x3D, 0x50, 0x31, 0x69, 0x3C, 0x54}, {0x3B, 0x6E, 0x38, 0x33}}};
    e.extendedParts = {part};
    ASSERT_TRUE(data.events.Put(e));
    data.events.Put(Event(service, 2, t21 + 3600, 1800, "ドラマ"));
    data.streams[{0x78F0, 0x78F0}] = {t21 - 60, t21 - 30};

    CGuideData back;
    std::string error;
    ASSERT_TRUE(GuideFromJson(GuideToJson(data, t21), back, error)) << error;
    ASSERT_EQ(back.events.events().size(), 2u);
    const GuideEvent& g = back.events.events().begin()->second;
    EXPECT_EQ(g.title, "ニュース");
    EXPECT_EQ(g.startUtc, t21);
    EXPECT_EQ(g.durationSeconds, 3600u);
    ASSERT_EQ(g.extended.size(), 1u);
    EXPECT_EQ(g.extended[0].description, "出演者");
    EXPECT_EQ(g.extended[0].text, "試験");
    ASSERT_EQ(g.audio.size(), 1u);
    EXPECT_EQ(g.audio[0].language, "jpn");
    EXPECT_EQ(back.streams.at({0x78F0, 0x78F0}).taken, t21 - 60);

    std::string odd = GuideToJson(data, t21);
    odd.replace(odd.find("\"id\":1"), 6, "\"id\":-1");
    EXPECT_FALSE(GuideFromJson(odd, back, error));
    EXPECT_EQ(error.find('\n'), std::string::npos);

    // Saved, loaded at a later time: what is over is gone.
    const std::wstring path = TempFile(L"tsserve-guide-test.json");
    WriteRaw(path, GuideToJson(data, t21));
    CGuideStore store(path);
    ASSERT_TRUE(store.Load(t21 + 3700, error)) << error;
    EXPECT_EQ(store.State().events, 1u);
    EXPECT_EQ(store.ScheduleTaken(0x78F0, 0x78F0), t21 - 60);
    WriteRaw(path, "{\"format\":\"tsserve guide\",\"version\":1,\"events\":[{]}");
    CGuideStore damaged(path);
    EXPECT_FALSE(damaged.Load(t21, error));
    EXPECT_EQ(damaged.State().events, 0u);
    DeleteFileW(path.c_str());
}

// A logo as broadcasts send it gets the common table's palette and
// transparency after its header; what is no PNG is left out, never read past
// its end; the guide keeps logos across a restart and shows the
// high-definition size first.
TEST(TsserveGuide, LogosGetTheCommonPaletteAndAreKeptWithTheGuide)
{
    uint8_t pixels[4 * 2] = {0, 1, 8, 127, 9, 65, 7, 8};
    uint8_t buffer[512];
    const size_t size = WriteLogoPng(buffer, sizeof buffer, 4, 2, pixels);
    ASSERT_GT(size, 33u);
    const std::vector<uint8_t> raw(buffer, buffer + size);
    const std::string png = LogoWithPalette(raw);
    ASSERT_EQ(png.size(), raw.size() + 12 + 384 + 12 + 128);
    EXPECT_EQ(png.substr(0, 33), std::string(raw.begin(), raw.begin() + 33));
    EXPECT_EQ(png.substr(33, 8), std::string("\0\0\x01\x80PLTE", 8));
    EXPECT_EQ(png.substr(33 + 12 + 384, 8), std::string("\0\0\0\x80tRNS", 8));
    EXPECT_EQ(png.substr(33 + 8 + 3 * 8, 3), std::string("\0\0\0", 3));         // 8: transparent black
    EXPECT_EQ(png[33 + 12 + 384 + 8 + 8], '\0');
    EXPECT_EQ(static_cast<uint8_t>(png[33 + 12 + 384 + 8 + 65]), 128);  // the second half: half transparent
    EXPECT_EQ(png.substr(33 + 12 + 384 + 12 + 128), std::string(raw.begin() + 33, raw.end()));
    EXPECT_EQ(LogoWithPalette(std::vector<uint8_t>(png.begin(), png.end())), png);  // a palette already: as it is
    for (size_t cut : {size_t{0}, size_t{8}, size_t{32}, size - 1}) {
        EXPECT_EQ(LogoWithPalette(std::vector<uint8_t>(raw.begin(), raw.begin() + cut)), "") << cut;
    }
    std::vector<uint8_t> lying = raw;
    lying[33 + 2] = 0x7F;  // IDAT's length past the end
    EXPECT_EQ(LogoWithPalette(lying), "");

    const ServiceKey service{0x78F0, 0x78F0, 7680};
    CGuideData data;
    pixels[0] = 2;  // the large one differs
    const size_t largeSize = WriteLogoPng(buffer, sizeof buffer, 4, 2, pixels);
    CdtLogo small{0x78F0, 1, 0, 3, 1, raw}, large{0x78F0, 1, 5, 3, 1, {buffer, buffer + largeSize}};
    EXPECT_FALSE(data.logos.Add({0x78F0, 1, 5, 4, 1, {1, 2, 3}}));
    EXPECT_TRUE(data.logos.Add(small));
    EXPECT_EQ(data.logos.Of(service), nullptr);  // no service names logo 3 yet
    EXPECT_TRUE(data.logos.Refer(service, 3));
    ASSERT_NE(data.logos.Of(service), nullptr);
    EXPECT_EQ(*data.logos.Of(service), raw);
    EXPECT_TRUE(data.logos.Add(large));
    EXPECT_FALSE(data.logos.Add(large));
    EXPECT_EQ(*data.logos.Of(service), large.png);

    CGuideData back;
    std::string error;
    ASSERT_TRUE(GuideFromJson(GuideToJson(data, 1704110400), back, error)) << error;
    ASSERT_NE(back.logos.Of(service), nullptr);
    EXPECT_EQ(*back.logos.Of(service), large.png);
    EXPECT_EQ(back.logos.Of({0x78F0, 0x78F0, 7681}), nullptr);
}

TEST(TsserveGuide, NowAndNextFromPresentFollowingOrTheSchedule)
{
    const ServiceKey service{1, 2, 3};
    const int64_t t = 1704110400;
    CGuideStore guide;
    Eit schedule;
    schedule.tableId = 0x50;
    schedule.originalNetworkId = 1;
    schedule.transportStreamId = 2;
    schedule.serviceId = 3;
    for (uint16_t i = 0; i < 4; ++i) {
        EitEvent e;
        e.eventId = static_cast<uint16_t>(10 + i);
        e.startUtc = t + i * 1800;
        e.durationSeconds = 1800;
        e.hasShortEvent = true;
        e.title = "番組" + std::to_string(i);
        schedule.events.push_back(e);
    }
    guide.Add(schedule, t);
    // Between the schedule's events 1 and 2, by the clock.
    CNowNext nn = guide.NowNext(service, t + 1800 + 60);
    ASSERT_TRUE(nn.now && nn.next);
    EXPECT_EQ(nn.now->title, "番組1");
    EXPECT_EQ(nn.next->title, "番組2");
    // The broadcast's present/following says an event runs over: it wins
    // while it holds, and the event it runs into is not next (they would overlap).
    Eit present = schedule;
    present.tableId = 0x4E;
    present.sectionNumber = 0;
    present.events = {schedule.events[1]};
    present.events[0].durationSeconds = 3600;
    present.events[0].title = "延長";
    guide.Add(present, t);
    nn = guide.NowNext(service, t + 1800 + 1900);
    ASSERT_TRUE(nn.now && nn.next);
    EXPECT_EQ(nn.now->title, "延長");
    EXPECT_EQ(nn.next->title, "番組3");
    // Past the end of everything: nothing now, nothing next.
    nn = guide.NowNext(service, t + 5 * 3600);
    EXPECT_FALSE(nn.now);
    EXPECT_FALSE(nn.next);
    EXPECT_EQ(guide.EventCount(service), 4u);
    EXPECT_EQ(guide.State().lastAddedUtc, t);
}

TEST(TsserveGuide, AServiceOnTwoTransmittersIsOneEntryAndKeepsItsNumberAcrossRescans)
{
    const CChannelListing listing = Listing();
    const CListedChannel* uhf27 = &listing.terrestrial.bands[0].channels[0];
    const CListedChannel* uhf28 = &listing.terrestrial.bands[0].channels[1];
    const CListedChannel* c22 = &listing.terrestrial.bands[1].channels[0];
    // The station on 27 (31, and 32 its sub-channel) reaches the antenna on 28 too, from its relay.
    const auto station = [](const char* channel) {
        return Scanned(true, channel, 0x78F0, {Service(7680, 0x01, "試験27", 31), Service(7681, 0x01, "試験27サブ", 32)});
    };
    CScanStore store;
    store.Put(station("27"));
    store.Put(station("28"));
    CLineups l = MakeLineups(listing, store.Channels());
    ASSERT_EQ(l.terrestrial.entries.size(), 2u);
    const CLineupEntry& main = l.terrestrial.entries[0];
    EXPECT_EQ(main.number, "31");
    EXPECT_EQ(main.channel, uhf27);
    EXPECT_EQ(main.fallbacks, (std::vector<const CListedChannel*>{uhf28}));
    EXPECT_EQ(l.terrestrial.entries[1].number, "32");
    EXPECT_EQ(l.terrestrial.Sources(*uhf28, 7680), (std::vector<const CListedChannel*>{uhf28, uhf27}));
    EXPECT_EQ(l.terrestrial.Sources(*uhf27, 0), (std::vector<const CListedChannel*>{uhf27}));
    EXPECT_EQ(l.terrestrial.Sources(*c22, 7680), (std::vector<const CListedChannel*>{c22}));

    // Rescans: 28 now brings another station with number 31, C22 one more;
    // 27 is scanned again. The first 31 keeps its number, the others get theirs.
    store.Put(Scanned(true, "28", 0x78F8, {Service(8192, 0x01, "試験28", 31)}));
    store.Put(Scanned(true, "C22", 0x7A40, {Service(9216, 0x01, "試験C22", 31)}));
    store.Put(station("27"));
    std::vector<CScannedChannel> saved;
    std::string error;
    ASSERT_TRUE(ScanFromJson(ScanToJson(store.Channels()), saved, error)) << error;
    l = MakeLineups(listing, saved);
    std::map<uint16_t, std::string> numbers;
    for (const CLineupEntry& e : l.terrestrial.entries) numbers[e.serviceId] = e.number;
    EXPECT_EQ(numbers, (std::map<uint16_t, std::string>{{7680, "31"}, {7681, "32"}, {8192, "31.1"}, {9216, "31.2"}}));

    // Gone from every channel, a service frees its number for the next that comes.
    store.Put(Scanned(true, "27", 0x78F0, {}));
    store.Put(Scanned(true, "27", 0x7900, {Service(8704, 0x01, "試験29", 31)}));
    numbers.clear();
    for (const CLineupEntry& e : MakeLineups(listing, store.Channels()).terrestrial.entries) numbers[e.serviceId] = e.number;
    EXPECT_EQ(numbers, (std::map<uint16_t, std::string>{{8704, "31"}, {8192, "31.1"}, {9216, "31.2"}}));
}

TEST(TsserveGuide, LineupSaysWhichServicesAreHdAndWhichNothingDescrambles)
{
    const CChannelListing listing = Listing();
    // No video seen: HD by its stream type; 480i; 1080i, and scrambled; radio.
    ScannedService sd = Service(7681, 0x01, "SD", 32);
    sd.videoContent = 0x01;
    sd.videoType = 0x03;
    ScannedService scrambled = Service(7682, 0x01, "1080i", 33);
    scrambled.videoContent = 0x01;
    scrambled.videoType = 0xB3;
    scrambled.scrambledPackets = true;
    ScannedService radio = Service(7683, 0x02, "radio", 34);
    radio.streamTypes = {0x0F};
    const CLineups l =
        MakeLineups(listing, {Scanned(true, "27", 0x78F0, {Service(7680, 0x01, "HD", 31), sd, scrambled, radio})});
    const auto lineup = nlohmann::json::parse(LineupJson(l.terrestrial, "http://h:40081"));
    ASSERT_EQ(lineup.size(), 4u);
    EXPECT_EQ(lineup[0].value("HD", 0), 1);
    EXPECT_EQ(lineup[1].value("HD", 0), 0);
    EXPECT_EQ(lineup[2].value("HD", 0), 1);
    EXPECT_EQ(lineup[3].value("HD", 0), 0);
    for (size_t i = 0; i < 4; ++i) EXPECT_EQ(lineup[i].value("DRM", 0), i == 2 ? 1 : 0) << i;
    // As HDHomeRun devices have them: absent where they do not hold.
    EXPECT_FALSE(lineup[1].contains("HD") || lineup[0].contains("DRM"));
    // Channels before a scan: ISDB's broadcasts, HD.
    EXPECT_EQ(nlohmann::json::parse(LineupJson(MakeLineups(listing, {}).terrestrial, "http://h:1"))[0].value("HD", 0), 1);
}

TEST(TsserveGuide, NowNextAndTheGuideWhileAProgrammeRunsOver)
{
    const ServiceKey service{1, 2, 3};
    const int64_t t = 1704110400;  // 21:00 JST
    Eit schedule;
    schedule.tableId = 0x50;
    schedule.originalNetworkId = 1;
    schedule.transportStreamId = 2;
    schedule.serviceId = 3;
    for (uint16_t i = 0; i < 2; ++i) {
        EitEvent e;
        e.eventId = static_cast<uint16_t>(10 + i);
        e.startUtc = t + i * 3600;
        e.durationSeconds = 3600;
        e.hasShortEvent = true;
        e.title = "番組" + std::to_string(i);
        schedule.events.push_back(e);
    }
    // The present programme runs over: no end; the following, no start yet.
    Eit present = schedule, following = schedule;
    present.tableId = following.tableId = 0x4E;
    following.sectionNumber = 1;
    present.events = {schedule.events[0]};
    present.events[0].durationSeconds.reset();
    following.events = {schedule.events[1]};
    following.events[0].startUtc.reset();
    following.events[0].durationSeconds.reset();
    CGuideStore guide;
    guide.Add(schedule, t);
    guide.Add(present, t);
    guide.Add(following, t);
    CNowNext nn = guide.NowNext(service, t + 3600 + 900);
    ASSERT_TRUE(nn.now && nn.next);
    EXPECT_EQ(nn.now->key.eventId, 10);
    EXPECT_EQ(nn.next->key.eventId, 11);
    EXPECT_EQ(nn.next->startUtc, t + 3600);
    const std::string xml = guide.Xmltv({{{"3.1.t.tunerhost", {"x"}, ""}, service}}, "tsserve");
    EXPECT_NE(xml.find("start=\"20240101210000 +0900\" stop=\"20240101220000 +0900\""), std::string::npos) << xml;
    EXPECT_NE(xml.find("start=\"20240101220000 +0900\" stop=\"20240101230000 +0900\""), std::string::npos) << xml;
    // The API says the undecided end as such, as recorders look for it; a
    // named programme whose EIT gives no audio has an empty list of them.
    size_t listed = 0;
    for (const CListedProgram& p : guide.Listing(service)) {
        const nlohmann::json j = ProgramJson(p.event, p.start, p.stop);
        if (p.event.key.eventId == 10) {
            EXPECT_EQ(j["duration"], 1) << j;
        }
        EXPECT_EQ(j.value("audios", nlohmann::json()), nlohmann::json::array()) << j;
        ++listed;
    }
    EXPECT_EQ(listed, 2u);
    // status.json and the start page stop them where the guide does.
    const CChannelListing listing = Listing();
    const CLineups lineups = MakeLineups(listing, {Scanned(true, "27", 0x78F0, {Service(7680, 0x01, "A", 31)})});
    const CNetworkTuner device = MakeNetworkTuner(true, 1, 40081);
    const CServedKind t1{&listing.terrestrial, &lineups.terrestrial, &device, "", {}, {}, {}};
    const CServedKind s1{&listing.satellite, &lineups.satellite, &device, "", {}, {}, {}};
    CGuideView view;
    view.nowNext[lineups.terrestrial.entries.at(0).id] = nn;
    const auto status = nlohmann::json::parse(StatusJson(t1, s1, view))["services"].at(0);
    EXPECT_EQ(status["now"]["stop"], "2024-01-01T22:00:00+09:00") << status;
    EXPECT_EQ(status["next"]["stop"], "2024-01-01T23:00:00+09:00") << status;
    EXPECT_NE(IndexHtml(t1, s1, view, "v").find("21:00&ndash;22:00"), std::string::npos);

    // A following programme that no schedule has told of: next, without a start.
    CGuideStore live;
    following.events[0].eventId = 99;
    live.Add(present, t);
    live.Add(following, t);
    nn = live.NowNext(service, t + 3600 + 900);
    ASSERT_TRUE(nn.now && nn.next);
    EXPECT_EQ(nn.now->key.eventId, 10);
    EXPECT_EQ(nn.next->key.eventId, 99);
    EXPECT_FALSE(nn.next->startUtc);
    // No next start: the present one stops after the assumed length.
    view.nowNext[lineups.terrestrial.entries.at(0).id] = nn;
    const auto open = nlohmann::json::parse(StatusJson(t1, s1, view))["services"].at(0);
    EXPECT_EQ(open["now"]["stop"], IsoTime(t + CEventCollector::kAssumedSeconds, 9 * 3600)) << open;
    EXPECT_NE(live.Xmltv({{{"3.1.t.tunerhost", {"x"}, ""}, service}}, "tsserve").find("stop=\"20240101220000 +0900\""),
              std::string::npos);
}

TEST(TsserveGuide, ScanChoiceAndDocuments)
{
    const CChannelListing listing = Listing();
    CScanChoice choice;
    std::string error;
    ASSERT_TRUE(ParseScanChoice(listing, "catv,t/27,s/40d0,t/27", choice, error)) << error;
    ASSERT_EQ(choice.terrestrial.size(), 2u);
    EXPECT_EQ(choice.terrestrial[0]->argument, "C22");
    EXPECT_EQ(choice.terrestrial[1]->argument, "27");
    ASSERT_EQ(choice.satellite.size(), 1u);
    EXPECT_EQ(choice.satellite[0]->argument, "40D0");
    ASSERT_TRUE(ParseScanChoice(listing, "", choice, error));
    EXPECT_TRUE(choice.Empty());
    for (const char* bad : {"t/99", "VHF", "x", "s/27"}) EXPECT_FALSE(ParseScanChoice(listing, bad, choice, error)) << bad;

    // lineup_status.json as media servers poll it during a scan.
    const CNetworkTuner device = MakeNetworkTuner(true, 1, 40081);
    const auto status = nlohmann::json::parse(LineupStatusJson(device, {true, 42, 7}));
    EXPECT_EQ(status["ScanInProgress"], 1);
    EXPECT_EQ(status["Progress"], 42);
    EXPECT_EQ(status["Found"], 7);
    EXPECT_EQ(status["Source"], "Antenna");
    EXPECT_EQ(status["SourceList"], nlohmann::json::array({"Antenna"}));
    EXPECT_FALSE(status.contains("ScanWaiting"));
    EXPECT_EQ(nlohmann::json::parse(LineupStatusJson(device, {true, 0, 0, true}))["ScanWaiting"], 1);

    // The playlist's first line names the guide only when asked to (players
    // take a file for an extended M3U by a bare first line); names with quotes
    // or commas stay one field.
    CLineups lineups = MakeLineups(listing, {Scanned(true, "27", 0x78F0, {Service(7680, 0x01, "A,\"B\"", 31)})});
    EXPECT_EQ(PlaylistM3u(lineups, "http://h:1", "t", true).substr(0, 72),
              "#EXTM3U url-tvg=\"http://h:1/xmltv.xml\" x-tvg-url=\"http://h:1/xmltv.xml\"\n");
    const std::string m3u = PlaylistM3u(lineups, "http://h:1", "t", false);
    EXPECT_EQ(m3u.substr(0, m3u.find('\n')), "#EXTM3U");
    EXPECT_NE(m3u.find("tvg-id=\"7680.30960.t.tunerhost\" tvg-name=\"A  B \" tvg-chno=\"31\""), std::string::npos) << m3u;
    const auto lineup = nlohmann::json::parse(LineupJson(lineups.terrestrial, "http://h:40081"));
    ASSERT_EQ(lineup.size(), 1u);
    EXPECT_EQ(lineup[0]["GuideName"], "A,\"B\"");
    EXPECT_EQ(lineup[0]["URL"], "http://h:40081/auto/v31");
    EXPECT_EQ(IsoTime(1704110400, 9 * 3600), "2024-01-01T21:00:00+09:00");
}
