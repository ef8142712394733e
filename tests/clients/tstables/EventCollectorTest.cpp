// Events gathered across EIT sections and tables.
#include "EventCollector.h"
#include "SectionBuilder.h"
#include "XmltvWriter.h"

#include <gtest/gtest.h>

using namespace tstables;

namespace {

constexpr int64_t k21h = 1704110400;  // 2024-01-01 21:00 JST
const ServiceKey kService{0x7FE1, 0x7FE0, 0x0400};
const Bytes kCast = {0x3D, 0x50, 0x31, 0x69, 0x3C, 0x54};  // 出演者

Eit Section(uint8_t table, uint8_t number, const std::vector<Bytes>& events)
{
    auto b = CSectionBuilder::Long(table, 0x0400, 0, number, number | 1).U16(0x7FE0).U16(0x7FE1).U8(number).U8(table);
    for (const Bytes& e : events) b.Add(e);
    Eit eit;
    EXPECT_TRUE(ParseEit(Parsed(b.Build()), eit));
    return eit;
}

Bytes Event(uint16_t id, int hour, const Bytes& descriptors)
{
    return EventEntry(id, JstTime(2024, 1, 1, hour, 0, 0), BcdDuration(1, 0, 0), descriptors);
}

Bytes Title(const Bytes& title)
{
    return Desc(0x4D, Cat({{'j', 'p', 'n'}, Counted(title), {0}}));
}

Bytes Extended(uint8_t number, uint8_t last, const Bytes& description, const Bytes& text)
{
    const Bytes items = Cat({Counted(description), Counted(text)});
    return Desc(0x4E, Cat({{static_cast<uint8_t>(number << 4 | last), 'j', 'p', 'n'}, Counted(items), {0}}));
}

}  // namespace

TEST(TsEvents, CollectorMergesTablesAndJoinsExtendedTextAcrossSections)
{
    CEventCollector guide;
    // Schedule: basic information in 0x50, extended in 0x58, in two sections
    // that split 東京 (rows 37 and 21) between them.
    guide.Add(Section(0x50, 0, {Event(0x1001, 21, Title({0x46, 0x7C})), Event(0x1002, 22, Cat({Title({0x4B, 0x5C}), Desc(0x54, {0x60, 0xFF})})),
                                Event(0x1003, 23, {})}));
    guide.Add(Section(0x58, 8, {Event(0x1002, 22, Extended(1, 1, {}, {0x35, 0x7E}))}));
    guide.Add(Section(0x58, 0, {Event(0x1002, 22, Extended(0, 1, kCast, {0x45, 0x6C}))}));
    guide.Add(Section(0x4E, 0, {Event(0x1001, 21, {})}));
    guide.Add(Section(0x4E, 1, {Event(0x1002, 22, {})}));

    ASSERT_NE(guide.Present(kService), nullptr);
    EXPECT_EQ(guide.Present(kService)->title, "日");  // p/f without descriptors keeps what the schedule gave
    const GuideEvent* next = guide.Following(kService);
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(next->title, "本");
    EXPECT_EQ(next->genres, Bytes{0x60});
    EXPECT_EQ(next->startUtc, k21h + 3600);
    EXPECT_EQ(next->durationSeconds, 3600u);
    ASSERT_EQ(next->extended.size(), 1u);
    EXPECT_EQ(next->extended[0].description, "出演者");
    EXPECT_EQ(next->extended[0].text, "東京");

    const auto events = guide.ServiceEvents(kService);
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0]->key.eventId, 0x1001);
    EXPECT_EQ(events[2]->key.eventId, 0x1003);
    EXPECT_TRUE(guide.ServiceEvents({0x7FE1, 0x7FE0, 0x0401}).empty());

    // A new extended text in another number of parts replaces the old one.
    guide.Add(Section(0x58, 0, {Event(0x1002, 22, Extended(0, 0, kCast, {0x46, 0x7C}))}));
    ASSERT_EQ(guide.Following(kService)->extended.size(), 1u);
    EXPECT_EQ(guide.Following(kService)->extended[0].text, "日");
}

TEST(TsEvents, CollectorDropsEndedEventsButNotThePresentOne)
{
    CEventCollector guide;
    guide.Add(Section(0x50, 0, {Event(0x1001, 20, {}), Event(0x1002, 21, {}), Event(0x1003, 22, {})}));
    guide.Add(Section(0x4E, 0, {Event(0x1001, 20, {})}));  // overrunning: still on
    EXPECT_EQ(guide.DropEndedBefore(k21h + 3600 + 1), 1u);  // 21:00-22:00 is over
    EXPECT_NE(guide.Present(kService), nullptr);
    EXPECT_EQ(guide.events().size(), 2u);
    // The present event ends; an empty following section forgets the following one.
    guide.Add(Section(0x4E, 0, {Event(0x1003, 22, {})}));
    guide.Add(Section(0x4E, 1, {}));
    EXPECT_EQ(guide.Following(kService), nullptr);
    EXPECT_EQ(guide.DropEndedBefore(k21h + 3600 + 1), 1u);
    EXPECT_EQ(guide.Present(kService)->key.eventId, 0x1003);
}

namespace {

// A basic schedule section (table 0x50) of the version, with the segment's last section.
Eit Schedule(uint8_t version, uint8_t number, uint8_t segmentLast, const std::vector<Bytes>& events)
{
    auto b = CSectionBuilder::Long(0x50, 0x0400, version, number, 0xF8).U16(0x7FE0).U16(0x7FE1).U8(segmentLast).U8(0x50);
    for (const Bytes& e : events) b.Add(e);
    Eit eit;
    EXPECT_TRUE(ParseEit(Parsed(b.Build()), eit));
    return eit;
}

Bytes Timed(uint16_t id, int day, int hour, int minutes)
{
    return EventEntry(id, JstTime(2024, 1, day, hour, 0, 0), BcdDuration(minutes / 60, minutes % 60, 0),
                      Title({0x46, 0x7C}));
}

std::vector<uint16_t> Ids(const std::vector<ListedEvent>& listed)
{
    std::vector<uint16_t> ids;
    for (const ListedEvent& e : listed) ids.push_back(e.event->key.eventId);
    return ids;
}

const Bytes kUndefinedTime = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
const Bytes kUndefinedDuration = {0xFF, 0xFF, 0xFF};

}  // namespace

TEST(TsEvents, ANewScheduleVersionReplacesTheEventsOfItsThreeHours)
{
    CEventCollector guide;
    // Version 0 of 21:00-24:00 (segment 7, sections 56 and 57): 1 at 21:00, 2 at 22:00, 3 at 23:00;
    // and 4 at 0:00 the next day (segment 8).
    guide.Add(Schedule(0, 56, 57, {Timed(1, 1, 21, 60), Timed(2, 1, 22, 60)}));
    guide.Add(Schedule(0, 57, 57, {Timed(3, 1, 23, 60)}));
    guide.Add(Schedule(0, 64, 64, {Timed(4, 2, 0, 60)}));
    EXPECT_EQ(Ids(guide.Listing(kService)), (std::vector<uint16_t>{1, 2, 3, 4}));
    // Version 1: a special from 21:00 to 23:00 in place of 1 and 2. While the
    // segment's other section has not come in it, 1 and 2 are held but never
    // listed beside the special.
    guide.Add(Schedule(1, 56, 57, {Timed(5, 1, 21, 120)}));
    EXPECT_EQ(guide.events().size(), 5u);
    EXPECT_EQ(Ids(guide.Listing(kService)), (std::vector<uint16_t>{5, 3, 4}));
    guide.Add(Schedule(1, 57, 57, {Timed(3, 1, 23, 60)}));
    EXPECT_EQ(guide.events().size(), 3u);
    EXPECT_EQ(guide.events().count({kService, 1}) + guide.events().count({kService, 2}), 0u);
    // Version 2 empties the segment: its time comes from the table's other segments.
    guide.Add(Schedule(2, 64, 64, {Timed(4, 2, 0, 60)}));
    guide.Add(Schedule(2, 56, 57, {}));
    guide.Add(Schedule(2, 57, 57, {}));
    EXPECT_EQ(Ids(guide.Listing(kService)), (std::vector<uint16_t>{4}));
}

TEST(TsEvents, AnOpenEndLastsUntilTheNextStartAndAnUndefinedStartChangesNothing)
{
    CEventCollector guide;
    guide.Add(Schedule(0, 56, 56, {Timed(1, 1, 21, 60), Timed(2, 1, 22, 60)}));
    // A live broadcast runs over: the present event without an end, the
    // following one without a start.
    guide.Add(Section(0x4E, 0, {EventEntry(1, JstTime(2024, 1, 1, 21, 0, 0), kUndefinedDuration, {})}));
    guide.Add(Section(0x4E, 1, {EventEntry(2, kUndefinedTime, kUndefinedDuration, {})}));
    ASSERT_NE(guide.Following(kService), nullptr);
    EXPECT_EQ(guide.Following(kService)->startUtc, k21h + 3600);
    EXPECT_EQ(guide.Following(kService)->durationSeconds, 3600u);
    EXPECT_FALSE(guide.Present(kService)->durationSeconds);
    const std::vector<ListedEvent> listed = guide.Listing(kService);
    ASSERT_EQ(Ids(listed), (std::vector<uint16_t>{1, 2}));
    EXPECT_EQ(listed[0].stop, k21h + 3600);  // where the next starts
    EXPECT_EQ(listed[1].stop, k21h + 7200);
    CXmltvWriter xml("t");
    for (const ListedEvent& e : listed) EXPECT_TRUE(xml.Programme("c", *e.event, e.stop));
    const std::string doc = xml.Finish();
    EXPECT_NE(doc.find("start=\"20240101210000 +0900\" stop=\"20240101220000 +0900\""), std::string::npos) << doc;
    // Nothing known after it: it is given an hour.
    CEventCollector alone;
    alone.Add(Section(0x4E, 0, {EventEntry(1, JstTime(2024, 1, 1, 21, 0, 0), kUndefinedDuration, Title({0x46, 0x7C}))}));
    ASSERT_EQ(alone.Listing(kService).size(), 1u);
    EXPECT_EQ(alone.Listing(kService)[0].stop, k21h + CEventCollector::kAssumedSeconds);
}
