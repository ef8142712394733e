// Service description table, actual transport stream (ETSI EN 300 468 5.2.3,
// ARIB STD-B10; table 0x42 on PID 0x0011): each service's type, provider and
// name (service descriptor, decoded from ARIB text) and its EIT flags.
#pragma once
#include "Descriptors.h"
#include "Section.h"

#include <cstdint>
#include <string>
#include <vector>

namespace tstables {

struct SdtService {
    uint16_t serviceId = 0;
    bool eitSchedule = false;
    bool eitPresentFollowing = false;
    uint8_t runningStatus = 0;
    bool freeCaMode = false;  // scrambled
    uint8_t serviceType = 0;  // from the service descriptor; 0 without one
    std::string providerName;
    std::string serviceName;
    DescriptorList descriptors;
};

struct Sdt {
    uint16_t transportStreamId = 0;
    uint16_t originalNetworkId = 0;
    uint8_t version = 0;
    std::vector<SdtService> services;  // this section's
};

// One SDT actual section; false if it is none or a loop or descriptor lies.
bool ParseSdt(const CSection& section, Sdt& out);

// What a service type carries (ARIB STD-B10 service_type): video services
// are digital TV, temporary, promotion and ultra HD video; audio services
// digital audio, temporary and promotion audio; everything else is data.
enum class ServiceKind { Video, Audio, Data };
ServiceKind KindOfServiceType(uint8_t serviceType);

}  // namespace tstables
