#include "GuideStore.h"

#include "base/HexText.h"
#include "base/JsonRead.h"
#include "LogoPng.h"
#include "base/SavedFile.h"

#include <nlohmann/json.hpp>

#include <algorithm>

#include <windows.h>

using nlohmann::json;
using namespace tstables;

namespace {

constexpr const char* kFormat = "tsserve guide";
constexpr int kVersion = 1;

// The extended text is kept as the broadcast sent it, in parts that later
// sections may complete: raw ARIB bytes, as hex.
std::vector<uint8_t> Bytes(const json& j)
{
    return BytesOfHex(j.get<std::string>());
}

json EventJson(const GuideEvent& e)
{
    json j = {{"onid", e.key.service.originalNetworkId}, {"tsid", e.key.service.transportStreamId},
              {"sid", e.key.service.serviceId}, {"id", e.key.eventId}, {"offset", e.utcOffset}, {"told", e.told},
              {"language", e.language}, {"title", e.title}, {"description", e.description}, {"genres", e.genres}};
    j["userGenres"] = e.userGenres;
    j["free"] = !e.freeCaMode;
    json related = json::array();
    for (const RelatedEvent& r : e.related)
        related.push_back({static_cast<int>(r.type), r.networkId, r.serviceId, r.eventId});
    j["related"] = std::move(related);
    if (e.startUtc) j["start"] = *e.startUtc;
    if (e.durationSeconds) j["duration"] = *e.durationSeconds;
    json video = json::array(), audio = json::array(), extended = json::array();
    for (const VideoComponent& v : e.video)
        video.push_back({{"content", v.streamContent}, {"type", v.componentType}, {"tag", v.componentTag},
                         {"language", v.language}, {"text", v.text}});
    for (const AudioComponent& a : e.audio)
        audio.push_back({{"content", a.streamContent}, {"type", a.componentType}, {"tag", a.componentTag},
                         {"streamType", a.streamType}, {"group", a.simulcastGroupTag}, {"multiLingual", a.multiLingual},
                         {"main", a.mainComponent}, {"quality", a.qualityIndicator}, {"rate", a.samplingRate},
                         {"language", a.language}, {"language2", a.language2}, {"text", a.text}});
    for (const ExtendedEventPart& p : e.extendedParts) {
        json items = json::array();
        for (const ExtendedEventPart::Item& item : p.items) items.push_back({HexText(item.description), HexText(item.text)});
        extended.push_back({{"number", p.number}, {"last", p.last}, {"language", p.language}, {"items", items},
                            {"text", HexText(p.text)}});
    }
    j["video"] = std::move(video);
    j["audio"] = std::move(audio);
    j["extended"] = std::move(extended);
    return j;
}

GuideEvent EventOf(const json& j)
{
    GuideEvent e;
    e.key = {{JsonInteger<uint16_t>(j, "onid"), JsonInteger<uint16_t>(j, "tsid"), JsonInteger<uint16_t>(j, "sid")},
             JsonInteger<uint16_t>(j, "id")};
    if (j.contains("start")) e.startUtc = JsonInteger<int64_t>(j, "start");
    if (j.contains("duration")) e.durationSeconds = JsonInteger<uint32_t>(j, "duration");
    e.utcOffset = JsonInteger<int32_t>(j, "offset");
    e.told = JsonInteger<uint64_t>(j, "told", 0);
    e.language = j.at("language").get<std::string>();
    e.title = j.at("title").get<std::string>();
    e.description = j.at("description").get<std::string>();
    for (const json& g : j.at("genres")) e.genres.push_back(JsonInteger<uint8_t>(json{{"g", g}}, "g"));
    // Guides saved before these were kept have none.
    if (j.contains("userGenres"))
        for (const json& g : j.at("userGenres")) e.userGenres.push_back(JsonInteger<uint8_t>(json{{"g", g}}, "g"));
    e.freeCaMode = j.contains("free") && !j.at("free").get<bool>();
    if (j.contains("related"))
        for (const json& r : j.at("related")) {
            const json item{{"type", r.at(0)}, {"network", r.at(1)}, {"service", r.at(2)}, {"event", r.at(3)}};
            const uint8_t type = JsonInteger<uint8_t>(item, "type");
            if (type < 1 || type > 3) throw std::invalid_argument("a related event's type is 1 to 3");
            e.related.push_back({static_cast<RelatedEvent::Type>(type), JsonInteger<uint16_t>(item, "network"),
                                 JsonInteger<uint16_t>(item, "service"), JsonInteger<uint16_t>(item, "event")});
        }
    for (const json& v : j.at("video")) {
        VideoComponent c;
        c.streamContent = JsonInteger<uint8_t>(v, "content");
        c.componentType = JsonInteger<uint8_t>(v, "type");
        c.componentTag = JsonInteger<uint8_t>(v, "tag");
        c.language = v.at("language").get<std::string>();
        c.text = v.at("text").get<std::string>();
        e.video.push_back(std::move(c));
    }
    for (const json& a : j.at("audio")) {
        AudioComponent c;
        c.streamContent = JsonInteger<uint8_t>(a, "content");
        c.componentType = JsonInteger<uint8_t>(a, "type");
        c.componentTag = JsonInteger<uint8_t>(a, "tag");
        c.streamType = JsonInteger<uint8_t>(a, "streamType");
        c.simulcastGroupTag = JsonInteger<uint8_t>(a, "group");
        c.multiLingual = a.at("multiLingual").get<bool>();
        c.mainComponent = a.at("main").get<bool>();
        c.qualityIndicator = JsonInteger<uint8_t>(a, "quality");
        c.samplingRate = JsonInteger<uint8_t>(a, "rate");
        c.language = a.at("language").get<std::string>();
        c.language2 = a.at("language2").get<std::string>();
        c.text = a.at("text").get<std::string>();
        e.audio.push_back(std::move(c));
    }
    for (const json& p : j.at("extended")) {
        ExtendedEventPart part;
        part.number = JsonInteger<uint8_t>(p, "number");
        part.last = JsonInteger<uint8_t>(p, "last");
        part.language = p.at("language").get<std::string>();
        for (const json& item : p.at("items")) part.items.push_back({Bytes(item.at(0)), Bytes(item.at(1))});
        part.text = Bytes(p.at("text"));
        e.extendedParts.push_back(std::move(part));
    }
    return e;
}

}  // namespace

int64_t UtcNow()
{
    FILETIME f;
    GetSystemTimeAsFileTime(&f);
    const uint64_t t = (static_cast<uint64_t>(f.dwHighDateTime) << 32) | f.dwLowDateTime;
    return static_cast<int64_t>(t / 10000000ull) - 11644473600ll;  // 1601 to 1970
}

std::string GuideToJson(const CGuideData& data, int64_t savedUtc)
{
    json streams = json::array(), events = json::array();
    for (const auto& [key, times] : data.streams)
        streams.push_back({{"onid", key.first}, {"tsid", key.second}, {"taken", times.taken}, {"tried", times.tried}});
    for (const auto& [key, e] : data.events.events()) events.push_back(EventJson(e));
    return json{{"format", kFormat},       {"version", kVersion},
                {"saved", savedUtc},       {"collected", data.collectedUtc},
                {"transportStreams", std::move(streams)}, {"events", std::move(events)},
                {"logos", data.logos.ToJson()}}
               .dump(-1, ' ', false, json::error_handler_t::replace) +
           "\n";
}

bool GuideFromJson(const std::string& text, CGuideData& out, std::string& error)
{
    try {
        const json doc = json::parse(text);
        if (doc.value("format", "") != kFormat) {
            error = "not a saved guide";
            return false;
        }
        if (JsonInteger<int>(doc, "version") != kVersion) {
            error = "a saved guide of another version";
            return false;
        }
        CGuideData data;
        data.collectedUtc = JsonInteger<int64_t>(doc, "collected", 0);
        for (const json& s : doc.at("transportStreams"))
            data.streams[{JsonInteger<uint16_t>(s, "onid"), JsonInteger<uint16_t>(s, "tsid")}] = {
                JsonInteger<int64_t>(s, "taken"), JsonInteger<int64_t>(s, "tried")};
        for (const json& e : doc.at("events")) data.events.Put(EventOf(e));
        if (doc.contains("logos")) data.logos = CLogoSet::FromJson(doc.at("logos"));  // older files have none
        out = std::move(data);
        return true;
    } catch (const std::exception& e) {
        error = e.what();
        return false;
    }
}

bool CGuideStore::Load(int64_t nowUtc, std::string& error)
{
    std::string text;
    bool missing = false;
    if (!ReadSavedFile(path_, text, missing, error)) return missing;
    CGuideData data;
    if (!GuideFromJson(text, data, error)) return false;
    data.events.DropEndedBefore(nowUtc);
    std::lock_guard<std::mutex> lock(mutex_);
    data_ = std::move(data);
    for (const auto& [key, times] : data_.streams) state_.lastTakenUtc = std::max(state_.lastTakenUtc, times.taken);
    state_.lastAddedUtc = data_.collectedUtc;
    dirty_ = false;
    return true;
}

bool CGuideStore::Save(int64_t nowUtc, std::string& error)
{
    std::string text;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (data_.events.DropEndedBefore(nowUtc)) dirty_ = true;
        if (!dirty_) return true;
        text = GuideToJson(data_, nowUtc);
        dirty_ = false;
    }
    if (WriteSavedFile(path_, text, error)) return true;
    std::lock_guard<std::mutex> lock(mutex_);
    dirty_ = true;
    return false;
}

void CGuideStore::AddLogo(const CdtLogo& logo)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (data_.logos.Add(logo)) dirty_ = true;
}

void CGuideStore::NoteServiceLogo(const ServiceKey& service, uint16_t logoId)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (data_.logos.Refer(service, logoId)) dirty_ = true;
}

std::string CGuideStore::Logo(const ServiceKey& service) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    const std::vector<uint8_t>* png = data_.logos.Of(service);
    return png ? LogoWithPalette(*png) : "";
}

bool CGuideStore::HasLogo(const ServiceKey& service) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return data_.logos.Of(service) != nullptr;
}

void CGuideStore::Add(const Eit& eit, int64_t nowUtc)
{
    std::lock_guard<std::mutex> lock(mutex_);
    data_.events.Add(eit);
    dirty_ = true;
    // Bounded as the events are: one key per event held.
    if (touched_.size() < CEventCollector::kMaxEvents)
        for (const EitEvent& e : eit.events)
            touched_.insert({{eit.originalNetworkId, eit.transportStreamId, eit.serviceId}, e.eventId});
    if (!eit.events.empty()) state_.lastAddedUtc = data_.collectedUtc = nowUtc;
}

void CGuideStore::NoteScheduleTaken(uint16_t networkId, uint16_t transportStreamId, int64_t utc)
{
    std::lock_guard<std::mutex> lock(mutex_);
    CScheduleTimes& t = data_.streams[{networkId, transportStreamId}];
    t.taken = t.tried = utc;
    state_.lastTakenUtc = utc;
    dirty_ = true;
}

void CGuideStore::NoteScheduleTried(uint16_t networkId, uint16_t transportStreamId, int64_t utc)
{
    std::lock_guard<std::mutex> lock(mutex_);
    data_.streams[{networkId, transportStreamId}].tried = utc;
    dirty_ = true;
}

int64_t CGuideStore::ScheduleTaken(uint16_t networkId, uint16_t transportStreamId) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = data_.streams.find({networkId, transportStreamId});
    return it == data_.streams.end() ? 0 : it->second.taken;
}

int64_t CGuideStore::ScheduleTried(uint16_t networkId, uint16_t transportStreamId) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = data_.streams.find({networkId, transportStreamId});
    return it == data_.streams.end() ? 0 : it->second.tried;
}

// What the guide lists (CEventCollector::Listing): the event on at the time
// and the one after it. The broadcast's present event is on from its start
// for as long as it says (an open end: until it says otherwise); its
// following event, where its start is not known yet, comes next.
CNowNext CGuideStore::NowNext(const ServiceKey& service, int64_t nowUtc) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    const std::vector<ListedEvent> listed = data_.events.Listing(service);
    const GuideEvent* present = data_.events.Present(service);
    const GuideEvent* following = data_.events.Following(service);
    size_t now = listed.size();
    for (size_t i = 0; i < listed.size(); ++i) {
        const ListedEvent& e = listed[i];
        if (e.start > nowUtc) continue;
        const bool open = e.event == present && !(e.event->durationSeconds && *e.event->durationSeconds > 0);
        if (open) {
            now = i;
            break;
        }
        if (nowUtc < e.stop) now = i;
    }
    CNowNext out;
    const ListedEvent* next = nullptr;
    if (now < listed.size()) {
        out.now = *listed[now].event;
        out.nowStop = listed[now].stop;
        if (now + 1 < listed.size()) next = &listed[now + 1];
    } else {
        for (const ListedEvent& e : listed)
            if (e.start > nowUtc) {
                next = &e;
                break;
            }
    }
    if (next) {
        out.next = *next->event;
        out.nextStop = next->stop;
    } else if (following && !following->startUtc && following != present) {
        out.next = *following;
    }
    return out;
}

std::vector<CListedProgram> CGuideStore::Listing(const ServiceKey& service) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<CListedProgram> out;
    for (const ListedEvent& e : data_.events.Listing(service)) out.push_back({*e.event, e.start, e.stop});
    return out;
}

std::optional<CListedProgram> CGuideStore::Program(const EventKey& key) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = data_.events.events().find(key);
    if (it == data_.events.events().end() || !it->second.startUtc) return std::nullopt;
    for (const ListedEvent& e : data_.events.Listing(key.service))
        if (e.event == &it->second) return CListedProgram{it->second, e.start, e.stop};
    const GuideEvent& g = it->second;
    const int64_t length = g.durationSeconds && *g.durationSeconds ? *g.durationSeconds : CEventCollector::kAssumedSeconds;
    return CListedProgram{g, *g.startUtc, *g.startUtc + length};
}

std::optional<uint16_t> CGuideStore::PresentEvent(const ServiceKey& service) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    const GuideEvent* present = data_.events.Present(service);
    if (!present) return std::nullopt;
    return present->key.eventId;
}

std::vector<EventKey> CGuideStore::TakeTouched()
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<EventKey> out(touched_.begin(), touched_.end());
    touched_.clear();
    return out;
}

size_t CGuideStore::EventCount(const ServiceKey& service) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return data_.events.ServiceEvents(service).size();
}

CGuideState CGuideStore::State() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    CGuideState s = state_;
    s.events = data_.events.events().size();
    return s;
}

std::string CGuideStore::Xmltv(const std::vector<std::pair<XmltvChannel, ServiceKey>>& channels,
                               const std::string& generator, std::optional<int64_t> beforeUtc) const
{
    CXmltvWriter xml(generator);
    for (const auto& [channel, service] : channels) xml.Channel(channel);
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [channel, service] : channels)
        for (const ListedEvent& e : data_.events.Listing(service))
            if (!beforeUtc || e.start < *beforeUtc)
                xml.Programme(channel.id, *e.event, e.stop);
    return xml.Finish();
}
