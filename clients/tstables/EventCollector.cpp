#include "EventCollector.h"

#include <algorithm>

namespace tstables {

void CEventCollector::Add(const Eit& eit)
{
    const ServiceKey service{eit.originalNetworkId, eit.transportStreamId, eit.serviceId};
    for (const EitEvent& e : eit.events) Merge(service, e);
    if (eit.isPresentFollowing() && eit.sectionNumber <= 1) {
        auto& which = eit.sectionNumber == 0 ? present_ : following_;
        if (eit.events.empty())
            which.erase(service);
        else
            which[service] = eit.events.front().eventId;
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
    g.startUtc = e.startUtc;
    g.utcOffset = e.utcOffset;
    g.durationSeconds = e.durationSeconds;
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

size_t CEventCollector::DropEndedBefore(int64_t utc)
{
    size_t dropped = 0;
    for (auto it = events_.begin(); it != events_.end();) {
        const GuideEvent& g = it->second;
        const bool current = IsPresentOrFollowing(it->first);
        const bool over = g.startUtc ? *g.startUtc + g.durationSeconds.value_or(0) < utc : true;
        if (over && !current) {
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
    const EventKey key = event.key;
    events_[key] = std::move(event);
    return true;
}

void CEventCollector::Clear()
{
    events_.clear();
    present_.clear();
    following_.clear();
}

}  // namespace tstables
