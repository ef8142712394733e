// The network tuner devices tsserve presents to media servers: one per tuner
// kind, since the two kinds are not interchangeable tuners. Each has the
// HTTP interface of an HDHomeRun at the root of a port of its own
// ("http://HOST:40081"): discover.json, lineup.json (its own kind's
// entries), lineup_status.json, lineup.post and the streams under /auto/; and
// a UPnP description, device.xml, for SSDP. A port rather than a path: base
// URLs stay short (HDHomeRun's discovery library keeps 28 characters of one)
// and work where a media server takes only an address and a port.
#pragma once
#include "Lineup.h"

#include <cstdint>
#include <string>

struct CNetworkTuner {
    bool terrestrial = true;
    uint32_t id = 0;
    int port = 0;              // the base URL's port
    std::string friendlyName;  // "TunerHost terrestrial"
    std::string udn;           // UPnP's "uuid:..."

    std::string IdText() const;  // "1A2B3C4D"
};

// A device ID for the seed (the same seed, the same ID): its last digit is
// the check digit HDHomeRun clients verify, and it lies outside the ranges
// they take for legacy devices.
uint32_t NetworkTunerId(uint32_t seed);
bool NetworkTunerIdValid(uint32_t id);
CNetworkTuner MakeNetworkTuner(bool terrestrial, uint32_t seed, int port);

// base: the device's base URL, e.g. "http://192.168.1.5:40081".
std::string DiscoverJson(const CNetworkTuner& device, const std::string& base, const std::string& version);
std::string LineupJson(const CLineup& lineup, const std::string& base);
// A channel scan as lineup_status.json tells it (one kind's, or both kinds'
// together at tsserve's root).
struct CLineupScan {
    bool inProgress = false;
    int progress = 0;  // percent
    size_t found = 0;  // services found by the scan
    bool waiting = false;  // in progress, but waiting for the tuner (ScanWaiting: 1)
};
std::string LineupStatusJson(const CNetworkTuner& device, const CLineupScan& scan);
std::string DeviceXml(const CNetworkTuner& device, const std::string& base, const std::string& version);
