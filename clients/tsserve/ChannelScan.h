// A channel scan of one tuner kind, on a thread of its own: each channel
// tuned in turn on the kind's tuner (borrowed from its feed, so a kind with
// viewers is left to them and a viewer who comes ends the scan there), and
// read until its tables have all come (CTransportScan: PAT, PMTs, SDT, NIT,
// present/following EIT) or its time is up: no data within 2 s, or no PAT
// within 2 s of the first data, means nothing there; 12 s is the most a
// channel gets, since broadcasters repeat their NIT every 10 s. Each channel's
// result goes to the scan store as soon as it is read, the events that came
// by to the guide; the store is saved at the end.
#pragma once
#include "CTunerFeed.h"
#include "GuideStore.h"
#include "ScanStore.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct CScanStatus {
    bool running = false;
    size_t done = 0, total = 0;  // channels
    size_t found = 0;            // television and radio services found so far
    std::string state;           // one line: what it does or how it ended; empty before any scan
    bool finished = false;       // it went over every channel it was given
};

class CChannelScan {
public:
    // say: a line for the console, from the scan's thread.
    using Say = std::function<void(const std::string&)>;
    CChannelScan(CTunerFeed& feed, const CListedKind& kind, CScanStore& store, CGuideStore& guide, Say say);
    ~CChannelScan();
    CChannelScan(const CChannelScan&) = delete;
    CChannelScan& operator=(const CChannelScan&) = delete;

    // Scans these channels of the kind (null: all it has); false when a
    // scan runs already.
    bool Start(const std::vector<const CListedChannel*>* only = nullptr);
    void Abort();
    void Wait();
    CScanStatus Status() const;

    static constexpr unsigned kNoDataMs = 2000;
    static constexpr unsigned kNoPatMs = 2000;
    static constexpr unsigned kChannelMs = 12000;
    static constexpr unsigned kWaitForTunerMs = 3000;  // for another borrower to give the tuner back

private:
    void Run(std::vector<const CListedChannel*> channels);
    // False when the scan cannot go on (TunerHost's connection failed, a viewer came).
    bool ScanOne(class CTunerLoan& loan, const CListedChannel& channel, std::string& stop);
    void SetState(const std::string& state);

    CTunerFeed& feed_;
    const CListedKind& kind_;
    CScanStore& store_;
    CGuideStore& guide_;
    const Say say_;
    std::atomic<bool> abort_{false};
    mutable std::mutex mutex_;
    CScanStatus status_;
    ULONGLONG startedMs_ = 0;
    std::thread thread_;
};
