// A guide's events gathered from EIT sections (present/following and
// schedule, in any order): one entry per event, the latest section's values
// winning (but an undefined start never replaces a known one), the extended
// text put together from its parts wherever they came from, and each
// service's present and following event. A schedule segment (three hours of
// a basic table, 0x50 to 0x57) whose every section has come in one version
// is the whole truth for its three hours: the service's events starting then
// that it does not list are forgotten (a programme extended over the next
// one, two replaced by a special). Listing() is the service's guide as it
// may be shown: no two events overlapping, each with an end. Not for use by
// several threads at once (nor are the other classes here; DecodeAribText is).
//
//   CEventCollector guide;
//   guide.Add(eit);                                   // each new EIT section
//   for (const ListedEvent& e : guide.Listing({onid, tsid, sid})) ...
//   guide.Present({onid, tsid, sid});                 // null if not known
//   guide.DropEndedBefore(nowUtc);
#pragma once
#include "Eit.h"

#include <bitset>
#include <compare>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <vector>

namespace tstables {

struct ServiceKey {
    uint16_t originalNetworkId = 0;
    uint16_t transportStreamId = 0;
    uint16_t serviceId = 0;
    auto operator<=>(const ServiceKey&) const = default;
};

struct EventKey {
    ServiceKey service;
    uint16_t eventId = 0;
    auto operator<=>(const EventKey&) const = default;
};

struct GuideEvent {
    EventKey key;
    std::optional<int64_t> startUtc;
    int32_t utcOffset = kJstOffsetSeconds;
    std::optional<uint32_t> durationSeconds;
    std::string language;
    std::string title;
    std::string description;
    std::vector<uint8_t> genres;
    std::vector<VideoComponent> video;
    std::vector<AudioComponent> audio;
    std::vector<ExtendedItem> extended;            // joined from every part seen
    std::vector<ExtendedEventPart> extendedParts;  // raw, one per descriptor number
    // When the broadcast last told of it, in the collector's own count: where
    // events overlap, what was said last wins.
    uint64_t told = 0;
};

// An event as a guide lists it, with the end it is shown with.
struct ListedEvent {
    const GuideEvent* event = nullptr;
    int64_t start = 0, stop = 0;  // UTC seconds
};

class CEventCollector {
public:
    // Merges one section's events.
    void Add(const Eit& eit);

    const std::map<EventKey, GuideEvent>& events() const { return events_; }
    // The service's events, by start (those without one last).
    std::vector<const GuideEvent*> ServiceEvents(const ServiceKey& service) const;
    // The service's events as a guide shows them: by start, none overlapping
    // another. Where events overlap, the present event is kept, then the
    // following one, then the one the broadcast told of last; the others are
    // left out. An event whose duration is undefined ends where the next one
    // listed starts, or kAssumedSeconds after its start when none follows.
    // Events without a start are not listed.
    std::vector<ListedEvent> Listing(const ServiceKey& service) const;
    static constexpr int64_t kAssumedSeconds = 3600;
    // From the present/following table; null when not known.
    const GuideEvent* Present(const ServiceKey& service) const;
    const GuideEvent* Following(const ServiceKey& service) const;
    // Forgets events over before `utc` (by the end Listing gives them) and
    // events without a start, but never a service's present or following
    // event. Returns how many it forgot.
    size_t DropEndedBefore(int64_t utc);
    void Clear();
    // An event kept from before (a saved guide), as it was; its extended
    // text is joined again from its raw parts. False when full. Sections
    // that come later merge with it as with any other.
    bool Put(GuideEvent event);

    // Events held at most: further new ones are refused (a hostile stream
    // could name millions). Schedule segments followed at most: past it, new
    // ones replace nothing.
    static constexpr size_t kMaxEvents = 200000;
    static constexpr size_t kMaxSegments = 100000;
    uint64_t refused() const { return refused_; }

private:
    // One three-hour segment of a basic schedule table, as far as its
    // current version has come.
    struct SegmentKey {
        ServiceKey service;
        uint8_t table = 0, segment = 0;
        auto operator<=>(const SegmentKey&) const = default;
    };
    struct Segment {
        uint8_t version = 0;
        uint8_t last = 0;          // the segment's last section, 0 to 7
        std::bitset<8> seen;
        std::set<uint16_t> listed;  // the events its sections list
        std::optional<int64_t> from;  // the start of its three hours, when its events tell
    };
    // Where a table's segments lie in time, learnt from one that has events:
    // the start of the table's first segment, for the version it was learnt in.
    struct TableTime {
        uint8_t version = 0;
        int64_t from = 0;
    };

    void Merge(const ServiceKey& service, const EitEvent& e);
    void AddSchedule(const ServiceKey& service, const Eit& eit);
    void ReplaceSegment(const ServiceKey& service, const Segment& segment, int64_t from);
    const GuideEvent* Find(const ServiceKey& service, const std::map<ServiceKey, uint16_t>& which) const;
    bool IsPresentOrFollowing(const EventKey& key) const;

    std::map<EventKey, GuideEvent> events_;
    std::map<ServiceKey, uint16_t> present_;
    std::map<ServiceKey, uint16_t> following_;
    std::map<SegmentKey, Segment> segments_;
    std::map<std::pair<ServiceKey, uint8_t>, TableTime> tableTimes_;
    uint64_t told_ = 0;
    uint64_t refused_ = 0;
};

}  // namespace tstables
