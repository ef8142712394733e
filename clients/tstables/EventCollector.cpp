#include "EventCollector.h"

#include <algorithm>
#include <iterator>

namespace tstables {
namespace {

constexpr int64_t kSegmentSeconds = 3 * 3600;

// Segments are three hours from midnight, Japan's (ARIB) or UTC (DVB): the
// same boundaries, nine hours being three segments.
int64_t SegmentStart(int64_t utc)
{
    const int64_t r = utc % kSegmentSeconds;
    return utc - (r < 0 ? r + kSegmentSeconds : r);
}

bool HasLength(const GuideEvent& e)
{
    return e.durationSeconds && *e.durationSeconds > 0;
}

}  // namespace

void CEventCollector::Add(const Eit& eit)
{
    const ServiceKey service{eit.originalNetworkId, eit.transportStreamId, eit.serviceId};
    ++told_;
    for (const EitEvent& e : eit.events) Merge(service, e);
    if (eit.isPresentFollowing() && eit.sectionNumber <= 1) {
        auto& which = eit.sectionNumber == 0 ? present_ : following_;
        if (eit.events.empty())
            which.erase(service);
        else
            which[service] = eit.events.front().eventId;
    }
    if (eit.tableId >= 0x50 && eit.tableId <= 0x57) AddSchedule(service, eit);
}

void CEventCollector::AddSchedule(const ServiceKey& service, const Eit& eit)
{
    const uint8_t number = eit.sectionNumber / 8;
    const SegmentKey key{service, eit.tableId, number};
    auto it = segments_.find(key);
    if (it == segments_.end()) {
        if (segments_.size() >= kMaxSegments) return;
        it = segments_.emplace(key, Segment{}).first;
        it->second.version = eit.version;
    }
    Segment& segment = it->second;
    if (segment.version != eit.version) {
        segment = Segment{};
        segment.version = eit.version;
    }
    // The segment's last section lies in the segment, at or after this one.
    const unsigned at = eit.sectionNumber % 8;
    const unsigned last = eit.segmentLastSectionNumber / 8 == number && eit.segmentLastSectionNumber >= eit.sectionNumber
                              ? eit.segmentLastSectionNumber % 8
                              : at;
    segment.last = static_cast<uint8_t>(std::max<unsigned>(segment.last, last));
    segment.seen.set(at);
    for (const EitEvent& e : eit.events) {
        segment.listed.insert(e.eventId);
        if (!segment.from && e.startUtc) segment.from = SegmentStart(*e.startUtc);
    }
    // A segment without events learns its time from the table's others.
    const auto table = std::pair(service, eit.tableId);
    if (segment.from) tableTimes_[table] = {eit.version, *segment.from - number * kSegmentSeconds};
    for (unsigned n = 0; n <= segment.last; ++n)
        if (!segment.seen[n]) return;
    std::optional<int64_t> from = segment.from;
    const auto time = tableTimes_.find(table);
    if (!from && time != tableTimes_.end() && time->second.version == eit.version)
        from = time->second.from + number * kSegmentSeconds;
    if (from) ReplaceSegment(service, segment, *from);
}

// The segment's every section has come in one version: what starts in its
// three hours and it does not list is no longer on (the broadcast's present
// and following events stay; they are newer than any schedule).
void CEventCollector::ReplaceSegment(const ServiceKey& service, const Segment& segment, int64_t from)
{
    for (auto it = events_.lower_bound(EventKey{service, 0}); it != events_.end() && it->first.service == service;) {
        const GuideEvent& g = it->second;
        const bool inside = g.startUtc && *g.startUtc >= from && *g.startUtc < from + kSegmentSeconds;
        if (inside && !segment.listed.count(it->first.eventId) && !IsPresentOrFollowing(it->first))
            it = events_.erase(it);
        else
            ++it;
    }
}

void CEventCollector::Merge(const ServiceKey& service, const EitEvent& e)
{
    const EventKey key{service, e.eventId};
    auto it = events_.find(key);
    if (it == events_.end()) {
        if (events_.size() >= kMaxEvents) {
            ++refused_;
            return;
        }
        it = events_.emplace(key, GuideEvent{}).first;
        it->second.key = key;
    }
    GuideEvent& g = it->second;
    g.told = told_;
    if (e.startUtc) {
        g.startUtc = e.startUtc;
        g.utcOffset = e.utcOffset;
        g.durationSeconds = e.durationSeconds;  // undefined: its end is not known now
    } else if (e.durationSeconds || !g.startUtc) {
        // The event after one whose end is open has no start yet: the one
        // known stays.
        g.durationSeconds = e.durationSeconds;
    }
    if (e.hasShortEvent) {
        g.language = e.language;
        g.title = e.title;
        g.description = e.description;
    }
    if (e.hasContent) g.genres = e.genres;
    if (!e.video.empty()) g.video = e.video;
    if (!e.audio.empty()) g.audio = e.audio;
    if (e.extendedParts.empty()) return;
    for (const ExtendedEventPart& part : e.extendedParts) {
        // A different count of parts is a new text: the old parts go.
        if (!g.extendedParts.empty() && g.extendedParts.front().last != part.last) g.extendedParts.clear();
        auto same = std::find_if(g.extendedParts.begin(), g.extendedParts.end(),
                                 [&](const ExtendedEventPart& p) { return p.number == part.number; });
        if (same != g.extendedParts.end())
            *same = part;
        else
            g.extendedParts.push_back(part);
    }
    std::vector<const ExtendedEventPart*> parts;
    for (const ExtendedEventPart& part : g.extendedParts) parts.push_back(&part);
    g.extended = JoinExtendedItems(parts);
}

std::vector<const GuideEvent*> CEventCollector::ServiceEvents(const ServiceKey& service) const
{
    std::vector<const GuideEvent*> out;
    for (auto it = events_.lower_bound(EventKey{service, 0}); it != events_.end() && it->first.service == service; ++it)
        out.push_back(&it->second);
    std::stable_sort(out.begin(), out.end(), [](const GuideEvent* a, const GuideEvent* b) {
        if (a->startUtc.has_value() != b->startUtc.has_value()) return a->startUtc.has_value();
        return a->startUtc.value_or(0) < b->startUtc.value_or(0);
    });
    return out;
}

const GuideEvent* CEventCollector::Find(const ServiceKey& service, const std::map<ServiceKey, uint16_t>& which) const
{
    const auto id = which.find(service);
    if (id == which.end()) return nullptr;
    const auto it = events_.find(EventKey{service, id->second});
    return it == events_.end() ? nullptr : &it->second;
}

const GuideEvent* CEventCollector::Present(const ServiceKey& service) const { return Find(service, present_); }
const GuideEvent* CEventCollector::Following(const ServiceKey& service) const { return Find(service, following_); }

bool CEventCollector::IsPresentOrFollowing(const EventKey& key) const
{
    const auto p = present_.find(key.service), f = following_.find(key.service);
    return (p != present_.end() && p->second == key.eventId) || (f != following_.end() && f->second == key.eventId);
}

std::vector<ListedEvent> CEventCollector::Listing(const ServiceKey& service) const
{
    std::vector<const GuideEvent*> events;
    for (auto it = events_.lower_bound(EventKey{service, 0}); it != events_.end() && it->first.service == service; ++it)
        if (it->second.startUtc) events.push_back(&it->second);
    const GuideEvent* present = Present(service);
    const GuideEvent* following = Following(service);
    const auto rank = [&](const GuideEvent* e) { return e == present ? 0 : e == following ? 1 : 2; };
    std::sort(events.begin(), events.end(), [&](const GuideEvent* a, const GuideEvent* b) {
        if (rank(a) != rank(b)) return rank(a) < rank(b);
        if (a->told != b->told) return a->told > b->told;
        return a->key < b->key;
    });
    // Each event kept holds its time; one without a length, its start.
    std::map<int64_t, int64_t> taken;  // start, end
    std::vector<const GuideEvent*> kept;
    for (const GuideEvent* e : events) {
        const int64_t start = *e->startUtc;
        const int64_t end = HasLength(*e) ? start + *e->durationSeconds : start + 1;
        const auto after = taken.lower_bound(start);
        if (after != taken.end() && after->first < end) continue;
        if (after != taken.begin() && std::prev(after)->second > start) continue;
        taken.emplace(start, end);
        kept.push_back(e);
    }
    std::sort(kept.begin(), kept.end(), [](const GuideEvent* a, const GuideEvent* b) { return *a->startUtc < *b->startUtc; });
    std::vector<ListedEvent> out;
    for (size_t i = 0; i < kept.size(); ++i) {
        const int64_t start = *kept[i]->startUtc;
        const int64_t stop = HasLength(*kept[i])  ? start + *kept[i]->durationSeconds
                             : i + 1 < kept.size() ? *kept[i + 1]->startUtc
                                                   : start + kAssumedSeconds;
        out.push_back({kept[i], start, stop});
    }
    return out;
}

size_t CEventCollector::DropEndedBefore(int64_t utc)
{
    // An event without a length ends where the service's next one starts.
    std::map<ServiceKey, std::set<int64_t>> starts;
    for (const auto& [key, g] : events_)
        if (g.startUtc) starts[key.service].insert(*g.startUtc);
    size_t dropped = 0;
    for (auto it = events_.begin(); it != events_.end();) {
        const GuideEvent& g = it->second;
        bool over = true;
        if (g.startUtc && HasLength(g)) {
            over = *g.startUtc + *g.durationSeconds < utc;
        } else if (g.startUtc) {
            const std::set<int64_t>& s = starts[it->first.service];
            const auto next = s.upper_bound(*g.startUtc);
            over = (next == s.end() ? *g.startUtc + kAssumedSeconds : *next) < utc;
        }
        if (over && !IsPresentOrFollowing(it->first)) {
            it = events_.erase(it);
            ++dropped;
        } else {
            ++it;
        }
    }
    return dropped;
}

bool CEventCollector::Put(GuideEvent event)
{
    if (!events_.count(event.key) && events_.size() >= kMaxEvents) {
        ++refused_;
        return false;
    }
    std::vector<const ExtendedEventPart*> parts;
    for (const ExtendedEventPart& part : event.extendedParts) parts.push_back(&part);
    event.extended = JoinExtendedItems(parts);
    told_ = std::max(told_, event.told);
    const EventKey key = event.key;
    events_[key] = std::move(event);
    return true;
}

void CEventCollector::Clear()
{
    events_.clear();
    present_.clear();
    following_.clear();
    segments_.clear();
    tableTimes_.clear();
}

}  // namespace tstables
