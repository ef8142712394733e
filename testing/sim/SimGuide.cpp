#include "SimGuide.h"

#include "Text.h"

const char* const kSimCastLabel = "出演者";
const char* const kSimCast = "試験太郎、試験花子";
const char* const kSimContentsLabel = "番組内容";

namespace {

struct ThemeInfo {
    const char* word;
    uint8_t genre;        // content nibbles
    uint8_t minutes[kSimMaxBlockEvents];  // adding up to three hours; 0: no more
};
constexpr ThemeInfo kThemeInfo[kThemes] = {
    {"ニュース", 0x00, {30, 60, 30, 60}},
    {"スポーツ", 0x10, {90, 90}},
    {"ドラマ", 0x30, {60, 60, 60}},
    {"音楽", 0x40, {45, 45, 90}},
    {"映画", 0x60, {120, 60}},
    {"アニメ", 0x70, {30, 30, 60, 60}},
};
const char* const kWeekdays[7] = {"日", "月", "火", "水", "木", "金", "土"};

constexpr uint32_t kJst = 9 * 3600;

// Hours and minutes of Japan's time, as "２１時００分".
void AppendClock(char* out, size_t capacity, uint32_t t)
{
    const uint32_t s = (t + kJst) % 86400;
    SimAppendWideNumber(out, capacity, s / 3600);
    AppendText(out, capacity, "時");
    SimAppendWideNumber(out, capacity, s / 60 % 60, 2);
    AppendText(out, capacity, "分");
}

// Month, day and weekday of Japan's date, as "１２月３１日（水）".
void AppendDate(char* out, size_t capacity, uint32_t t)
{
    const int32_t days = static_cast<int32_t>((t + kJst) / 86400);
    // Days to the civil date (proleptic Gregorian, eras of 400 years from 0000-03-01).
    const int32_t z = days + 719468;
    const int32_t era = z / 146097;
    const int32_t doe = z - era * 146097;
    const int32_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int32_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int32_t mp = (5 * doy + 2) / 153;
    const int32_t day = doy - (153 * mp + 2) / 5 + 1;
    const int32_t month = mp < 10 ? mp + 3 : mp - 9;
    SimAppendWideNumber(out, capacity, static_cast<uint32_t>(month));
    AppendText(out, capacity, "月");
    SimAppendWideNumber(out, capacity, static_cast<uint32_t>(day));
    AppendText(out, capacity, "日（");
    AppendText(out, capacity, kWeekdays[(days + 4) % 7]);  // 1970-01-01 was a Thursday
    AppendText(out, capacity, "）");
}

}  // namespace

uint8_t SimThemeGenre(SimTheme theme)
{
    return kThemeInfo[theme].genre;
}

uint32_t SimBlockEvents(const SimService& s, uint32_t blockStart, SimEventTime* out, uint32_t block)
{
    const ThemeInfo& theme = kThemeInfo[s.theme];
    const uint32_t index = blockStart / block;
    uint32_t n = 0, at = blockStart;
    for (; n < kSimMaxBlockEvents && theme.minutes[n]; ++n) {
        out[n] = {static_cast<uint16_t>(index * kSimMaxBlockEvents + n + 1), at,
                  theme.minutes[n] * 60u * block / kSimGuideBlock};
        at += out[n].duration;
    }
    return n;
}

SimEventTime SimEventAt(const SimService& s, uint32_t t, uint32_t after, uint32_t block)
{
    SimEventTime events[kSimMaxBlockEvents];
    uint32_t blockStart = t - t % block;
    uint32_t n = SimBlockEvents(s, blockStart, events, block), i = 0;
    while (i + 1 < n && events[i + 1].start <= t) ++i;
    for (; after > 0; --after)
        if (++i == n) {
            blockStart += block;
            n = SimBlockEvents(s, blockStart, events, block);
            i = 0;
        }
    return events[i];
}

SimEventTime SimPresentFollowing(const SimService& s, uint32_t t, uint32_t section, const SimGuideShape& g,
                                 bool* prolonged)
{
    if (prolonged) *prolonged = false;
    const auto at = [&](uint32_t when, uint32_t after) {
        SimEventTime e = SimEventAt(s, when - g.offset, after, g.block);
        e.start += g.offset;
        return e;
    };
    SimEventTime present = at(t, 0), following = at(t, 1);
    const uint32_t late = s.id == g.lateService && g.lateSeconds < g.block ? g.lateSeconds : 0;
    if (late) {
        const auto first = [&](const SimEventTime& e) { return (e.start - g.offset) % g.block == 0; };
        const auto delay = [&](SimEventTime& e) {
            e.start += late;
            e.duration = e.duration > late ? e.duration - late : 1;
        };
        if (first(present) && t < present.start + late) {
            // Planned to be on by now, but the one before goes on.
            following = present;
            present = at(present.start - 1, 0);
            present.duration += late;
            delay(following);
            if (prolonged) *prolonged = true;
        } else {
            if (first(present)) delay(present);
            if (first(following) && t + kSimLateNotice >= following.start) {
                present.duration += late;
                delay(following);
                if (prolonged) *prolonged = true;
            }
        }
    }
    return section == 0 ? present : following;
}

void SimEventTitle(const SimService& s, const SimEventTime& t, char* out, size_t capacity)
{
    out[0] = 0;
    AppendText(out, capacity, s.name);
    AppendText(out, capacity, "の");
    AppendText(out, capacity, kThemeInfo[s.theme].word);
    AppendText(out, capacity, "　");
    AppendClock(out, capacity, t.start);
}

void SimEventSummary(const SimEventTime& t, char* out, size_t capacity)
{
    out[0] = 0;
    AppendDate(out, capacity, t.start);
    AppendClock(out, capacity, t.start);
    AppendText(out, capacity, "から");
    SimAppendWideNumber(out, capacity, t.duration / 60);
    AppendText(out, capacity, "分間");
}

// Half-width digits and brackets among kana and kanji, as broadcasters mix them.
void SimEventContents(const SimService& s, const SimEventTime& t, char* out, size_t capacity)
{
    out[0] = 0;
    AppendText(out, capacity, "サービス");
    AppendDecimal(out, capacity, s.id);
    AppendText(out, capacity, "の番組(");
    AppendDecimal(out, capacity, t.id);
    AppendText(out, capacity, ")です。");
}

void SimDescribeEvent(const SimService& s, const SimEventTime& t, uint8_t running, SimEventText& out)
{
    char utf8[160];
    SiEvent& e = out.event;
    e = {};
    e.id = t.id;
    e.start = t.start;
    e.duration = t.duration;
    e.running = running;
    SimEventTitle(s, t, utf8, sizeof utf8);
    e.title = SimEncode(utf8, out.title, sizeof out.title);
    SimEventSummary(t, utf8, sizeof utf8);
    e.text = SimEncode(utf8, out.text, sizeof out.text);
    out.extended[0] = {SimEncode(kSimCastLabel, out.itemNames[0], sizeof out.itemNames[0]),
                       SimEncode(kSimCast, out.items[0], sizeof out.items[0])};
    SimEventContents(s, t, utf8, sizeof utf8);
    out.extended[1] = {SimEncode(kSimContentsLabel, out.itemNames[1], sizeof out.itemNames[1]),
                       SimEncode(utf8, out.items[1], sizeof out.items[1])};
    e.items = out.extended;
    e.itemCount = 2;
    e.genre = kThemeInfo[s.theme].genre;
    for (uint32_t i = 0; i < s.streamCount; ++i) {
        const SiElementary& es = s.streams[i];
        if (es.streamType == 0x02 || es.streamType == 0x1B) {
            e.videoContent = es.streamType == 0x02 ? 0x01 : 0x05;
            // 1080i 16:9; a sub-channel 480i 16:9; one segment: small.
            e.videoType = s.partialReception ? 0x01 : s.standardDefinition ? 0x03 : 0xB3;
            e.videoTag = es.componentTag;
        } else if (es.streamType == 0x0F) {
            e.audioType = 0x03;  // stereo
            e.audioTag = es.componentTag;
            e.audioStreamType = es.streamType;
        }
    }
}
