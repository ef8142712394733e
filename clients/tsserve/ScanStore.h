// What channel scans found, channel by channel: the transport stream's ids
// and names and its services. Held in memory, saved beside tsserve as JSON
// and loaded at its start; a scan replaces the records of the channels it
// covered and no others. Safe for several threads; a save writes the
// channels put since the last one into the file as it is then, so that both
// kinds' scans and a tsserve --scan beside tsserve keep each other's.
#pragma once
#include "TransportScan.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

struct CScannedChannel {
    bool terrestrial = true;
    std::string argument;    // the channel as URLs name it: "27", "C22", "40D0"
    int64_t scannedUtc = 0;  // seconds since 1970
    bool found = false;      // a transport stream came (its PAT)
    tstables::ScannedTransport transport;
};

class CScanStore {
public:
    explicit CScanStore(std::wstring path = L"") : path_(std::move(path)) {}

    // A missing file: true, nothing held. A damaged one: false with a
    // one-line message, nothing held.
    bool Load(std::string& error);
    // Saves what was put since the last save (nothing to save: true).
    bool Save(std::string& error);
    const std::wstring& Path() const { return path_; }

    // Replaces the channel's record, its services numbered (GiveGuideNumbers).
    void Put(const CScannedChannel& record);
    std::vector<CScannedChannel> Channels() const;
    // Changes with every Put and Load: lineups made from an older one are stale.
    uint64_t Generation() const;

private:
    const std::wstring path_;
    mutable std::mutex mutex_;
    std::vector<CScannedChannel> channels_;
    uint64_t generation_ = 0;
    // Channels put and not saved since, by kind and argument: the generation of their last Put.
    std::map<std::pair<bool, std::string>, uint64_t> unsaved_;
};

// The saved form, for the store and its tests.
std::string ScanToJson(const std::vector<CScannedChannel>& channels);
// False with a one-line message when the text is no saved scan.
bool ScanFromJson(const std::string& text, std::vector<CScannedChannel>& out, std::string& error);
