// Network information table, actual network (ETSI EN 300 468 5.2.1, ARIB
// STD-B10; table 0x40 on PID 0x0010): the network's id and name, and for each
// transport stream its services (service list descriptor) and, from ARIB's
// TS information descriptor, its remote-control key and name.
//
// Service numbers are the three-digit numbers viewers key in. Terrestrial
// ones come from the remote-control key id and the service id (ARIB TR-B14):
// key × 10 + the service number in the id's low 3 bits + 1 for TV services
// ("011", "012"), 600 more for one-segment services; other service kinds get
// none. Satellite networks (BS 4, CS 6 and 7) use the service id itself.
// 0 means none.
#pragma once
#include "Descriptors.h"
#include "Section.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tstables {

struct NitService {
    uint16_t serviceId = 0;
    uint8_t serviceType = 0;  // 0 where only the TS information descriptor lists it
    uint16_t number = 0;      // three-digit service number, 0 where none
};

struct NitTransportStream {
    uint16_t transportStreamId = 0;
    uint16_t originalNetworkId = 0;
    std::vector<NitService> services;
    std::optional<uint8_t> remoteControlKeyId;  // from the TS information descriptor
    std::string name;                           // ditto
    DescriptorList descriptors;
};

struct Nit {
    uint16_t networkId = 0;
    uint8_t version = 0;
    std::string networkName;  // network name descriptor
    DescriptorList descriptors;
    std::vector<NitTransportStream> transportStreams;  // this section's
};

// One NIT actual section; false if it is none or a loop or descriptor lies.
bool ParseNit(const CSection& section, Nit& out);

// The three-digit number of a service (rules above); 0 where none.
uint16_t ServiceNumber(uint16_t networkId, uint16_t serviceId, std::optional<uint8_t> remoteControlKeyId);

}  // namespace tstables
