// A guide's events gathered from EIT sections (present/following and
// schedule, in any order): one entry per event, the latest section's values
// winning, the extended text put together from its parts wherever they came
// from, and each service's present and following event. Not for use by
// several threads at once (nor are the other classes here; DecodeAribText is).
//
//   CEventCollector guide;
//   guide.Add(eit);                                   // each new EIT section
//   for (const GuideEvent* e : guide.ServiceEvents({onid, tsid, sid})) ...
//   guide.Present({onid, tsid, sid});                 // null if not known
//   guide.DropEndedBefore(nowUtc);
#pragma once
#include "Eit.h"

#include <compare>
#include <cstdint>
#include <map>
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
};

class CEventCollector {
public:
    // Merges one section's events.
    void Add(const Eit& eit);

    const std::map<EventKey, GuideEvent>& events() const { return events_; }
    // The service's events, by start (those without one last).
    std::vector<const GuideEvent*> ServiceEvents(const ServiceKey& service) const;
    // From the present/following table; null when not known.
    const GuideEvent* Present(const ServiceKey& service) const;
    const GuideEvent* Following(const ServiceKey& service) const;
    // Forgets events over before `utc` (start plus duration; an undefined
    // duration counts as none) and events without a start, but never a
    // service's present or following event. Returns how many it forgot.
    size_t DropEndedBefore(int64_t utc);
    void Clear();
    // An event kept from before (a saved guide), as it was; its extended
    // text is joined again from its raw parts. False when full. Sections
    // that come later merge with it as with any other.
    bool Put(GuideEvent event);

    // Events held at most: further new ones are refused (a hostile stream
    // could name millions).
    static constexpr size_t kMaxEvents = 200000;
    uint64_t refused() const { return refused_; }

private:
    void Merge(const ServiceKey& service, const EitEvent& e);
    const GuideEvent* Find(const ServiceKey& service, const std::map<ServiceKey, uint16_t>& which) const;
    bool IsPresentOrFollowing(const EventKey& key) const;

    std::map<EventKey, GuideEvent> events_;
    std::map<ServiceKey, uint16_t> present_;
    std::map<ServiceKey, uint16_t> following_;
    uint64_t refused_ = 0;
};

}  // namespace tstables
