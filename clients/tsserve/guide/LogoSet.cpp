#include "LogoSet.h"

#include "LogoPng.h"
#include "base/HexText.h"
#include "base/JsonRead.h"

#include <stdexcept>

using nlohmann::json;
using namespace tstables;

namespace {

// Large before small, high definition before 16:9 before 4:3 (types 5, 2;
// 4, 1; 3, 0).
constexpr uint8_t kPreference[kLogoTypes] = {5, 2, 4, 1, 3, 0};

}  // namespace

bool CLogoSet::Add(const CdtLogo& logo)
{
    const auto key = std::tuple(logo.originalNetworkId, logo.id, logo.type);
    const auto it = logos_.find(key);
    if (it != logos_.end() && it->second.version == logo.version && it->second.png == logo.png) return false;
    if (it == logos_.end() && logos_.size() >= kMaxLogos) return false;
    if (logo.type >= kLogoTypes || LogoWithPalette(logo.png).empty()) return false;
    logos_[key] = {logo.version, logo.png};
    return true;
}

bool CLogoSet::Refer(const ServiceKey& service, uint16_t logoId)
{
    const auto it = services_.find(service);
    if (it != services_.end() && it->second == logoId) return false;
    if (it == services_.end() && services_.size() >= kMaxServices) return false;
    services_[service] = logoId;
    return true;
}

const std::vector<uint8_t>* CLogoSet::Of(const ServiceKey& service) const
{
    const auto it = services_.find(service);
    if (it == services_.end()) return nullptr;
    for (const uint8_t type : kPreference) {
        const auto logo = logos_.find({service.originalNetworkId, it->second, type});
        if (logo != logos_.end()) return &logo->second.png;
    }
    return nullptr;
}

json CLogoSet::ToJson() const
{
    json logos = json::array(), services = json::array();
    for (const auto& [key, held] : logos_)
        logos.push_back({{"onid", std::get<0>(key)}, {"id", std::get<1>(key)}, {"type", std::get<2>(key)},
                         {"version", held.version}, {"png", HexText(held.png)}});
    for (const auto& [service, id] : services_)
        services.push_back(
            {{"onid", service.originalNetworkId}, {"tsid", service.transportStreamId}, {"sid", service.serviceId}, {"logo", id}});
    return {{"images", std::move(logos)}, {"services", std::move(services)}};
}

CLogoSet CLogoSet::FromJson(const json& j)
{
    CLogoSet set;
    for (const json& l : j.at("images")) {
        CdtLogo logo;
        logo.originalNetworkId = JsonInteger<uint16_t>(l, "onid");
        logo.id = JsonInteger<uint16_t>(l, "id");
        logo.type = JsonInteger<uint8_t>(l, "type");
        logo.version = JsonInteger<uint16_t>(l, "version");
        logo.png = BytesOfHex(l.at("png").get<std::string>());
        set.Add(logo);
    }
    for (const json& s : j.at("services"))
        set.Refer({JsonInteger<uint16_t>(s, "onid"), JsonInteger<uint16_t>(s, "tsid"), JsonInteger<uint16_t>(s, "sid")},
                  JsonInteger<uint16_t>(s, "logo"));
    return set;
}
