// EIT present/following and schedule, components and genres.
#include "Eit.h"
#include "Genre.h"
#include "SectionBuilder.h"

#include <gtest/gtest.h>

using namespace tstables;

namespace {

// Hand-encoded ARIB text (JIS X 0208 rows and cells plus 0x20; LS1 for G1).
const Bytes kNews7 = {0x25, 0x4B, 0x25, 0x65, 0x21, 0x3C, 0x25, 0x39, 0x0E, 0x37};  // ニュース７
const Bytes kWeather = {0x45, 0x37, 0x35, 0x24, 0x4D, 0x3D, 0x4A, 0x73};               // 天気予報
const Bytes kContents = {0x48, 0x56, 0x41, 0x48, 0x46, 0x62, 0x4D, 0x46};              // 番組内容
const Bytes kCast = {0x3D, 0x50, 0x31, 0x69, 0x3C, 0x54};                              // 出演者

Bytes EitSection(uint8_t table, uint8_t number, const Bytes& events, uint8_t version = 0)
{
    return CSectionBuilder::Long(table, 0x0400, version, number, 1).U16(0x7FE0).U16(0x7FE1).U8(number).U8(table).Add(events).Build();
}

Bytes ShortEvent(const Bytes& title, const Bytes& text)
{
    return Desc(0x4D, Cat({{'j', 'p', 'n'}, Counted(title), Counted(text)}));
}

// Extended event descriptor: number/last, "jpn", items, no free text.
Bytes Extended(uint8_t number, uint8_t last, const std::vector<std::pair<Bytes, Bytes>>& items)
{
    Bytes loop;
    for (const auto& [description, text] : items) loop = Cat({loop, Counted(description), Counted(text)});
    return Desc(0x4E, Cat({{static_cast<uint8_t>(number << 4 | last), 'j', 'p', 'n'}, Counted(loop), {0}}));
}

Eit Parse(const Bytes& b)
{
    Eit eit;
    EXPECT_TRUE(ParseEit(Parsed(b), eit));
    return eit;
}

}  // namespace

TEST(TsEvents, PresentFollowingEventsWithTitleGenreAndComponents)
{
    const Bytes video = Desc(0x50, {0xF1, 0xB3, 0x00, 'j', 'p', 'n'});                            // 1080i 16:9
    const Bytes audio = Desc(0xC4, {0xF2, 0x03, 0x10, 0x0F, 0xFF, 0x7F, 'j', 'p', 'n'});          // stereo, 48 kHz
    const Bytes content = Desc(0x54, {0x00, 0xFF, 0x3F, 0xFF});
    const Eit present = Parse(EitSection(0x4E, 0, EventEntry(0x1001, JstTime(2024, 1, 1, 21, 0, 0), BcdDuration(1, 0, 0),
                                                        Cat({ShortEvent(kNews7, kWeather), content, video, audio}))));
    EXPECT_TRUE(present.isPresentFollowing());
    EXPECT_EQ(present.serviceId, 0x0400);
    EXPECT_EQ(present.transportStreamId, 0x7FE0);
    EXPECT_EQ(present.originalNetworkId, 0x7FE1);
    ASSERT_EQ(present.events.size(), 1u);
    const EitEvent& e = present.events[0];
    EXPECT_EQ(e.eventId, 0x1001);
    EXPECT_EQ(e.startUtc, 1704110400);  // 21:00 JST is 12:00 UTC
    EXPECT_EQ(e.utcOffset, 9 * 3600);
    EXPECT_EQ(e.durationSeconds, 3600u);
    EXPECT_EQ(e.runningStatus, 4);
    EXPECT_EQ(e.language, "jpn");
    EXPECT_EQ(e.title, "ニュース7");
    EXPECT_EQ(e.description, "天気予報");
    EXPECT_EQ(e.genres, (std::vector<uint8_t>{0x00, 0x3F}));
    ASSERT_EQ(e.video.size(), 1u);
    EXPECT_STREQ(VideoQuality(e.video[0]), "1080i");
    EXPECT_STREQ(VideoAspect(e.video[0]), "16:9");
    ASSERT_EQ(e.audio.size(), 1u);
    EXPECT_STREQ(AudioStereo(e.audio[0]), "stereo");
    EXPECT_EQ(e.audio[0].componentTag, 0x10);
    EXPECT_TRUE(e.audio[0].mainComponent);
    EXPECT_EQ(e.audio[0].samplingRate, 7);
    EXPECT_EQ(e.audio[0].language, "jpn");
    EXPECT_EQ(e.audio[0].language2, "");

    // Dual mono in two languages: both codes, then the text (日本).
    const Bytes dual = Desc(0xC4, {0xF2, 0x02, 0x11, 0x0F, 0xFF, 0xFF, 'j', 'p', 'n', 'e', 'n', 'g', 0x46, 0x7C, 0x4B, 0x5C});
    const Eit bilingual = Parse(EitSection(0x50, 0, EventEntry(0x1003, JstTime(2024, 1, 1, 23, 0, 0), BcdDuration(0, 30, 0), dual)));
    const AudioComponent& a = bilingual.events[0].audio.at(0);
    EXPECT_TRUE(a.multiLingual);
    EXPECT_STREQ(AudioStereo(a), "bilingual");
    EXPECT_EQ(a.language2, "eng");
    EXPECT_EQ(a.text, "日本");

    // The following event: its duration not yet known.
    const Eit following = Parse(EitSection(0x4E, 1, EventEntry(0x1002, JstTime(2024, 1, 1, 22, 0, 0), {0xFF, 0xFF, 0xFF}, {})));
    EXPECT_FALSE(following.events[0].durationSeconds);
    EXPECT_FALSE(following.events[0].hasShortEvent);
}

TEST(TsEvents, GenresMapToXmltvCategoriesByAribsTable)
{
    auto texts = [](uint8_t nibbles) {
        std::vector<std::string> out;
        for (const auto& c : XmltvCategories(nibbles)) out.push_back(std::string(c.lang) + ":" + c.text);
        return out;
    };
    EXPECT_EQ(texts(0x00), (std::vector<std::string>{"ja:ニュース／報道", "en:News", "ja:定時・総合"}));
    EXPECT_EQ(texts(0x31), (std::vector<std::string>{"ja:ドラマ", "en:Drama", "ja:海外ドラマ"}));
    EXPECT_EQ(texts(0x6F), (std::vector<std::string>{"ja:映画", "en:Movie", "ja:その他"}));
    EXPECT_EQ(texts(0x72), (std::vector<std::string>{"ja:アニメ／特撮", "en:Animation", "ja:特撮"}));
    EXPECT_EQ(texts(0x1E), (std::vector<std::string>{"ja:スポーツ", "en:Sports"}));  // reserved sub-genre
    EXPECT_EQ(texts(0xFF), (std::vector<std::string>{"ja:その他"}));
    EXPECT_TRUE(texts(0xC0).empty());
    EXPECT_TRUE(texts(0xE0).empty());  // extension, not a genre
}

TEST(TsEvents, ExtendedItemsJoinAcrossDescriptors)
{
    // 番組内容: 日本映 split in the middle of 映 (row 17 cell 39) over two
    // descriptors, the second item continuing the first; 出演者: 東京.
    const Bytes d0 = Extended(0, 1, {{kContents, {0x46, 0x7C, 0x4B, 0x5C, 0x31}}});
    const Bytes d1 = Extended(1, 1, {{{}, {0x47, 0x32, 0x68}}, {kCast, {0x45, 0x6C, 0x35, 0x7E}}});
    const Eit eit = Parse(EitSection(0x58, 0, EventEntry(0x1001, JstTime(2024, 1, 1, 21, 0, 0), BcdDuration(1, 0, 0), Cat({d1, d0}))));
    const auto& parts = eit.events[0].extendedParts;
    ASSERT_EQ(parts.size(), 2u);
    const auto items = JoinExtendedItems({&parts[0], &parts[1]});
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0].description, "番組内容");
    EXPECT_EQ(items[0].text, "日本映画");
    EXPECT_EQ(items[1].description, "出演者");
    EXPECT_EQ(items[1].text, "東京");
}

TEST(TsEvents, LyingEventsAreDroppedNeverReadPast)
{
    Eit eit;
    // An event's descriptor loop past the section.
    const Bytes loopPast = CSectionBuilder::Long(0x4E, 1).U16(1).U16(1).U8(0).U8(0x4E)
                               .Add(Cat({{0x10, 0x01}, JstTime(2024, 1, 1, 0, 0, 0), BcdDuration(0, 30, 0), {0x80, 0x40}, ShortEvent({}, {})}))
                               .Build();
    EXPECT_FALSE(ParseEit(Parsed(loopPast), eit));
    // A descriptor past its loop.
    const Bytes descPast = EitSection(0x4E, 0, Cat({{0x10, 0x01}, JstTime(2024, 1, 1, 0, 0, 0), BcdDuration(0, 30, 0), {0x80, 0x03}, {0x4D, 0x09, 'j'}}));
    EXPECT_FALSE(ParseEit(Parsed(descPast), eit));
    // An event cut short, and a table that is not the actual stream's EIT.
    EXPECT_FALSE(ParseEit(Parsed(EitSection(0x50, 0, {0x10, 0x01, 0xE4})), eit));
    EXPECT_FALSE(ParseEit(Parsed(EitSection(0x4F, 0, {})), eit));
    // Text lengths inside a descriptor that lie: the descriptor is ignored,
    // the event kept.
    const Bytes shortPast = Desc(0x4D, {'j', 'p', 'n', 0x20, 0x41});
    const Bytes itemPast = Desc(0x4E, {0x00, 'j', 'p', 'n', 0x04, 0x01, 0x41, 0x09, 0x41, 0x00});
    const Eit kept = Parse(EitSection(0x4E, 0, EventEntry(7, JstTime(2024, 1, 1, 0, 0, 0), BcdDuration(0, 30, 0), Cat({shortPast, itemPast}))));
    ASSERT_EQ(kept.events.size(), 1u);
    EXPECT_FALSE(kept.events[0].hasShortEvent);
    EXPECT_TRUE(kept.events[0].extendedParts.empty());
}

TEST(TsEvents, UserGenresAndRelatedEventsForRecorders)
{
    // Content: news with user nibbles 0xE0 beside it; event groups: the
    // programme shared with two services, and moved to another network's.
    const Bytes content = Desc(0x54, {0x00, 0xE0, 0x3F, 0x01});
    const Bytes shared = Desc(0xD6, {0x12, 0x04, 0x01, 0x10, 0x01, 0x04, 0x02, 0x10, 0x02});
    const Bytes moved = Desc(0xD6, {0x50, 0x00, 0x04, 0x40, 0x10, 0x00, 0x65, 0x20, 0x03});
    const Eit eit = Parse(EitSection(0x50, 0, EventEntry(0x1001, JstTime(2024, 1, 1, 21, 0, 0), BcdDuration(1, 0, 0),
                                                     Cat({content, shared, moved}))));
    const EitEvent& e = eit.events.at(0);
    EXPECT_EQ(e.genres, (std::vector<uint8_t>{0x00, 0x3F}));
    EXPECT_EQ(e.userGenres, (std::vector<uint8_t>{0xE0, 0x01}));
    using T = RelatedEvent::Type;
    EXPECT_EQ(e.related, (std::vector<RelatedEvent>{{T::Shared, 0, 0x0401, 0x1001},
                                                   {T::Shared, 0, 0x0402, 0x1002},
                                                   {T::Movement, 4, 0x0065, 0x2003}}));
    // A group that names more events than it carries, or a reserved type,
    // relates nothing (and the event stays).
    const Bytes lying = Desc(0xD6, {0x13, 0x04, 0x01, 0x10, 0x01});
    const Bytes reserved = Desc(0xD6, {0x71, 0x04, 0x01, 0x10, 0x01});
    const Eit bad = Parse(EitSection(0x50, 0, EventEntry(0x1002, JstTime(2024, 1, 1, 22, 0, 0), BcdDuration(1, 0, 0),
                                                     Cat({lying, reserved}))));
    EXPECT_TRUE(bad.events.at(0).related.empty());
}
