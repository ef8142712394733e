#include "ApiShapes.h"

#include "Components.h"
#include "tuner/ChannelSelection.h"

using nlohmann::json;

namespace {

const char* VideoType(uint8_t streamContent)
{
    switch (streamContent) {
    case 0x01: return "mpeg2";
    case 0x05: return "h.264";
    case 0x09: return "h.265";
    default: return nullptr;
    }
}

// ARIB's sampling frequency codes, in Hz; 0 for the reserved ones.
int SamplingRate(uint8_t code)
{
    static const int kRates[8] = {0, 16000, 22050, 24000, 0, 32000, 44100, 48000};
    return kRates[code & 7];
}

// The languages the library's definition lists; others are "etc".
std::string Language(const std::string& code)
{
    for (const char* known : {"jpn", "eng", "deu", "fra", "ita", "rus", "zho", "kor", "spa"})
        if (code == known) return code;
    return "etc";
}

const char* RelatedType(tstables::RelatedEvent::Type type)
{
    switch (type) {
    case tstables::RelatedEvent::Type::Relay: return "relay";
    case tstables::RelatedEvent::Type::Movement: return "movement";
    default: return "shared";
    }
}

}  // namespace

uint64_t ServiceItemId(uint16_t networkId, uint16_t serviceId)
{
    return uint64_t(networkId) * 100000u + serviceId;
}

uint64_t ProgramId(uint16_t networkId, uint16_t serviceId, uint16_t eventId)
{
    return uint64_t(networkId) * 10000000000ull + uint64_t(serviceId) * 100000u + eventId;
}

bool ParseApiNumber(const std::string& text, uint64_t max, uint64_t& out)
{
    if (text.empty() || text.size() > 19) return false;
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    if (v > max) return false;
    out = v;
    return true;
}

const char* ChannelTypeOf(const CListedChannel& channel, bool terrestrial)
{
    if (terrestrial) return "GR";
    return static_cast<uint32_t>(channel.band) == kBandBS ? "BS" : "CS";
}

json ServiceJson(const CLineupEntry& e, bool terrestrial, bool hasLogo)
{
    json j = {{"id", ServiceItemId(e.service.originalNetworkId, e.serviceId)},
              {"serviceId", e.serviceId},
              {"networkId", e.service.originalNetworkId},
              {"transportStreamId", e.service.transportStreamId},
              {"name", e.name},
              {"type", e.serviceType},
              {"hasLogoData", hasLogo},
              {"channel", {{"type", ChannelTypeOf(*e.channel, terrestrial)}, {"channel", e.channel->argument}}}};
    if (e.remoteControlKeyId) j["remoteControlKeyId"] = *e.remoteControlKeyId;
    return j;
}

json ChannelJson(const CListedChannel& channel, bool terrestrial, json services)
{
    return {{"type", ChannelTypeOf(channel, terrestrial)},
            {"channel", channel.argument},
            {"name", channel.name.empty() ? channel.argument : channel.name},
            {"services", std::move(services)}};
}

json ProgramJson(const tstables::GuideEvent& e, int64_t startUtc, int64_t stopUtc)
{
    const tstables::ServiceKey& s = e.key.service;
    json j = {{"id", ProgramId(s.originalNetworkId, s.serviceId, e.key.eventId)},
              {"eventId", e.key.eventId},
              {"serviceId", s.serviceId},
              {"networkId", s.originalNetworkId},
              {"startAt", startUtc * 1000},
              // 1: the end is not decided yet, which recorders look at again.
              {"duration", e.durationSeconds ? (stopUtc - startUtc) * 1000 : 1},
              {"isFree", !e.freeCaMode}};
    if (!e.title.empty()) j["name"] = e.title;
    if (!e.description.empty()) j["description"] = e.description;
    if (!e.genres.empty()) {
        json genres = json::array();
        for (size_t i = 0; i < e.genres.size(); ++i) {
            const uint8_t user = i < e.userGenres.size() ? e.userGenres[i] : 0;
            genres.push_back({{"lv1", e.genres[i] >> 4}, {"lv2", e.genres[i] & 0x0F}, {"un1", user >> 4},
                              {"un2", user & 0x0F}});
        }
        j["genres"] = std::move(genres);
    }
    for (const tstables::VideoComponent& v : e.video) {
        const char* type = VideoType(v.streamContent);
        const char* resolution = tstables::VideoQuality(v);
        if (!type || !resolution) continue;
        j["video"] = {{"type", type},
                      {"resolution", resolution},
                      {"streamContent", v.streamContent},
                      {"componentType", v.componentType}};
        break;
    }
    // Guides that read a named programme take its audios as given, empty or not.
    if (!e.audio.empty() || !e.title.empty()) {
        json audios = json::array();
        for (const tstables::AudioComponent& a : e.audio) {
            json langs = json::array({Language(a.language)});
            if (a.multiLingual && !a.language2.empty()) langs.push_back(Language(a.language2));
            audios.push_back({{"componentType", a.componentType},
                              {"componentTag", a.componentTag},
                              {"isMain", a.mainComponent},
                              {"samplingRate", SamplingRate(a.samplingRate)},
                              {"langs", std::move(langs)}});
        }
        j["audios"] = std::move(audios);
    }
    json extended = json::object();
    for (const tstables::ExtendedItem& item : e.extended)
        if (!item.description.empty()) extended[item.description] = item.text;
    if (!extended.empty()) j["extended"] = std::move(extended);
    if (!e.related.empty()) {
        json related = json::array();
        for (const tstables::RelatedEvent& r : e.related) {
            json item = {{"type", RelatedType(r.type)}, {"serviceId", r.serviceId}, {"eventId", r.eventId}};
            if (r.networkId) item["networkId"] = r.networkId;
            related.push_back(std::move(item));
        }
        j["relatedItems"] = std::move(related);
    }
    return j;
}

json TunerUserJson(const CTunerUser& u)
{
    json user = {{"id", u.id}, {"priority", u.priority}};
    if (!u.agent.empty()) user["agent"] = u.agent;
    if (!u.url.empty()) user["url"] = u.url;
    json info = json::object();
    for (const auto& [pid, t] : u.pids) info[std::to_string(pid)] = {{"packet", t.packets}, {"drop", t.drops}};
    user["streamInfo"] = std::move(info);
    return user;
}

json TunerJson(const CTunerShape& t)
{
    json users = json::array();
    for (const CTunerUser& u : t.users) users.push_back(TunerUserJson(u));
    const bool using_ = !t.users.empty() || t.busy;
    return {{"index", t.index},
            {"name", t.name},
            {"types", t.terrestrial ? json::array({"GR"}) : json::array({"BS", "CS"})},
            {"command", ""},
            {"pid", 0},
            {"users", std::move(users)},
            {"isAvailable", t.served},
            {"isRemote", false},
            {"isFree", t.served && !using_},
            {"isUsing", using_},
            {"isFault", false}};
}

std::string ApiErrorJson(int code, const std::string& reason)
{
    return json{{"code", code}, {"reason", reason}, {"errors", json::array()}}.dump();
}
