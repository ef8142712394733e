// The recorders' API's documents as its client library reads them: services,
// channels, programmes, tuners and errors, shaped as the library's own
// definitions have them, made from what tsserve holds (the lineups after a
// scan, the guide, the tuner feeds). And the API's ids: a service's is
// networkId * 100000 + serviceId, a programme's networkId then serviceId
// and eventId in five digits each, as decimals.
#pragma once
#include "ChannelList.h"
#include "EventCollector.h"
#include "feed/StreamTally.h"
#include "lineup/Lineup.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

uint64_t ServiceItemId(uint16_t networkId, uint16_t serviceId);
uint64_t ProgramId(uint16_t networkId, uint16_t serviceId, uint16_t eventId);
// An id in a path or query: decimal digits only, no sign, at most `max`;
// false for anything else ("", "-1", "1e3", "99999999999999999999").
bool ParseApiNumber(const std::string& text, uint64_t max, uint64_t& out);
constexpr uint64_t kMaxServiceItemId = 6553565535ull;
constexpr uint64_t kMaxProgramId = 655356553565535ull;

// "GR" for the terrestrial kind; "BS" or "CS" by the satellite channel's band.
const char* ChannelTypeOf(const CListedChannel& channel, bool terrestrial);

// A service of a lineup: id, serviceId, networkId, name, type,
// remoteControlKeyId, channel {type, channel}, hasLogoData (a logo is held:
// /api/services/{id}/logo answers it).
nlohmann::json ServiceJson(const CLineupEntry& entry, bool terrestrial, bool hasLogo);
// A channel: type, channel (as tsserve's URLs name it: "27", "C22", "40D0"),
// name, and its services as `services`.
nlohmann::json ChannelJson(const CListedChannel& channel, bool terrestrial, nlohmann::json services);

// A programme of the guide, with the start and end it is listed with.
nlohmann::json ProgramJson(const tstables::GuideEvent& event, int64_t startUtc, int64_t stopUtc);

// One user of a tuner: what it is (id), its priority, who (agent) and what
// it asked for (url); what its stream was sent per PID (streamInfo).
struct CTunerUser {
    std::string id;
    int priority = 0;
    std::string agent;
    std::string url;
    std::map<uint16_t, CPidTally> pids;
};
// {id, priority, agent, url, streamInfo: {"PID": {packet, drop}}}.
nlohmann::json TunerUserJson(const CTunerUser& user);
// A tuner kind as a tuner device: index 0 terrestrial, 1 satellite.
struct CTunerShape {
    int index = 0;
    std::string name;
    bool terrestrial = true;
    bool served = false;
    bool busy = false;  // the feed has a connection to TunerHost open, or lends it
    std::vector<CTunerUser> users;
};
nlohmann::json TunerJson(const CTunerShape& tuner);

// {code, reason, errors}, as the library's Error definition has it.
std::string ApiErrorJson(int code, const std::string& reason);
