#include "ScanStore.h"

#include "JsonRead.h"
#include "Lineup.h"
#include "SavedFile.h"

#include <nlohmann/json.hpp>

using nlohmann::json;

namespace {

constexpr const char* kFormat = "tsserve scan";
constexpr int kVersion = 1;

json ServiceJson(const tstables::ScannedService& s)
{
    json j = {{"id", s.serviceId}, {"type", s.serviceType}, {"name", s.name}, {"provider", s.provider},
              {"number", s.number}, {"pmtPid", s.pmtPid}, {"streamTypes", s.streamTypes}, {"scrambled", s.scrambled},
              {"videoContent", s.videoContent}, {"videoType", s.videoType}, {"scrambledPackets", s.scrambledPackets}};
    if (!s.guideNumber.empty()) j["guideNumber"] = s.guideNumber;
    return j;
}

tstables::ScannedService ServiceOf(const json& j)
{
    tstables::ScannedService s;
    s.serviceId = JsonInteger<uint16_t>(j, "id");
    s.serviceType = JsonInteger<uint8_t>(j, "type");
    s.name = j.at("name").get<std::string>();
    s.provider = j.value("provider", "");
    s.number = JsonInteger<uint16_t>(j, "number", 0);
    s.pmtPid = JsonInteger<uint16_t>(j, "pmtPid", 0x1FFF);
    if (j.contains("streamTypes"))
        for (const json& type : j.at("streamTypes")) {
            const json one = {{"streamType", type}};
            s.streamTypes.push_back(JsonInteger<uint8_t>(one, "streamType"));
        }
    s.scrambled = j.value("scrambled", false);
    s.videoContent = JsonInteger<uint8_t>(j, "videoContent", 0);
    s.videoType = JsonInteger<uint8_t>(j, "videoType", 0);
    s.scrambledPackets = j.value("scrambledPackets", false);
    s.guideNumber = j.value("guideNumber", "");
    return s;
}

}  // namespace

std::string ScanToJson(const std::vector<CScannedChannel>& channels)
{
    json list = json::array();
    for (const CScannedChannel& c : channels) {
        json j = {{"kind", c.terrestrial ? "t" : "s"}, {"channel", c.argument}, {"scanned", c.scannedUtc},
                  {"found", c.found}};
        if (c.found) {
            const tstables::ScannedTransport& t = c.transport;
            j["transportStreamId"] = t.transportStreamId;
            j["originalNetworkId"] = t.originalNetworkId;
            j["networkId"] = t.networkId;
            j["networkName"] = t.networkName;
            j["name"] = t.name;
            if (t.remoteControlKeyId) j["remoteControlKey"] = *t.remoteControlKeyId;
            json services = json::array();
            for (const tstables::ScannedService& s : t.services) services.push_back(ServiceJson(s));
            j["services"] = std::move(services);
        }
        list.push_back(std::move(j));
    }
    // Names keep their characters; bytes that are no UTF-8 (none should be) become U+FFFD.
    return json{{"format", kFormat}, {"version", kVersion}, {"channels", std::move(list)}}.dump(
               1, '\t', false, json::error_handler_t::replace) +
           "\n";
}

bool ScanFromJson(const std::string& text, std::vector<CScannedChannel>& out, std::string& error)
{
    try {
        const json doc = json::parse(text);
        if (doc.value("format", "") != kFormat) {
            error = "not a saved scan";
            return false;
        }
        if (doc.at("version").get<int>() != kVersion) {
            error = "a saved scan of another version";
            return false;
        }
        std::vector<CScannedChannel> channels;
        for (const json& j : doc.at("channels")) {
            CScannedChannel c;
            const std::string kind = j.at("kind").get<std::string>();
            if (kind != "t" && kind != "s") throw std::invalid_argument("a channel of kind " + kind);
            c.terrestrial = kind == "t";
            c.argument = j.at("channel").get<std::string>();
            c.scannedUtc = JsonInteger<int64_t>(j, "scanned");
            c.found = j.at("found").get<bool>();
            if (c.found) {
                tstables::ScannedTransport& t = c.transport;
                t.transportStreamId = JsonInteger<uint16_t>(j, "transportStreamId");
                t.originalNetworkId = JsonInteger<uint16_t>(j, "originalNetworkId");
                t.networkId = JsonInteger<uint16_t>(j, "networkId", 0);
                t.networkName = j.value("networkName", "");
                t.name = j.value("name", "");
                if (j.contains("remoteControlKey")) t.remoteControlKeyId = JsonInteger<uint8_t>(j, "remoteControlKey");
                for (const json& s : j.at("services")) t.services.push_back(ServiceOf(s));
            }
            channels.push_back(std::move(c));
        }
        out = std::move(channels);
        return true;
    } catch (const std::exception& e) {
        // nlohmann's messages are one line, and say where.
        error = e.what();
        return false;
    }
}

bool CScanStore::Load(std::string& error)
{
    std::string text;
    bool missing = false;
    if (!ReadSavedFile(path_, text, missing, error)) return missing;
    std::vector<CScannedChannel> channels;
    if (!ScanFromJson(text, channels, error)) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    channels_ = std::move(channels);
    unsaved_.clear();
    ++generation_;
    return true;
}

bool CScanStore::Save(std::string& error)
{
    std::vector<CScannedChannel> mine;
    std::map<std::pair<bool, std::string>, uint64_t> saving;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        saving = unsaved_;
        for (const CScannedChannel& c : channels_)
            if (saving.count({c.terrestrial, c.argument})) mine.push_back(c);
    }
    if (mine.empty()) return true;
    CSavedFileLock hold(path_);
    if (!hold.Held()) {
        error = "another tsserve has been saving it for too long";
        return false;
    }
    // The file as the other writers left it, with these channels in it; a
    // damaged one is written anew.
    std::vector<CScannedChannel> merged;
    std::string text;
    bool missing = false;
    if (!ReadSavedFile(path_, text, missing, error) && !missing) return false;
    if (!missing && !ScanFromJson(text, merged, error)) merged.clear();
    for (const CScannedChannel& c : mine) {
        bool replaced = false;
        for (CScannedChannel& m : merged)
            if (m.terrestrial == c.terrestrial && m.argument == c.argument) {
                m = c;
                replaced = true;
            }
        if (!replaced) merged.push_back(c);
    }
    if (!WriteSavedFile(path_, ScanToJson(merged), error)) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    // A channel put again meanwhile waits for the next save.
    for (const auto& [key, generation] : saving) {
        const auto it = unsaved_.find(key);
        if (it != unsaved_.end() && it->second == generation) unsaved_.erase(it);
    }
    return true;
}

void CScanStore::Put(const CScannedChannel& record)
{
    std::lock_guard<std::mutex> lock(mutex_);
    CScannedChannel channel = record;
    GiveGuideNumbers(channels_, channel);
    ++generation_;
    unsaved_[{channel.terrestrial, channel.argument}] = generation_;
    for (CScannedChannel& c : channels_)
        if (c.terrestrial == channel.terrestrial && c.argument == channel.argument) {
            c = channel;
            return;
        }
    channels_.push_back(channel);
}

std::vector<CScannedChannel> CScanStore::Channels() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return channels_;
}

uint64_t CScanStore::Generation() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return generation_;
}
