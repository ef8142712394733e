// The station logos the broadcasts brought (CDT logo data, Cdt.h) and which
// service shows which (the SDT's logo transmission descriptor), as the guide
// holds and saves them. Bounded; not locked (the guide's store locks it).
#pragma once
#include "Cdt.h"
#include "EventCollector.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <map>
#include <tuple>
#include <vector>

class CLogoSet {
public:
    static constexpr size_t kMaxLogos = 3072;  // network, id and size: 512 ids in 6 sizes
    static constexpr size_t kMaxServices = 4096;

    // True when it changed what is held. A logo that is no PNG is left out.
    bool Add(const tstables::CdtLogo& logo);
    bool Refer(const tstables::ServiceKey& service, uint16_t logoId);
    // The service's logo as the broadcast sent it, in the size front-ends
    // show best (the high-definition ones first); null when none is held.
    const std::vector<uint8_t>* Of(const tstables::ServiceKey& service) const;

    nlohmann::json ToJson() const;
    // Throws on anything that is not a saved set.
    static CLogoSet FromJson(const nlohmann::json& j);

private:
    struct Held {
        uint16_t version = 0;
        std::vector<uint8_t> png;
    };
    std::map<std::tuple<uint16_t, uint16_t, uint8_t>, Held> logos_;  // network, logo id, type
    std::map<tstables::ServiceKey, uint16_t> services_;             // to the logo id
};
