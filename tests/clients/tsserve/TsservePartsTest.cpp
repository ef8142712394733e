// tsserve's pieces without sockets: a request's path and fields, HDHomeRun's
// discovery packets, the devices' IDs and the channel numbers, its console's
// writer and the handler of the console's ending. The end-to-end behaviour is
// tested from the Linux side (tsserve_test.py).
#include "CConsoleEvents.h"
#include "CEventLog.h"
#include "ChannelArgument.h"
#include "HdhrPacket.h"
#include "HttpRequest.h"
#include "Lineup.h"
#include "NetworkTuner.h"
#include "tuner/ChannelSelection.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace {

std::vector<uint8_t> Request(const std::vector<uint8_t>& items, bool breakCrc = false)
{
    std::vector<uint8_t> p{0x00, 0x02, uint8_t(items.size() >> 8), uint8_t(items.size())};
    for (uint8_t b : items) p.push_back(b);
    uint32_t crc = HdhrCrc(p.data(), p.size()) ^ (breakCrc ? 1u : 0u);
    for (int i = 0; i < 4; ++i) p.push_back(uint8_t(crc >> (8 * i)));
    return p;
}

}  // namespace

TEST(Tsserve, RequestPathAndFields)
{
    std::string path;
    ASSERT_TRUE(RequestPath("/stream/t/27", path));
    EXPECT_EQ("/stream/t/27", path);
    // The absolute form, as proxies send it.
    ASSERT_TRUE(RequestPath("HTTP://tuner.example:8080/auto/v27", path));
    EXPECT_EQ("/auto/v27", path);
    ASSERT_TRUE(RequestPath("http://tuner.example", path));
    EXPECT_EQ("/", path);
    for (const char* target : {"", "*", "stream/t/27", "ftp://x/y", "http:/x"}) EXPECT_FALSE(RequestPath(target, path)) << target;

    CHttpRequest r;
    r.fields = {{"Host", "x:1"}, {"X-A", "1"}, {"x-a", "2"}, {"Empty", ""}};
    r.query = {{"kind", "t"}, {"flag", ""}};
    EXPECT_EQ("1, 2", r.Field("X-A"));
    EXPECT_EQ(1u, r.FieldCount("host"));
    EXPECT_EQ("", r.Field("Empty"));
    EXPECT_EQ("t", r.Param("kind"));
    EXPECT_TRUE(r.HasParam("flag"));
    EXPECT_FALSE(r.HasParam("Kind"));

    // Host as a host the URLs may name; anything else names the address asked.
    std::string host, port;
    for (auto [value, h, p] : {std::tuple{"tuner.example:8080", "tuner.example", ":8080"}, {"[::1]:40080", "[::1]", ":40080"},
                               {"192.168.1.5", "192.168.1.5", ""}, {"my-pc.local.", "my-pc.local.", ""}}) {
        ASSERT_TRUE(ParseHostField(value, host, port)) << value;
        EXPECT_EQ(h, host);
        EXPECT_EQ(p, port);
    }
    for (const char* bad : {"", "[", "[::1", "[]", "[x]", "[::1]x", "a b", "a\"b<c>", "x:", "x:0", "x:99999", "x:8o",
                            "1.2.3", "999.1.1.1", "-a.b", "a..b", "[fe80::1%25eth0]", "a/b"})
        EXPECT_FALSE(ParseHostField(bad, host, port)) << bad;
}

TEST(Tsserve, DiscoveryRequests)
{
    const uint8_t check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(0xCBF43926u, HdhrCrc(check, sizeof check));  // the Ethernet CRC's check value

    CHdhrDiscoverRequest q;
    // Device type tuner, ID wildcard, and an item nobody knows, which is skipped.
    const std::vector<uint8_t> any{0x01, 4, 0, 0, 0, 1, 0x02, 4, 0xFF, 0xFF, 0xFF, 0xFF, 0x7E, 0x81, 0x01};
    std::vector<uint8_t> withUnknown = any;
    for (int i = 0; i < 129; ++i) withUnknown.push_back(0xAA);
    ASSERT_TRUE(ParseHdhrDiscoverRequest(Request(withUnknown).data(), Request(withUnknown).size(), q));
    EXPECT_TRUE(q.WantsTuner());
    EXPECT_TRUE(q.WantsId(0x12345678));

    const std::vector<uint8_t> one{0x01, 4, 0xFF, 0xFF, 0xFF, 0xFF, 0x02, 4, 0x12, 0x34, 0x56, 0x78};
    ASSERT_TRUE(ParseHdhrDiscoverRequest(Request(one).data(), Request(one).size(), q));
    EXPECT_TRUE(q.WantsTuner());
    EXPECT_TRUE(q.WantsId(0x12345678));
    EXPECT_FALSE(q.WantsId(0x12345679));

    const std::vector<uint8_t> storage{0x01, 4, 0, 0, 0, 5};
    ASSERT_TRUE(ParseHdhrDiscoverRequest(Request(storage).data(), Request(storage).size(), q));
    EXPECT_FALSE(q.WantsTuner());

    EXPECT_FALSE(ParseHdhrDiscoverRequest(Request(any, true).data(), Request(any).size(), q));
    const std::vector<uint8_t> truncated{0x01, 8, 0, 0, 0, 1};
    EXPECT_FALSE(ParseHdhrDiscoverRequest(Request(truncated).data(), Request(truncated).size(), q));
    std::vector<uint8_t> reply = Request(any);
    reply[1] = 0x03;
    EXPECT_FALSE(ParseHdhrDiscoverRequest(reply.data(), reply.size(), q));
    EXPECT_FALSE(ParseHdhrDiscoverRequest(reply.data(), 7, q));
}

TEST(Tsserve, DiscoveryReply)
{
    CHdhrDeviceReply d;
    d.deviceId = 0x528A7647;
    d.baseUrl = "http://192.168.100.200:40081";
    d.lineupUrl = d.baseUrl + "/lineup.json" + std::string(100, 'x');  // over 127 bytes: a two-byte length
    d.deviceAuth = "tsserve";
    const std::vector<uint8_t> p = HdhrDiscoverReply(d);
    ASSERT_GT(p.size(), 8u);
    EXPECT_EQ(0x0003, p[0] << 8 | p[1]);
    const size_t length = size_t(p[2]) << 8 | p[3];
    ASSERT_EQ(p.size(), 4 + length + 4);
    const uint32_t crc = HdhrCrc(p.data(), 4 + length);
    EXPECT_EQ(crc, uint32_t(p[4 + length]) | uint32_t(p[5 + length]) << 8 | uint32_t(p[6 + length]) << 16 |
                       uint32_t(p[7 + length]) << 24);
    // The items in turn: type, ID, tuner count, base URL, lineup URL, auth.
    std::vector<std::pair<uint8_t, std::string>> items;
    for (size_t at = 4; at < 4 + length;) {
        const uint8_t tag = p[at++];
        size_t n = p[at++];
        if (n & 0x80) n = (n & 0x7F) | size_t(p[at++]) << 7;
        items.emplace_back(tag, std::string(p.begin() + at, p.begin() + at + n));
        at += n;
    }
    ASSERT_EQ(6u, items.size());
    EXPECT_EQ(std::string("\0\0\0\1", 4), items[0].second);
    EXPECT_EQ("\x52\x8A\x76\x47", items[1].second);
    EXPECT_EQ(std::string("\1", 1), items[2].second);
    EXPECT_EQ(0x2A, items[3].first);
    EXPECT_EQ(d.baseUrl, items[3].second);
    EXPECT_EQ(0x27, items[4].first);
    EXPECT_EQ(d.lineupUrl, items[4].second);
    EXPECT_EQ(0x2B, items[5].first);
}

TEST(Tsserve, DeviceIds)
{
    // As libhdhomerun's hdhomerun_discover_validate_device_id judged them.
    EXPECT_TRUE(NetworkTunerIdValid(0x528A7647));
    EXPECT_TRUE(NetworkTunerIdValid(0x3768040C));
    EXPECT_FALSE(NetworkTunerIdValid(0x53EBD874));
    EXPECT_FALSE(NetworkTunerIdValid(0x528A7646));
    EXPECT_FALSE(NetworkTunerIdValid(0x1010A3D8));  // a sound check digit, but a first-generation range
    std::set<uint32_t> ids;
    for (uint32_t seed = 0; seed < 20000; ++seed) {
        const uint32_t id = NetworkTunerId(seed * 2654435761u);
        ASSERT_TRUE(NetworkTunerIdValid(id)) << std::hex << id;
        ASSERT_NE(0xFFFFFFFFu, id);
        ASSERT_FALSE((id >> 24) >= 0x10 && (id >> 24) <= 0x12) << std::hex << id;
        ids.insert(id);
    }
    EXPECT_GT(ids.size(), 19900u);
    const CNetworkTuner t = MakeNetworkTuner(true, 7, 40081), s = MakeNetworkTuner(false, 7, 40082);
    EXPECT_EQ(t.id, MakeNetworkTuner(true, 7, 40081).id);
    EXPECT_NE(t.id, s.id);
    EXPECT_NE(t.udn, s.udn);
    EXPECT_EQ(41u, t.udn.size());  // "uuid:" and 8-4-4-4-12
}

TEST(Tsserve, ChannelNumbersAreDistinctDecimals)
{
    CListedKind terrestrial;
    terrestrial.plugin = "BonDriver_T.dll";
    for (int band : {int(TerrestrialBand::UHF), int(TerrestrialBand::CATV), int(TerrestrialBand::VHF)}) {
        CListedBand b;
        b.name = "band";
        for (uint32_t i = 0; i < 64; ++i) {
            const std::wstring a = TerrestrialChannelArgument(band, i);
            if (a.empty()) continue;
            CListedChannel c;
            c.argument = std::string(a.begin(), a.end());
            c.band = band;
            c.index = i;
            b.channels.push_back(c);
        }
        terrestrial.bands.push_back(b);
    }
    CListedKind satellite;
    satellite.terrestrial = false;
    satellite.plugin = "BonDriver_S.dll";
    CListedBand b;
    for (const CTsidRow& row : SatelliteTsidTable) {
        CListedChannel c;
        c.value = row.tsid;
        c.band = static_cast<int>(row.band);
        c.index = row.channel;
        b.channels.push_back(c);
    }
    satellite.bands.push_back(b);

    std::set<long> numbers;
    size_t entries = 0;
    for (const CListedKind* kind : {&terrestrial, &satellite})
        for (const CLineupEntry& e : MakeLineup(*kind).entries) {
            ASSERT_FALSE(e.number.empty());
            ASSERT_EQ(std::string::npos, e.number.find_first_not_of("0123456789")) << e.number;
            numbers.insert(std::stol(e.number));
            ++entries;
        }
    EXPECT_EQ(entries, numbers.size());
    EXPECT_GT(entries, 130u);

    CListedChannel c;
    c.argument = "C22";
    EXPECT_EQ("122", ChannelNumber(c, true));
    c.argument = "27";
    EXPECT_EQ("27", ChannelNumber(c, true));
    c.band = static_cast<int>(kBandBS);
    c.value = 0x40F1;
    EXPECT_EQ("1151", ChannelNumber(c, false));
    c.band = static_cast<int>(kBandCS);
    c.value = 0x7180;
    EXPECT_EQ("2024", ChannelNumber(c, false));
}

TEST(Tsserve, AConsoleThatTakesNoOutputHoldsUpNoCaller)
{
    // The console stops taking output (a selection in its window) until a
    // watchdog lets it go, long after the lines have all been said.
    CHandle go(CreateEventW(nullptr, TRUE, FALSE, nullptr)), done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::atomic<bool> released{false};
    std::mutex mutex;
    std::string written;
    std::thread watchdog;
    {
        CEventLog log(
            [&](const std::string& text) {
                WaitForSingleObject(go.Get(), INFINITE);
                std::lock_guard<std::mutex> lock(mutex);
                written += text;
            },
            false);
        watchdog = std::thread([&] {
            if (WaitForSingleObject(done.Get(), 30000) == WAIT_OBJECT_0) return;
            released = true;
            SetEvent(go.Get());
        });
        for (int i = 0; i < 3000; ++i) log.Line("line " + std::to_string(i));
        log.Status("streaming");
        EXPECT_FALSE(released) << "a caller waited for the console";
        SetEvent(done.Get());
        SetEvent(go.Get());
    }
    watchdog.join();
    // What the queue held is written, in order; what it could not hold is
    // counted where it was left out (the writer may empty a full queue while
    // lines are still said, so a gap can come anywhere), and nothing else is lost.
    size_t lines = 0, lost = 0;
    long last = -1;
    for (size_t at = 0;;) {
        const size_t line = written.find(" line ", at), gap = written.find(" left out: the console", at);
        if (line == std::string::npos && gap == std::string::npos) break;
        if (line < gap && !std::isdigit(static_cast<unsigned char>(written[line + 6]))) {
            at = line + 1;  // "(1 line left out"
        } else if (line < gap) {
            const long n = std::stol(written.substr(line + 6));
            EXPECT_GT(n, last) << written.substr(0, 200);
            last = n;
            ++lines;
            at = line + 1;
        } else {
            const size_t open = written.rfind('(', gap);
            ASSERT_NE(open, std::string::npos);
            lost += std::stoul(written.substr(open + 1));
            at = gap + 1;
        }
    }
    // The status line, redirected, is queued as a line too.
    const size_t status = written.find("status: streaming") != std::string::npos ? 1 : 0;
    EXPECT_EQ(lines + lost + status, 3001u);
    EXPECT_GT(lost, 0u);
    // The lines the writer took before it was held up, and a full queue.
    EXPECT_GE(lines, CEventLog::kMaxQueued);
    EXPECT_LE(lines, 2 * CEventLog::kMaxQueued);
}

TEST(Tsserve, AClosingConsoleWaitsForTheSave)
{
    CConsoleEvents console(60000);
    std::atomic<bool> saved{false};
    // tsserve's main thread: it sees the stop, saves, and says so.
    std::thread main([&] {
        WaitForSingleObject(console.StopEvent(), INFINITE);
        Sleep(300);
        saved = true;
        console.Saved();
    });
    EXPECT_TRUE(console.OnEvent(CTRL_CLOSE_EVENT));
    EXPECT_TRUE(saved) << "the handler returned before the save";
    main.join();
    // Ctrl+C only asks for the stop.
    CConsoleEvents again(60000);
    EXPECT_TRUE(again.OnEvent(CTRL_C_EVENT));
    EXPECT_EQ(WaitForSingleObject(again.StopEvent(), 0), WAIT_OBJECT_0);
}
